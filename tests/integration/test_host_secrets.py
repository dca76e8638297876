"""No secret reaches a log or a reply: the login and the pick-up message fail on the way to
WeChat (a hung service, a refused connection) and every log is searched for the secrets."""
import json
import logging
import socket
from urllib.parse import urlsplit

import pytest

from odoo.addons.kfc_coupon_shop.services import runtime
from odoo.addons.kfc_coupon_shop.functions import post_pick_message
from odoo.addons.kfc_coupon_shop.services.outbound import OriginMap


def _closed_port():
    with socket.socket() as sock:
        sock.bind(('127.0.0.1', 0))
        return sock.getsockname()[1]


def _everything_logged(host, caplog):
    with host.env() as env:
        rows = env['api.log'].search([]).read(['name', 'role', 'log', 'exception_message'])
    return repr(rows) + '\n'.join(
        record.getMessage() + (logging.Formatter().formatException(record.exc_info)
                               if record.exc_info else '') for record in caplog.records)


class _PartlyDead(OriginMap):
    """The sandbox's map, except that paths starting with ``dead_path`` go to ``dead``."""

    def __init__(self, live, dead, dead_path):
        super().__init__()
        self.live, self.dead, self.dead_path = live, dead, dead_path

    def rewrite(self, url):
        target = self.dead if urlsplit(url).path.startswith(self.dead_path) else self.live
        return target.rewrite(url)


@pytest.fixture
def failing_wechat(host, monkeypatch, outbound_calls):
    """fail(how, only=''): WeChat hangs past the time-out ("hang") or refuses the connection
    ("refused"), for the paths that start with ``only``; the rest still reaches the sandbox."""
    outbound_calls('user', cap=(2, 0.3))
    dead = OriginMap({runtime.deployment['wechat_api_origin']:
                      'http://127.0.0.1:%d' % _closed_port()})

    def fail(how, only=''):
        if how == 'hang':
            host.control('fault', service='wechat', mode='hang', seconds=1, path=only)
        else:
            monkeypatch.setattr(runtime.requests, 'origins',
                                _PartlyDead(runtime.requests.origins, dead, only))
    return fail


@pytest.mark.parametrize('how', ['hang', 'refused'])
def test_login_failure_leaks_no_secret(host, failing_wechat, caplog, how):
    code = host.control('wechat/authorize', nickname='丁')['code']
    failing_wechat(how)
    with caplog.at_level(logging.DEBUG):
        reply = host.post('post_user_login', data={'code': code})
    assert reply.status_code == 500
    secret = host.sandbox.config.wechat_secret
    assert secret not in reply.text
    logged = _everything_logged(host, caplog)
    assert 'Exception during request handling' in logged    # the failure itself is logged
    assert secret not in logged and runtime.settings.apiv3_key not in logged


@pytest.mark.parametrize('how, only', [('hang', ''), ('refused', ''),
                                       ('refused', '/cgi-bin/message/')])
def test_pick_message_failure_leaks_no_secret(host, failing_wechat, caplog, how, only):
    openid = host.control('wechat/authorize', nickname='戊')['openid']
    failing_wechat(how, only)
    with caplog.at_level(logging.DEBUG):
        with host.request_env():
            post_pick_message(openid=openid, store_name='南京东路店', out_trade_no='SO1',
                              pick_code='A1', pick_type='外带', create_date='', phone='')
    tokens = list(host.sandbox.state.access_tokens)
    if only:
        assert tokens               # the token call went through; the send failed
    logged = _everything_logged(host, caplog)
    assert '取餐通知' in logged and 'pick-up message to %s failed' % openid in logged
    for secret in [host.sandbox.config.wechat_secret] + tokens:
        assert secret not in logged


def test_no_login_token_in_any_log(host, caplog):
    token = host.login(nickname='己')
    with host.env() as env:
        fries = env['kfc.product'].search([('link_id', '=', 'S2001')], limit=1).id
    with caplog.at_level(logging.DEBUG):
        host.post('post_exchange_coupon', data={'token': token, 'code': 'RW2024ST0001'})
        order = host.post('create_sale_order', json={
            'token': token, 'phone': '13800138000', 'type': '1', 'store_name': '南京东路店',
            'store_code': 'SH3001', 'store_address': '', 'store_phone': '', 'city_name': '上海',
            'city_code': '310100', 'remark': '',
            'data': [{'product_id': fries, 'num': 1, 'coupon_id': []}]}).json()
        assert host.post('wechat_jsapi_payment', json={
            'token': token, 'order_id': order['order_id']}).json()['code'] == 200
        # The page logs the request it failed with, however it writes it.
        failed = json.dumps({'token': token, 'order_id': order['order_id']})
        host.post('post_front_error_log', json={
            'title': 'POST /api/post_pay_result?token=' + token,
            'log': {'body': failed, 'text': 'body ' + failed}})
    logged = _everything_logged(host, caplog)
    assert token not in logged
    # Masked as the secrets are, its last four characters kept to match the entries.
    assert logged.count('***' + token[-4:]) >= 6
