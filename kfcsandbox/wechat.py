"""WeChat official account: OAuth web login, access token, JS-SDK ticket, template messages.

Behaves as api.weixin.qq.com does: always HTTP 200, errors as {"errcode", "errmsg"} with a
"rid: ..." suffix, raw UTF-8 bodies with "/" escaped. The /sns/* replies are served as
"text/plain" without a charset, so a client that lets requests pick the encoding reads the
UTF-8 nickname as Latin-1, exactly as it would in production; a control can add a charset, to
see what such a client does with a reply that it reads properly.
"""
import secrets
import string

from .replies import read_json, wechat_error, wechat_response

SNS_TYPE = 'text/plain'
CGI_TYPE = 'application/json; encoding=utf-8'
_URLSAFE = string.ascii_letters + string.digits + '-_'


def _random(length, alphabet=_URLSAFE):
    return ''.join(secrets.choice(alphabet) for _ in range(length))


class WechatService:
    name = 'wechat'

    def __init__(self, state):
        self.state = state
        self.config = state.config
        self._msgid = 2200000000 + secrets.randbelow(10 ** 8)

    def routes(self):
        return [
            ('/sns/oauth2/access_token', ['GET'], self.oauth_access_token),
            ('/sns/userinfo', ['GET'], self.userinfo),
            ('/cgi-bin/token', ['GET'], self.access_token),
            ('/cgi-bin/ticket/getticket', ['GET'], self.getticket),
            ('/cgi-bin/message/template/send', ['POST'], self.template_send),
        ]

    # -- acts of a person (used by the control endpoints) ------------------------------------

    def authorize(self, openid=None, nickname=None, unionid=Ellipsis, scope='snsapi_userinfo',
                  headimgurl=None):
        """A user consents in WeChat: returns a fresh single-use OAuth code and the user.

        unionid: left out, the user gets one when the account is bound (config); None, none.
        """
        with self.state.lock:
            user = self._user(openid, nickname, unionid, headimgurl)
            code = _random(32, string.ascii_letters + string.digits)
            self.state.oauth_codes[code] = {'openid': user['openid'], 'scope': scope,
                                            'issued': self.state.clock(), 'used': False}
            return code, dict(user)

    def _user(self, openid, nickname, unionid, headimgurl):
        users = self.state.users
        user = users.get(openid) if openid else None
        if user is None:
            openid = openid or 'o' + _random(27)
            if unionid is Ellipsis:
                unionid = 'oU' + _random(26) if self.config.unionid_bound else None
            user = users[openid] = {
                'openid': openid,
                'nickname': self.config.default_nickname,
                'unionid': unionid,
                'headimgurl': 'https://thirdwx.qlogo.cn/mmopen/vi_32/%s/132' % _random(40),
            }
        elif unionid is not Ellipsis:
            user['unionid'] = unionid
        if nickname is not None:
            user['nickname'] = nickname
        if headimgurl is not None:
            user['headimgurl'] = headimgurl
        return user

    def set_sns_charset(self, charset):
        """The charset the /sns/* replies declare; None declares none (as WeChat does)."""
        with self.state.lock:
            self.state.sns_charset = charset

    def _sns_type(self):
        with self.state.lock:
            charset = self.state.sns_charset
        return '%s; charset=%s' % (SNS_TYPE, charset) if charset else SNS_TYPE

    def set_token_expires_in(self, value):
        """What /cgi-bin/token answers as expires_in; None leaves the key out."""
        with self.state.lock:
            self.state.token_expires_in = value

    def expire_access_tokens(self):
        """Every access token issued so far is refused from now on (errcode 40001), as when
        a fetch elsewhere retired it; returns how many."""
        with self.state.lock:
            expired = len(self.state.access_tokens)
            self.state.access_tokens.clear()
            return expired

    # -- OAuth ------------------------------------------------------------------------------

    def browser_openid(self):
        """The one user behind the browser's consent page, made on first use."""
        with self.state.lock:
            if not self.state.browser_openid:
                self.state.browser_openid = self._user(None, None, Ellipsis, None)['openid']
            return self.state.browser_openid

    def oauth_access_token(self, request):
        args = request.args
        if args.get('appid') != self.config.wechat_appid:
            return wechat_error(40013, 'invalid appid', self._sns_type())
        if args.get('secret') != self.config.wechat_secret:
            return wechat_error(40125, 'invalid appsecret', self._sns_type())
        if args.get('grant_type') != 'authorization_code':
            return wechat_error(40002, 'invalid grant_type', self._sns_type())
        with self.state.lock:
            grant = self.state.oauth_codes.get(args.get('code', ''))
            if grant is None:
                return wechat_error(40029, 'invalid code', self._sns_type())
            if grant['used']:
                return wechat_error(40163, 'code been used', self._sns_type())
            if self.state.clock() - grant['issued'] > self.config.oauth_code_ttl:
                return wechat_error(40029, 'invalid code', self._sns_type())
            grant['used'] = True
            token = _random(89)
            self.state.web_tokens[token] = {
                'openid': grant['openid'], 'scope': grant['scope'],
                'expires': self.state.clock() + self.config.token_ttl}
            user = self.state.users[grant['openid']]
        reply = {'access_token': token, 'expires_in': self.config.token_ttl,
                 'refresh_token': _random(89), 'openid': user['openid'], 'scope': grant['scope']}
        if user['unionid'] and grant['scope'] == 'snsapi_userinfo':
            reply['unionid'] = user['unionid']
        return wechat_response(reply, self._sns_type())

    def userinfo(self, request):
        args = request.args
        with self.state.lock:
            grant = self.state.web_tokens.get(args.get('access_token', ''))
            if grant is None or grant['expires'] < self.state.clock():
                return wechat_error(40001, 'invalid credential, access_token is invalid or not '
                                           'latest', self._sns_type())
            if args.get('openid') != grant['openid']:
                return wechat_error(40003, 'invalid openid', self._sns_type())
            if grant['scope'] != 'snsapi_userinfo':
                return wechat_error(48001, 'api unauthorized', self._sns_type())
            user = dict(self.state.users[grant['openid']])
        # Since late 2021 gender and region are no longer disclosed; the keys remain.
        reply = {'openid': user['openid'], 'nickname': user['nickname'], 'sex': 0,
                 'language': '', 'city': '', 'province': '', 'country': '',
                 'headimgurl': user['headimgurl'], 'privilege': []}
        if user['unionid']:
            reply['unionid'] = user['unionid']
        return wechat_response(reply, self._sns_type())

    # -- access token and JS-SDK ticket ----------------------------------------------------

    def access_token(self, request):
        args = request.args
        if args.get('grant_type') != 'client_credential':
            return wechat_error(40002, 'invalid grant_type')
        if args.get('appid') != self.config.wechat_appid:
            return wechat_error(40013, 'invalid appid')
        if args.get('secret') != self.config.wechat_secret:
            return wechat_error(40125, 'invalid appsecret')
        token = _random(136)
        with self.state.lock:
            self.state.access_tokens[token] = self.state.clock() + self.config.token_ttl
            expires_in = self.state.token_expires_in
        reply = {'access_token': token}
        if expires_in is not None:
            reply['expires_in'] = expires_in
        return wechat_response(reply)

    def _token_valid(self, token):
        with self.state.lock:
            expiry = self.state.access_tokens.get(token or '')
            return expiry is not None and expiry >= self.state.clock()

    def getticket(self, request):
        if not self._token_valid(request.args.get('access_token')):
            return wechat_error(40001, 'invalid credential, access_token is invalid or not latest')
        if request.args.get('type') != 'jsapi':
            return wechat_error(40097, 'invalid args')
        with self.state.lock:
            now = self.state.clock()
            if self.state.ticket is None or self.state.ticket[1] < now:
                self.state.ticket = (_random(86), now + self.config.token_ttl)
            ticket = self.state.ticket[0]
        return wechat_response({'errcode': 0, 'errmsg': 'ok', 'ticket': ticket,
                                'expires_in': self.config.token_ttl})

    # -- template messages -----------------------------------------------------------------

    def template_send(self, request):
        if not self._token_valid(request.args.get('access_token')):
            return wechat_error(40001, 'invalid credential, access_token is invalid or not latest')
        message = read_json(request)
        if not isinstance(message, dict):
            return wechat_error(47001, 'data format error')
        with self.state.lock:
            if message.get('touser') not in self.state.users:
                return wechat_error(40003, 'invalid openid')
            if message.get('template_id') != self.config.template_id:
                return wechat_error(40037, 'invalid template_id')
            if not isinstance(message.get('data', {}), dict):
                return wechat_error(47001, 'data format error')
            self._msgid += 1
            msgid = self._msgid
            self.state.template_messages.append({
                'msgid': msgid,
                'touser': message['touser'],
                'template_id': message['template_id'],
                'url': message.get('url', ''),
                'data': message.get('data', {}),
                'sent_at': self.state.clock(),
            })
        return wechat_response({'errcode': 0, 'errmsg': 'ok', 'msgid': msgid})
