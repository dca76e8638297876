"""Host functions: the names the controllers call that belong to the host add-on, as thin
adapters that find the request's environment in one place and call the rules on the models."""
from .records import (create_api_log, create_kfc_order, get_error_message, kfc_login,
                      order_fail_push, refund_mismatched_payment, verify_wechatpay_signature,
                      wx_api_payment, wx_api_refund)
from .redemption import redemption_cooling, redemption_failed
from .tokens import generate_token, validate_token
from .wechat import post_pick_message, wechat_access_token

__all__ = [
    'create_api_log', 'generate_token', 'validate_token', 'kfc_login', 'create_kfc_order',
    'order_fail_push', 'post_pick_message', 'get_error_message', 'wx_api_payment', 'wx_api_refund',
    'verify_wechatpay_signature', 'refund_mismatched_payment', 'wechat_access_token',
    'redemption_cooling', 'redemption_failed',
]
