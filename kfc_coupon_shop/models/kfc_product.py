"""The local catalogue: dishes, the child entries of multi-choice dishes, menu categories."""
from odoo import fields, models


class KfcProductType(models.Model):
    _name = 'kfc.product.type'
    _description = 'Menu category'

    number = fields.Integer(string='Menu order')
    name = fields.Char()
    image = fields.Char(string='Icon URL')


class KfcProduct(models.Model):
    _name = 'kfc.product'
    _description = 'Dish'

    name = fields.Char()
    remark = fields.Text(string='Description')
    image = fields.Char(string='Image URL')
    link_id = fields.Char(string='Back-end dish ids')   # several ids separated by "," or "，"
    unit_price = fields.Float(digits=(16, 2))
    type_id = fields.Many2one('kfc.product.type', string='Category', index=True)
    is_multiple = fields.Boolean(string='Multi-choice dish')
    line_ids = fields.One2many('kfc.product.line', 'parent_product_id', string='Choices')


class KfcProductLine(models.Model):
    _name = 'kfc.product.line'
    _description = 'Choice of a multi-choice dish'

    product_id = fields.Many2one('kfc.product', string='Child dish', index=True)
    parent_product_id = fields.Many2one('kfc.product', string='Multi-choice dish',
                                        ondelete='cascade', index=True)

    def name_get(self):
        return [(line.id, '%s / %s' % (line.parent_product_id.name or '',
                                       line.product_id.name or ''))
                for line in self]
