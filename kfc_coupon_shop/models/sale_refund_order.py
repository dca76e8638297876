"""Refunds: what each gives back and of which payment, asking WeChat Pay, recording how far each
got, and settling those in progress."""
import datetime
import logging

from odoo import _, api, fields, models
from odoo.exceptions import UserError

from ..services import runtime
from ..services.money import fen_to_yuan, yuan_to_fen
from ..tools.kept_records import refuse_deleting
from ..tools.lifecycle import check_transition
from ..tools.locking import lock_rows
from ..tools.settling import settle_each
from ..tools.web_client import CLOSE, notification
from .sale_order import REFUND_NOTIFY_PATH

_logger = logging.getLogger(__name__)

REFUND_STATES = [
    ('draft', 'In progress'),       # asked, or its outcome not yet known
    ('fail', 'Refused'),
    ('done', 'Refunded'),
]
# How a refund's state may move; see lifecycle. WeChat Pay's verified word that the money went
# back stands over a refund the shop had given up on.
REFUND_TRANSITIONS = {
    'fail': ('draft',),
    'done': ('draft', 'fail'),
}
# What a refund's WeChat Pay status ("status" of a reply or a query) makes of its record.
REFUND_STATUS_STATES = {'SUCCESS': 'done', 'PROCESSING': 'draft', 'CLOSED': 'fail',
                        'ABNORMAL': 'fail'}
# Refusals that say "not now" rather than "no": the refund stays in progress and is asked again.
RETRY_LATER_CODES = ('NOT_ENOUGH', 'FREQUENCY_LIMITED')
MISMATCH_REASON = '支付与订单不符'
# A refund WeChat Pay has not taken (it answers "not now", fails, or knows nothing of it) is
# asked again, at growing intervals, for this long; then it fails for the staff to see.
ASK_AGAIN_FOR = datetime.timedelta(days=3)
FIRST_FOLLOW_UP = datetime.timedelta(minutes=1)
LONGEST_INTERVAL = datetime.timedelta(hours=1)


def follow_up_interval(attempts):
    """How long after its ``attempts``-th follow-up a refund in progress is looked at again:
    one minute, doubling, at most an hour."""
    return min(FIRST_FOLLOW_UP * 2 ** min(attempts, 16), LONGEST_INTERVAL)


def is_definite_refusal(reply):
    """Whether WeChat Pay refused a refund request for good: a 4xx other than 429 and the
    codes that ask to come back later."""
    return (400 <= reply.status < 500 and reply.status != 429
            and reply.get('code') not in RETRY_LATER_CODES)


class SaleRefundOrder(models.Model):
    _name = 'sale.refund.order'
    _description = 'Refund request'

    name = fields.Char(string='Refund number', readonly=True, copy=False)
    sale_order_id = fields.Many2one('sale.order', string='Order', index=True)
    kfc_user_id = fields.Many2one('kfc.user', string='Customer')
    # The dishes the refund gives back; none for a refund of an amount alone.
    line_ids = fields.Many2many('sale.order.line', string='Dishes refunded')
    dish_names = fields.Char(string='Dishes', compute='_compute_dish_names')
    state = fields.Selection(REFUND_STATES, default='draft', readonly=True, copy=False)
    # The amount asked of WeChat Pay (yuan), and the payment it comes from: both committed with
    # the refund before it is asked for, so that asking again asks the same.
    currency_id = fields.Many2one('res.currency', string='Currency',
                                  compute='_compute_currency_id', store=True)
    amount = fields.Monetary()
    transaction_id = fields.Char(string='Payment')
    payment_amount = fields.Monetary(string='Payment amount')
    reason = fields.Char(help='Sent to WeChat Pay with the refund: a staff decision, or the '
                              'shop\'s own account of why it gives the money back.')
    failure_reason = fields.Text(string='Why it failed', readonly=True)
    # The order's state before this refund cancelled it; empty when it did not.
    cancelled_order_state = fields.Char(string='Order state before', readonly=True)
    # While in progress: how often settlement followed it up, and when it is due again.
    attempts = fields.Integer(readonly=True)
    next_attempt_at = fields.Datetime(string='Next follow-up', readonly=True, index=True)

    # The number is the out_refund_no at WeChat Pay: notifications find the refund by it.
    _sql_constraints = [('name_uniq', 'unique (name)', 'A refund number is given once.')]

    @api.model_create_multi
    def create(self, vals_list):
        orders = self.env['sale.order']
        due = fields.Datetime.now() + FIRST_FOLLOW_UP
        vals_list = [dict(vals, name=vals.get('name') or orders._kfc_next_number('sale.refund.order'),
                          next_attempt_at=vals.get('next_attempt_at') or due)
                     for vals in vals_list]
        return super().create(vals_list)

    @api.depends('sale_order_id.currency_id')
    def _compute_currency_id(self):
        for refund in self:
            refund.currency_id = refund.sale_order_id.currency_id

    @api.depends('line_ids.product_id.name')
    def _compute_dish_names(self):
        for refund in self:
            refund.dish_names = ', '.join(refund.line_ids.mapped('product_id.name'))

    def write(self, vals):
        check_transition(self, 'state', vals, REFUND_TRANSITIONS)
        return super().write(vals)

    def unlink(self):
        refuse_deleting(self, lambda refund: _('a refund is a money record.'))
        return super().unlink()

    # -- asking WeChat Pay -------------------------------------------------------------------

    def _kfc_send(self, services=None):
        """Ask WeChat Pay for this refund, with the number, amount and payment recorded on it,
        and record how far it got. Returns WeChat Pay's reply (a PayReply)."""
        self.ensure_one()
        services = services or runtime.services(self.env)
        client = services.wechatpay_client()
        reply = client.refund(self.name, yuan_to_fen(self.amount),
                              yuan_to_fen(self.payment_amount),
                              transaction_id=self.transaction_id,
                              notify_url=services.notify_url(REFUND_NOTIFY_PATH, self.env),
                              reason=self.reason or None)
        services.record(self.env, lambda: self._kfc_record_outcome(reply))
        return reply

    def _kfc_send_after_commit(self, services):
        """Ask WeChat Pay for this refund once the transaction that made it has committed (a
        request that goes on after it, and holds locks, does not wait for WeChat Pay); until
        then, and if that fails, it is a refund in progress that settlement follows up."""
        refund_id = self.id

        def send(env):
            refund = env['sale.refund.order'].browse(refund_id)
            reply = refund._kfc_send(services)
            env['api.log']._kfc_log('退款申请', '微信', refund._kfc_reply(reply))
        services.after_commit(self.env, send)

    def _kfc_reply(self, reply):
        """The refund as the host's WeChat Pay functions answer it: WeChat Pay's data on
        success, else a code and a readable message."""
        if not reply.ok:
            return reply.as_failure()
        return {'code': 200, 'data': reply.data, 'message': 'success'}

    def _kfc_record_outcome(self, reply, query=False):
        """Set the state from a refund reply, or from a query's (``query``): a verified status
        decides; a definite refusal of the request refuses; anything else, a query answered
        other than 200 included, leaves the refund as it was."""
        if reply.ok:
            state = REFUND_STATUS_STATES.get(reply.get('status'))
        elif not query and is_definite_refusal(reply):
            state = 'fail'
        else:
            state = None        # no trustworthy answer: the outcome stays unknown
        if state and self.state == 'draft':
            self.state = state
            if state == 'fail':
                self._kfc_release(reply.message or _('WeChat Pay: %s', reply.get('status')))
        return state

    def _kfc_release(self, why):
        """A refused refund gives back nothing, so the dishes it had cancelled are to be made
        again: they and their order go back to what they were."""
        self.failure_reason = why
        self.env['api.log']._kfc_log('退款失败', '微信', {'refund': self.name, 'why': why})
        lines = self.line_ids.filtered(lambda line: line.detail_state == 'cancel' and not line.uuid)
        lines.write({'detail_state': False})
        lines.coupon_ids.filtered(lambda coupon: coupon.state == 'exchange').write({'state': 'done'})
        order = self.sale_order_id
        if self.cancelled_order_state and order.state == 'cancel':
            order.state = self.cancelled_order_state

    @api.model
    def _kfc_refund_payment(self, order, result, why, services):
        """Give back a whole payment that WeChat Pay reported for ``order`` but that is not its
        payment (``result``: the decrypted notification), under a number made of its
        transaction id, so that a notification delivered again refunds nothing twice."""
        transaction_id = result.get('transaction_id')
        total = (result.get('amount') or {}).get('total')
        name = 'RM%s' % transaction_id
        if not transaction_id or self.sudo().search_count([('name', '=', name)]):
            return
        if not isinstance(total, int) or isinstance(total, bool) or total <= 0:
            _logger.warning('payment %s of %s: no amount to refund', transaction_id, order.name)
            return
        refund = self.sudo().create({
            'name': name, 'sale_order_id': order.id, 'kfc_user_id': order.kfc_user_id.id,
            'amount': fen_to_yuan(total), 'transaction_id': transaction_id,
            'payment_amount': fen_to_yuan(total), 'reason': MISMATCH_REASON,
            'failure_reason': False})
        self.env['api.log']._kfc_log('退回不符的支付', '微信', {'refund': name, 'why': why})
        refund._kfc_send_after_commit(services)

    # -- settlement --------------------------------------------------------------------------

    @api.model
    def _kfc_settle_in_progress(self, services):
        """Follow up every refund in progress that is due; returns how many were settled."""
        due = self.sudo().search([('state', '=', 'draft'), ('amount', '>', 0), '|',
                                  ('next_attempt_at', '=', False),
                                  ('next_attempt_at', '<=', fields.Datetime.now())])
        return settle_each(due, lambda refund: refund._kfc_follow_up(services) is not None
                           and refund.state != 'draft', services)

    def _kfc_query(self, services):
        """Follow the refund up now, due or not (the back office's button): its row taken and
        read again first. None when it is no longer in progress, else WeChat Pay's reply."""
        self.ensure_one()
        lock_rows(self)
        return self._kfc_follow_up(services, due_or_not=True)

    def _kfc_follow_up(self, services, due_or_not=False):
        """Ask WeChat Pay how far the refund got and record it; one WeChat Pay never received
        is asked for again, under the same number, until ASK_AGAIN_FOR has passed since it was
        made: then it fails for the staff. The next follow-up is booked (and committed) before
        WeChat Pay is asked, so that another run leaves it alone meanwhile. None when it is not
        in progress (or not due), else WeChat Pay's last reply."""
        now = fields.Datetime.now()
        if self.state != 'draft' or (not due_or_not and self.next_attempt_at
                                     and self.next_attempt_at > now):
            return None
        self.write({'attempts': self.attempts + 1,
                    'next_attempt_at': now + follow_up_interval(self.attempts + 1)})
        services.commit(self.env)
        log = self.env['api.log']
        reply = services.wechatpay_client().query_refund(self.name)
        if reply.status != 404:
            services.record(self.env, lambda: self._kfc_record_outcome(reply, query=True))
            log._kfc_log('退款查询', '微信', reply.data if reply.ok else reply.message)
        elif self.create_date < now - ASK_AGAIN_FOR:
            self._kfc_give_up(_('WeChat Pay did not take the refund within %d days',
                                ASK_AGAIN_FOR.days))
        else:                           # WeChat Pay never received it: ask again, same number
            reply = self._kfc_send(services)
            log._kfc_log('退款重新申请', '微信', reply.data if reply.ok else reply.message)
        return reply

    def _kfc_give_up(self, why):
        """No answer settled the refund in time: it fails, for the staff to see and act on
        (nothing is known to have moved, so the dishes it covers stay as they are)."""
        self.write({'state': 'fail', 'failure_reason': why})
        self.env['api.log']._kfc_log('退款失败', '微信', {'refund': self.name, 'why': why})

    # -- the back office ---------------------------------------------------------------------

    def action_kfc_query(self):
        """Ask WeChat Pay now about these refunds in progress, as the settlement does (Staff
        may: reading the refunds is the right it takes)."""
        self.check_access_rights('read')
        self.check_access_rule('read')
        states = dict(self._fields['state']._description_selection(self.env))
        messages, kind = [], 'info'
        for refund in self.sudo().filtered(lambda refund: refund.state == 'draft'
                                           and refund.amount > 0):
            try:
                reply = refund._kfc_query(runtime.services(refund.env))
            except runtime.NotConfigured:
                raise UserError(_('WeChat Pay is not configured')) from None
            except LookupError as exc:      # no https notification address: nothing was sent
                raise UserError(str(exc)) from None
            if reply is not None and not reply.ok and refund.state == 'draft':
                kind = 'warning'
                messages.append(_('%(refund)s: no clear answer from WeChat Pay (%(why)s); it '
                                  'stays in progress.', refund=refund.name, why=reply.message))
            else:
                messages.append(_('%(refund)s: %(state)s.', refund=refund.name,
                                  state=states[refund.state]))
        return notification(' '.join(messages) or _('No refund in progress.'), kind, CLOSE)
