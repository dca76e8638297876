"""WeChat Pay for the controllers: ``wx_api_payment`` (JSAPI prepay) and ``wx_api_refund``.

Both answer a dict: "code" 200 with "data" on success, otherwise another code and a readable
"message" - never an exception, whatever WeChat Pay or the caller sent.
"""
from odoo import http

from .. import runtime
from ..wechatpay import to_fen

DEFAULT_DESCRIPTION = '美食订单'
PAY_NOTIFY_PATH = '/api/wechat_pay_notify'
REFUND_NOTIFY_PATH = '/api/wechat_refund_notify'


def _failure(code, message, data=None):
    reply = {'code': code, 'message': message}
    if data is not None:
        reply['data'] = data
    return reply


def _client():
    if runtime.wechatpay is None:
        raise LookupError('WeChat Pay is not configured')
    return runtime.wechatpay


def wx_api_payment(description=False, amount=0, openid=False, order=False):
    """Open a JSAPI payment of ``amount`` fen (990.0 for 9.90 yuan) for order number ``order``."""
    try:
        total = to_fen(amount)
        client = _client()
    except (TypeError, ValueError, LookupError) as exc:
        return _failure(400, str(exc))
    if not order or not openid or total <= 0:
        return _failure(400, '订单、用户或金额无效')
    # The front end may post any JSON value as the description; WeChat Pay takes text only.
    text = str(description) if description not in (False, None, '') else DEFAULT_DESCRIPTION
    reply = client.jsapi_prepay(text[:127], order, total, openid,
                                runtime.notify_url(PAY_NOTIFY_PATH))
    if not reply.ok:
        return _failure(reply.status or 502, reply.message, reply.data)
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
        refund = total if whole else to_fen(amount)
        client = _client()
    except (TypeError, ValueError, LookupError) as exc:
        return _failure(400, str(exc))
    if not 0 < refund <= total:
        return _failure(400, '退款金额无效：%s（订单金额 %s 分）' % (refund, total))
    reply = client.refund(out_refund_no, refund, total, transaction_id=transaction_id or None,
                          out_trade_no=out_trade_no, notify_url=runtime.notify_url(REFUND_NOTIFY_PATH))
    if not reply.ok:
        return _failure(reply.status or 502, reply.message, reply.data)
    return {'code': 200, 'data': reply.data, 'message': 'success'}
