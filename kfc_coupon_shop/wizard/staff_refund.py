"""A refund the staff decide: the order's paid dishes listed with their state, the manager
picks some and gives a reason; ``sale.order._kfc_staff_refund`` records the refund and asks
WeChat Pay, as the customer's refund does."""
from odoo import _, api, fields, models
from odoo.exceptions import UserError

from ..models.sale_order_line import LINE_STATES
from ..services import runtime
from ..services.money import fen_to_yuan
from ..tools.web_client import CLOSE, notification


class SaleOrderStaffRefund(models.TransientModel):
    _name = 'sale.order.staff.refund'
    _description = 'Staff refund'

    sale_order_id = fields.Many2one('sale.order', string='Order', required=True,
                                    ondelete='cascade')
    line_ids = fields.One2many('sale.order.staff.refund.line', 'wizard_id', string='Paid dishes')
    reason = fields.Char(help="Kept on the refund and sent to WeChat Pay as its reason; a dish "
                              "the kitchen has is given back only with one.")
    currency_id = fields.Many2one('res.currency', compute='_compute_left')
    amount = fields.Monetary(string='Amount to refund', compute='_compute_amount')
    left = fields.Monetary(string='Left of the payment', compute='_compute_left')
    reason_needed = fields.Boolean(compute='_compute_amount')

    @api.model
    def default_get(self, fields_list):
        values = super().default_get(fields_list)
        context = self.env.context
        if context.get('active_model') == 'sale.order' and not values.get('sale_order_id'):
            values['sale_order_id'] = context.get('active_id')
        order = self.env['sale.order'].browse(values.get('sale_order_id'))
        if order and order._kfc_refund_left_fen() <= 0:
            raise UserError(_('Nothing is left of the payment of %s to refund.', order.name))
        if order and 'line_ids' in fields_list:
            values['line_ids'] = [
                fields.Command.create({'line_id': line.id}) for line in order.line_ids
                if line.total_price > 0 and not line.coupon_ids]
        return values

    @api.depends('line_ids.refund', 'line_ids.price', 'line_ids.kitchen_has')
    def _compute_amount(self):
        for wizard in self:
            picked = wizard.line_ids.filtered('refund')
            wizard.amount = sum(picked.mapped('price'))
            wizard.reason_needed = any(picked.mapped('kitchen_has'))

    @api.depends('sale_order_id')
    def _compute_left(self):
        for wizard in self:
            wizard.currency_id = wizard.sale_order_id.currency_id
            wizard.left = fen_to_yuan(wizard.sale_order_id._kfc_refund_left_fen())

    def action_refund(self):
        self.ensure_one()
        order = self.sale_order_id
        lines = self.line_ids.filtered('refund').line_id
        if not lines:
            raise UserError(_('Pick the dishes to refund.'))
        refunds = self.env['sale.refund.order']
        before = refunds.search([('sale_order_id', '=', order.id)])
        try:
            reply = order._kfc_staff_refund(lines, reason=self.reason or False)
        except runtime.NotConfigured:   # nothing was sent
            raise UserError(_('WeChat Pay is not configured')) from None
        except LookupError as exc:      # no https notification address: nothing was sent
            raise UserError(str(exc)) from None
        refund = refunds.search([('sale_order_id', '=', order.id), ('id', 'not in', before.ids)])
        if not refund:      # refused before anything was recorded: the choice may be changed
            raise UserError(reply['message'])
        state = dict(refund._fields['state']._description_selection(self.env))[refund.state]
        if reply['code'] == 200:
            message = _('Refund %(refund)s of %(amount).2f yuan asked of WeChat Pay: %(state)s.',
                        refund=refund.name, amount=refund.amount, state=state)
            return notification(message, 'success', CLOSE)
        message = _('Refund %(refund)s of %(amount).2f yuan recorded; WeChat Pay answered: '
                    '%(answer)s. It is %(state)s.', refund=refund.name, amount=refund.amount,
                    answer=reply['message'], state=state)
        return notification(message, 'warning', CLOSE)


class SaleOrderStaffRefundLine(models.TransientModel):
    _name = 'sale.order.staff.refund.line'
    _description = 'Dish of a staff refund'

    wizard_id = fields.Many2one('sale.order.staff.refund', required=True, ondelete='cascade')
    line_id = fields.Many2one('sale.order.line', string='Dish', required=True, ondelete='cascade')
    refund = fields.Boolean()
    product_id = fields.Many2one('kfc.product', string='Dish name', compute='_compute_dish')
    currency_id = fields.Many2one('res.currency', compute='_compute_dish')
    price = fields.Monetary(compute='_compute_dish')
    pick_code = fields.Char(compute='_compute_dish')
    detail_state = fields.Selection(LINE_STATES, string='State', compute='_compute_dish')
    # handed to the kitchen or delivered: given back only with a reason
    kitchen_has = fields.Boolean(string='The kitchen has it', compute='_compute_dish')
    # in a refund in progress or done: not to be given back twice
    refunded = fields.Boolean(string='In a refund', compute='_compute_dish')

    @api.depends('line_id')
    def _compute_dish(self):
        for dish in self:
            line = dish.line_id
            refunds = line._kfc_refunds().filtered(lambda r: r.state in ('draft', 'done'))
            dish.update({
                'product_id': line.product_id, 'currency_id': line.currency_id,
                'price': line.total_price,
                'pick_code': line.pick_code, 'detail_state': line.detail_state,
                'kitchen_has': bool(line.uuid) or line.detail_state == 'success',
                'refunded': bool(refunds),
            })
