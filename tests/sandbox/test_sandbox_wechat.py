"""WeChat OAuth and official-account simulators, as the controllers call them."""
import json

import pytest
import requests

NICKNAME = '张三🍔'


def _authorize(sandbox, **user):
    reply = requests.post(sandbox.url + '/sandbox/wechat/authorize', json=user)
    assert reply.status_code == 200
    return reply.json()


def _exchange(sandbox, code, **overrides):
    config = sandbox.config
    params = {'appid': config.wechat_appid, 'secret': config.wechat_secret, 'code': code,
              'grant_type': 'authorization_code'}
    params.update(overrides)
    return requests.get(sandbox.url + '/sns/oauth2/access_token', params=params)


def _userinfo(sandbox, token):
    return requests.get(sandbox.url + '/sns/userinfo', params={
        'access_token': token['access_token'], 'openid': token['openid'], 'lang': 'zh_CN'})


def _cgi_token(sandbox):
    return requests.get(sandbox.url + '/cgi-bin/token', params={
        'grant_type': 'client_credential', 'appid': sandbox.config.wechat_appid,
        'secret': sandbox.config.wechat_secret})


class TestOAuth:
    def test_login_flow_and_the_text_plain_quirk(self, sandbox):
        grant = _authorize(sandbox, nickname=NICKNAME)
        reply = _exchange(sandbox, grant['code'])
        assert reply.headers['Content-Type'] == 'text/plain'
        token = json.loads(reply.text)
        assert token['openid'] == grant['openid'] and token['unionid'] == grant['unionid']
        assert token['expires_in'] == 7200 and token['access_token']
        info = _userinfo(sandbox, token)
        assert info.headers['Content-Type'] == 'text/plain'
        assert info.encoding == 'ISO-8859-1'
        # Raw UTF-8 on the wire, "/" escaped; requests reads it as Latin-1.
        assert NICKNAME.encode('utf-8') in info.content and b'https:\\/\\/' in info.content
        garbled = info.json()['nickname']
        assert garbled == NICKNAME.encode('utf-8').decode('latin-1') != NICKNAME
        assert garbled.encode('latin-1').decode('utf-8') == NICKNAME
        assert info.json()['sex'] == 0 and info.json()['city'] == ''

    def test_sns_replies_can_declare_a_charset(self, sandbox):
        declared = requests.post(sandbox.url + '/sandbox/wechat/sns_charset',
                                 json={'charset': 'utf-8'}).json()
        assert declared == {'content_type': 'text/plain; charset=utf-8'}
        token = json.loads(_exchange(sandbox, _authorize(sandbox, nickname=NICKNAME)['code']).text)
        info = _userinfo(sandbox, token)
        assert info.headers['Content-Type'] == 'text/plain; charset=utf-8'
        assert info.json()['nickname'] == NICKNAME
        requests.post(sandbox.url + '/sandbox/wechat/sns_charset', json={})
        assert _userinfo(sandbox, token).headers['Content-Type'] == 'text/plain'

    def test_a_code_works_once(self, sandbox):
        grant = _authorize(sandbox)
        assert 'access_token' in _exchange(sandbox, grant['code']).json()
        again = json.loads(_exchange(sandbox, grant['code']).text)
        assert again['errcode'] == 40163 and 'rid: ' in again['errmsg']
        assert json.loads(_exchange(sandbox, 'no-such-code').text)['errcode'] == 40029

    def test_an_old_code_is_invalid(self, sandbox):
        grant = _authorize(sandbox)
        real_clock = sandbox.state.clock
        sandbox.state.clock = lambda: real_clock() + sandbox.config.oauth_code_ttl + 1
        assert json.loads(_exchange(sandbox, grant['code']).text)['errcode'] == 40029

    @pytest.mark.parametrize('override, errcode', [
        ({'appid': 'wx0000000000000000'}, 40013),
        ({'secret': 'wrong'}, 40125),
        ({'grant_type': 'client_credential'}, 40002),
    ])
    def test_bad_credentials(self, sandbox, override, errcode):
        grant = _authorize(sandbox)
        reply = json.loads(_exchange(sandbox, grant['code'], **override).text)
        assert reply['errcode'] == errcode and 'access_token' not in reply

    def test_unionid_only_for_bound_users_with_userinfo_scope(self, sandbox):
        unbound = json.loads(_exchange(sandbox, _authorize(sandbox, unionid=None)['code']).text)
        assert 'unionid' not in unbound and 'openid' in unbound
        assert 'unionid' not in json.loads(_userinfo(sandbox, unbound).text)
        base = json.loads(_exchange(sandbox, _authorize(sandbox, scope='snsapi_base')['code']).text)
        assert 'unionid' not in base
        assert json.loads(_userinfo(sandbox, base).text)['errcode'] == 48001


class TestOfficialAccount:
    def test_access_token_and_its_expires_in_control(self, sandbox):
        reply = _cgi_token(sandbox)
        assert reply.headers['Content-Type'] == 'application/json; encoding=utf-8'
        assert reply.json()['expires_in'] == 7200
        requests.post(sandbox.url + '/sandbox/wechat/token_expires_in', json={'expires_in': 7199})
        assert _cgi_token(sandbox).json()['expires_in'] == 7199
        requests.post(sandbox.url + '/sandbox/wechat/token_expires_in', json={'expires_in': None})
        assert 'expires_in' not in _cgi_token(sandbox).json()
        requests.post(sandbox.url + '/sandbox/wechat/token_expires_in', json={})
        assert _cgi_token(sandbox).json()['expires_in'] == 7200
        wrong = requests.get(sandbox.url + '/cgi-bin/token', params={
            'grant_type': 'client_credential', 'appid': sandbox.config.wechat_appid,
            'secret': 'x'}).json()
        assert wrong['errcode'] == 40125

    def test_ticket_is_kept_for_its_lifetime(self, sandbox):
        first = _cgi_token(sandbox).json()['access_token']
        second = _cgi_token(sandbox).json()['access_token']
        tickets = [requests.get(sandbox.url + '/cgi-bin/ticket/getticket',
                                params={'access_token': token, 'type': 'jsapi'}).json()
                   for token in (first, second)]
        assert tickets[0]['errcode'] == 0 and tickets[0]['expires_in'] == 7200
        assert tickets[0]['ticket'] == tickets[1]['ticket']
        refused = requests.get(sandbox.url + '/cgi-bin/ticket/getticket',
                               params={'access_token': 'forged', 'type': 'jsapi'}).json()
        assert refused['errcode'] == 40001 and 'ticket' not in refused

    def test_template_message(self, sandbox):
        openid = _authorize(sandbox)['openid']
        token = _cgi_token(sandbox).json()['access_token']
        message = {'touser': openid, 'template_id': sandbox.config.template_id, 'url': '',
                   'data': {'first': {'value': '您的美食下单完成'}, 'keyword3': {'value': '[A1024]'}}}

        def send(access_token, **changes):
            return requests.post(sandbox.url + '/cgi-bin/message/template/send',
                                 params={'access_token': access_token},
                                 data=json.dumps(dict(message, **changes)),
                                 headers={'Content-Type': 'application/json'}).json()

        assert send('forged')['errcode'] == 40001
        assert send(token, touser='o-unknown')['errcode'] == 40003
        assert send(token, template_id='X' * 43)['errcode'] == 40037
        sent = send(token)
        assert sent['errcode'] == 0 and sent['errmsg'] == 'ok' and isinstance(sent['msgid'], int)
        recorded = requests.get(sandbox.url + '/sandbox/wechat/messages').json()['messages']
        assert len(recorded) == 1
        assert recorded[0]['touser'] == openid and recorded[0]['msgid'] == sent['msgid']
        assert recorded[0]['data']['keyword3'] == {'value': '[A1024]'}


class TestTencentMap:
    def _geocode(self, sandbox, **params):
        params.setdefault('key', sandbox.config.tencent_map_key)
        reply = requests.get(sandbox.url + '/ws/geocoder/v1/', params=params)
        assert reply.status_code == 200
        return reply.json()

    def test_location_resolves_to_the_nearest_city(self, sandbox):
        reply = self._geocode(sandbox, location='31.8754,120.5558')
        assert reply['status'] == 0 and reply['message'] == 'query ok' and reply['request_id']
        assert reply['result']['address_component']['city'] == '苏州市'
        assert reply['result']['address'].startswith('江苏省苏州市张家港市')
        assert reply['result']['ad_info']['adcode'] == '320582'
        beijing = self._geocode(sandbox, location='39.99,116.31')
        assert beijing['result']['address_component']['city'] == '北京市'

    @pytest.mark.parametrize('params, status', [
        ({'key': 'not-a-key'}, 311),
        ({'key': 'AAAAA-BBBBB-CCCCC-DDDDD-EEEEE-FFFFF'}, 190),
        ({'location': '31.2;121.4'}, 310),
        ({'location': 'north,east'}, 310),
        ({'location': '95.0,121.4'}, 365),
    ])
    def test_errors_carry_status_and_no_result(self, sandbox, params, status):
        params.setdefault('location', '31.23,121.47')
        reply = self._geocode(sandbox, **params)
        assert reply['status'] == status and reply['request_id'] and 'result' not in reply
