"""Domestic refunds: asking for one, the query by out_refund_no, and the bank settling it."""
import re

from .. import crypto
from .apiv3 import ApiError, Part, json_body, param_error, required, rfc3339

OUT_REFUND_NO = re.compile(r'^[0-9A-Za-z_\-|*@]{1,64}$')
SUMMARY = {'SUCCESS': '退款成功', 'ABNORMAL': '退款异常', 'CLOSED': '退款关闭'}


def refund_view(record):
    """The refund as WeChat Pay answers it when asked for or about."""
    view = {'refund_id': record['refund_id'], 'out_refund_no': record['out_refund_no'],
            'transaction_id': record['transaction_id'], 'out_trade_no': record['out_trade_no'],
            'channel': 'ORIGINAL', 'user_received_account': '支付用户零钱'}
    if record['success_time']:
        view['success_time'] = rfc3339(record['success_time'])
    view.update(create_time=rfc3339(record['created']), status=record['status'],
                funds_account='AVAILABLE')
    view['amount'] = {
        'total': record['total'], 'refund': record['refund'], 'from': [],
        'payer_total': record['total'], 'payer_refund': record['refund'],
        'settlement_refund': record['refund'], 'settlement_total': record['total'],
        'discount_refund': 0, 'currency': 'CNY'}
    view['promotion_detail'] = []
    return view


class Refunds(Part):
    def routes(self):
        return [
            ('/v3/refund/domestic/refunds', ['POST'], self.create_refund),
            ('/v3/refund/domestic/refunds/<out_refund_no>', ['GET'], self.query_refund),
        ]

    def create_refund(self, request):
        return self.apiv3.handle(request, self._create_refund)

    def _create_refund(self, request):
        body = json_body(request)
        out_refund_no = required(body, '/out_refund_no')
        if not OUT_REFUND_NO.match(out_refund_no):
            raise param_error('/out_refund_no', '退款单号须为1-64位字母、数字或_-|*@', out_refund_no)
        refund = required(body, '/amount/refund', int)
        total = required(body, '/amount/total', int)
        if required(body, '/amount/currency') != 'CNY':
            raise param_error('/amount/currency', '仅支持CNY', body['amount']['currency'])
        if refund <= 0:
            raise param_error('/amount/refund', '必须大于0', refund)
        notify_url = body.get('notify_url')
        with self.state.lock:
            order = self._refunded_order(body)
            known = self.state.refunds.get(out_refund_no)
            if known is not None:
                if known['out_trade_no'] != order['out_trade_no'] or known['refund'] != refund:
                    raise ApiError(400, 'INVALID_REQUEST', '退款单号已存在，且与本次退款请求不一致')
                return refund_view(known)
            if total != order['total']:
                raise ApiError(400, 'PARAM_ERROR', '订单金额或退款金额与之前请求不一致，请核实后再试')
            if refund > order['total'] - self._refunded(order['out_trade_no']):
                raise ApiError(400, 'INVALID_REQUEST', '申请退款金额超过订单可退金额')
            record = {
                'out_refund_no': out_refund_no, 'refund_id': crypto.new_id('50300', 24),
                'transaction_id': order['transaction_id'], 'out_trade_no': order['out_trade_no'],
                'refund': refund, 'total': total, 'status': 'PROCESSING',
                'notify_url': notify_url, 'created': self.state.clock(), 'success_time': None,
            }
            self.state.refunds[out_refund_no] = record
            order['trade_state'] = 'REFUND'
            return refund_view(record)

    def _refunded_order(self, body):
        transaction_id, out_trade_no = body.get('transaction_id'), body.get('out_trade_no')
        if not (transaction_id or out_trade_no):
            raise param_error('/transaction_id', 'transaction_id和out_trade_no必须二选一')
        for order in self.state.transactions.values():
            if (order['transaction_id'] == transaction_id if transaction_id
                    else order['out_trade_no'] == out_trade_no):
                if order['trade_state'] not in ('SUCCESS', 'REFUND'):
                    raise ApiError(400, 'INVALID_REQUEST', '订单未支付，无法退款')
                return order
        raise ApiError(404, 'RESOURCE_NOT_EXISTS', '订单不存在')

    def _refunded(self, out_trade_no):
        return sum(r['refund'] for r in self.state.refunds.values()
                   if r['out_trade_no'] == out_trade_no
                   and r['status'] in ('PROCESSING', 'SUCCESS'))

    def query_refund(self, request, out_refund_no):
        return self.apiv3.handle(request, self._query_refund, out_refund_no=out_refund_no)

    def _query_refund(self, request, out_refund_no):
        with self.state.lock:
            record = self.state.refunds.get(out_refund_no)
            if record is None:
                raise ApiError(404, 'RESOURCE_NOT_EXISTS', '退款单不存在')
            return refund_view(record)

    # -- the bank (the control endpoints) ----------------------------------------------------

    def complete_refund(self, out_refund_no, status='SUCCESS', deliveries=1):
        """The bank settles a refund: SUCCESS, ABNORMAL or CLOSED, and its notification goes out."""
        if status not in SUMMARY:
            raise ValueError('refund status must be one of %s' % ', '.join(SUMMARY))
        with self.state.lock:
            record = self.state.refunds.get(out_refund_no)
            if record is None:
                raise LookupError('no refund with out_refund_no %r' % out_refund_no)
            if record['status'] != 'PROCESSING':
                raise ValueError('refund %r is already %s' % (out_refund_no, record['status']))
            record['status'] = status
            if status == 'SUCCESS':
                record['success_time'] = self.state.clock()
            resource = {
                'mchid': self.config.mchid, 'out_trade_no': record['out_trade_no'],
                'transaction_id': record['transaction_id'],
                'out_refund_no': out_refund_no, 'refund_id': record['refund_id'],
                'refund_status': status}
            if record['success_time']:
                resource['success_time'] = rfc3339(record['success_time'])
            resource['user_received_account'] = '支付用户零钱'
            resource['amount'] = {'total': record['total'], 'refund': record['refund'],
                                  'payer_total': record['total'], 'payer_refund': record['refund']}
            notification = self.notifications.record(
                'refund', record['notify_url'], 'REFUND.' + status, SUMMARY[status], resource)
        return self.notifications.send(notification, deliveries)
