"""The customer's page as the add-on serves it: at "/" of the page's own site only, its files
under the version of their content, and the configuration naming the outside addresses it uses."""
import gzip
import json
import os
import posixpath
import re
import time
from urllib.parse import urljoin, urlsplit

import pytest
import requests

from kfchost.page import forget_jsapi_ticket
from odoo.addons.kfc_coupon_shop.controllers.page import page_config, page_settings
from odoo.addons.kfc_coupon_shop.controllers.page_assets import SOURCE_DIR

DEPLOYMENT = page_settings()[0]
PAGE_HOST = urlsplit(DEPLOYMENT['frontend_page_url']).netloc


def get(host, path, **kwargs):
    return requests.get(host.url + path, allow_redirects=False, timeout=30, **kwargs)


def page(host):
    return get(host, '/', headers={'Host': PAGE_HOST})


def versioned_files(host):
    """The page's reply and the addresses of the files it names, by their name under src."""
    reply = page(host)
    found = re.findall(r'(?:src|href)="(/kfc_coupon_shop/v\w+/src/([^"]+))"', reply.text)
    return reply, {name: address for address, name in found}


def raw_get(host, path, encoding):
    """The reply to a client taking ``encoding``, and its body as sent (not decoded)."""
    reply = get(host, path, headers={'Host': PAGE_HOST, 'Accept-Encoding': encoding}, stream=True)
    return reply, reply.raw.read(decode_content=False)


@pytest.mark.parametrize('site, is_page', [(PAGE_HOST, True), ('backoffice.shop.example', False)])
def test_the_page_is_served_at_the_root_of_its_own_site_only(host, site, is_page):
    reply = get(host, '/', headers={'Host': site})
    served = reply.status_code == 200 and '/src/main.js"' in reply.text
    assert served == is_page
    if is_page:
        assert reply.headers['Content-Type'] == 'text/html; charset=utf-8'


def test_the_page_names_its_files_under_a_version_kept_for_good(host):
    reply, files = versioned_files(host)
    assert reply.headers['Cache-Control'] == 'no-cache'
    styles, script = files['style.css'], files['main.js']
    # a module imported relatively comes from the same version, as long-lived as its importer
    imported = urljoin(script, re.search(r"from '([^']+)'", get(host, script).text).group(1))
    for path, kind in ((styles, 'text/css'), (script, 'javascript'), (imported, 'javascript')):
        served = get(host, path)
        assert served.status_code == 200 and kind in served.headers['Content-Type']
        cache = {directive.strip() for directive in served.headers['Cache-Control'].split(',')}
        assert {'immutable', 'max-age=31536000'} <= cache
        assert 'no-cache' not in cache


@pytest.mark.parametrize('wrong', [
    lambda path: path.replace('/v', '/v0', 1),                      # another version
    lambda path: path.replace('main.js', '..%2f__manifest__.py'),
    lambda path: path.replace('main.js', 'no-such-file.js'),
])
def test_a_versioned_address_serves_only_the_current_files(host, wrong):
    script = versioned_files(host)[1]['main.js']
    assert get(host, wrong(script)).status_code == 404


def test_the_page_preloads_the_modules_it_starts_with_and_no_other(host):
    files = versioned_files(host)[1]
    imported = set()
    for name in ('main.js', *files):
        if name.endswith('.js'):
            text = get(host, files[name]).text
            imported |= {posixpath.normpath(posixpath.join(posixpath.dirname(name), target))
                         for target in re.findall(r"^import .*?from '([^']+)'", text, re.M | re.S)}
    assert imported and imported <= set(files)      # the whole graph, in one round trip
    assert 'views/checkout.js' not in files         # a later step's view comes when shown


def test_text_is_sent_gzipped_to_a_client_taking_it(host):
    files = versioned_files(host)[1]
    for path in ('/', files['main.js'], files['style.css']):
        plain, body = raw_get(host, path, 'identity')
        gzipped, compressed = raw_get(host, path, 'gzip, deflate, br')
        assert 'Content-Encoding' not in plain.headers
        assert gzipped.headers['Content-Encoding'] == 'gzip'
        assert gzip.decompress(compressed) == body and len(compressed) < len(body)
        assert all('Accept-Encoding' in reply.headers['Vary'] for reply in (plain, gzipped))
    with open(os.path.join(SOURCE_DIR, 'main.js'), 'rb') as handle:
        assert raw_get(host, files['main.js'], 'identity')[1] == handle.read()


def test_the_page_carries_its_configuration(host):
    carried = re.search(r'<script type="application/json" id="page-config">(.*?)</script>',
                        page(host).text).group(1)
    assert json.loads(carried) == get(host, '/kfc_coupon_shop/page_config').json()


@pytest.mark.parametrize('path, found', [
    ('/kfc_coupon_shop/static/src/main.js', True),
    ('/kfc_coupon_shop/static/src/no-such-file.js', False),
    ('/kfc_coupon_shop/static/..%2f__manifest__.py', False),
])
def test_static_files(host, path, found):
    reply = get(host, path)
    assert (reply.status_code == 200) == found
    if found:       # module scripts load only with a JavaScript type
        assert reply.headers['Content-Type'].split(';')[0] in ('text/javascript',
                                                               'application/javascript')


def test_in_sandbox_mode_the_page_is_sent_to_the_sandbox(host):
    sandbox = host.sandbox.url
    assert get(host, '/kfc_coupon_shop/page_config').json() == {
        'appid': host.sandbox.config.wechat_appid,
        'authorize_url': sandbox + '/connect/oauth2/authorize',
        'jssdk_url': sandbox + '/open/js/jweixin-1.6.0.js',
        'image_origins': {DEPLOYMENT['image_host_prefix']: sandbox},
    }


def test_in_production_the_page_goes_to_wechat():
    assert page_config('wx0123', DEPLOYMENT, None) == {
        'appid': 'wx0123',
        'authorize_url': 'https://open.weixin.qq.com/connect/oauth2/authorize',
        'jssdk_url': 'https://res.wx.qq.com/open/js/jweixin-1.6.0.js',
        'image_origins': {},
    }


@pytest.mark.standin_only(reason='forgets the ticket in the server process\'s database')
def test_a_new_sandbox_gets_a_signature_it_can_check(host):
    """serve starts a new sandbox on a database that may cache an earlier sandbox's ticket."""
    with host.env() as env:
        params = env['ir.config_parameter'].sudo()
        params.set_param('jsapi_ticket', 'a-ticket-of-an-earlier-sandbox')
        params.set_param('js_api_timestamp1', str(int(time.time())))
    forget_jsapi_ticket(host.registry)
    signed = host.post('post_wx_config').json()['data']
    check = requests.post(host.sandbox.url + '/jssdk/config', timeout=30, data=json.dumps({
        'appId': signed['appid'], 'timestamp': str(signed['timestamp']),
        'nonceStr': signed['nonceStr'], 'signature': signed['signature'],
        'url': DEPLOYMENT['frontend_page_url']}))
    assert check.json()['errMsg'] == 'config:ok'
