"""The local catalogue: dishes, the child entries of multi-choice dishes, menu categories; its
synchronisation from a store's menu at the coupon back-end."""
import json

from odoo import _, api, fields, models

from ..services import runtime
from ..services.money import CURRENCY_XMLID, fen_to_yuan

TOKEN_EXPIRED = -2                  # the back-end's code for a token it no longer takes


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
    currency_id = fields.Many2one('res.currency', string='Currency', required=True,
                                  default=lambda self: self.env.ref(CURRENCY_XMLID))
    unit_price = fields.Monetary(string='Unit price')
    type_id = fields.Many2one('kfc.product.type', string='Category', index=True)
    is_multiple = fields.Boolean(string='Multi-choice dish')
    line_ids = fields.One2many('kfc.product.line', 'parent_product_id', string='Choices')

    @api.model
    def _kfc_sync_menu(self, store_code, date, services=None):
        """Add to the catalogue the dishes of the store's menu at the coupon back-end on
        ``date`` whose link id no dish holds yet (the first dish of a link id wins); returns
        the dishes added. Only the classes' own dish lists are read, whatever a dish's sale
        flag. Nothing is guarded: no back-end account, a failed request, a reply that is not
        the menu or a dish without a whole price raises, and nothing is added."""
        backend = services.backend if services else runtime.coupon_backend(self.env)
        if backend is None:
            raise LookupError(_('the coupon back-end account is not configured'))
        token = self.env['ir.config_parameter'].sudo().get_param('token')
        result = backend.menu(token, date, store_code)
        if result['d']['code'] == TOKEN_EXPIRED:    # renewed once; the reply after is the menu
            token = self.env['account.config']._kfc_renew_backend_token(backend)
            result = backend.menu(token, date, store_code)
        menu = json.loads(result['d']['data'])
        dishes = [dish for menu_class in menu for dish in menu_class.get('menuList', [])]
        link_ids = [dish.get('linkId', '') for dish in dishes]
        # A link id that a dish already holds as its whole link id is not added again.
        known = set(self.search([('link_id', 'in', link_ids)]).mapped('link_id'))
        values = []
        for dish, link_id in zip(dishes, link_ids):
            if link_id in known:
                continue
            known.add(link_id)
            values.append({
                'name': dish.get('nameCn', ''),
                'link_id': link_id,
                'image': runtime.deployment['image_host_prefix'] + dish.get('imageUrl', ''),
                'unit_price': fen_to_yuan(int(dish['price'])),
                'remark': dish.get('descCn', ''),
            })
        return self.create(values)


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
