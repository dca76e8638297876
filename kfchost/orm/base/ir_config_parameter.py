"""System parameters: text values by key, read with get_param and written with set_param."""
from .. import access, api, fields, models

access.grant('ir.config_parameter', 'base.group_system', access.OPERATIONS)


class IrConfigParameter(models.Model):
    _name = 'ir.config_parameter'
    _description = 'System Parameter'
    _rec_name = 'key'
    _order = 'key'

    key = fields.Char(required=True, index=True)
    value = fields.Text(required=True)

    _sql_constraints = [('key_uniq', 'unique (key)', 'Key must be unique.')]

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
