"""Settlement asked for from the back office: the manager's request is recorded, the scheduled
settlement is woken to run it at once, and it writes what each of its passes did on every
request waiting for it (sale.order._cron_settle)."""
import logging

from odoo import api, fields, models

from ..services.redaction import redact

_logger = logging.getLogger(__name__)

RUN_STATES = [('queued', 'Waiting'), ('done', 'Done'), ('failed', 'Failed')]
# The passes, as the settlement counts them.
PASSES = ('payments_found', 'refunds_settled', 'orders_placed', 'cancelled_refunded')


class KfcSettlementRun(models.Model):
    _name = 'kfc.settlement.run'
    _description = 'Settlement asked for'
    _order = 'id desc'

    user_id = fields.Many2one('res.users', string='Asked by', required=True, readonly=True,
                              default=lambda self: self.env.uid)
    asked_at = fields.Datetime(string='Asked at', required=True, readonly=True, default=fields.Datetime.now)
    finished_at = fields.Datetime(string='Finished at', readonly=True)
    state = fields.Selection(RUN_STATES, default='queued', required=True, readonly=True)
    message = fields.Text(string='Why it failed', readonly=True)
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

    def name_get(self):
        return [(run.id, '#%d' % run.id) for run in self]

    @api.model
    def _kfc_waiting(self):
        return self.sudo().search([('state', '=', 'queued')], order='id')

    def _kfc_finish(self, counts=None, failure=None):
        """Write the outcome of the settlement these runs waited for."""
        values = {'finished_at': fields.Datetime.now()}
        if failure is not None:
            values.update(state='failed', message=redact(failure))
        else:
            values.update({name: counts[name] for name in PASSES}, state='done')
        self.write(values)
