"""The settlement run by hand: ``sale.order._kfc_settle()`` once, as the scheduled action runs
it, and what each of its passes did."""
from odoo import _, fields, models
from odoo.exceptions import UserError

# The passes, as the settlement counts them.
PASSES = ('payments_found', 'refunds_settled', 'orders_placed', 'cancelled_refunded')


class SaleOrderSettle(models.TransientModel):
    _name = 'sale.order.settle'
    _description = 'Settlement run by hand'

    done = fields.Boolean(readonly=True)
    payments_found = fields.Integer(
        string='Payments found', readonly=True,
        help='Orders left unpaid past their deadline that WeChat Pay says were paid (their '
             'notification never came), now applied as the notification would have been.')
    refunds_settled = fields.Integer(
        string='Refunds settled', readonly=True,
        help='Refunds in progress that WeChat Pay has now settled (refunded or refused); one '
             'it never received was asked for again.')
    orders_placed = fields.Integer(
        string='Paid orders placed', readonly=True,
        help='Paid orders left in "Created" a minute after their payment, now handed to the '
             'kitchen.')
    cancelled_refunded = fields.Integer(
        string='Cancelled orders refunded', readonly=True,
        help='Orders paid after their cancellation, whose payment is now asked back.')

    def action_settle(self):
        self.ensure_one()
        try:
            counts = self.env['sale.order']._kfc_settle()
        except LookupError as exc:      # an outside service is not configured
            raise UserError(str(exc)) from None
        self.write(dict({name: counts[name] for name in PASSES}, done=True))
        return {'type': 'ir.actions.act_window', 'name': _('Settle now'), 'res_model': self._name,
                'res_id': self.id, 'view_mode': 'form', 'target': 'new'}
