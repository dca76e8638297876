"""WeChat Pay for the controllers: ``wx_api_payment`` (JSAPI prepay) and ``wx_api_refund``.

Both answer a dict: "code" 200 with "data" on success, otherwise another code and a readable
"message" - never an exception, whatever WeChat Pay or the caller sent.
"""
import datetime

from odoo import fields, http

from .. import runtime
from ..wechatpay import to_fen

DEFAULT_DESCRIPTION = '美食订单'
PAY_NOTIFY_PATH = '/api/wechat_pay_notify'
REFUND_NOTIFY_PATH = '/api/wechat_refund_notify'
# An unpaid order is cancelled this long after its creation.
PAYMENT_WINDOW = datetime.timedelta(minutes=5)
CHINA_OFFSET = datetime.timedelta(hours=8)
# No meal order comes near this (one million yuan): a larger amount is a fault of the caller.
MAX_AMOUNT_FEN = 100000000


def _failure(code, message, data=None):
    reply = {'code': code, 'message': message}
    if data is not None:
        reply['data'] = data
    return reply


def _reply_failure(reply):
    """A failed call as the caller sees it: an unverified or incomplete 2xx reply and a reply
    that never came are 502, never a success code; what an untrusted reply says is not passed on."""
    if reply.status >= 300:
        return _failure(reply.status, reply.message, reply.data)
    return _failure(502, reply.message)


def _client():
    if runtime.wechatpay is None:
        raise LookupError('WeChat Pay is not configured')
    return runtime.wechatpay


def _fen(amount):
    """A whole, sane number of fen, else ValueError (inf, NaN, 1e30, fractions, negatives)."""
    fen = to_fen(amount)
    if not 0 < fen <= MAX_AMOUNT_FEN:
        raise ValueError('金额无效：%s' % amount)
    return fen


def _notify_url(path, env=None):
    """Where WeChat Pay is to post its result; outside the sandbox only an https address will
    do (WeChat Pay requires it, and a plain address would show the notifications to anyone)."""
    url = runtime.notify_url(path, env)
    if not runtime.settings.sandbox and not url.startswith('https://'):
        raise LookupError('通知地址必须是 https 地址：%s（请配置 public_url）' % url)
    return url


def wx_api_payment(description=False, amount=0, openid=False, order=False):
    """Open a JSAPI payment of ``amount`` fen (990.0 for 9.90 yuan) for order number ``order``."""
    if not order or not openid:
        return _failure(400, '订单、用户或金额无效')
    try:
        total = _fen(amount)
        client = _client()
        notify_url = _notify_url(PAY_NOTIFY_PATH)
    except (TypeError, ValueError, LookupError) as exc:
        return _failure(400, str(exc))
    time_expire = _time_expire(order)
    if time_expire is False:
        return _failure(400, '订单已超过支付期限')
    # The front end may post any JSON value as the description; WeChat Pay takes text only.
    text = str(description) if description not in (False, None, '') else DEFAULT_DESCRIPTION
    reply = client.jsapi_prepay(text[:127], order, total, openid, notify_url,
                                time_expire=time_expire)
    if not reply.ok:
        return _reply_failure(reply)
    prepay_id = reply.data['prepay_id']
    data = {'prepay_id': prepay_id}
    data.update(client.jsapi_pay_params(prepay_id))
    return {'code': 200, 'data': data, 'message': 'success'}


def _time_expire(order_name):
    """rfc3339 (China time) of the moment the order is cancelled unpaid, so that WeChat Pay
    takes no payment after it; None for an order we do not have, False when it has passed."""
    try:
        env = http.request.env
    except RuntimeError:        # called outside a request: no order to read
        return None
    order = env['sale.order'].sudo().search([('name', '=', order_name)], limit=1)
    if not order or not order.create_date:
        return None
    deadline = order.create_date + PAYMENT_WINDOW
    if deadline <= fields.Datetime.now():
        return False
    return (deadline + CHINA_OFFSET).strftime('%Y-%m-%dT%H:%M:%S+08:00')


def wx_api_refund(out_refund_no=False, amount=False, transaction_id=False, out_trade_no=False):
    """Refund ``amount`` fen (text or number; false: all that is left of the payment) of order
    ``out_trade_no``; see ``request_refund``."""
    return request_refund(http.request.env, out_refund_no, amount, transaction_id, out_trade_no)


def request_refund(env, out_refund_no, amount=False, transaction_id=False, out_trade_no=False):
    """Ask WeChat Pay for a refund and record it on the refund record named ``out_refund_no``
    (made when missing): the amount asked, and how far it got.

    The order's row is locked and written before its refunds are summed, so that concurrent
    refunds of one order run one after the other and never give back more than was paid. An
    unclear outcome (no reply, a 5xx, a reply that fails verification) leaves the refund in
    progress ("draft") for a query to settle; only a definite refusal makes it "fail".
    """
    order = env['sale.order'].sudo().search([('name', '=', out_trade_no)], limit=1) \
        if out_trade_no else None
    if not order or not out_refund_no:
        return _failure(400, '订单或退款单不存在')
    if not order.is_paid or not order.transaction_id:
        return _failure(400, '订单未支付，无法退款')
    if transaction_id and transaction_id != order.transaction_id:
        return _failure(400, '交易单号与订单不符')
    _lock_for_refund(order)
    record = env['sale.refund.order'].sudo().search([('name', '=', out_refund_no)], limit=1)
    if record and record.sale_order_id != order:
        return _failure(400, '退款单属于另一个订单')
    total = int(round(order.amount * 100))
    left = total - _refunded_fen(order, record)
    try:
        # Only "no amount" means all of it; 0 == False must not turn into a full refund.
        whole = amount is False or amount is None or amount == ''
        refund = left if whole else _fen(amount)
        client = _client()
        notify_url = _notify_url(REFUND_NOTIFY_PATH, env)
    except (TypeError, ValueError, LookupError) as exc:
        return _failure(400, str(exc))
    if not 0 < refund <= left:
        return _failure(400, '退款金额无效：%s（订单金额 %s 分，可退 %s 分）' % (refund, total, left))
    asked = refund / 100.0
    if record and record.amount and _fen_of(record.amount) != refund:
        return _failure(400, '退款单 %s 已申请退款 %s 分' % (out_refund_no, _fen_of(record.amount)))
    if not record:
        record = env['sale.refund.order'].sudo().create({
            'name': out_refund_no, 'sale_order_id': order.id, 'kfc_user_id': order.kfc_user_id.id})
    record.write({'amount': asked, 'state': 'draft' if record.state != 'done' else 'done'})
    reply = client.refund(out_refund_no, refund, total, transaction_id=order.transaction_id,
                          notify_url=notify_url)
    record_refund_outcome(record, reply)
    if not reply.ok:
        return _reply_failure(reply)
    return {'code': 200, 'data': reply.data, 'message': 'success'}


# What a refund's WeChat Pay status ("status" of a reply or a query) makes of its record.
REFUND_STATUS_STATES = {'SUCCESS': 'done', 'PROCESSING': 'draft', 'CLOSED': 'fail',
                        'ABNORMAL': 'fail'}


def record_refund_outcome(record, reply):
    """Set the refund record's state from a refund or refund-query reply: a verified status
    decides, a 4xx refuses, anything else leaves it as it was."""
    if reply.ok:
        state = REFUND_STATUS_STATES.get(reply.get('status'))
    elif 400 <= reply.status < 500:
        state = 'fail'
    else:
        state = None        # no trustworthy answer: the outcome stays unknown
    if state and record.state != 'done':
        record.state = state
    return state


def _lock_for_refund(order):
    order.env.cr.execute('SELECT id FROM sale_order WHERE id = %s FOR UPDATE', (order.id,))
    order.write({'refund_stamp': fields.Datetime.now()})


def _refunded_fen(order, record):
    """Fen of the order's refunds in progress or done, ``record`` left out."""
    refunds = order.env['sale.refund.order'].sudo().search([
        ('sale_order_id', '=', order.id), ('state', 'in', ('draft', 'done')),
        ('id', '!=', record.id or 0)])
    return sum(_fen_of(amount) for amount in refunds.mapped('amount'))


def _fen_of(yuan):
    return int(round(yuan * 100))
