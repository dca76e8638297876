"""Model access rights, as Odoo's ``ir.model.access``: which groups may read, write, create
and delete the records of a model.

A grant has the shape of a line of an add-on's ``security/ir.model.access.csv``: a model, a
group (an external id such as ``'base.group_user'``, or None for every user, as an empty
``group_id``) and the operations allowed. A model nobody was granted an operation on allows
it only in superuser mode (``sudo()``), as in Odoo. Users belong to groups by id.
"""
import logging

from .exceptions import AccessError

_logger = logging.getLogger(__name__)

OPERATIONS = ('read', 'write', 'create', 'unlink')

_RIGHTS = {}        # model name -> {group external id or None: set of operations}
_MEMBERS = {}       # user id -> set of group external ids

# names of the platform's groups, as the error message lists them ('Category/Group')
GROUP_NAMES = {
    'base.group_public': 'User types/Public',
    'base.group_portal': 'User types/Portal',
    'base.group_user': 'User types/Internal User',
    'base.group_erp_manager': 'Administration/Access Rights',
    'base.group_system': 'Administration/Settings',
}

_MESSAGES = {
    'read': "You are not allowed to access '%(document_kind)s' (%(document_model)s) records.",
    'write': "You are not allowed to modify '%(document_kind)s' (%(document_model)s) records.",
    'create': "You are not allowed to create '%(document_kind)s' (%(document_model)s) records.",
    'unlink': "You are not allowed to delete '%(document_kind)s' (%(document_model)s) records.",
}


def grant(model, group, perms):
    """Allow the operations ``perms`` (names of ``OPERATIONS``) on ``model`` to ``group``."""
    perms = set(perms)
    unknown = perms - set(OPERATIONS)
    if unknown:
        raise ValueError("Unknown access operations %s" % sorted(unknown))
    _RIGHTS.setdefault(model, {}).setdefault(group, set()).update(perms)


def revoke(model, group=None):
    """Take back every operation granted on ``model`` to ``group``."""
    _RIGHTS.get(model, {}).pop(group, None)


def add_to_group(user_id, group):
    _MEMBERS.setdefault(user_id, set()).add(group)


def groups_of(user_id):
    return frozenset(_MEMBERS.get(user_id, ()))


def allowed(env, model, operation):
    """May the user of ``env`` perform ``operation`` on ``model``? Superuser mode may do all."""
    assert operation in OPERATIONS, 'Invalid access mode'
    if env.su:
        return True
    groups = groups_of(env.uid)
    return any(operation in perms and (group is None or group in groups)
               for group, perms in _RIGHTS.get(model, {}).items())


def check(env, model, operation, raise_exception=True):
    """``allowed``, raising Odoo's AccessError when not and ``raise_exception``."""
    if allowed(env, model, operation):
        return True
    if not raise_exception:
        return False
    _logger.info('Access Denied by ACLs for operation: %s, uid: %s, model: %s',
                 operation, env.uid, model)
    model_class = env.registry.models.get(model)
    document_kind = getattr(model_class, '_description', None) or model
    groups = sorted(GROUP_NAMES.get(group, group)
                    for group, perms in _RIGHTS.get(model, {}).items()
                    if group is not None and operation in perms)
    if groups:
        group_info = "This operation is allowed for the following groups:\n%s" % '\n'.join(
            '\t- %s' % name for name in groups)
    else:
        group_info = "No group currently allows this operation."
    raise AccessError("%s\n\n%s\n\n%s" % (
        _MESSAGES[operation] % {'document_kind': document_kind, 'document_model': model},
        group_info,
        "Contact your administrator to request access if necessary."))
