"""Redeemable coupons: redeemed by code, then spent on an order line."""
from odoo import _, fields, models

from .kept_records import refuse_deleting

COUPON_STATES = [
    ('draft', 'Not redeemed'),
    ('exchange', 'Redeemed'),
    ('done', 'Spent'),
]


class KfcCoupon(models.Model):
    _name = 'kfc.coupon'
    _description = 'Coupon'

    name = fields.Char()
    code = fields.Char(index=True)
    state = fields.Selection(COUPON_STATES, default='draft', index=True)
    kfc_user_id = fields.Many2one('kfc.user', string='Owner', index=True)
    product_id = fields.Many2one('kfc.product', string='Dish')
    start_date = fields.Date(string='Valid from')

    # No unique code: several coupons may carry one code, and redeeming it takes one of them.

    def unlink(self):
        refuse_deleting(self, lambda coupon: coupon.state == 'done' and _('it was spent.'))
        return super().unlink()

    def name_get(self):
        return [(coupon.id, coupon.name or coupon.code or '') for coupon in self]
