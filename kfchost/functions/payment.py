"""WeChat Pay for the controllers: ``wx_api_payment`` (JSAPI prepay) and ``wx_api_refund``.

Both answer a dict: "code" 200 with "data" on success, otherwise another code and a readable
"message" - never an exception, whatever WeChat Pay or the caller sent.
"""
from kfchost import http, runtime
from kfchost.wechatpay import to_fen

DEFAULT_DESCRIPTION = '美食订单'
PAY_NOTIFY_PATH = '/api/wechat_pay_notify'
REFUND_NOTIFY_PATH = '/api/wechat_refund_notify'
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


def _notify_url(path):
    """Where WeChat Pay is to post its result; outside the sandbox only an https address will
    do (WeChat Pay requires it, and a plain address would show the notifications to anyone)."""
    url = runtime.notify_url(path)
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
    # The front end may post any JSON value as the description; WeChat Pay takes text only.
    text = str(description) if description not in (False, None, '') else DEFAULT_DESCRIPTION
    reply = client.jsapi_prepay(text[:127], order, total, openid, notify_url)
    if not reply.ok:
        return _reply_failure(reply)
    prepay_id = reply.data['prepay_id']
    data = {'prepay_id': prepay_id}
    data.update(client.jsapi_pay_params(prepay_id))
    return {'code': 200, 'data': data, 'message': 'success'}


def wx_api_refund(out_refund_no=False, amount=False, transaction_id=False, out_trade_no=False):
    """Refund ``amount`` fen (text or number; false: the whole paid amount) of order ``out_trade_no``."""
    order = http.request.env['sale.order'].sudo().search([('name', '=', out_trade_no)], limit=1) \
        if out_trade_no else None
    if not order or not out_refund_no:
        return _failure(400, '订单或退款单不存在')
    total = int(round(order.amount * 100))
    try:
        # Only "no amount" means the whole payment; 0 == False must not turn into a full refund.
        whole = amount is False or amount is None or amount == ''
        refund = total if whole else _fen(amount)
        client = _client()
        notify_url = _notify_url(REFUND_NOTIFY_PATH)
    except (TypeError, ValueError, LookupError) as exc:
        return _failure(400, str(exc))
    if not 0 < refund <= total:
        return _failure(400, '退款金额无效：%s（订单金额 %s 分）' % (refund, total))
    reply = client.refund(out_refund_no, refund, total, transaction_id=transaction_id or None,
                          out_trade_no=out_trade_no, notify_url=notify_url)
    if not reply.ok:
        return _reply_failure(reply)
    return {'code': 200, 'data': reply.data, 'message': 'success'}
