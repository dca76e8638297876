"""System parameters: text values by key, read with get_param and written with set_param."""
import uuid

from .. import access, api, fields, models

access.grant('ir.config_parameter', 'base.group_system', access.OPERATIONS)


# What Odoo writes into every new database (base's ir.config_parameter ``init``).
DEFAULT_PARAMETERS = {
    'database.secret': lambda: str(uuid.uuid4()),
    'database.uuid': lambda: str(uuid.uuid1()),
    'database.create_date': lambda: fields.Datetime.to_string(fields.Datetime.now()),
    'web.base.url': lambda: 'http://localhost:8069',
    'base.login_cooldown_after': lambda: 10,
    'base.login_cooldown_duration': lambda: 60,
}


class IrConfigParameter(models.Model):
    _name = 'ir.config_parameter'
    _description = 'System Parameter'
    _rec_name = 'key'
    _order = 'key'

    key = fields.Char(required=True, index=True)
    value = fields.Text(required=True)

    _sql_constraints = [('key_uniq', 'unique (key)', 'Key must be unique.')]

    @api.model
    def init(self, force=False):
        params = self.sudo()
        for key, func in DEFAULT_PARAMETERS.items():
            if force or not params.search([('key', '=', key)]):
                params.set_param(key, func())

    @api.model
    def get_param(self, key, default=False):
        """The stored text of ``key``; ``default`` when the key is missing or its text empty."""
        self.check_access_rights('read')
        return self._get_param(key) or default

    @api.model
    def _get_param(self, key):
        self.env.cr.execute("SELECT value FROM ir_config_parameter WHERE key = %s", [key])
        result = self.env.cr.fetchone()
        return result and result[0]

    @api.model
    def set_param(self, key, value):
        """Store ``value`` as text under ``key``; False or None deletes the key.

        Returns the previous text, or False when the key did not exist.
        """
        param = self.search([('key', '=', key)])
        if param:
            old = param.value
            if value is not False and value is not None:
                if str(value) != old:
                    param.write({'value': value})
            else:
                param.unlink()
            return old
        if value is not False and value is not None:
            self.create({'key': key, 'value': value})
        return False
