"""Meal orders, their lines (one unit of one dish each) and refund requests."""
import json
import secrets

from odoo import api, fields, models

ORDER_STATES = [
    ('draft', 'Created'),
    ('paid', 'Paid'),
    ('pick', 'Pick-up code received'),
    ('done', 'Done'),
    ('fail', 'Failed'),
    ('cancel', 'Cancelled'),
]
LINE_STATES = [
    ('wait', 'Handed to fulfilment'),
    ('success', 'Pick-up code received'),
    ('fail', 'Failed'),
    ('cancel', 'Cancelled'),
]
REFUND_STATES = [
    ('draft', 'Requested'),
    ('fail', 'Refused by WeChat Pay'),
    ('done', 'Refunded'),
]


class JsonText(fields.Text):
    """Text that stores an assigned list or dict as JSON (other values as their text)."""

    def convert_to_cache(self, value, record, validate=True):
        if isinstance(value, (list, dict)):
            value = json.dumps(value, ensure_ascii=False)
        return super().convert_to_cache(value, record, validate)


def merchant_number(env, code):
    """A number from the sequence ``code`` plus a random part, so that numbers of databases
    created again never meet at WeChat Pay: letters and digits only, 24 characters.
    The sequences are the add-on's data (data/ir_sequence_data.xml)."""
    return env['ir.sequence'].sudo().next_by_code(code) + secrets.token_hex(4).upper()


class SaleOrder(models.Model):
    _name = 'sale.order'
    _description = 'Meal order'

    name = fields.Char(string='Order number', readonly=True, index=True)
    kfc_user_id = fields.Many2one('kfc.user', string='Customer', index=True)
    phone = fields.Char()
    store_name = fields.Char()
    store_code = fields.Char()
    store_address = fields.Char()
    store_phone = fields.Char()
    city_name = fields.Char()
    city_code = fields.Char()
    remark = fields.Text()
    type = fields.Char(string='Pick-up type')      # "1": take-away, anything else: dine-in
    state = fields.Selection(ORDER_STATES, default='draft', index=True)
    amount = fields.Float(compute='_compute_amount', store=True, digits=(16, 2))
    number = fields.Integer(compute='_compute_amount', store=True)
    prepay_id = fields.Char()
    is_paid = fields.Boolean()
    transaction_id = fields.Char()
    pay_time = fields.Datetime()
    line_ids = fields.One2many('sale.order.line', 'sale_order_id', string='Lines')

    @api.model_create_multi
    def create(self, vals_list):
        vals_list = [dict(vals, name=vals.get('name') or merchant_number(self.env, 'sale.order'))
                     for vals in vals_list]
        return super().create(vals_list)

    @api.depends('line_ids.total_price', 'line_ids.quantity')
    def _compute_amount(self):
        for order in self:
            lines = order.line_ids
            order.amount = sum(lines.mapped('total_price'))
            order.number = sum(lines.mapped('quantity'))

    @api.model
    def _cron_settle(self):
        """The scheduled settlement (data/ir_cron_data.xml) of payments and refunds."""
        from ..functions.settlement import settle
        settle(self.env)


class SaleOrderLine(models.Model):
    _name = 'sale.order.line'
    _description = 'Meal order line'

    sale_order_id = fields.Many2one('sale.order', string='Order', ondelete='cascade', index=True)
    product_id = fields.Many2one('kfc.product', string='Dish')
    coupon_ids = fields.Many2many('kfc.coupon', string='Coupons')
    quantity = fields.Integer(default=1)
    unit_price = fields.Float(digits=(16, 2))
    total_price = fields.Float(compute='_compute_total_price', store=True, digits=(16, 2))
    # No default: a line is "wait" only once create_kfc_order has handed it to fulfilment.
    detail_state = fields.Selection(LINE_STATES, index=True)
    uuid = fields.Char(string='Fulfilment order id')
    pick_code = fields.Char()
    phone = fields.Char()
    result = JsonText(string='Failing back-end reply')

    @api.depends('quantity', 'unit_price')
    def _compute_total_price(self):
        for line in self:
            line.total_price = line.quantity * line.unit_price


class SaleRefundOrder(models.Model):
    _name = 'sale.refund.order'
    _description = 'Refund request'

    name = fields.Char(string='Refund number', readonly=True, index=True)
    sale_order_id = fields.Many2one('sale.order', string='Order', index=True)
    kfc_user_id = fields.Many2one('kfc.user', string='Customer')
    # The failed dish a refund made by the host is for; empty for a refund the customer asked.
    line_id = fields.Many2one('sale.order.line', string='Failed dish', index=True)
    state = fields.Selection(REFUND_STATES, default='draft')

    @api.model_create_multi
    def create(self, vals_list):
        vals_list = [dict(vals, name=vals.get('name') or merchant_number(self.env, 'sale.refund.order'))
                     for vals in vals_list]
        return super().create(vals_list)
