"""Refund requests: asking WeChat Pay, recording how far each got, and settling those in
progress."""
import logging

from odoo import api, fields, models

from ..services import runtime
from ..services.wechatpay import failure, yuan_to_fen
from .locking import lock_rows
from .sale_order import checked_fen

_logger = logging.getLogger(__name__)

REFUND_STATES = [
    ('draft', 'Requested'),         # in progress: asked, or its outcome not yet known
    ('fail', 'Refused by WeChat Pay'),
    ('done', 'Refunded'),
]
REFUND_NOTIFY_PATH = '/api/wechat_refund_notify'
# What a refund's WeChat Pay status ("status" of a reply or a query) makes of its record.
REFUND_STATUS_STATES = {'SUCCESS': 'done', 'PROCESSING': 'draft', 'CLOSED': 'fail',
                        'ABNORMAL': 'fail'}


class SaleRefundOrder(models.Model):
    _name = 'sale.refund.order'
    _description = 'Refund request'

    name = fields.Char(string='Refund number', readonly=True, index=True)
    sale_order_id = fields.Many2one('sale.order', string='Order', index=True)
    kfc_user_id = fields.Many2one('kfc.user', string='Customer')
    # The failed dish a refund made by the host is for; empty for a refund the customer asked.
    line_id = fields.Many2one('sale.order.line', string='Failed dish', index=True)
    state = fields.Selection(REFUND_STATES, default='draft')
    # The amount asked of WeChat Pay (yuan); 0 until a request was made.
    amount = fields.Float(digits=(16, 2))

    # The number is the out_refund_no at WeChat Pay: notifications find the refund by it.
    _sql_constraints = [('name_uniq', 'unique (name)', 'A refund number is given once.')]

    @api.model_create_multi
    def create(self, vals_list):
        orders = self.env['sale.order']
        vals_list = [dict(vals, name=vals.get('name') or orders._kfc_next_number('sale.refund.order'))
                     for vals in vals_list]
        return super().create(vals_list)

    @api.model
    def _kfc_request(self, out_refund_no, order, amount=False, transaction_id=False,
                     services=None):
        """Ask WeChat Pay to refund ``amount`` fen (text or number; false: all that is left of
        the payment) of ``order`` and record it on the refund named ``out_refund_no`` (made
        when missing): the amount asked, and how far it got. Answers a dict as the host's
        WeChat Pay functions do.

        The order's row is locked and written before its refunds are summed, so that
        concurrent refunds of one order run one after the other and never give back more than
        was paid. An unclear outcome (no reply, a 5xx, a reply that fails verification) leaves
        the refund in progress ("draft") for a query to settle; only a definite refusal makes
        it "fail".
        """
        if not order or not out_refund_no:
            return failure(400, '订单或退款单不存在')
        if not order.is_paid or not order.transaction_id:
            return failure(400, '订单未支付，无法退款')
        if transaction_id and transaction_id != order.transaction_id:
            return failure(400, '交易单号与订单不符')
        services = services or runtime.services(self.env)
        order._kfc_lock_for_refund()
        record = self.sudo().search([('name', '=', out_refund_no)], limit=1)
        if record and record.sale_order_id != order:
            return failure(400, '退款单属于另一个订单')
        total = order._kfc_amount_fen()
        left = total - order._kfc_refunded_fen(leave_out=record)
        try:
            # Only "no amount" means all of it; 0 == False must not turn into a full refund.
            whole = amount is False or amount is None or amount == ''
            refund = left if whole else checked_fen(amount)
            client = services.wechatpay_client()
            notify_url = services.notify_url(REFUND_NOTIFY_PATH, self.env)
        except (TypeError, ValueError, LookupError) as exc:
            return failure(400, str(exc))
        if not 0 < refund <= left:
            return failure(400, '退款金额无效：%s（订单金额 %s 分，可退 %s 分）' % (refund, total, left))
        if record and record.amount and yuan_to_fen(record.amount) != refund:
            return failure(400, '退款单 %s 已申请退款 %s 分'
                           % (out_refund_no, yuan_to_fen(record.amount)))
        if not record:
            record = self.sudo().create({'name': out_refund_no, 'sale_order_id': order.id,
                                         'kfc_user_id': order.kfc_user_id.id})
        record.write({'amount': refund / 100.0,
                      'state': 'draft' if record.state != 'done' else 'done'})
        reply = client.refund(out_refund_no, refund, total, transaction_id=order.transaction_id,
                              notify_url=notify_url)
        record._kfc_record_outcome(reply)
        if not reply.ok:
            return reply.as_failure()
        return {'code': 200, 'data': reply.data, 'message': 'success'}

    def _kfc_record_outcome(self, reply):
        """Set the state from a refund or refund-query reply: a verified status decides, a 4xx
        refuses, anything else leaves it as it was."""
        if reply.ok:
            state = REFUND_STATUS_STATES.get(reply.get('status'))
        elif 400 <= reply.status < 500:
            state = 'fail'
        else:
            state = None        # no trustworthy answer: the outcome stays unknown
        if state and self.state != 'done':
            self.state = state
        return state

    @api.model
    def _kfc_settle_in_progress(self, services):
        """Ask WeChat Pay about every refund still in progress and record the outcome; one
        WeChat Pay never received is asked for again, under the same number. Returns how many
        were settled."""
        settled = 0
        log = self.env['api.log']
        for refund in self.sudo().search([('state', '=', 'draft'), ('amount', '>', 0)]):
            if lock_rows(refund).state != 'draft':
                continue
            reply = services.wechatpay_client().query_refund(refund.name)
            order = refund.sale_order_id
            if reply.status == 404:     # WeChat Pay never received it: ask again, same number
                reply = self._kfc_request(refund.name, order, yuan_to_fen(refund.amount),
                                          order.transaction_id, services=services)
                log._kfc_log('退款重新申请', '微信', reply)
            else:
                refund._kfc_record_outcome(reply)
                log._kfc_log('退款查询', '微信', reply.data if reply.ok else reply.message)
            settled += refund.state != 'draft'
        return settled
