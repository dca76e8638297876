"""UserController served by the host, with the sandbox as WeChat.

Replies are compared as text: the front end gets json.dumps' default output (\\u escapes,
", " and ": " separators, the keys in the order the route builds them).
"""
import re
from urllib.parse import parse_qsl

import pytest
import requests

import odoo.addons.kfc_coupon_shop.controllers.user as user_module
from odoo.addons.kfc_coupon_shop.functions.tokens import TOKEN_REFUSED

LOGIN_REPLY = ('{"data": {"token": "%s"}, "code": 200, '
               '"message": "\\u767b\\u5f55\\u7528\\u6237\\u6210\\u529f"}')


def users(host):
    with host.env() as env:
        return [(user.name, user.openid, user.unionid, user.token)
                for user in env['kfc.user'].search([])]


def names(host):
    return [user[0] for user in users(host)]


def wechat_requests(host):
    """(path, [(key, value), ...]) of each request WeChat received, oldest first."""
    return [(entry['path'], parse_qsl(entry['query'], keep_blank_values=True))
            for entry in host.inspect('requests')['requests'] if entry['service'] == 'wechat']


def login(host, code):
    return host.post('post_user_login', data={'code': code})


def assert_framework_failure(reply):
    """The framework's error page: a route that raised sends no JSON envelope."""
    assert reply.status_code == 500
    assert not reply.headers['Content-Type'].startswith('application/json')


@pytest.fixture
def issued_tokens(host, monkeypatch):
    """The tokens generate_token handed to the login route, in order."""
    issued = []
    generate_token = user_module.generate_token

    def recording_generate_token():
        issued.append(generate_token())
        return issued[-1]
    monkeypatch.setattr(user_module, 'generate_token', recording_generate_token)
    return issued


# -- keyword lists -------------------------------------------------------------------------------

@pytest.mark.parametrize('keyword, data', [
    ('X，Y，，Z', '["X", "Y", "", "Z"]'),
    ('X,Y', '["X,Y"]'),
    ('，X ，', '["", "X ", ""]'),
    ('汉堡，鸡块', '["\\u6c49\\u5821", "\\u9e21\\u5757"]'),
])
def test_keywords_split_at_full_width_commas_only(host, keyword, data):
    with host.env() as env:
        env['keyword.config'].create({'name': 'probe', 'keyword': keyword})
    reply = host.post('post_keyword_config', data={'type': 'probe'})
    assert reply.status_code == 200 and reply.headers['Content-Type'] == 'application/json'
    assert reply.text == '{"code": 200, "data": %s, "message": "success"}' % data


def test_unknown_keyword_type_gives_an_empty_list(host):
    reply = host.post('post_keyword_config', data={'type': 'no_such_type'})
    assert reply.status_code == 200
    assert reply.text == '{"code": 200, "data": [], "message": "success"}'


@pytest.mark.parametrize('route', ['post_keyword_config', 'post_user_login'])
def test_missing_input_fails_the_route(host, route):
    assert_framework_failure(host.post(route, data={}))


# -- token check -------------------------------------------------------------------------------

@pytest.mark.parametrize('known', [True, False])
def test_token_check(host, known):
    token = host.login(nickname='Ann')
    reply = host.post('post_user_token', data={'token': token if known else token + 'x'})
    assert reply.status_code == 200
    assert reply.text == '{"code": 200, "data": {"state": %s}, "message": "success"}' % (
        'true' if known else 'false')


# -- login -------------------------------------------------------------------------------------

def test_first_login_creates_one_user_with_a_generated_token(host, issued_tokens):
    grant = host.control('wechat/authorize', nickname='Ann')
    reply = login(host, grant['code'])
    assert reply.status_code == 200 and len(issued_tokens) == 1
    token = issued_tokens[0]
    assert reply.text == LOGIN_REPLY % token
    assert users(host) == [('Ann', grant['openid'], grant['unionid'], token)]
    # URL-safe text of at least 22 characters: at least 128 random bits.
    assert re.fullmatch(r'[A-Za-z0-9_-]{22,}', token)
    assert host.login() != token                  # another user, another token
    app = host.sandbox.config
    exchange, userinfo = wechat_requests(host)[:2]
    assert exchange == ('/sns/oauth2/access_token', [
        ('appid', app.wechat_appid), ('secret', app.wechat_secret), ('code', grant['code']),
        ('grant_type', 'authorization_code')])
    assert userinfo[0] == '/sns/userinfo'
    assert [key for key, _ in userinfo[1]] == ['access_token', 'openid', 'lang']
    assert userinfo[1][1:] == [('openid', grant['openid']), ('lang', 'zh_CN')]


def test_second_login_returns_the_stored_token_and_changes_nothing(host, issued_tokens):
    grant = host.control('wechat/authorize', nickname='Ann')
    token = login(host, grant['code']).json()['data']['token']
    before = users(host)
    again = host.control('wechat/authorize', openid=grant['openid'], nickname='Ann 2',
                         unionid='oU-another')
    reply = login(host, again['code'])
    assert reply.status_code == 200 and reply.text == LOGIN_REPLY % token
    assert issued_tokens == [token] and users(host) == before
    # The user information is asked for on every login, also for a known user.
    assert [path for path, _ in wechat_requests(host)] == [
        '/sns/oauth2/access_token', '/sns/userinfo'] * 2


@pytest.mark.parametrize('nickname', ['张三', '🍔 Ann', 'Zoë', 'Ann'])
def test_nickname_misread_as_latin1_is_repaired(host, nickname):
    # The sandbox answers /sns/userinfo as text/plain without a charset, as WeChat does.
    host.login(nickname=nickname)
    assert names(host) == [nickname]


@pytest.mark.parametrize('nickname', ['张三', 'Zoë'])
def test_nickname_that_is_no_misreading_is_stored_as_received(host, nickname):
    # Read properly, 张三 has characters beyond U+00FF and Zoë's Latin-1 bytes are not UTF-8.
    host.control('wechat/sns_charset', charset='utf-8')
    host.login(nickname=nickname)
    assert names(host) == [nickname]


@pytest.mark.parametrize('suffix', ['&secret=x', '&grant_type=x', '#top', '+1 2%41'])
def test_posted_code_reaches_wechat_as_one_value(host, suffix):
    code = host.control('wechat/authorize')['code'] + suffix
    assert_framework_failure(login(host, code))       # WeChat knows no such code
    assert users(host) == []
    ((path, query),) = wechat_requests(host)
    app = host.sandbox.config
    assert query == [('appid', app.wechat_appid), ('secret', app.wechat_secret), ('code', code),
                     ('grant_type', 'authorization_code')]


@pytest.mark.parametrize('grant', [
    {'code': 'no-such-code'},
    {'scope': 'snsapi_base'},      # the exchange carries no unionid
    {'unionid': None},             # the account is not bound to an Open Platform account
], ids=['unknown code', 'base scope', 'no unionid'])
def test_wechat_reply_without_an_identity_fails_the_login(host, grant):
    code = grant.pop('code', None) or host.control('wechat/authorize', **grant)['code']
    assert_framework_failure(login(host, code))
    assert users(host) == []


def test_reused_code_fails_the_login_and_creates_nothing(host):
    code = host.control('wechat/authorize')['code']
    assert login(host, code).status_code == 200
    before = users(host)
    assert_framework_failure(login(host, code))
    assert users(host) == before


def test_wechat_system_error_fails_the_login(host):
    code = host.control('wechat/authorize')['code']
    fault = {'service': 'wechat', 'mode': 'error', 'times': 1, 'path': '/sns/userinfo'}
    assert requests.post(host.sandbox.url + '/sandbox/fault', json=fault).ok
    assert_framework_failure(login(host, code))
    assert users(host) == []


def test_login_requests_have_a_time_limit(host, outbound_calls):
    calls = outbound_calls('user', cap=0.5)
    host.login()
    assert len(calls.calls) == 2 and calls.unlimited() == []
    code = host.control('wechat/authorize')['code']
    host.control('fault', service='wechat', mode='hang', seconds=120)
    # Were the exchange not limited, this would wait for the client's own 30 s and raise.
    assert_framework_failure(login(host, code))
    assert len(users(host)) == 1


# -- user information --------------------------------------------------------------------------

def test_user_info_names_the_user_of_the_token(host):
    token = host.login(nickname='张三')
    host.login(nickname='Other')
    reply = host.post('post_user_info', data={'token': token})
    assert reply.status_code == 200
    assert reply.text == '{"name": "\\u5f20\\u4e09", "code": 200, "message": "success"}'


@pytest.mark.parametrize('form', [{'token': 'no-such-token'}, {'token': ''}, {}],
                         ids=['unknown', 'empty', 'missing'])
def test_user_info_refuses_an_unknown_or_missing_token(host, form):
    host.login()
    with host.env() as env:         # a customer who never logged in holds no token
        env['kfc.user'].create({'name': '未登录', 'openid': 'o-no-token'})
    reply = host.post('post_user_info', data=form)
    assert reply.status_code == 200
    assert reply.json() == {'code': 400, 'message': TOKEN_REFUSED}
