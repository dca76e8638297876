"""What the sandbox's WeChat gives a browser: the consent page, the check of wx.config, the
position wx.getLocation answers, the dish pictures."""
import hashlib
import json
from urllib.parse import parse_qs, urlsplit

import pytest
import requests

from kfcsandbox.config import generate_rsa_pem
from kfcsandbox.wechat_client import jssdk_signature
from odoo.addons.kfc_coupon_shop.services.wechatpay import WechatPayClient

# Signatures computed independently of this code (the protocol reference's test vectors).
VECTOR_TICKET = 'sM4AOVdWfPE4DxkXGEs8VMCPGGVi4C3VM0P37wVUCFvkVAy_90u5h9nbSlYy3-Sl-HhTdfl2fzFy1AOcHKP7qg'


@pytest.mark.parametrize('url, signature', [
    ('http://mp.weixin.qq.com', 'f4d90daf4b3bca3078ab155816175ba34c443a7b'),
    ('http://mp.weixin.qq.com#/menu', 'f4d90daf4b3bca3078ab155816175ba34c443a7b'),
    ('http://mp.weixin.qq.com?params=value', '0f9de62fce790f9a083d5c99e95740ceb90c27ed'),
])
def test_jssdk_signature_matches_wechats(url, signature):
    assert jssdk_signature(VECTOR_TICKET, 'Wm3WZYTPz0wzccnW', '1414587457', url) == signature


@pytest.mark.parametrize('scope, action, code_given', [
    ('snsapi_userinfo', 'allow', True),
    ('snsapi_userinfo', 'deny', False),     # WeChat sends back the state alone
    ('snsapi_base', None, True),            # asks nothing: redirected at once
])
def test_consent_sends_the_browser_back_with_code_and_state(sandbox, scope, action, code_given):
    authorize = sandbox.url + '/connect/oauth2/authorize'
    params = {'appid': sandbox.config.wechat_appid, 'redirect_uri': 'http://h5.example/?from=menu',
              'response_type': 'code', 'scope': scope, 'state': 'xyz'}
    reply = requests.get(authorize, params=params, allow_redirects=False, timeout=30)
    if action:
        assert reply.status_code == 200 and '允许' in reply.text and '拒绝' in reply.text
        reply = requests.post(authorize, data=dict(params, action=action), allow_redirects=False,
                              timeout=30)
    assert reply.status_code == 302
    target = urlsplit(reply.headers['Location'])
    query = parse_qs(target.query)
    assert (target.netloc, query['from'], query['state']) == ('h5.example', ['menu'], ['xyz'])
    assert ('code' in query) == code_given
    if code_given:
        token = requests.get(sandbox.url + '/sns/oauth2/access_token', params={
            'appid': sandbox.config.wechat_appid, 'secret': sandbox.config.wechat_secret,
            'code': query['code'][0], 'grant_type': 'authorization_code'}, timeout=30)
        assert json.loads(token.text)['scope'] == scope


def _issued_ticket(sandbox):
    config = sandbox.config
    token = requests.get(sandbox.url + '/cgi-bin/token', params={
        'grant_type': 'client_credential', 'appid': config.wechat_appid,
        'secret': config.wechat_secret}, timeout=30).json()['access_token']
    return requests.get(sandbox.url + '/cgi-bin/ticket/getticket', timeout=30,
                        params={'access_token': token, 'type': 'jsapi'}).json()['ticket']


@pytest.mark.parametrize('ticket, page_url, verdict', [
    ('issued', 'http://h5.example/#/menu/SH3001', 'config:ok'),
    ('issued', 'http://h5.example/?from=share', 'config:invalid signature'),
    ('issued', 'http://127.0.0.1:8069/', 'config:invalid signature'),
    ('never issued', 'http://h5.example/', 'config:invalid signature'),
])
def test_wx_config_is_checked_over_the_ticket_and_the_page_address(sandbox, ticket, page_url,
                                                                     verdict):
    ticket = _issued_ticket(sandbox) if ticket == 'issued' else 'a-ticket-nobody-issued'
    signed = 'jsapi_ticket=%s&noncestr=n0nce&timestamp=1700000000&url=http://h5.example/' % ticket
    reply = requests.post(sandbox.url + '/jssdk/config', timeout=30, data=json.dumps({
        'appId': sandbox.config.wechat_appid, 'timestamp': '1700000000', 'nonceStr': 'n0nce',
        'signature': hashlib.sha1(signed.encode()).hexdigest(), 'url': page_url}))
    assert reply.json()['errMsg'] == verdict
    assert reply.headers['Access-Control-Allow-Origin'] == '*'     # asked by the page's script


def test_get_location_answers_the_position_the_control_sets(sandbox):
    def located():
        return requests.get(sandbox.url + '/jssdk/location', timeout=30).json()
    control = sandbox.url + '/sandbox/wechat/location'
    assert requests.post(control, json={'latitude': 39.9139, 'longitude': 116.4103}).ok
    assert (located()['errMsg'], located()['latitude'], located()['longitude']) == (
        'getLocation:ok', 39.9139, 116.4103)
    assert requests.post(control, json={}).ok
    assert located() == {'errMsg': 'getLocation:fail auth deny'}
    assert requests.post(control, json={'latitude': 91, 'longitude': 0}).status_code == 400


def test_the_image_host_draws_a_picture_per_dish(sandbox):
    pictures = [requests.get(sandbox.url + path, timeout=30)
                for path in ('/menu/burger-choice.png', '/menu/fries-medium.png', '/type/snack.png')]
    for picture in pictures:
        assert picture.headers['Content-Type'] == 'image/png'
        assert picture.content.startswith(b'\x89PNG\r\n\x1a\n')
    assert len({picture.content for picture in pictures}) == 3


def _browser_prepay(sandbox, pay_client, receiver, openid=None):
    """A payment opened for the user behind the browser (or ``openid``); its prepay id."""
    reply = pay_client.jsapi_prepay('南京东路店点餐', 'SO20240001', 1650,
                                    openid or sandbox.app.wechat.browser_openid(),
                                    receiver.url + '/api/wechat_pay_notify')
    assert reply.ok, reply
    return reply.data['prepay_id']


def _sheet(sandbox, step, params):
    reply = requests.post(sandbox.url + '/jssdk/pay/' + step, data=json.dumps(params), timeout=30)
    assert reply.headers['Access-Control-Allow-Origin'] == '*'
    return reply.json()


def test_the_pay_sheet_shows_the_payment_and_confirming_pays_it(sandbox, pay_client, receiver):
    params = pay_client.jsapi_pay_params(_browser_prepay(sandbox, pay_client, receiver))
    assert _sheet(sandbox, 'sheet', params) == {
        'err_msg': 'get_brand_wcpay_request:ok', 'total': 1650,
        'merchant': sandbox.config.merchant_name, 'description': '南京东路店点餐'}
    assert _sheet(sandbox, 'confirm', params) == {'err_msg': 'get_brand_wcpay_request:ok'}
    [notified] = receiver.requests
    assert pay_client.decrypt_notification(notified['headers'], notified['body'])[
        'out_trade_no'] == 'SO20240001'
    assert _sheet(sandbox, 'confirm', params)['err_desc'] == '该订单已支付'


@pytest.mark.parametrize('tamper, refusal', [
    (lambda params, other: dict(params, nonceStr=params['nonceStr'] + '0'), '支付验证签名失败'),
    (lambda params, other: dict(params, paySign=other.jsapi_pay_params(
        params['package'][len('prepay_id='):], params['timeStamp'], params['nonceStr'])['paySign']),
     '支付验证签名失败'),
    (lambda params, other: dict(params, paySign=''), '调用支付JSAPI缺少参数：paySign'),
    (lambda params, other: params, '当前微信用户不是下单用户'),
])
def test_the_pay_sheet_refuses_what_wechat_refuses(sandbox, pay_client, receiver, payer, tamper,
                                                    refusal):
    """Parameters changed after signing, or signed with a key not the merchant's; a payment
    of another WeChat user than the browser's."""
    openid = payer if refusal == '当前微信用户不是下单用户' else None
    params = pay_client.jsapi_pay_params(_browser_prepay(sandbox, pay_client, receiver, openid))
    other = WechatPayClient(**dict(sandbox.config.host_settings()['wechatpay'],
                                   merchant_private_key=generate_rsa_pem()))
    for step in ('sheet', 'confirm'):
        assert _sheet(sandbox, step, tamper(params, other)) == {
            'err_msg': 'get_brand_wcpay_request:fail', 'err_desc': refusal}
    assert not receiver.requests
