"""The exceptions of the records layer, with the names and meaning of ``odoo.exceptions``.

The HTTP layer answers a ``UserError`` (and its subclasses) with 400 and an access error
with 403; anything else is an internal error.
"""


class UserError(Exception):
    """A request the user can correct; its first argument is the message shown."""

    def __init__(self, message):
        super().__init__(message)


class ValidationError(UserError):
    """A constraint of the records was violated."""


class MissingError(UserError):
    """The record does not exist or has been deleted."""


class AccessError(UserError):
    """The operation is not allowed."""


class AccessDenied(Exception):
    """Login or authentication failed."""

    def __init__(self, message="Access Denied"):
        super().__init__(message)
