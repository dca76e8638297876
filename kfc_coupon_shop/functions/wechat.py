"""The official account: ``wechat_access_token`` and the pick-up message ``post_pick_message``."""
from .environment import shop_env


def wechat_access_token(refused=None):
    """The official account's access token, kept for its lifetime (one fetch serves every
    message and ticket until then); WeChat's reply (a dict) when it gives none.

    refused: a token WeChat just answered errcode 40001 or 42001 to, to have it renewed."""
    return shop_env()['api.config']._kfc_wechat_token(refused)


def post_pick_message(openid, store_name, out_trade_no, pick_code, pick_type, create_date, phone):
    """Tell the customer the pick-up codes once the request's work is committed (see
    ``api.config._kfc_send_pick_message``)."""
    shop_env()['api.config']._kfc_send_pick_message(openid, store_name, out_trade_no, pick_code,
                                                    pick_type, create_date, phone)
