"""``post_pick_message``: the pick-up template message of the official account."""
import logging

from ..services import runtime
from ..services.redaction import redact
from .environment import shop_env
from .records import create_api_log

_logger = logging.getLogger(__name__)

TOKEN_PATH = '/cgi-bin/token'
TEMPLATE_SEND_PATH = '/cgi-bin/message/template/send'


def post_pick_message(openid, store_name, out_trade_no, pick_code, pick_type, create_date, phone):
    """Tell the customer the pick-up codes. A failure is logged, never raised: the dish is ready
    whether or not the message reaches the customer."""
    try:
        reply = _send(openid, {
            'first': '尊敬的用户，您的美食下单完成，请前往餐厅凭取餐码取餐。',
            'keyword1': store_name or '',
            'keyword2': out_trade_no or '',
            'keyword3': (pick_code or '').replace("'", ''),
            'keyword4': pick_type or '',
            'keyword5': create_date or '',
            'remark': '取餐手机尾号：%s' % phone if phone else '',
        })
    except Exception as exc:
        _logger.warning('pick-up message to %s failed: %s', openid, redact(exc))
        reply = exc
    create_api_log(log_title='取餐通知', log_role='微信', log=reply)
    return reply


def _send(openid, values):
    wechat = runtime.deployment['wechat_api_origin']
    config = shop_env()['api.config'].search([('name', '=', 'wxapi')], limit=1)
    token = runtime.requests.get(wechat + TOKEN_PATH, params={
        'grant_type': 'client_credential', 'appid': config.app_id, 'secret': config.secret,
    }).json()
    if 'access_token' not in token:
        return token
    message = {
        'touser': openid,
        'template_id': runtime.deployment['pickup_template_id'],
        'url': '',
        'data': {key: {'value': value} for key, value in values.items()},
    }
    return runtime.requests.post(wechat + TEMPLATE_SEND_PATH,
                                 params={'access_token': token['access_token']},
                                 json=message).json()
