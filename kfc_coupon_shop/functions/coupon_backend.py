"""The coupon back-end seen from the host: login for a fresh token, and order placement.

Each line of an order is one dish at the back-end: an order entry (signed with the merchant's
signing key) returns the order's address, whose last segment is its uuid; the order detail
(store, pick-up method, choices) is then submitted under that uuid. A line the back-end
refuses, or that cannot be placed at all, goes to the failure handling at once, so a paid
customer is refunded instead of waiting for a dish that nobody cooks.
"""
import datetime
import hashlib
import json
import logging
import time

from odoo import http

from .. import runtime
from .fulfilment import order_fail_push
from .logs import create_api_log

_logger = logging.getLogger(__name__)

LOGIN_PATH = '/KFCCore.asmx/KFC_Login'
ORDER_ENTRY_PATH = '/kfcautoorder.aspx'
ORDER_DETAIL_PATH = '/Core.asmx/KFC_Auto_UpdateOrderDetail'
TAKE_AWAY, DINE_IN = 2, 1          # the back-end's pick-up methods


class BackendRefusal(Exception):
    """The back-end answered, but did not accept the request; ``reason`` is its own message."""

    def __init__(self, what, reply):
        self.reason = (reply.get('msg') or '') if isinstance(reply, dict) else ''
        super().__init__('%s refused: %s' % (what, self.reason or reply))


def kfc_login(payload):
    """``payload`` with its "token" replaced by a fresh back-end token, which is also stored."""
    backend = runtime.settings.coupon_backend
    reply = _post(runtime.deployment['coupon_catalogue_base'] + LOGIN_PATH,
                  {'account': backend.account, 'password': backend.password})
    envelope = reply['d']
    if envelope.get('code') != 0:
        raise BackendRefusal('login', envelope)
    token = json.loads(envelope['data'])['token']
    http.request.env['ir.config_parameter'].sudo().set_param('token', token)
    return dict(payload, token=token)


def create_kfc_order(sale_order_id):
    """Hand every line of the order not yet handed over to the back-end's kitchen."""
    order = sale_order_id
    # One placement at a time per order, so no dish is placed twice by two requests at once.
    order.env.cr.execute('SELECT id FROM sale_order WHERE id = %s FOR UPDATE', (order.id,))
    for line in order.line_ids:
        if line.uuid or line.detail_state in ('fail', 'cancel'):
            continue
        try:
            number = _place_line(order, line)
        except Exception as exc:        # refused or unreachable: the customer is made whole
            _logger.warning('line %s of %s not placed: %s', line.id, order.name, exc)
            create_api_log(log_title='卡券下单失败', log_role='卡券后台', log=exc)
            line.result = _failure_result(exc)
            order_fail_push(rec=line, sale_order_id=order)
            continue
        line.write({'uuid': number, 'detail_state': 'wait'})


def _failure_result(exc):
    """What a line keeps of a failed placement. The page shows a "msg" to the customer, so only
    the back-end's own words go there, never our exception text (addresses, internals)."""
    result = {'error': type(exc).__name__, 'detail': str(exc)}
    if isinstance(exc, BackendRefusal) and exc.reason:
        result['msg'] = exc.reason
    return result


def _place_line(order, line):
    entry = _post(runtime.deployment['coupon_catalogue_base'] + ORDER_ENTRY_PATH,
                  _entry_body(order, line), headers=_entry_headers(order, line))
    if not entry.get('url'):
        raise BackendRefusal('order entry', entry)
    number = entry['url'].rsplit('/', 1)[-1]
    detail = _post(runtime.deployment['coupon_fulfilment_base'] + ORDER_DETAIL_PATH, {
        'mutildata': json.dumps([{'id': 0, 'data': [1], 'ismutil': 1, 'couponidx': 0}]),
        'orderdetail': json.dumps(_order_detail(order)),
        'uuid': number,
    })
    if detail['d'].get('code') != 0:
        raise BackendRefusal('order detail', detail['d'])
    return number


def _order_no(order, line):
    # Unique per dish and made of letters and digits, as the back-end wants.
    return '%sL%d' % (order.name, line.id)


def _entry_body(order, line):
    backend = runtime.coupon_backend(order.env)
    product = line.product_id
    return {
        'userid': backend.userid,
        'productid': backend.productid,
        'orderno': _order_no(order, line),
        'sku': product.name or '',
        'skuid': product.link_id or '',
        'num': 1,
        'price': int(round(product.unit_price * 100)),
        'indate': datetime.datetime.now().strftime('%Y-%m-%d %H:%M:%S'),
    }


def _entry_headers(order, line):
    backend = runtime.coupon_backend(order.env)
    ts = str(int(time.time()))
    text = '%s#%s#%s#%s#%s' % (backend.userid, ts, backend.order_signing_key,
                               backend.productid, _order_no(order, line))
    return {'token': hashlib.md5(text.encode('utf-8')).hexdigest(), 'ts': ts, 'sn': '1'}


def _order_detail(order):
    return {
        'storename': order.store_name or '',
        'storeaddr': order.store_address or '',
        'storetel': order.store_phone or '',
        'storecode': order.store_code or '',
        'pickupmethod': TAKE_AWAY if order.type == '1' else DINE_IN,
        'ordermono': order.remark or '',
        'booking': '',
    }


def _post(url, payload, headers=None):
    return runtime.requests.post(url, json=payload, headers=headers).json()
