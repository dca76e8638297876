"""WeChat as the customer's phone runs it, for a real browser: the OAuth consent page, the
JS-SDK script with WeChat's check of `wx.config`, the position `wx.getLocation` answers, and
the payment sheet of `WeixinJSBridge.invoke('getBrandWCPayRequest', ...)`.

* `GET /connect/oauth2/authorize` (open.weixin.qq.com): with `snsapi_userinfo` the consent
  page; "允许" posts back and is redirected to `redirect_uri?code=CODE&state=STATE`, "拒绝" to
  `redirect_uri?state=STATE`, as WeChat does. `snsapi_base` asks nothing and redirects at once.
* `GET /open/js/jweixin-1.6.0.js` (res.wx.qq.com): a stand-in of the JS-SDK defining `wx`.
* `POST /jssdk/config`: what the script asks to verify `wx.config` (WeChat's client does it);
  the signature is SHA-1 over the current jsapi ticket, nonce, timestamp and the page's URL
  without its fragment. `GET /jssdk/location`: the position set by the control side.
* `POST /jssdk/pay/sheet`: what the payment sheet shows for the page's pay parameters (the
  amount and the merchant), or why WeChat refuses them; `POST /jssdk/pay/confirm`: the payer
  pays, and WeChat Pay notifies the merchant as `/sandbox/wechatpay/confirm` does. Both check
  the parameters as WeChat does: `paySign` is SHA256withRSA with the merchant's key over
  appId, timeStamp, nonceStr and package, each followed by a newline.

The script and these endpoints are fetched cross-origin by the page: they allow any origin.
"""
import hashlib
import html
import os
from urllib.parse import urlencode, urlsplit, urlunsplit

from werkzeug.utils import redirect
from werkzeug.wrappers import Response

from . import crypto
from .replies import json_response, read_json

STATIC_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'static')
JSSDK_PATH = '/open/js/jweixin-1.6.0.js'
AUTHORIZE_PATH = '/connect/oauth2/authorize'
CORS = {'Access-Control-Allow-Origin': '*'}
PAY_REQUEST = 'get_brand_wcpay_request'
PREPAY_TTL = 2 * 3600      # seconds a prepay id stays usable
PAY_PARAMS = ('appId', 'timeStamp', 'nonceStr', 'package', 'signType', 'paySign')


def jssdk_signature(ticket, nonce_str, timestamp, url):
    """WeChat's JS-SDK signature; ``url`` is the page's address, its fragment left out."""
    text = 'jsapi_ticket=%s&noncestr=%s&timestamp=%s&url=%s' % (
        ticket, nonce_str, timestamp, url.split('#', 1)[0])
    return hashlib.sha1(text.encode('utf-8')).hexdigest()


def pay_sign_text(params):
    """What paySign signs: appId, timeStamp, nonceStr and package, each ended by a newline."""
    return ''.join('%s\n' % params[key] for key in ('appId', 'timeStamp', 'nonceStr', 'package'))


class PayRefused(Exception):
    """WeChat refuses the pay parameters; the message is what the payer reads."""


def _page(title, body):
    return Response(
        '<!DOCTYPE html><html lang="zh-CN"><head><meta charset="utf-8">'
        '<meta name="viewport" content="width=device-width, initial-scale=1">'
        '<link rel="icon" href="data:,"><title>%s</title><style>%s</style></head>'
        '<body>%s</body></html>' % (html.escape(title), _CONSENT_CSS, body),
        content_type='text/html; charset=utf-8')


_CONSENT_CSS = (
    'body{margin:0;font:16px/1.5 -apple-system,"PingFang SC","Microsoft YaHei",sans-serif;'
    'background:#ededed;color:#111}main{background:#fff;margin:48px 16px;padding:32px 24px;'
    'border-radius:8px;text-align:center}.who{font-size:18px;font-weight:600}'
    '.ask{color:#555;margin:24px 0;text-align:left}.ask li{margin:4px 0}'
    'button{display:block;width:100%;margin-top:12px;padding:12px;border:0;border-radius:6px;'
    'font-size:17px}.allow{background:#07c160;color:#fff}.deny{background:#f2f2f2;color:#07c160}'
    '.avatar{width:64px;height:64px;border-radius:8px;background:#07c160;color:#fff;'
    'font-size:32px;line-height:64px;margin:0 auto 12px}.error{color:#fa5151}')


class WechatClientService:
    name = 'wechat_client'

    def __init__(self, state, wechat, wechatpay):
        self.state = state
        self.config = state.config
        self.wechat = wechat
        self.wechatpay = wechatpay
        self._merchant_key = crypto.load_public(self.config.merchant_public_key_pem)

    def routes(self):
        return [
            (AUTHORIZE_PATH, ['GET', 'POST'], self.authorize_page),
            (JSSDK_PATH, ['GET'], self.jssdk_script),
            ('/jssdk/config', ['POST'], self.verify_config),
            ('/jssdk/location', ['GET'], self.location),
            ('/jssdk/pay/sheet', ['POST'], self.pay_sheet),
            ('/jssdk/pay/confirm', ['POST'], self.pay_confirm),
        ]

    # -- OAuth consent -------------------------------------------------------------------------

    def authorize_page(self, request):
        args = request.values
        if args.get('appid') != self.config.wechat_appid:
            return _page('微信授权', '<main class="error">appid参数错误</main>')
        target = args.get('redirect_uri', '')
        if not target.startswith(('http://', 'https://')):
            return _page('微信授权', '<main class="error">redirect_uri参数错误</main>')
        scope = args.get('scope', 'snsapi_base')
        if request.method == 'GET' and scope == 'snsapi_userinfo':
            return self._consent_page(args)
        query = {'state': args.get('state', '')}
        if request.method == 'GET' or args.get('action') == 'allow':
            code, _ = self.wechat.authorize(openid=self.wechat.browser_openid(), scope=scope)
            query = {'code': code, **query}
        parts = urlsplit(target)
        joined = parts.query + ('&' if parts.query else '') + urlencode(query)
        return redirect(urlunsplit((parts.scheme, parts.netloc, parts.path, joined, '')), 302)

    def _consent_page(self, args):
        with self.state.lock:
            nickname = self.state.users[self.wechat.browser_openid()]['nickname']
        hidden = ''.join('<input type="hidden" name="%s" value="%s">' % (name, html.escape(
            args.get(name, ''))) for name in ('appid', 'redirect_uri', 'scope', 'state'))
        return _page('微信授权', (
            '<main><div class="avatar">%s</div><div class="who">%s</div>'
            '<div class="ask">公众号 %s 申请获得以下权限：<ul><li>获得你的公开信息（昵称、头像等）</li>'
            '</ul></div><form method="post" action="%s">%s'
            '<button class="allow" name="action" value="allow">允许</button>'
            '<button class="deny" name="action" value="deny">拒绝</button></form></main>') % (
                html.escape(nickname[:1]), html.escape(nickname),
                html.escape(self.config.wechat_appid), AUTHORIZE_PATH, hidden))

    # -- JS-SDK --------------------------------------------------------------------------------

    def jssdk_script(self, request):
        with open(os.path.join(STATIC_DIR, 'jweixin.js'), 'rb') as handle:
            script = handle.read()
        return Response(script, content_type='application/javascript; charset=utf-8',
                        headers=dict(CORS, **{'Cache-Control': 'no-cache'}))

    def verify_config(self, request):
        """WeChat's check of wx.config: the appid, then the signature over the ticket in force."""
        body = read_json(request)
        body = body if isinstance(body, dict) else {}
        with self.state.lock:
            ticket = self.state.ticket
            now = self.state.clock()
        url = str(body.get('url', ''))
        if body.get('appId') != self.config.wechat_appid:
            message = 'config:invalid appid'
        elif ticket is None or ticket[1] < now or body.get('signature') != jssdk_signature(
                ticket[0], body.get('nonceStr', ''), body.get('timestamp', ''), url):
            message = 'config:invalid signature'
        else:
            message = 'config:ok'
        return json_response({'errMsg': message, 'url': url.split('#', 1)[0]}, headers=CORS)

    def location(self, request):
        with self.state.lock:
            position = self.state.location
        if position is None:
            return json_response({'errMsg': 'getLocation:fail auth deny'}, headers=CORS)
        latitude, longitude = position
        return json_response({'errMsg': 'getLocation:ok', 'latitude': latitude,
                              'longitude': longitude, 'speed': -1, 'accuracy': 65},
                             headers=CORS)

    def set_location(self, latitude, longitude):
        """Where the phone is; None: the customer refuses to share the position."""
        with self.state.lock:
            self.state.location = None if latitude is None else (latitude, longitude)

    # -- WeChat Pay's sheet ----------------------------------------------------------------------

    def pay_sheet(self, request):
        """The sheet WeChat opens for getBrandWCPayRequest: the amount and whom it is paid to."""
        try:
            payment = self._payment(read_json(request))
        except PayRefused as refusal:
            return self._pay_refused(refusal)
        return json_response({'err_msg': PAY_REQUEST + ':ok', 'total': payment['total'],
                              'merchant': self.config.merchant_name,
                              'description': payment['description']}, headers=CORS)

    def pay_confirm(self, request):
        """The payer pays: WeChat Pay takes the money and notifies the merchant's server. The
        page hears "ok" whether or not the notification was received (WeChat Pay sends it again
        later), as a real payer's page does."""
        try:
            payment = self._payment(read_json(request))
            self.wechatpay.payments.confirm_payment(payment['out_trade_no'])
        except PayRefused as refusal:
            return self._pay_refused(refusal)
        except ValueError as error:     # paid or closed meanwhile
            return self._pay_refused(PayRefused(str(error)))
        return json_response({'err_msg': PAY_REQUEST + ':ok'}, headers=CORS)

    @staticmethod
    def _pay_refused(refusal):
        return json_response({'err_msg': PAY_REQUEST + ':fail', 'err_desc': str(refusal)},
                             headers=CORS)

    def _payment(self, params):
        """The unpaid payment the page's pay parameters open, checked as WeChat checks them;
        raises PayRefused."""
        params = params if isinstance(params, dict) else {}
        for key in PAY_PARAMS:
            if not isinstance(params.get(key), str) or not params[key]:
                raise PayRefused('调用支付JSAPI缺少参数：%s' % key)
        if params['appId'] != self.config.wechat_appid:
            raise PayRefused('appId与当前公众号不一致')
        if params['signType'] != 'RSA':
            raise PayRefused('签名类型错误：%s' % params['signType'])
        if not crypto.verify(self._merchant_key, pay_sign_text(params).encode('utf-8'),
                             params['paySign']):
            raise PayRefused('支付验证签名失败')
        prefix, _, prepay_id = params['package'].partition('=')
        with self.state.lock:
            found = [payment for payment in self.state.transactions.values()
                     if prefix == 'prepay_id' and payment['prepay_id'] == prepay_id]
            payment = dict(found[0]) if found else None
            now = self.state.clock()
        if payment is None or payment['created'] + PREPAY_TTL < now:
            raise PayRefused('预支付交易单不存在或已过期')
        if payment['openid'] != self.wechat.browser_openid():
            raise PayRefused('当前微信用户不是下单用户')
        if payment['trade_state'] != 'NOTPAY':
            paid = payment['trade_state'] in ('SUCCESS', 'REFUND')
            raise PayRefused('该订单已支付' if paid else '该订单已关闭')
        if payment.get('time_expire', float('inf')) < now:
            raise PayRefused('该订单已超过支付时间')
        return payment
