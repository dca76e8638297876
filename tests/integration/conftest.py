"""The host serving the loaded controllers on 127.0.0.1, with the sandbox as its outside world.

`host` is a fresh database with the demo records and a threaded server per test; the sandbox
runs for the whole session and is reset before each test.
"""
import contextlib
import importlib
import logging
import math
import time

import pytest
import requests
from werkzeug.test import EnvironBuilder

from kfchost import http
from odoo.addons.kfc_coupon_shop.services import runtime
from kfchost.app import create_app
from kfchost.http.request import HTTPRequest, Request, _request_stack
from kfchost.orm.base.res_users import PUBLIC_USER_ID
from kfchost.orm import api
from odoo.addons.kfc_coupon_shop.functions import wx_api_payment
from odoo.addons.kfc_coupon_shop.services.deployment import read_deployment
from kfcsandbox.config import SandboxConfig
from kfcsandbox.data import store_by_code
from kfcsandbox.server import SandboxServer

logging.getLogger('werkzeug').setLevel(logging.WARNING)

DEPLOYMENT = read_deployment()
# The routes that send dishes to the kitchen: the kitchen's dispatcher hands them over after
# the route has answered.
KITCHEN_ROUTES = ('post_coupon_sale_order', 'post_change_sale_order_state')


@pytest.fixture(scope='session')
def sandbox_server():
    # An official account other than the demo data's: the hosts reach it only through their
    # settings (wechat_appid, wechat_secret), as a shop's server does. Its app id differs from
    # the demo's in digits only, the shape the README's walk shows.
    config = SandboxConfig.from_deployment(DEPLOYMENT, wechat_appid='wx2d8f6a1c4e9b7350',
                                           wechat_secret='c8e1f4a7b2d5906e3f1a8c4b7d2e5f90')
    with SandboxServer(config) as server:
        yield server


@pytest.fixture
def sandbox(sandbox_server):
    sandbox_server.state.clock = time.time
    sandbox_server.state.reset()
    yield sandbox_server
    sandbox_server.state.clear_fault()


class Host:
    """The running host: its URL, its records and the sandbox it talks to."""

    def __init__(self, url, registry, sandbox):
        self.url = url
        self.registry = registry
        self.sandbox = sandbox

    def post(self, route, data=None, json=None, timeout=30, await_kitchen=True, **kwargs):
        """POST to the route; one that sends dishes to the kitchen returns once the kitchen's
        dispatcher has handed them over (``await_kitchen=False``: as soon as the route answers)."""
        reply = requests.post('%s/api/%s' % (self.url, route), data=data, json=json,
                              timeout=timeout, **kwargs)
        if await_kitchen and route in KITCHEN_ROUTES:
            self.await_kitchen()
        return reply

    def await_kitchen(self, timeout=30):
        """Wait until no dish is queued for the kitchen (each hand-over's result written);
        the seconds it took."""
        started = time.monotonic()
        while True:
            with self.env() as env:
                if not env['sale.order.line'].search_count([('queued_for_kitchen', '=', True)]):
                    return time.monotonic() - started
            assert time.monotonic() - started < timeout, 'dishes still queued for the kitchen'
            time.sleep(0.05)

    def control(self, endpoint, **body):
        """POST to a sandbox control endpoint; the reply's JSON."""
        reply = requests.post(self.sandbox.url + '/sandbox/' + endpoint, json=body, timeout=30)
        assert reply.status_code == 200, reply.text
        return reply.json()

    def inspect(self, path):
        return requests.get(self.sandbox.url + '/sandbox/' + path, timeout=30).json()

    @contextlib.contextmanager
    def env(self):
        """An environment in a transaction of its own, committed at the end of the block."""
        with self.registry.cursor() as cr:
            yield api.Environment(cr)

    @contextlib.contextmanager
    def request_env(self, **form):
        """Run host functions as a route would: a request bound, its transaction committed.

        ``request.env`` is the public user's, as in an auth='public' route; the environment
        given to the block is its sudo(), through which a route reaches its records."""
        httprequest = HTTPRequest(EnvironBuilder(method='POST', path='/api/test', data=form).get_environ())
        req = Request(httprequest, self.registry)
        with self.registry.cursor() as cr:
            # as an auth='public' route: the public user, who reaches records through sudo()
            req.env = api.Environment(cr, PUBLIC_USER_ID, {})
            _request_stack.push(req)
            try:
                yield req.env(su=True)
            finally:
                _request_stack.pop()

    def login(self, **user):
        """A WeChat user authorised in the sandbox and logged in; returns the token."""
        code = self.control('wechat/authorize', **user)['code']
        reply = self.post('post_user_login', data={'code': code})
        assert reply.status_code == 200, reply.text
        return reply.json()['data']['token']

    def create_order(self, token, paid=(), coupons=(), store_code='SH3001', type='1', **values):
        """A draft order of the user with ``token`` at a sandbox store; returns its id.

        paid: (dish link id, unit price) per paid line; coupons: codes of coupons, each spent on
        a line of its own dish at price 0 (the coupon made the user's and "done").
        """
        store = store_by_code(store_code) or {}
        with self.env() as env:
            user = env['kfc.user'].search([('token', '=', token)], limit=1)
            order = env['sale.order'].create(dict({
                'kfc_user_id': user.id, 'phone': '13800138000', 'type': type,
                'store_name': store.get('storename', ''), 'store_code': store_code,
                'store_address': store.get('address', ''), 'store_phone': store.get('phone') or '',
                'city_code': store.get('gbcitycode', ''), 'remark': '',
            }, **values))
            for link_id, price in paid:
                product = env['kfc.product'].search([('link_id', '=', link_id)], limit=1)
                env['sale.order.line'].create({'sale_order_id': order.id, 'product_id': product.id,
                                               'quantity': 1, 'unit_price': price})
            for code in coupons:
                coupon = env['kfc.coupon'].search([('code', '=', code)], limit=1)
                coupon.write({'state': 'done', 'kfc_user_id': user.id})
                env['sale.order.line'].create({
                    'sale_order_id': order.id, 'product_id': coupon.product_id.id,
                    'coupon_ids': [(6, 0, [coupon.id])], 'quantity': 1, 'unit_price': 0})
            return order.id

    def pay(self, order_id, state='paid'):
        """Pay the order through the sandbox's WeChat Pay and record it as the payment
        notification does, the order then in ``state``; returns the transaction id."""
        name = self.prepay(order_id)
        # Outside any transaction: the sandbox posts its notification to the host meanwhile.
        notification = self.control('wechatpay/confirm', out_trade_no=name)
        transaction_id = notification['resource']['transaction_id']
        with self.env() as env:
            env['sale.order'].browse(order_id).write({'transaction_id': transaction_id,
                                                      'is_paid': True, 'state': state})
        return transaction_id

    def prepay(self, order_id):
        """Open the order's payment as a route does (a request bound); its order number."""
        with self.request_env() as env:
            order = env['sale.order'].browse(order_id)
            reply = wx_api_payment(description='测试订单', amount=round(order.amount * 100, 2),
                                   openid=order.kfc_user_id.openid, order=order.name)
            assert reply['code'] == 200, reply
            return order.name


@pytest.fixture(scope='module')
def addon_settings():
    """Keys added to the host's [kfc_coupon_shop] section; a test module overrides it."""
    return {}


@pytest.fixture(scope='module')
def odoo_site(request, platform, sandbox_server, addon_settings):
    """On Odoo: the database and server of the test module (see odoo_host)."""
    if platform != 'odoo16':
        yield None
        return
    from odoo_host import Site
    site = Site(request.getfixturevalue('odoo16'), sandbox_server, addon_settings)
    yield site
    site.close()


@pytest.fixture
def host(platform, odoo_site, sandbox, tmp_path, addon_settings):
    if platform == 'odoo16':
        from odoo_host import odoo_host
        yield from odoo_host(Host, odoo_site)
        return
    server = http.start_server(None)    # its address goes into the settings
    url = 'http://127.0.0.1:%d' % server.server_port
    app = create_app(str(tmp_path / 'host.sqlite3'), dict(
        sandbox.config.addon_section(str(tmp_path / 'keys'), url, sandbox.url), **addon_settings),
        demo=True)
    server.app = app
    yield Host(url, app.registry, sandbox)
    http.stop_server(server)
    app.registry.close()


@pytest.fixture
def paid_order(host):
    """A paid take-away order: two paid dishes (9.90 and 19.90) and one coupon dish."""
    token = host.login(nickname='顾客')
    order_id = host.create_order(token, paid=[('D3001', 9.9), ('B1002', 19.9)],
                                 coupons=['RW2024XL0001'])
    host.pay(order_id)
    return order_id


def _pair(timeout):
    return timeout if isinstance(timeout, tuple) else (timeout, timeout)


def is_time_limit(timeout):
    """Whether ``timeout`` as given to requests limits both the connect and the read."""
    parts = _pair(timeout)
    return len(parts) == 2 and all(
        isinstance(part, (int, float)) and 0 < part < math.inf for part in parts)


class OutboundCalls:
    """Stands in a host module for its `requests`: records each call with the time-out the
    controller gave, and hands it on to the host's client with the time-out cut to ``cap``."""

    def __init__(self, client, cap=None):
        self.client = client
        self.cap = cap
        self.calls = []     # (method, url, timeout as the controller gave it)

    def request(self, method, url, **kwargs):
        timeout = kwargs.get('timeout')
        self.calls.append((method, url, timeout))
        if self.cap is not None and timeout is not None:
            kwargs['timeout'] = tuple(map(min, _pair(timeout), _pair(self.cap)))
        return self.client.request(method, url, **kwargs)

    def get(self, url, params=None, **kwargs):
        return self.request('GET', url, params=params, **kwargs)

    def post(self, url, data=None, json=None, **kwargs):
        return self.request('POST', url, data=data, json=json, **kwargs)

    def unlimited(self):
        """The calls made without a finite connect and read time-out."""
        return [call for call in self.calls if not is_time_limit(call[2])]


@pytest.fixture
def outbound_calls(host, monkeypatch):
    """watch(name, cap=None): record the outgoing calls of the host module of that name ("user",
    "wx_api", ...). A ``cap`` (seconds, or connect and read) also becomes the host client's
    default, so that no call of the test waits longer, whatever its controller passes."""
    def watch(name, cap=None):
        module = importlib.import_module('odoo.addons.kfc_coupon_shop.controllers.' + name)
        calls = OutboundCalls(module.requests, cap)
        monkeypatch.setattr(module, 'requests', calls)
        if cap is not None:
            monkeypatch.setattr(runtime.requests, 'timeout', cap)
        return calls
    return watch
