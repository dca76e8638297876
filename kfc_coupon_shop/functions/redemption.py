"""The cooldown of coupon redemption, for the route that redeems: the rule is on
``kfc.redeem.cooldown``; the client is the request's."""
from odoo import http

from .environment import shop_env


def redemption_cooling(user_id):
    """Whether redemptions of the customer ``user_id`` (an empty set for a token of nobody) or
    from the request's client address are refused for now, after too many wrong codes."""
    return shop_env()['kfc.redeem.cooldown']._kfc_cooling(user_id, http.request.httprequest)


def redemption_failed(user_id):
    """Count a redemption that found no coupon, or no customer, against both."""
    shop_env()['kfc.redeem.cooldown']._kfc_count_failure(user_id, http.request.httprequest)
