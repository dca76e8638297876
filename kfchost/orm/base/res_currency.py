"""Currencies, as far as monetary fields need them: Odoo's record of the yuan, ``base.CNY``,
inactive as Odoo's base module makes it until an add-on's data activates it, and rounding."""
import math

from .. import api, fields, models
from ..tools import float_round

CNY_ID = 1
api.XMLIDS['base.CNY'] = ('res.currency', CNY_ID)


class ResCurrency(models.Model):
    _name = 'res.currency'
    _description = 'Currency'
    _order = 'active desc, name'

    name = fields.Char(string='Currency', size=3, required=True)
    full_name = fields.Char(string='Name')
    symbol = fields.Char(required=True)
    rounding = fields.Float(string='Rounding Factor', digits=(12, 6), default=0.01)
    decimal_places = fields.Integer(compute='_compute_decimal_places', store=True)
    active = fields.Boolean(default=True)
    position = fields.Selection([('after', 'After Amount'), ('before', 'Before Amount')],
                                default='after', string='Symbol Position')

    _sql_constraints = [('unique_name', 'unique (name)', 'The currency code must be unique!')]

    def init(self):
        self.env.cr.sqlite_execute(
            'INSERT OR IGNORE INTO res_currency (id, name, full_name, symbol, rounding, '
            'decimal_places, active, position) VALUES (?, ?, ?, ?, ?, ?, ?, ?)',
            (CNY_ID, 'CNY', 'Chinese yuan', '¥', 0.01, 2, 0, 'before'))

    @api.depends('rounding')
    def _compute_decimal_places(self):
        for currency in self:
            rounding = currency.rounding
            currency.decimal_places = (int(math.ceil(math.log10(1 / rounding)))
                                       if 0 < rounding < 1 else 0)

    def round(self, amount):
        """``amount`` rounded to the currency's decimals (half away from zero, as Odoo)."""
        self.ensure_one()
        return float_round(amount, self.decimal_places)
