"""Redeemable coupons: redeemed by code, then spent on an order line."""
import math
import secrets

from odoo import _, api, fields, models

from .kept_records import refuse_deleting

COUPON_STATES = [
    ('draft', 'Not redeemed'),
    ('exchange', 'Redeemed'),
    ('done', 'Spent'),
]


# Codes people read and type: no 0/O or 1/I look-alikes, 32 symbols of 5 bits each.
CODE_ALPHABET = '23456789ABCDEFGHJKLMNPQRSTUVWXYZ'
CODE_BITS = 80      # a guesser with a million tries finds one of a million codes once in 10**12


class KfcCoupon(models.Model):
    _name = 'kfc.coupon'
    _description = 'Coupon'

    name = fields.Char()
    code = fields.Char(index=True, copy=False, default=lambda self: self._kfc_new_code())
    state = fields.Selection(COUPON_STATES, default='draft', index=True)
    kfc_user_id = fields.Many2one('kfc.user', string='Owner', index=True)
    product_id = fields.Many2one('kfc.product', string='Dish')
    start_date = fields.Date(string='Valid from')

    # No unique code: several coupons may carry one code, and redeeming it takes one of them.

    @api.model
    def _kfc_new_code(self):
        """A new coupon code: CODE_BITS random bits written in CODE_ALPHABET."""
        length = math.ceil(CODE_BITS / math.log2(len(CODE_ALPHABET)))
        return ''.join(secrets.choice(CODE_ALPHABET) for _ in range(length))

    def unlink(self):
        refuse_deleting(self, lambda coupon: coupon.state == 'done' and _('it was spent.'))
        return super().unlink()

    def name_get(self):
        return [(coupon.id, coupon.name or coupon.code or '') for coupon in self]
