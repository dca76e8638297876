"""Control endpoints under /sandbox/: act where a real person would, inject faults, read state.

JSON in, JSON out. A missing or wrong argument answers 400 {"error": ...}; an unknown order,
payment or user answers 404 {"error": ...}. Optional arguments in brackets.

POST /sandbox/wechat/authorize   {[openid], [nickname], [unionid] (null: none), [scope],
                                  [headimgurl]} -> {code, openid, unionid, nickname}
POST /sandbox/wechat/token_expires_in  {[expires_in]: int or null (left out of the reply)}
                                  -> {expires_in}; no key: back to the normal 7200
POST /sandbox/wechat/expire_tokens  {} -> {expired}: every access token issued so far answers
                                  errcode 40001 from now on
POST /sandbox/wechat/sns_charset {[charset]: text or null} -> {content_type} of the /sns/*
                                  replies; no key or null: "text/plain" without a charset
GET  /sandbox/wechat/users | /sandbox/wechat/messages   -> {users} | {messages}
POST /sandbox/wechat/location    {latitude, longitude} numbers, or {} (the customer refuses)
                                  -> {location}: where wx.getLocation finds the browser
POST /sandbox/wechatpay/confirm  {out_trade_no, [deliveries]} -> the notification with its
                                  deliveries [{at, probe, status, body, error, received}]
POST /sandbox/wechatpay/refund   {out_refund_no, [status] SUCCESS|ABNORMAL|CLOSED,
                                  [deliveries]} -> the notification
POST /sandbox/wechatpay/redeliver  {id, [probe]} -> the new delivery
POST /sandbox/wechatpay/notify   {out_trade_no | out_refund_no, [resource] (fields over the
                                  sandbox's own), [algorithm], [tamper] ciphertext|nonce|
                                  associated_data, [headers] (null drops one), [url],
                                  [deliver] (default true)} -> {url, headers, body, [answer]}:
                                  a notification signed and sealed as WeChat Pay does, changed
                                  as asked; a SUCCESS payment is recorded as paid
GET  /sandbox/wechatpay/payments | notifications -> {transactions, refunds} | {notifications}
POST /sandbox/wechatpay/bill_amend  {number (out_trade_no or out_refund_no), column (a column
                                  of the trade bill), value} -> {amended: {column: value}}: the
                                  trade bill shows that value on that payment's or refund's line
POST /sandbox/coupon/login       {} -> {token}       (a back-end token, without the login call)
POST /sandbox/coupon/expire_tokens  {} -> {expired}  (every token answers -2 from now on)
POST /sandbox/coupon/sale_flag   {link_id, on_sale, [storecode]} -> {}
POST /sandbox/coupon/place       {[units]} -> {uuid}  (an order of that many dishes, default 1,
                                  as if a client had placed and detailed it)
POST /sandbox/coupon/done_order_delay  {seconds} -> {seconds}: an order's done-order answer is
                                  an empty list until it is that old (0: at once)
POST /sandbox/coupon/finish      {uuid, [item], [order_number], [phone]} -> {items}
POST /sandbox/coupon/fail        {uuid, [item], [code], [message]} -> {items}
POST /sandbox/coupon/kitchen     {[seconds]: number or null} -> {seconds}: the kitchen finishes
                                  each dish that many seconds after it arrives; no key or null:
                                  it holds every dish for finish or fail
POST /sandbox/coupon/hold        {uuid} -> {uuid}: the kitchen leaves that order's dishes to
                                  finish and fail
GET  /sandbox/coupon/orders      -> {orders}
POST /sandbox/coupon/script      {path, replies: [JSON value or null, ...]} -> {queued}: the
                                  next requests to that back-end path get these bodies, one
                                  each (HTTP 200); a null is served as usual
GET  /sandbox/coupon/payloads    -> {payloads: [{path, body}]}, the bodies the back-end
                                  received, as sent, oldest first
POST /sandbox/wechatpay/retry_scale  {[scale]} -> {scale}: unanswered notifications are sent
                                  again after 15 s, 15 s, 30 s, 3 min ... times this factor
POST /sandbox/fault              {service wechat|wechat_client|wechatpay|tencent_map|coupon,
                                  mode error|http|hang|reply|late_error|late_hang|late_drop|
                                  forge,
                                  [seconds], [status], [times], [path],
                                  [body] (reply: the JSON answered),
                                  [alter] signature|stale|charset|field (forge)} -> {faults}
                                  (late_*: the request takes effect, then the reply is a
                                  5xx, waits [seconds], or the connection is dropped)
POST /sandbox/fault/clear        {[service]} -> {faults}
GET  /sandbox/requests           -> {requests: [{service, method, path, query}]}, the latest
                                  requests of the simulated services, oldest first, the query
                                  as sent (undecoded, its key order kept)
GET  /sandbox/requests/bodies    -> {requests: [{service, method, path, headers, body}]}, the
                                  same requests with their headers ([name, value] in the order
                                  received) and body text as received
POST /sandbox/coupon/order       {uuid, [units]} -> {uuid}: a back-end order with that uuid, its
                                  detail submitted and its units cooking (for fixed-uuid probes)
GET  /sandbox/faults | /sandbox/config | /sandbox/   POST /sandbox/reset
"""
import copy

from .replies import json_response, read_json
from .state import Fault

# wechat_client: what WeChat's browser itself asks (its consent page, the JS-SDK's script and calls)
FAULT_SERVICES = ('wechat', 'wechat_client', 'wechatpay', 'tencent_map', 'coupon')


_REQUIRED = object()


class BadRequest(ValueError):
    pass


def _arg(body, name, kind=None, default=_REQUIRED):
    if name not in body:
        if default is _REQUIRED:
            raise BadRequest('missing "%s"' % name)
        return default
    value = body[name]
    if kind is not None and value is not None and not isinstance(value, kind):
        raise BadRequest('"%s" must be %s' % (name, getattr(kind, '__name__', kind)))
    return value


class ControlService:
    name = 'control'

    def __init__(self, state, wechat, wechatpay, coupon, wechat_client):
        self.state = state
        self.wechat = wechat
        self.wechatpay = wechatpay
        self.coupon = coupon
        self.wechat_client = wechat_client

    def routes(self):
        table = [
            ('/sandbox/', ['GET'], self.index),
            ('/sandbox/config', ['GET'], self.config),
            ('/sandbox/reset', ['POST'], self.reset),
            ('/sandbox/wechat/authorize', ['POST'], self.authorize),
            ('/sandbox/wechat/token_expires_in', ['POST'], self.token_expires_in),
            ('/sandbox/wechat/expire_tokens', ['POST'], self.expire_access_tokens),
            ('/sandbox/wechat/sns_charset', ['POST'], self.sns_charset),
            ('/sandbox/wechat/users', ['GET'], self.users),
            ('/sandbox/wechat/messages', ['GET'], self.messages),
            ('/sandbox/wechat/location', ['POST'], self.location),
            ('/sandbox/wechatpay/confirm', ['POST'], self.confirm_payment),
            ('/sandbox/wechatpay/refund', ['POST'], self.complete_refund),
            ('/sandbox/wechatpay/redeliver', ['POST'], self.redeliver),
            ('/sandbox/wechatpay/notify', ['POST'], self.made_notification),
            ('/sandbox/wechatpay/retry_scale', ['POST'], self.retry_scale),
            ('/sandbox/wechatpay/payments', ['GET'], self.payments),
            ('/sandbox/wechatpay/notifications', ['GET'], self.notifications),
            ('/sandbox/wechatpay/bill_amend', ['POST'], self.amend_bill),
            ('/sandbox/coupon/login', ['POST'], self.coupon_login),
            ('/sandbox/coupon/expire_tokens', ['POST'], self.expire_tokens),
            ('/sandbox/coupon/sale_flag', ['POST'], self.sale_flag),
            ('/sandbox/coupon/place', ['POST'], self.place_order),
            ('/sandbox/coupon/done_order_delay', ['POST'], self.done_order_delay),
            ('/sandbox/coupon/finish', ['POST'], self.finish_dish),
            ('/sandbox/coupon/fail', ['POST'], self.fail_dish),
            ('/sandbox/coupon/kitchen', ['POST'], self.kitchen),
            ('/sandbox/coupon/hold', ['POST'], self.hold_order),
            ('/sandbox/coupon/orders', ['GET'], self.orders),
            ('/sandbox/coupon/script', ['POST'], self.script_replies),
            ('/sandbox/coupon/payloads', ['GET'], self.payloads),
            ('/sandbox/fault', ['POST'], self.set_fault),
            ('/sandbox/fault/clear', ['POST'], self.clear_fault),
            ('/sandbox/faults', ['GET'], self.faults),
            ('/sandbox/requests', ['GET'], self.requests),
            ('/sandbox/requests/bodies', ['GET'], self.request_bodies),
            ('/sandbox/coupon/order', ['POST'], self.open_order),
        ]
        return [(path, methods, self._guarded(handler)) for path, methods, handler in table]

    def _guarded(self, handler):
        def call(request, **values):
            body = read_json(request) if request.method == 'POST' else None
            try:
                return json_response(handler(body if isinstance(body, dict) else {}))
            except LookupError as error:
                return json_response({'error': str(error.args[0] if error.args else error)}, 404)
            except (ValueError, TypeError) as error:
                return json_response({'error': str(error)}, 400)
        call.__name__ = handler.__name__
        return call

    # -- general ---------------------------------------------------------------------------

    def index(self, body):
        return {'services': list(FAULT_SERVICES),
                'endpoints': [{'path': path, 'methods': methods}
                              for path, methods, _ in self.routes()]}

    def config(self, body):
        return self.state.config.host_settings()

    def reset(self, body):
        self.state.reset()
        return {}

    # -- WeChat ----------------------------------------------------------------------------

    def authorize(self, body):
        code, user = self.wechat.authorize(
            openid=_arg(body, 'openid', str, None), nickname=_arg(body, 'nickname', str, None),
            unionid=_arg(body, 'unionid', str, Ellipsis),
            scope=_arg(body, 'scope', str, 'snsapi_userinfo'),
            headimgurl=_arg(body, 'headimgurl', str, None))
        return {'code': code, 'openid': user['openid'], 'unionid': user['unionid'],
                'nickname': user['nickname']}

    def token_expires_in(self, body):
        value = _arg(body, 'expires_in', int, self.state.config.token_ttl)
        self.wechat.set_token_expires_in(value)
        return {'expires_in': value}

    def expire_access_tokens(self, body):
        return {'expired': self.wechat.expire_access_tokens()}

    def sns_charset(self, body):
        self.wechat.set_sns_charset(_arg(body, 'charset', str, None))
        return {'content_type': self.wechat._sns_type()}

    def users(self, body):
        with self.state.lock:
            return {'users': copy.deepcopy(list(self.state.users.values()))}

    def messages(self, body):
        with self.state.lock:
            return {'messages': copy.deepcopy(self.state.template_messages)}

    def location(self, body):
        latitude = _arg(body, 'latitude', (int, float), None)
        longitude = _arg(body, 'longitude', (int, float), None if latitude is None else _REQUIRED)
        if latitude is not None and not (-90 <= latitude <= 90 and -180 <= longitude <= 180):
            raise BadRequest('"latitude" and "longitude" must be a position on earth')
        self.wechat_client.set_location(latitude, longitude)
        return {'location': None if latitude is None else [latitude, longitude]}

    # -- WeChat Pay ------------------------------------------------------------------------

    def confirm_payment(self, body):
        return self.wechatpay.payments.confirm_payment(_arg(body, 'out_trade_no', str),
                                                       _arg(body, 'deliveries', int, 1))

    def complete_refund(self, body):
        return self.wechatpay.refunds.complete_refund(_arg(body, 'out_refund_no', str),
                                                      _arg(body, 'status', str, 'SUCCESS'),
                                                      _arg(body, 'deliveries', int, 1))

    def redeliver(self, body):
        notification = self.wechatpay.notifications.find(_arg(body, 'id', str))
        return self.wechatpay.notifications.deliver(notification,
                                                    probe=bool(_arg(body, 'probe', None, False)))

    def made_notification(self, body):
        number = {key: _arg(body, key, str, None) for key in ('out_trade_no', 'out_refund_no')}
        if bool(number['out_trade_no']) == bool(number['out_refund_no']):
            raise BadRequest('give one of "out_trade_no" and "out_refund_no"')
        tamper = _arg(body, 'tamper', str, None)
        if tamper not in (None, 'ciphertext', 'nonce', 'associated_data'):
            raise BadRequest('"tamper" must be ciphertext, nonce or associated_data')
        made = self.wechatpay.forgery.made_notification(
            resource=_arg(body, 'resource', dict, None), algorithm=_arg(body, 'algorithm', str, None),
            tamper=tamper, headers=_arg(body, 'headers', dict, None), url=_arg(body, 'url', str, None),
            deliver=bool(_arg(body, 'deliver', None, True)), **number)
        return made

    def retry_scale(self, body):
        scale = _arg(body, 'scale', (int, float), self.state.config.notify_retry_scale)
        if not scale > 0:
            raise BadRequest('"scale" must be positive')
        with self.state.lock:
            self.state.notify_retry_scale = float(scale)
        return {'scale': float(scale)}

    def payments(self, body):
        with self.state.lock:
            return {'transactions': copy.deepcopy(list(self.state.transactions.values())),
                    'refunds': copy.deepcopy(list(self.state.refunds.values()))}

    def amend_bill(self, body):
        return {'amended': self.wechatpay.bill.amend(
            _arg(body, 'number', str), _arg(body, 'column', str), _arg(body, 'value', str))}

    def notifications(self, body):
        with self.state.lock:
            return {'notifications': copy.deepcopy(self.state.notifications)}

    # -- coupon back-end -------------------------------------------------------------------

    def coupon_login(self, body):
        return {'token': self.coupon.issue_token()}

    def expire_tokens(self, body):
        return {'expired': self.coupon.expire_tokens()}

    def sale_flag(self, body):
        self.coupon.set_sale_flag(_arg(body, 'link_id', str), bool(_arg(body, 'on_sale')),
                                  _arg(body, 'storecode', str, '*'))
        return {}

    def place_order(self, body):
        units = _arg(body, 'units', int, 1)
        if units < 0:
            raise BadRequest('"units" must not be negative')
        return {'uuid': self.coupon.place(units)}

    def done_order_delay(self, body):
        seconds = _arg(body, 'seconds', (int, float))
        if seconds is None or seconds < 0:
            raise BadRequest('"seconds" must be a number, 0 or more')
        self.coupon.set_done_order_delay(seconds)
        return {'seconds': float(seconds)}

    def finish_dish(self, body):
        return {'items': self.coupon.finish(
            _arg(body, 'uuid', str), _arg(body, 'item', int, None),
            _arg(body, 'order_number', str, None), _arg(body, 'phone', str, None))}

    def fail_dish(self, body):
        return {'items': self.coupon.fail(
            _arg(body, 'uuid', str), _arg(body, 'item', int, None), _arg(body, 'code', int, 2),
            _arg(body, 'message', str, '门店繁忙，出餐失败'))}

    def kitchen(self, body):
        seconds = _arg(body, 'seconds', (int, float), None)
        if seconds is not None and (isinstance(seconds, bool) or not 0 <= seconds <= 3600):
            raise BadRequest('"seconds" must be a number of seconds from 0 to 3600, or null')
        with self.state.lock:
            self.state.kitchen_seconds = seconds
        return {'seconds': seconds}

    def hold_order(self, body):
        number = _arg(body, 'uuid', str)
        self.coupon.hold(number)
        return {'uuid': number}

    def orders(self, body):
        with self.state.lock:
            return {'orders': copy.deepcopy(list(self.state.orders.values()))}

    def script_replies(self, body):
        path, replies = _arg(body, 'path', str), _arg(body, 'replies', list)
        if replies is None:
            raise BadRequest('"replies" must be list')
        return {'queued': self.coupon.script(path, replies)}

    def payloads(self, body):
        with self.state.lock:
            return {'payloads': [dict(entry) for entry in self.state.coupon_payloads]}

    # -- faults ----------------------------------------------------------------------------

    def set_fault(self, body):
        service = _arg(body, 'service', str)
        if service not in FAULT_SERVICES:
            raise BadRequest('"service" must be one of %s' % ', '.join(FAULT_SERVICES))
        fault = Fault(_arg(body, 'mode', str), seconds=_arg(body, 'seconds', (int, float), 0),
                      status=_arg(body, 'status', int, None), times=_arg(body, 'times', int, None),
                      path=_arg(body, 'path', str, ''), body=_arg(body, 'body', None, None),
                      alter=_arg(body, 'alter', str, None))
        self.state.set_fault(service, fault)
        return self.faults(body)

    def clear_fault(self, body):
        self.state.clear_fault(_arg(body, 'service', str, None))
        return self.faults(body)

    def faults(self, body):
        with self.state.lock:
            return {'faults': {name: fault.describe() for name, fault in self.state.faults.items()}}

    # -- what the clients sent ---------------------------------------------------------------

    def requests(self, body):
        with self.state.lock:
            return {'requests': [dict(entry) for entry in self.state.requests]}

    def request_bodies(self, body):
        with self.state.lock:
            return {'requests': copy.deepcopy(list(self.state.request_bodies))}

    def open_order(self, body):
        return {'uuid': self.coupon.place(_arg(body, 'units', int, 1), _arg(body, 'uuid', str))}
