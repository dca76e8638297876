"""An Odoo-compatible records layer over SQLite: ``from kfchost.orm import api, fields, models``."""
from . import api, exceptions, fields, models          # noqa: F401
from .fields import Command                             # noqa: F401
from .registry import Registry                          # noqa: F401
from . import base                                      # noqa: F401  (platform models)
