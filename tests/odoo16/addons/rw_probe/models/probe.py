from odoo import fields, models


class ProbeShelf(models.Model):
    _name = 'rw.probe.shelf'
    _description = 'Shelf'

    name = fields.Char(required=True)
    item_ids = fields.One2many('rw.probe.item', 'shelf_id')


class ProbeItem(models.Model):
    _name = 'rw.probe.item'
    _description = 'Item'

    code = fields.Char(index=True)
    quantity = fields.Integer()
    price = fields.Float()
    seen_at = fields.Datetime()
    shelf_id = fields.Many2one('rw.probe.shelf')
    tag_ids = fields.Many2many('rw.probe.shelf', 'rw_probe_item_tag_rel', 'item_id', 'shelf_id')
