"""Redeemable coupons: redeemed by code, then spent on an order line."""
import math
import re
import secrets

from odoo import _, api, fields, models

from ..tools.kept_records import refuse_deleting

COUPON_STATES = [
    ('draft', 'Not redeemed'),
    ('exchange', 'Redeemed'),
    ('done', 'Spent'),
]


# Codes people read and type: no 0/O or 1/I look-alikes, 32 symbols of 5 bits each.
CODE_ALPHABET = '23456789ABCDEFGHJKLMNPQRSTUVWXYZ'
CODE_BITS = 80      # a guesser with a million tries finds one of a million codes once in 10**12
CODE_LENGTH = math.ceil(CODE_BITS / math.log2(len(CODE_ALPHABET)))
CODE_GROUP = 4      # characters between the dashes of a code written for reading


def fold_code(code):
    """The form a code is looked up by: without dashes or spaces, in capitals. A customer may
    type ``ab12-cd34`` for ``AB12CD34``."""
    return re.sub(r'[\s-]+', '', str(code or '')).upper()


def grouped_code(code):
    """``code`` written for reading: groups of CODE_GROUP characters joined by dashes."""
    return '-'.join(code[i:i + CODE_GROUP] for i in range(0, len(code), CODE_GROUP))


class KfcCoupon(models.Model):
    _name = 'kfc.coupon'
    _description = 'Coupon'

    name = fields.Char()
    code = fields.Char(index=True, copy=False, default=lambda self: self._kfc_new_code())
    # What redemption looks a typed code up by (fold_code); batches write it with their codes.
    code_key = fields.Char(string='Code as looked up', compute='_compute_code_key', store=True,
                           index=True, copy=False)
    active = fields.Boolean(default=True, help='Cancelled or ended coupons are archived: '
                            'nobody can redeem them any more.')
    batch_id = fields.Many2one('kfc.coupon.batch', string='Batch', index=True, ondelete='restrict')
    state = fields.Selection(COUPON_STATES, default='draft', index=True)
    kfc_user_id = fields.Many2one('kfc.user', string='Owner', index=True)
    product_id = fields.Many2one('kfc.product', string='Dish')
    start_date = fields.Date(string='Valid from')

    # No unique code: several coupons may carry one code, and redeeming it takes one of them.

    @api.depends('code')
    def _compute_code_key(self):
        for coupon in self:
            coupon.code_key = fold_code(coupon.code) or False

    @api.model
    def _kfc_new_code(self):
        """A new coupon code: CODE_BITS random bits written in CODE_ALPHABET."""
        return ''.join(secrets.choice(CODE_ALPHABET) for _ in range(CODE_LENGTH))

    def unlink(self):
        refuse_deleting(self, lambda coupon: coupon.state == 'done' and _('it was spent.'))
        return super().unlink()

    def name_get(self):
        return [(coupon.id, coupon.name or coupon.code or '') for coupon in self]
