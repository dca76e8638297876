"""WeChat Pay APIv3: JSAPI prepay, refunds, order queries, the daily trade bill (trade_bill.py),
and the notifications they lead to.

Every request must carry a valid merchant signature over the raw bytes received (401 SIGN_ERROR
otherwise); bodies are checked as the real service checks them (400 PARAM_ERROR for a missing
field or an amount that is not an integer). 2xx replies are signed with the platform key.
Notifications are compact JSON envelopes whose resource is AES-256-GCM encrypted with the APIv3
key, signed with the platform key and POSTed to the notify_url of the request; the status and
body of each answer are recorded. Only 200 and 204 count as received; a notification that was
not received is sent again on WeChat Pay's schedule (15 s, 15 s, 30 s, 3 min ... 6 h), each wait
multiplied by the state's ``notify_retry_scale``.
"""
import datetime
import decimal
import hashlib
import json
import re
import secrets
import uuid

import requests
from werkzeug.wrappers import Response

from . import crypto, trade_bill
from .replies import compact_json, json_response, request_id

CHINA = datetime.timezone(datetime.timedelta(hours=8))
OUT_TRADE_NO = re.compile(r'^[0-9A-Za-z_\-|*]{6,32}$')
OUT_REFUND_NO = re.compile(r'^[0-9A-Za-z_\-|*@]{1,64}$')
SIGNATURE_WINDOW = 300
BILL_DATE = re.compile(r'^\d{4}-\d{2}-\d{2}$')
# The bill's download address is WeChat Pay's own, as the real service answers it (a host in
# sandbox mode maps that origin onto the simulator); it is good for this many seconds.
BILL_DOWNLOAD_URL = 'https://api.mch.weixin.qq.com/v3/billdownload/file?token=%s'
BILL_DOWNLOAD_TTL = 300
# Seconds between the deliveries of a notification that is not answered with 200 or 204.
RETRY_SCHEDULE = (15, 15, 30, 180, 600, 1200, 1800, 1800, 1800, 3600, 10800, 10800, 10800,
                  21600, 21600)
_REFUND_SUMMARY = {'SUCCESS': '退款成功', 'ABNORMAL': '退款异常', 'CLOSED': '退款关闭'}


def rfc3339(seconds):
    return datetime.datetime.fromtimestamp(seconds, CHINA).isoformat(timespec='seconds')


def _truncated(message):
    """The signed text as WeChat Pay echoes it: four header lines and the body's start."""
    lines = message.split(b'\n', 4)
    return (b'\n'.join(lines[:4]) + b'\n' + lines[4][:8] + b'\n').decode('utf-8', 'replace')


def _is_int(value):
    return isinstance(value, int) and not isinstance(value, bool)


class ApiError(Exception):
    def __init__(self, status, code, message, detail=None):
        super().__init__(message)
        self.status, self.code, self.message, self.detail = status, code, message, detail

    def response(self):
        body = {'code': self.code, 'message': self.message}
        if self.detail is not None:
            body['detail'] = self.detail
        return json_response(body, self.status, headers={'Request-ID': request_id()})


def _param_error(field, issue, value=None):
    detail = {'field': field, 'location': 'body', 'issue': issue}
    if value is not None:
        detail['value'] = value
    return ApiError(400, 'PARAM_ERROR', '输入源“/body%s”映射到值字段失败：%s' % (field, issue), detail)


def _required(body, path, kind=str):
    """body's value at a "/a/b" path, checked for presence and type."""
    value = body
    for key in path.strip('/').split('/'):
        value = value.get(key) if isinstance(value, dict) else None
        if value is None:
            raise _param_error(path, '此字段为必填项')
    if kind is int and not _is_int(value):
        raise _param_error(path, '必须为整数', value)
    if kind is str and (not isinstance(value, str) or not value):
        raise _param_error(path, '必须为非空字符串', value)
    if kind is dict and not isinstance(value, dict):
        raise _param_error(path, '必须为对象', value)
    return value


class WechatPayService:
    name = 'wechatpay'

    def __init__(self, state):
        self.state = state
        self.config = state.config
        self._merchant_key = crypto.load_public(self.config.merchant_public_key_pem)
        self._platform_key = crypto.load_private(self.config.platform_private_key_pem)

    def routes(self):
        return [
            ('/v3/pay/transactions/jsapi', ['POST'], self.jsapi_prepay),
            ('/v3/pay/transactions/out-trade-no/<out_trade_no>', ['GET'], self.query_transaction),
            ('/v3/refund/domestic/refunds', ['POST'], self.create_refund),
            ('/v3/refund/domestic/refunds/<out_refund_no>', ['GET'], self.query_refund),
            ('/v3/bill/tradebill', ['GET'], self.trade_bill),
            ('/v3/billdownload/file', ['GET'], self.download_bill),
        ]

    # -- request authentication and signed replies -------------------------------------------

    def _authenticate(self, request):
        """Checks the Authorization header against the exact bytes received."""
        params = crypto.parse_authorization(request.headers.get('Authorization'))
        if params is None:
            raise ApiError(401, 'SIGN_ERROR', 'Http头Authorization值格式错误，请参考《微信支付商户'
                                              'REST API签名规则》')
        if params['mchid'] != self.config.mchid:
            raise ApiError(401, 'SIGN_ERROR', '商户号与Authorization中的mchid不符')
        if params['serial_no'].upper() != self.config.merchant_serial.upper():
            raise ApiError(401, 'SIGN_ERROR', '商户证书序列号有误。请使用签名私钥匹配的证书序列号')
        if not params['timestamp'].isdigit() or abs(
                self.state.clock() - int(params['timestamp'])) > SIGNATURE_WINDOW:
            raise ApiError(401, 'SIGN_ERROR', 'Authorization中的timestamp已过期')
        path = request.environ.get('RAW_URI') or request.full_path.rstrip('?')
        message = crypto.signed_request_text(request.method, path, params['timestamp'],
                                             params['nonce_str'], request.get_data())
        if not crypto.verify(self._merchant_key, message, params['signature']):
            raise ApiError(401, 'SIGN_ERROR', '签名错误，请检查后再试', {
                'field': 'signature', 'location': 'authorization',
                'detail': {'issue': 'sign not match'},
                'sign_information': {
                    'method': request.method, 'url': path,
                    'sign_message_length': len(message),
                    'truncated_sign_message': _truncated(message)}})

    def _signed(self, payload, status=200):
        body = compact_json(payload).encode('utf-8')
        return json_response(payload, status, headers=self._signature_headers(body))

    def _signature_headers(self, body, probe=False, timestamp=None):
        timestamp = timestamp or str(int(self.state.clock()))
        nonce = crypto.random_nonce()
        if probe:
            signature = 'WECHATPAY/SIGNTEST/' + secrets.token_urlsafe(64)
        else:
            message = b'%s\n%s\n%s\n' % (timestamp.encode(), nonce.encode(), body)
            signature = crypto.sign(self._platform_key, message)
        return {
            'Request-ID': request_id(),
            'Wechatpay-Nonce': nonce,
            'Wechatpay-Signature': signature,
            'Wechatpay-Timestamp': timestamp,
            'Wechatpay-Serial': self.config.platform_serial,
            'Wechatpay-Signature-Type': crypto.AUTH_SCHEME,
        }

    def _handle(self, request, action, **values):
        try:
            self._authenticate(request)
            return self._signed(action(request, **values))
        except ApiError as error:
            return error.response()

    def _body(self, request):
        try:
            body = json.loads(request.get_data())
        except ValueError:
            raise ApiError(400, 'PARAM_ERROR', '请求体不是合法的JSON') from None
        if not isinstance(body, dict):
            raise ApiError(400, 'PARAM_ERROR', '请求体必须是JSON对象')
        return body

    # -- JSAPI prepay ------------------------------------------------------------------------

    def jsapi_prepay(self, request):
        return self._handle(request, self._prepay)

    def _prepay(self, request):
        body = self._body(request)
        order = {
            'appid': _required(body, '/appid'),
            'mchid': _required(body, '/mchid'),
            'description': _required(body, '/description'),
            'out_trade_no': _required(body, '/out_trade_no'),
            'notify_url': _required(body, '/notify_url'),
            'total': _required(body, '/amount/total', int),
            'openid': _required(body, '/payer/openid'),
        }
        expire = body.get('time_expire')
        if expire is not None:
            order['time_expire'] = self._parse_time(expire)
        currency = body['amount'].get('currency', 'CNY')
        if currency != 'CNY':
            raise _param_error('/amount/currency', '仅支持CNY', currency)
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

    @staticmethod
    def _parse_time(value):
        try:
            moment = datetime.datetime.fromisoformat(value) if isinstance(value, str) else None
        except ValueError:
            moment = None
        if moment is None or moment.tzinfo is None:
            raise _param_error('/time_expire', '须为rfc3339格式的时间', value)
        return moment.timestamp()

    def _check_order(self, order):
        if order['mchid'] != self.config.mchid:
            raise ApiError(400, 'PARAM_ERROR', '请求中的mchid与Authorization中的mchid不一致')
        if order['appid'] != self.config.wechat_appid:
            raise ApiError(400, 'PARAM_ERROR', 'appid和mch_id不匹配，请检查后再试')
        if not OUT_TRADE_NO.match(order['out_trade_no']):
            raise _param_error('/out_trade_no', '商户订单号须为6-32位字母、数字或_-|*',
                               order['out_trade_no'])
        if len(order['description']) > 127:
            raise _param_error('/description', '长度不能超过127')
        notify = order['notify_url']
        if not notify.startswith(('http://', 'https://')) or '?' in notify or len(notify) > 255:
            raise _param_error('/notify_url', '须为不带参数的http(s)地址', notify)
        if order['total'] <= 0:
            raise _param_error('/amount/total', '必须大于0', order['total'])

    def _repeat_prepay(self, known, order):
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

    def query_transaction(self, request, out_trade_no):
        return self._handle(request, self._query_transaction, out_trade_no=out_trade_no)

    def _query_transaction(self, request, out_trade_no):
        if request.args.get('mchid') != self.config.mchid:
            raise ApiError(400, 'PARAM_ERROR', '缺少参数mchid或mchid不正确')
        with self.state.lock:
            order = self.state.transactions.get(out_trade_no)
            if order is None:
                raise ApiError(404, 'ORDER_NOT_EXIST', '订单不存在')
            return self._transaction_view(order)

    def _transaction_view(self, order):
        view = {'appid': order['appid'], 'mchid': order['mchid'],
                'out_trade_no': order['out_trade_no']}
        if order['transaction_id']:
            view['transaction_id'] = order['transaction_id']
        view.update(trade_type='JSAPI', trade_state=order['trade_state'],
                    trade_state_desc={'SUCCESS': '支付成功', 'REFUND': '转入退款',
                                      'NOTPAY': '订单未支付'}.get(order['trade_state'], ''),
                    bank_type='OTHERS', attach='')
        if order['success_time']:
            view['success_time'] = rfc3339(order['success_time'])
        view['payer'] = {'openid': order['openid']}
        view['amount'] = {'total': order['total'], 'payer_total': order['total'],
                          'currency': 'CNY', 'payer_currency': 'CNY'}
        return view

    # -- replies that must not be trusted (the "forge" fault) ---------------------------------

    def forge(self, response, alter):
        """The signed 2xx reply ``response``, altered as the fault says."""
        if not 200 <= response.status_code < 300:
            return response
        payload = json.loads(response.get_data())
        timestamp = None
        if alter == 'field' and payload:      # a refund's status, a prepay's prepay_id
            payload.pop('status' if 'status' in payload else next(iter(payload)))
        body = compact_json(payload).encode('utf-8')
        if alter == 'charset':
            body = compact_json(dict(payload, note='支付')).encode('gbk')
        if alter == 'stale':
            timestamp = str(int(self.state.clock()) - 600)
        headers = self._signature_headers(body, timestamp=timestamp)
        if alter == 'signature':
            headers['Wechatpay-Signature'] = self._signature_headers(body + b' ')['Wechatpay-Signature']
        forged = json_response({}, response.status_code, headers=headers)
        forged.set_data(body)
        return forged

    # -- refunds ---------------------------------------------------------------------------

    def create_refund(self, request):
        return self._handle(request, self._create_refund)

    def _create_refund(self, request):
        body = self._body(request)
        out_refund_no = _required(body, '/out_refund_no')
        if not OUT_REFUND_NO.match(out_refund_no):
            raise _param_error('/out_refund_no', '退款单号须为1-64位字母、数字或_-|*@', out_refund_no)
        refund = _required(body, '/amount/refund', int)
        total = _required(body, '/amount/total', int)
        if _required(body, '/amount/currency') != 'CNY':
            raise _param_error('/amount/currency', '仅支持CNY', body['amount']['currency'])
        if refund <= 0:
            raise _param_error('/amount/refund', '必须大于0', refund)
        notify_url = body.get('notify_url')
        with self.state.lock:
            order = self._refunded_order(body)
            known = self.state.refunds.get(out_refund_no)
            if known is not None:
                if known['out_trade_no'] != order['out_trade_no'] or known['refund'] != refund:
                    raise ApiError(400, 'INVALID_REQUEST', '退款单号已存在，且与本次退款请求不一致')
                return self._refund_view(known)
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
            return self._refund_view(record)

    def _refunded_order(self, body):
        transaction_id, out_trade_no = body.get('transaction_id'), body.get('out_trade_no')
        if not (transaction_id or out_trade_no):
            raise _param_error('/transaction_id', 'transaction_id和out_trade_no必须二选一')
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

    def _refund_view(self, record):
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

    def query_refund(self, request, out_refund_no):
        return self._handle(request, self._query_refund, out_refund_no=out_refund_no)

    def _query_refund(self, request, out_refund_no):
        with self.state.lock:
            record = self.state.refunds.get(out_refund_no)
            if record is None:
                raise ApiError(404, 'RESOURCE_NOT_EXISTS', '退款单不存在')
            return self._refund_view(record)

    # -- the daily trade bill --------------------------------------------------------------

    def trade_bill(self, request):
        return self._handle(request, self._trade_bill)

    def _trade_bill(self, request):
        bill_date = request.args.get('bill_date', '')
        if not BILL_DATE.match(bill_date):
            raise ApiError(400, 'PARAM_ERROR', '账单日期格式须为yyyy-MM-dd', {
                'field': 'bill_date', 'location': 'query', 'value': bill_date})
        if request.args.get('bill_type', 'ALL') != 'ALL' or request.args.get('tar_type'):
            raise ApiError(400, 'PARAM_ERROR', '沙箱仅提供不压缩的ALL类型账单')
        day = datetime.date.fromisoformat(bill_date)
        with self.state.lock:
            lines = self._bill_lines(day)
            if not lines:
                raise ApiError(400, 'NO_STATEMENT_EXIST', '请求的账单文件不存在')
            text = trade_bill.write(lines).encode('utf-8')
            token = secrets.token_urlsafe(24)
            self.state.bill_files[token] = (text, self.state.clock() + BILL_DOWNLOAD_TTL)
        return {'hash_type': 'SHA1', 'hash_value': hashlib.sha1(text).hexdigest(),
                'download_url': BILL_DOWNLOAD_URL % token}

    def _bill_lines(self, day):
        """The day's payments and accepted refunds, in time order, each changed as the control
        side asked (``amend_bill``)."""
        mchid = self.config.mchid
        lines = [(order['success_time'], trade_bill.payment_line(order, mchid))
                 for order in self.state.transactions.values()
                 if order.get('success_time') and trade_bill.china_day(order['success_time']) == day]
        lines += [(refund['created'], trade_bill.refund_line(
                      refund, self.state.transactions.get(refund['out_trade_no'], {}), mchid))
                  for refund in self.state.refunds.values()
                  if trade_bill.china_day(refund['created']) == day]
        lines = [line for _, line in sorted(lines, key=lambda pair: pair[0])]
        for line in lines:
            number = line['商户退款单号'] if line['交易状态'] == 'REFUND' else line['商户订单号']
            line.update(self.state.bill_amendments.get(number, {}))
        return lines

    def download_bill(self, request):
        try:
            self._authenticate(request)
        except ApiError as error:
            return error.response()
        with self.state.lock:
            text, expires = self.state.bill_files.get(request.args.get('token'), (None, 0))
        if text is None or expires < self.state.clock():
            return ApiError(400, 'INVALID_REQUEST', '下载地址已过期或无效').response()
        # Not signed: WeChat Pay sends the file without a Wechatpay-Signature.
        return Response(text, status=200, content_type='text/plain; charset=utf-8',
                        headers={'Request-ID': request_id()})

    def amend_bill(self, number, column, value):
        """Make the bill line of payment or refund ``number`` show ``value`` in ``column``."""
        if column not in trade_bill.COLUMNS:
            raise ValueError('"column" must be a column of the trade bill')
        if column.endswith('金额'):
            try:
                decimal.Decimal(value)
            except decimal.InvalidOperation:
                raise ValueError('%s must be an amount in yuan' % column) from None
        with self.state.lock:
            self.state.bill_amendments.setdefault(number, {})[column] = value
            return dict(self.state.bill_amendments[number])

    # -- acts of the payer and of the bank (used by the control endpoints) --------------------

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
            resource = self._transaction_view(order)
            notification = self._notification('transaction', order['notify_url'],
                                               'TRANSACTION.SUCCESS', '支付成功', resource)
        return self._send(notification, deliveries)

    def complete_refund(self, out_refund_no, status='SUCCESS', deliveries=1):
        """The bank settles a refund: SUCCESS, ABNORMAL or CLOSED, and its notification goes out."""
        if status not in _REFUND_SUMMARY:
            raise ValueError('refund status must be one of %s' % ', '.join(_REFUND_SUMMARY))
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
            notification = self._notification('refund', record['notify_url'],
                                              'REFUND.' + status, _REFUND_SUMMARY[status], resource)
        return self._send(notification, deliveries)

    # -- a notification as a test wants it --------------------------------------------------

    def made_notification(self, out_trade_no=None, out_refund_no=None, resource=None,
                          algorithm=None, tamper=None, headers=None, url=None, deliver=True):
        """A payment (``out_trade_no``) or refund (``out_refund_no``) notification, sealed and
        signed as WeChat Pay does, with what a test wants changed: ``resource`` fields over
        the sandbox's own (or all of them, for a number it does not know), the envelope's
        ``algorithm``, one part of the sealed resource spoilt before signing (``tamper``:
        ciphertext, nonce or associated_data), signature ``headers`` replaced (a null value
        drops one). A SUCCESS payment is recorded as paid, so that it can be refunded.

        Returns {url, headers, body} and, when ``deliver``, the answer: {status, body,
        received}."""
        kind = 'transaction' if out_trade_no else 'refund'
        with self.state.lock:
            resource = dict(self._notified_resource(kind, out_trade_no or out_refund_no),
                            **(resource or {}))
            record = (self.state.transactions.get(out_trade_no) if out_trade_no
                      else self.state.refunds.get(out_refund_no)) or {}
            url = url or record.get('notify_url')
            if not url:
                raise ValueError('no notify_url is known for it: give "url"')
            if kind == 'transaction' and resource.get('trade_state') == 'SUCCESS':
                self._record_paid(resource)
        event = ('TRANSACTION.SUCCESS' if kind == 'transaction'
                 else 'REFUND.' + str(resource.get('refund_status', 'SUCCESS')))
        envelope = self._envelope(kind, event, '支付成功' if kind == 'transaction' else '退款成功',
                                  resource)
        if algorithm is not None:
            envelope['resource']['algorithm'] = algorithm
        if tamper:
            envelope['resource'] = crypto.tampered(envelope['resource'], tamper)
        body = compact_json(envelope).encode('utf-8')
        signed = self._signature_headers(body)
        for name, value in (headers or {}).items():
            if value is None:
                signed.pop(name, None)
            else:
                signed[name] = value
        made = {'url': url, 'headers': signed, 'body': body.decode('utf-8')}
        if deliver:
            made['answer'] = self._post_notification(url, body, signed)
        return made

    def _notified_resource(self, kind, number):
        if kind == 'transaction':
            order = self.state.transactions.get(number)
            if order is None:
                return {'appid': self.config.wechat_appid, 'mchid': self.config.mchid,
                        'out_trade_no': number, 'transaction_id': crypto.new_id('4200002', 21),
                        'trade_type': 'JSAPI', 'trade_state': 'SUCCESS',
                        'amount': {'total': 1, 'payer_total': 1, 'currency': 'CNY',
                                   'payer_currency': 'CNY'}}
            view = self._transaction_view(order)
            view.setdefault('transaction_id', crypto.new_id('4200002', 21))
            view['trade_state'] = 'SUCCESS'
            return view
        record = self.state.refunds.get(number) or {}
        return {'mchid': self.config.mchid, 'out_trade_no': record.get('out_trade_no', ''),
                'transaction_id': record.get('transaction_id', ''), 'out_refund_no': number,
                'refund_id': record.get('refund_id', crypto.new_id('5030000', 19)),
                'refund_status': 'SUCCESS', 'user_received_account': '支付用户零钱',
                'amount': {'total': record.get('total', 1), 'refund': record.get('refund', 1),
                           'payer_total': record.get('total', 1),
                           'payer_refund': record.get('refund', 1)}}

    def _record_paid(self, resource):
        """The payer paid what ``resource`` says: the payment is SUCCESS under its transaction
        id and amount (made when the sandbox never opened it)."""
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

    # -- notifications ---------------------------------------------------------------------

    def _envelope(self, kind, event_type, summary, resource):
        nonce, ciphertext = crypto.encrypt_resource(
            self.config.apiv3_key, compact_json(resource).encode('utf-8'), kind)
        return {
            'id': str(uuid.uuid4()),
            'create_time': rfc3339(self.state.clock()),
            'resource_type': 'encrypt-resource',
            'event_type': event_type,
            'summary': summary,
            'resource': {'original_type': kind, 'algorithm': 'AEAD_AES_256_GCM',
                         'ciphertext': ciphertext, 'associated_data': kind, 'nonce': nonce},
        }

    def _notification(self, kind, url, event_type, summary, resource):
        envelope = self._envelope(kind, event_type, summary, resource)
        notification = {'id': envelope['id'], 'kind': kind, 'url': url,
                        'event_type': event_type, 'resource': resource,
                        'body': compact_json(envelope), 'deliveries': []}
        self.state.notifications.append(notification)
        return notification

    def _send(self, notification, deliveries):
        received = [self.deliver(notification)['received'] for _ in range(deliveries)]
        if received and not any(received):
            self._schedule_retry(notification, 0)
        return notification

    def _schedule_retry(self, notification, retry):
        if retry >= len(RETRY_SCHEDULE):
            return          # WeChat Pay gives up; the merchant must query
        delay = RETRY_SCHEDULE[retry] * self.state.notify_retry_scale
        self.state.start_timer(delay, lambda: self._retry(notification, retry))

    def _retry(self, notification, retry):
        with self.state.lock:
            current = any(n is notification for n in self.state.notifications)
            answered = any(d['received'] for d in notification['deliveries'])
        if not current or answered:
            return
        if not self.deliver(notification, retry=retry + 1)['received']:
            self._schedule_retry(notification, retry + 1)

    def find_notification(self, notification_id):
        with self.state.lock:
            for notification in self.state.notifications:
                if notification['id'] == notification_id:
                    return notification
        raise LookupError('no notification %r' % notification_id)

    def deliver(self, notification, probe=False, retry=0):
        """POST the notification once, freshly signed; records and returns the answer.

        retry: which scheduled redelivery this is (0: a first or a manual delivery)."""
        body = notification['body'].encode('utf-8')
        delivery = {'at': rfc3339(self.state.clock()), 'probe': probe, 'retry': retry}
        if not notification['url']:
            delivery.update(status=None, body='', error='no notify_url', received=False)
        else:
            delivery.update(self._post_notification(
                notification['url'], body, self._signature_headers(body, probe=probe)))
        with self.state.lock:
            notification['deliveries'].append(delivery)
        return delivery

    def _post_notification(self, url, body, signature_headers):
        """POST one notification body; {status, body, error, received} of the answer."""
        headers = dict(signature_headers, **{'Content-Type': 'application/json', 'Accept': '*/*',
                                              'User-Agent': 'Mozilla/4.0'})
        try:
            answer = requests.post(url, data=body, headers=headers,
                                   timeout=self.config.notify_timeout)
        except requests.RequestException as exc:
            return {'status': None, 'body': '', 'error': '%s: %s' % (type(exc).__name__, exc),
                    'received': False}
        return {'status': answer.status_code, 'body': answer.text, 'error': '',
                'received': answer.status_code in (200, 204)}
