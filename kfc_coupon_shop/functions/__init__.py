"""Host functions: the names the controllers call that belong to the host add-on."""
from .logs import create_api_log
from .tokens import generate_token, validate_token
from .coupon_backend import create_kfc_order, kfc_login
from .fulfilment import get_error_message, order_fail_push
from .wechat import post_pick_message
from .payment import wx_api_payment, wx_api_refund

__all__ = [
    'create_api_log', 'generate_token', 'validate_token', 'kfc_login', 'create_kfc_order',
    'order_fail_push', 'post_pick_message', 'get_error_message', 'wx_api_payment', 'wx_api_refund',
]
