"""Fixtures: one sandbox on 127.0.0.1 for the session, reset before each test, and a tiny
receiver standing in for the host's notification routes."""
import threading
import time

import pytest
import requests
from werkzeug.serving import WSGIRequestHandler, make_server
from werkzeug.wrappers import Request, Response

from odoo.addons.kfc_coupon_shop.services.outbound import Outbound
from odoo.addons.kfc_coupon_shop.services.wechatpay import PRODUCTION_BASE_URL, WechatPayClient
from kfcsandbox import SandboxServer


@pytest.fixture(scope='session')
def sandbox_server():
    with SandboxServer() as server:
        yield server


@pytest.fixture
def sandbox(sandbox_server):
    state = sandbox_server.state
    state.clock = time.time
    state.reset()
    yield sandbox_server
    state.clear_fault()
    state.clock = time.time


class _Quiet(WSGIRequestHandler):
    def log_request(self, *args, **kwargs):
        pass


class Receiver:
    """Records every request and answers with `status` and `body`."""

    def __init__(self):
        self.requests = []
        self.status = 200
        self.body = b''
        self.headers = {}
        self._server = make_server('127.0.0.1', 0, self, threaded=True, request_handler=_Quiet)
        self.url = 'http://127.0.0.1:%d' % self._server.server_port
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()

    def __call__(self, environ, start_response):
        request = Request(environ)
        self.requests.append({'method': request.method, 'path': request.path,
                              'headers': dict(request.headers), 'body': request.get_data()})
        response = Response(self.body, status=self.status, headers=self.headers,
                            content_type='application/json')
        return response(environ, start_response)

    def stop(self):
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()


@pytest.fixture
def receiver():
    server = Receiver()
    yield server
    server.stop()


@pytest.fixture
def outbound(sandbox):
    client = Outbound({PRODUCTION_BASE_URL: sandbox.url})
    yield client
    client.close()


@pytest.fixture
def pay_client(sandbox, outbound):
    return WechatPayClient(session=outbound, **sandbox.config.host_settings()['wechatpay'])


@pytest.fixture
def payer(sandbox):
    """The openid of a user who has logged in through WeChat."""
    reply = requests.post(sandbox.url + '/sandbox/wechat/authorize', json={'nickname': '李四'})
    return reply.json()['openid']
