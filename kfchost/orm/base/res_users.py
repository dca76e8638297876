"""Users: the superuser, the administrator and the public user that public routes run as.

The records and their ids are Odoo's: ``base.user_root`` (1, the superuser ``__system__``),
``base.user_admin`` (2), ``base.default_user`` (3) and ``base.public_user`` (4). Group
membership is kept by :mod:`..access`.
"""
import pytz

from .. import access, api, fields, models

PUBLIC_USER_ID = 4

# (external id, id, login, name, groups)
_USERS = [
    ('base.user_root', api.SUPERUSER_ID, '__system__', 'OdooBot',
     ('base.group_user', 'base.group_erp_manager', 'base.group_system')),
    ('base.user_admin', 2, 'admin', 'Administrator',
     ('base.group_user', 'base.group_erp_manager', 'base.group_system')),
    ('base.default_user', 3, 'default', 'Default User Template', ()),
    ('base.public_user', PUBLIC_USER_ID, 'public', 'Public user', ('base.group_public',)),
]

for _xmlid, _id, _login, _name, _groups in _USERS:
    api.XMLIDS[_xmlid] = ('res.users', _id)
    for _group in _groups:
        access.add_to_group(_id, _group)

access.grant('res.users', None, ['read'])
access.grant('res.users', 'base.group_erp_manager', access.OPERATIONS)


def _tz_get(self):
    return [(tz, tz) for tz in sorted(pytz.all_timezones, key=lambda tz: tz if not tz.startswith('Etc/') else '_')]


class ResUsers(models.Model):
    _name = 'res.users'
    _description = 'User'
    _order = 'name, login'

    name = fields.Char(required=True)
    login = fields.Char(required=True)
    tz = fields.Selection(_tz_get, string='Timezone')

    _sql_constraints = [('login_key', 'UNIQUE (login)', 'You can not have two users with the same login !')]

    def init(self):
        cr = self.env.cr
        for _xmlid, id_, login, name, _groups in _USERS:
            cr.sqlite_execute('INSERT OR IGNORE INTO res_users (id, login, name) VALUES (?, ?, ?)',
                              (id_, login, name))

    def has_group(self, group_ext_id):
        """Is the user (the current one for an empty recordset) in the group ``group_ext_id``?"""
        uid = self.id or self.env.uid
        return group_ext_id in access.groups_of(uid)

