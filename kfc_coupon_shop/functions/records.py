"""The host functions that act on the shop's records: each calls the rule on its model."""
import logging

from ..services import runtime
from ..services.redaction import redact
from .environment import shop_env

_logger = logging.getLogger(__name__)


def create_api_log(log_title=None, log_role=None, log=None):
    try:
        env = shop_env()
    except RuntimeError:        # no request, so no database at hand: the server log keeps it
        _logger.info('api.log entry %s (%s): %s', redact(log_title), log_role, redact(repr(log)))
        return
    env['api.log']._kfc_log(log_title, log_role, log)


def kfc_login(payload):
    """``payload`` with its "token" replaced by a fresh back-end token, which is also stored."""
    return dict(payload, token=shop_env()['account.config']._kfc_renew_backend_token())


def create_kfc_order(sale_order_id):
    """Queue every line of the order not yet handed over for the back-end's kitchen; the
    kitchen's dispatcher hands them over once the request has committed."""
    sale_order_id._kfc_queue_for_kitchen()


def order_fail_push(rec, sale_order_id):
    """Make the customer whole for a failed line (its coupon back, or its price refunded)."""
    rec._kfc_fail()


def get_error_message(line):
    """What the page shows beside a line."""
    return line._kfc_error_message()


def wx_api_payment(description=False, amount=0, openid=False, order=False):
    """Open a JSAPI payment of ``amount`` fen for the order numbered ``order``."""
    return shop_env()['sale.order']._kfc_prepay(order, amount, openid, description)


def wx_api_refund(out_refund_no=False, amount=False, transaction_id=False, out_trade_no=False):
    """A customer's refund of the order numbered ``out_trade_no``: the dishes the kitchen never
    got, all of them or the first ones worth ``amount`` fen, under the refund number
    ``out_refund_no`` (false: a new one)."""
    orders = shop_env()['sale.order']
    order = orders.search([('name', '=', out_trade_no)], limit=1) if out_trade_no else orders
    return order._kfc_customer_refund(amount, transaction_id, name=out_refund_no)


def verify_wechatpay_signature(headers, body):
    """Whether a request's headers carry WeChat Pay's valid signature of ``body`` (the raw
    bytes): the configured platform serial, a timestamp within five minutes of our clock and the
    platform key's signature. False whenever it cannot be told (no client, no platform key)."""
    client = runtime.wechatpay
    return client is not None and client.verify_signed(headers, body)


def refund_mismatched_payment(sale_order_id, result):
    """'' when the decrypted payment notification ``result`` is for ``sale_order_id`` as it
    stands (this merchant and account, the order's amount); otherwise the payment is refunded
    whole, once, and the reason why is logged and returned."""
    return sale_order_id._kfc_refund_mismatched_payment(result)
