"""JSAPI payments: prepay, the query by out_trade_no, and the payer paying."""
import datetime
import re
import secrets

from .. import crypto
from .apiv3 import CHINA, ApiError, Part, json_body, param_error, required, rfc3339

OUT_TRADE_NO = re.compile(r'^[0-9A-Za-z_\-|*]{6,32}$')
_TRADE_STATE_DESC = {'SUCCESS': '支付成功', 'REFUND': '转入退款', 'NOTPAY': '订单未支付'}


def parse_time(value):
    try:
        moment = datetime.datetime.fromisoformat(value) if isinstance(value, str) else None
    except ValueError:
        moment = None
    if moment is None or moment.tzinfo is None:
        raise param_error('/time_expire', '须为rfc3339格式的时间', value)
    return moment.timestamp()


def transaction_view(order):
    """The payment as WeChat Pay shows it, in a query's reply and a notification's resource."""
    view = {'appid': order['appid'], 'mchid': order['mchid'],
            'out_trade_no': order['out_trade_no']}
    if order['transaction_id']:
        view['transaction_id'] = order['transaction_id']
    view.update(trade_type='JSAPI', trade_state=order['trade_state'],
                trade_state_desc=_TRADE_STATE_DESC.get(order['trade_state'], ''),
                bank_type='OTHERS', attach='')
    if order['success_time']:
        view['success_time'] = rfc3339(order['success_time'])
    view['payer'] = {'openid': order['openid']}
    view['amount'] = {'total': order['total'], 'payer_total': order['total'],
                      'currency': 'CNY', 'payer_currency': 'CNY'}
    return view


class Payments(Part):
    def routes(self):
        return [
            ('/v3/pay/transactions/jsapi', ['POST'], self.jsapi_prepay),
            ('/v3/pay/transactions/out-trade-no/<out_trade_no>', ['GET'], self.query_transaction),
        ]

    # -- prepay ----------------------------------------------------------------------------

    def jsapi_prepay(self, request):
        return self.apiv3.handle(request, self._prepay)

    def _prepay(self, request):
        body = json_body(request)
        order = {
            'appid': required(body, '/appid'),
            'mchid': required(body, '/mchid'),
            'description': required(body, '/description'),
            'out_trade_no': required(body, '/out_trade_no'),
            'notify_url': required(body, '/notify_url'),
            'total': required(body, '/amount/total', int),
            'openid': required(body, '/payer/openid'),
        }
        expire = body.get('time_expire')
        if expire is not None:
            order['time_expire'] = parse_time(expire)
        currency = body['amount'].get('currency', 'CNY')
        if currency != 'CNY':
            raise param_error('/amount/currency', '仅支持CNY', currency)
        self._check_order(order)
        with self.state.lock:
            known = self.state.transactions.get(order['out_trade_no'])
            if known is not None:
                return {'prepay_id': self._repeat_prepay(known, order)}
            if order['openid'] not in self.state.users:
                raise ApiError(400, 'PARAM_ERROR', 'openid和appid不匹配，请检查后再试')
            order.update(prepay_id=self._prepay_id(), trade_state='NOTPAY', transaction_id=None,
                         success_time=None, created=self.state.clock())
            self.state.transactions[order['out_trade_no']] = order
            return {'prepay_id': order['prepay_id']}

    def _check_order(self, order):
        if order['mchid'] != self.config.mchid:
            raise ApiError(400, 'PARAM_ERROR', '请求中的mchid与Authorization中的mchid不一致')
        if order['appid'] != self.config.wechat_appid:
            raise ApiError(400, 'PARAM_ERROR', 'appid和mch_id不匹配，请检查后再试')
        if not OUT_TRADE_NO.match(order['out_trade_no']):
            raise param_error('/out_trade_no', '商户订单号须为6-32位字母、数字或_-|*',
                              order['out_trade_no'])
        if len(order['description']) > 127:
            raise param_error('/description', '长度不能超过127')
        notify = order['notify_url']
        if not notify.startswith(('http://', 'https://')) or '?' in notify or len(notify) > 255:
            raise param_error('/notify_url', '须为不带参数的http(s)地址', notify)
        if order['total'] <= 0:
            raise param_error('/amount/total', '必须大于0', order['total'])

    @staticmethod
    def _repeat_prepay(known, order):
        """A repeated out_trade_no: the same order again gets its prepay id, another is refused."""
        if known['trade_state'] != 'NOTPAY':
            raise ApiError(400, 'ORDERPAID', '该订单已支付')
        same = all(known.get(key) == order.get(key)
                   for key in ('description', 'total', 'openid', 'time_expire'))
        if not same:
            raise ApiError(400, 'INVALID_REQUEST', '201 商户订单号重复')
        return known['prepay_id']

    def _prepay_id(self):
        stamp = datetime.datetime.fromtimestamp(self.state.clock(), CHINA).strftime('%Y%m%d%H%M%S')
        return 'wx%s%s' % (stamp, secrets.token_hex(10))

    # -- query -----------------------------------------------------------------------------

    def query_transaction(self, request, out_trade_no):
        return self.apiv3.handle(request, self._query_transaction, out_trade_no=out_trade_no)

    def _query_transaction(self, request, out_trade_no):
        if request.args.get('mchid') != self.config.mchid:
            raise ApiError(400, 'PARAM_ERROR', '缺少参数mchid或mchid不正确')
        with self.state.lock:
            order = self.state.transactions.get(out_trade_no)
            if order is None:
                raise ApiError(404, 'ORDER_NOT_EXIST', '订单不存在')
            return transaction_view(order)

    # -- the payer (the control endpoints and the simulated client) ----------------------------

    def confirm_payment(self, out_trade_no, deliveries=1):
        """The payer pays: the order becomes SUCCESS and its notification goes out."""
        with self.state.lock:
            order = self.state.transactions.get(out_trade_no)
            if order is None:
                raise LookupError('no payment with out_trade_no %r' % out_trade_no)
            if order['trade_state'] == 'NOTPAY' and order.get('time_expire', float('inf')) \
                    < self.state.clock():
                order['trade_state'] = 'CLOSED'
            if order['trade_state'] != 'NOTPAY':
                raise ValueError('payment %r is already %s' % (out_trade_no, order['trade_state']))
            order.update(trade_state='SUCCESS', transaction_id=crypto.new_id('4200002', 21),
                         success_time=self.state.clock())
            notification = self.notifications.record(
                'transaction', order['notify_url'], 'TRANSACTION.SUCCESS', '支付成功',
                transaction_view(order))
        return self.notifications.send(notification, deliveries)

    def record_paid(self, resource):
        """The payer paid what ``resource`` says: the payment is SUCCESS under its transaction
        id and amount (made when the sandbox never opened it). Under the state's lock."""
        total = (resource.get('amount') or {}).get('total')
        order = self.state.transactions.setdefault(resource['out_trade_no'], {
            'appid': resource.get('appid'), 'mchid': resource.get('mchid'),
            'out_trade_no': resource['out_trade_no'], 'openid': '', 'notify_url': '',
            'description': '', 'prepay_id': '', 'total': 0, 'success_time': None,
            'created': self.state.clock()})
        order.update(trade_state='SUCCESS', transaction_id=resource.get('transaction_id'),
                     success_time=order.get('success_time') or self.state.clock())
        if isinstance(total, int):
            order['total'] = total
