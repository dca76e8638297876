"""The customer's H5 page: served at "/" of the page's own site, with the configuration it
reads its outside addresses from.

The controllers sign the JS-SDK configuration for one fixed address, the deployment's
``frontend_page_url`` (the root of the page's site), so the page is served exactly there: "/"
of a request whose host is that URL's host answers the page; "/" of any other host stays
web's (Odoo's own redirect to the web client). The page names its scripts and styles under
the version of their content (page_assets.py), which browsers keep for good, while the page
itself is asked for again at each load; it carries its configuration, which saves the page a
round trip before it can start (the route page_config answers the same).
"""
import json

from odoo import SUPERUSER_ID, http
from odoo.addons.web.controllers.home import Home
from odoo.http import request

from ..services import runtime
from ..services.origins import normalize_origin
from .page_assets import compress, text_response, versioned_file, versioned_page

# WeChat's own addresses for a browser: the OAuth consent page and the JS-SDK script.
WECHAT_AUTHORIZE_ORIGIN = 'https://open.weixin.qq.com'
WECHAT_SCRIPT_ORIGIN = 'https://res.wx.qq.com'
AUTHORIZE_PATH = '/connect/oauth2/authorize'
JSSDK_PATH = '/open/js/jweixin-1.6.0.js'


def page_settings():
    """(deployment constants, the sandbox's address or None): all the page reads of the
    settings, in this one place."""
    settings = runtime.settings
    deployment = runtime.deployment
    sandbox_url = None
    if settings.sandbox:
        # in sandbox mode every outside origin goes to the one sandbox
        sandbox_url = runtime.requests.origins.rewrite(deployment['wechat_api_origin'])
        sandbox_url = sandbox_url.rstrip('/')
    return deployment, sandbox_url


def page_url():
    return page_settings()[0]['frontend_page_url']


def is_page_host(host):
    """Whether a request's Host header names the page's site (its port may be left out when
    it is the default port of the page's scheme)."""
    page = normalize_origin(page_url())
    if page is None:
        return False
    scheme = page.split('://', 1)[0]
    return normalize_origin('%s://%s' % (scheme, host or '')) == page


def page_config(appid, deployment, sandbox_url):
    """What the page needs to know of the outside world: WeChat's addresses, or the sandbox's
    in sandbox mode, and where the dish images are to be fetched."""
    wechat_origin = script_origin = sandbox_url or WECHAT_AUTHORIZE_ORIGIN
    if not sandbox_url:
        script_origin = WECHAT_SCRIPT_ORIGIN
    image_origin = normalize_origin(deployment['image_host_prefix'])
    return {
        'appid': appid,
        'authorize_url': wechat_origin + AUTHORIZE_PATH,
        'jssdk_url': script_origin + JSSDK_PATH,
        # images named under a key are fetched from its value
        'image_origins': {image_origin: sandbox_url} if sandbox_url else {},
    }


def current_page_config(env):
    """The page's configuration with the shop's WeChat appid, as JSON."""
    deployment, sandbox_url = page_settings()
    wxapi = env['api.config'].sudo().search([('name', '=', 'wxapi')], limit=1)
    return json.dumps(page_config(wxapi.app_id or '', deployment, sandbox_url))


class ShopPage(Home):

    @http.route()
    def index(self, *args, **kw):
        if not is_page_host(request.httprequest.host):
            return super().index(*args, **kw)
        # "/" is web's route without a user: the appid is read as the superuser
        page = versioned_page(current_page_config(request.env(user=SUPERUSER_ID))).encode()
        response = text_response(page, compress(page), 'text/html', request.httprequest.environ)
        response.headers['Cache-Control'] = 'no-cache'
        return response

    @http.route('/kfc_coupon_shop/v<string:version>/src/<path:path>', type='http', auth='public',
                methods=['GET'])
    def page_file(self, version, path):
        return versioned_file(version, path, request.httprequest.environ)

    @http.route('/kfc_coupon_shop/page_config', type='http', auth='public', methods=['GET'])
    def page_config(self):
        return http.Response(current_page_config(request.env), content_type='application/json',
                             headers={'Cache-Control': 'no-store'})
