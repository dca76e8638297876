"""External ids (``module.name``) of records made by data files: loading a file again finds the
records it made, and ``env.ref`` finds them, as in Odoo."""
from .. import api, fields, models


class IrModelData(models.Model):
    _name = 'ir.model.data'
    _description = 'Model Data'
    _order = 'module, model, name'

    name = fields.Char(required=True)
    module = fields.Char(required=True)
    model = fields.Char(required=True)
    res_id = fields.Integer()
    noupdate = fields.Boolean()

    _sql_constraints = [('module_name_uniq', 'unique (module, name)',
                         'External IDs must be unique per module.')]

    @api.model
    def _xmlid_to_res_model_res_id(self, xmlid, raise_if_not_found=False):
        """(model, id) of the record named ``xmlid``; (False, False) when there is none."""
        module, name = xmlid.split('.', 1)
        self.env.cr.execute('SELECT model, res_id FROM ir_model_data WHERE module = %s AND name = %s',
                            (module, name))
        row = self.env.cr.fetchone()
        if row:
            return tuple(row)
        if raise_if_not_found:
            raise ValueError('External ID not found in the system: %s' % xmlid)
        return False, False
