"""The official account: ``wechat_access_token`` and the pick-up message ``post_pick_message``."""
import functools
import logging

from odoo import SUPERUSER_ID, api

from ..models.configs import STALE_TOKEN_CODES
from ..services import runtime
from ..services.redaction import redact
from .environment import shop_env

_logger = logging.getLogger(__name__)

TEMPLATE_SEND_PATH = '/cgi-bin/message/template/send'


def wechat_access_token(refused=None):
    """The official account's access token, kept for its lifetime (one fetch serves every
    message and ticket until then); WeChat's reply (a dict) when it gives none.

    refused: a token WeChat just answered errcode 40001 or 42001 to, to have it renewed."""
    return shop_env()['api.config']._kfc_wechat_token(refused)


def post_pick_message(openid, store_name, out_trade_no, pick_code, pick_type, create_date, phone):
    """Tell the customer the pick-up codes, once the request's work is committed: a poll rolled
    back announces nothing, and the calls to WeChat hold none of the request's locks. A failure
    is logged, never raised: the dish is ready whether or not the message reaches the customer."""
    values = {
        'first': '尊敬的用户，您的美食下单完成，请前往餐厅凭取餐码取餐。',
        'keyword1': store_name or '',
        'keyword2': out_trade_no or '',
        'keyword3': (pick_code or '').replace("'", ''),
        'keyword4': pick_type or '',
        'keyword5': create_date or '',
        'remark': '取餐手机尾号：%s' % phone if phone else '',
    }
    env = shop_env()
    env.cr.postcommit.add(functools.partial(_send_logged, env.registry, openid, values))


def _send_logged(registry, openid, values):
    try:
        with registry.cursor() as cr:
            env = api.Environment(cr, SUPERUSER_ID, {})
            try:
                reply = _send(env, openid, values)
            except Exception as exc:
                _logger.warning('pick-up message to %s failed: %s', openid, redact(exc))
                reply = exc
            env['api.log']._kfc_log('取餐通知', '微信', reply)
    except Exception:       # after the commit: nothing may fail the request any more
        _logger.exception('pick-up message to %s not logged', openid)


def _send(env, openid, values):
    """WeChat's reply to the message; sent again once with a renewed token when WeChat no
    longer takes the kept one."""
    message = {
        'touser': openid,
        'template_id': runtime.deployment['pickup_template_id'],
        'url': '',
        'data': {key: {'value': value} for key, value in values.items()},
    }
    refused = None
    for _ in range(2):
        token = env['api.config']._kfc_wechat_token(refused)
        if not isinstance(token, str):
            return token
        reply = runtime.requests.post(runtime.deployment['wechat_api_origin'] + TEMPLATE_SEND_PATH,
                                      params={'access_token': token}, json=message).json()
        if not (isinstance(reply, dict) and reply.get('errcode') in STALE_TOKEN_CODES):
            break
        refused = token
    return reply
