"""Login tokens: ``generate_token`` and the route decorator ``validate_token``."""
import functools
import json

from odoo import http

from .environment import shop_env

TOKEN_REFUSED = '用户未登录或登录已失效'


def generate_token():
    """A new random token (256 bits), unique among the users."""
    return shop_env()['kfc.user']._kfc_new_token()


def validate_token(endpoint):
    """Lets a route run only for a known user's token, bound as ``request.kfc_user_id``.

    Placed on top of ``http.route``: it receives every request parameter and answers the
    refusal itself, as a normal JSON reply with code 400.
    """
    @functools.wraps(endpoint)
    def check_token(self, *args, **params):
        token = params.get('token')
        users = shop_env()['kfc.user']
        user = users.search([('token', '=', token)], limit=1) if token else users
        if not user:
            reply = json.dumps({'code': 400, 'message': TOKEN_REFUSED})
            return http.Response(reply, status=200, content_type='application/json')
        http.request.kfc_user_id = user
        return endpoint(self, *args, **params)
    return check_token
