"""The outbound client against real loopback servers: origin mapping, time-outs, cookies."""
import threading
import time

import pytest
import requests

from odoo.addons.kfc_coupon_shop.services.deployment import deployment_origins, read_deployment
from odoo.addons.kfc_coupon_shop.services.outbound import Outbound, OriginMap, sandbox_origin_map


def test_origin_map_rewrites_only_the_mapped_origins():
    origins = OriginMap({'https://api.weixin.qq.com': 'http://127.0.0.1:8000',
                         'https://coupon.routeweave.example:809': 'http://127.0.0.1:8001/fulfil/'})
    assert (origins.rewrite('https://api.weixin.qq.com/sns/userinfo?openid=o1&lang=zh_CN')
            == 'http://127.0.0.1:8000/sns/userinfo?openid=o1&lang=zh_CN')
    # Default ports and host case do not make another origin.
    assert (origins.rewrite('https://API.Weixin.qq.com:443/cgi-bin/token')
            == 'http://127.0.0.1:8000/cgi-bin/token')
    assert (origins.rewrite('https://coupon.routeweave.example:809/Core.asmx/KFC_Auto_GetDoneOrder')
            == 'http://127.0.0.1:8001/fulfil/Core.asmx/KFC_Auto_GetDoneOrder')
    for untouched in ('http://coupon.routeweave.example/KFCCore.asmx/KFC_GetCity',
                      'https://api.weixin.qq.com.example.net/cgi-bin/token',
                      'http://api.weixin.qq.com/cgi-bin/token',
                      'https://api.weixin.qq.com:99999/cgi-bin/token'):     # names no origin
        assert origins.rewrite(untouched) == untouched


def test_deployment_origins_reach_the_sandbox(sandbox):
    origins = deployment_origins(read_deployment())
    assert 'https://api.weixin.qq.com' in origins
    assert 'https://coupon.routeweave.example:809' in origins
    client = Outbound(sandbox_origin_map(sandbox.url, origins))
    config = sandbox.config
    token = client.get('https://api.weixin.qq.com/cgi-bin/token', params={
        'grant_type': 'client_credential', 'appid': config.wechat_appid,
        'secret': config.wechat_secret})
    assert token.json()['expires_in'] == 7200
    login = client.post('http://coupon.routeweave.example/KFCCore.asmx/KFC_Login',
                        json={'account': config.backend_account,
                              'password': config.backend_password})
    assert login.json()['d']['code'] == 0
    done = client.post('https://coupon.routeweave.example:809/Core.asmx/KFC_Auto_GetDoneOrder',
                       json={'uuid': 'c660bd19802c467e9b189f5f5e05901b'})
    assert done.json()['d']['code'] == -1
    client.close()


def _hang_wechat(sandbox, seconds):
    requests.post(sandbox.url + '/sandbox/fault',
                  json={'service': 'wechat', 'mode': 'hang', 'seconds': seconds}).raise_for_status()


def test_default_timeout_turns_a_hung_service_into_an_exception(sandbox):
    _hang_wechat(sandbox, 10)
    client = Outbound({'https://api.weixin.qq.com': sandbox.url}, timeout=(2, 0.5))
    started = time.monotonic()
    with pytest.raises(requests.ReadTimeout):
        client.get('https://api.weixin.qq.com/cgi-bin/token')
    assert time.monotonic() - started < 10   # the read limit ended the wait, not the service
    with pytest.raises(requests.ReadTimeout):
        client.get('https://api.weixin.qq.com/cgi-bin/token', timeout=None)   # None: the default


def test_the_callers_timeout_wins(sandbox):
    _hang_wechat(sandbox, 0.6)
    client = Outbound({'https://api.weixin.qq.com': sandbox.url}, timeout=(2, 0.1))
    reply = client.get('https://api.weixin.qq.com/cgi-bin/token', timeout=(2, 10))
    assert reply.status_code == 200 and reply.json()['errcode'] == 40002


def test_production_mode_sends_as_is_and_keeps_no_cookies(receiver):
    receiver.headers = {'Set-Cookie': 'SESSION=abc; Path=/'}
    client = Outbound()
    client.get(receiver.url + '/first', params={'q': '张'})
    client.post(receiver.url + '/second', json={'a': 1})
    first, second = receiver.requests
    assert first['path'] == '/first' and second['path'] == '/second'
    assert second['body'] == b'{"a": 1}'
    assert 'Cookie' not in second['headers']


def test_threads_share_one_outbound(sandbox):
    client = Outbound({'https://apis.map.qq.com': sandbox.url})
    statuses, errors = [], []

    def geocode():
        try:
            reply = client.get('https://apis.map.qq.com/ws/geocoder/v1/', params={
                'location': '31.23,121.47', 'key': sandbox.config.tencent_map_key})
            statuses.append(reply.json()['status'])
        except Exception as exc:   # noqa: BLE001 - collected and asserted below
            errors.append(exc)

    threads = [threading.Thread(target=geocode) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    client.close()
    assert errors == [] and statuses == [0] * 8


def test_the_session_of_a_finished_thread_is_closed_and_let_go(sandbox, monkeypatch):
    """A server may run each request in a thread of its own: the sessions of finished threads
    (with their connections) must not pile up."""
    import gc
    client = Outbound({'https://apis.map.qq.com': sandbox.url})
    closed = []
    close = requests.Session.close
    monkeypatch.setattr(requests.Session, 'close', lambda self: (closed.append(1), close(self)))

    def geocode():
        client.get('https://apis.map.qq.com/ws/geocoder/v1/', params={
            'location': '31.23,121.47', 'key': sandbox.config.tencent_map_key})

    for _ in range(20):
        thread = threading.Thread(target=geocode)
        thread.start()
        thread.join()
        del thread
    gc.collect()
    assert len(closed) == 20
    assert len(client._sessions) == 0
