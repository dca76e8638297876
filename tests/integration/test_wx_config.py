"""The JS-SDK configuration (post_wx_config) served by the host, with the sandbox as WeChat.

The route reads the clock through the name `time` of its host module; the `clock` fixture binds
a fixed one there, so ages of the cached ticket are exact. The access token comes from the host,
which keeps it (``keep_token`` puts one there, so that the route has none to fetch).
"""
import datetime
import hashlib
import json
import secrets
import time
from urllib.parse import parse_qsl

import pytest
import requests

import odoo.addons.kfc_coupon_shop.controllers.wx_api as wx_api_module
from odoo.addons.kfc_coupon_shop.services.deployment import read_deployment

NOW = 1717200000


class FixedClock:
    """Stands for the time module: time() answers ``now``."""

    def __init__(self, now):
        self.now = now

    def time(self):
        return self.now


@pytest.fixture
def clock(host, monkeypatch):
    fixed = FixedClock(NOW + 0.2)
    monkeypatch.setattr(wx_api_module, 'time', fixed)
    return fixed


def cache(host):
    with host.env() as env:
        params = env['ir.config_parameter'].sudo()
        return params.get_param('jsapi_ticket'), params.get_param('js_api_timestamp1')


def set_cache(host, ticket, timestamp):
    with host.env() as env:
        params = env['ir.config_parameter'].sudo()
        params.set_param('jsapi_ticket', ticket)
        params.set_param('js_api_timestamp1', str(timestamp))


def wechat_requests(host):
    return [(entry['path'], parse_qsl(entry['query']))
            for entry in host.inspect('requests')['requests'] if entry['service'] == 'wechat']


def issued_ticket(host):
    return host.sandbox.state.ticket[0]


def issued_access_token(host):
    (token,) = host.sandbox.state.access_tokens
    return token


def keep_token(host):
    """A token the sandbox takes, kept by the host as if it had fetched it a moment ago."""
    token = 'kept-' + secrets.token_urlsafe(32)
    with host.sandbox.state.lock:
        host.sandbox.state.access_tokens[token] = time.time() + 7200
    with host.env() as env:
        env['api.config'].search([('name', '=', 'wxapi')]).write({
            'access_token': token,
            'access_token_expiry': datetime.datetime.utcnow() + datetime.timedelta(hours=1)})
    return token


def kept_token(host):
    with host.env() as env:
        return env['api.config'].search([('name', '=', 'wxapi')]).access_token


def set_fault(host, **fault):
    assert requests.post(host.sandbox.url + '/sandbox/fault', json=fault, timeout=30).ok


def signed_reply(host, ticket, timestamp):
    """The success reply, its signature computed here from the ticket and the page URL."""
    url = read_deployment()['frontend_page_url']
    text = 'jsapi_ticket=%s&noncestr=%d&timestamp=%d&url=%s' % (ticket, timestamp, timestamp, url)
    signature = hashlib.sha1(text.encode('utf-8')).hexdigest()
    # No "secret": the app secret never leaves the server.
    return ('{"data": {"appid": "%s", "timestamp": %d, "nonceStr": "%d", "signature": "%s"}, '
            '"code": 200, "message": "success"}') % (
                host.sandbox.config.wechat_appid, timestamp, timestamp, signature)


@pytest.mark.parametrize('now, timestamp', [(NOW + 0.2, NOW), (NOW + 0.7, NOW + 1)])
def test_empty_cache_fetches_the_ticket_and_stores_it_with_the_reply_timestamp(
        host, clock, now, timestamp):
    token = keep_token(host)
    clock.now = now
    reply = host.post('post_wx_config')
    assert reply.status_code == 200 and reply.headers['Content-Type'] == 'application/json'
    assert reply.text == signed_reply(host, issued_ticket(host), timestamp)
    assert cache(host) == (issued_ticket(host), str(timestamp))
    assert wechat_requests(host) == [
        ('/cgi-bin/ticket/getticket', [('access_token', token), ('type', 'jsapi')])]


@pytest.mark.parametrize('age', [0, 6999, 7000])
def test_cached_ticket_is_reused_up_to_7000_seconds(host, clock, age):
    set_cache(host, 'cached-ticket', NOW - age)
    reply = host.post('post_wx_config')
    assert reply.text == signed_reply(host, 'cached-ticket', NOW)
    assert cache(host) == ('cached-ticket', str(NOW - age))
    assert wechat_requests(host) == []


@pytest.mark.parametrize('age', [7001, 86400 + 1])
def test_older_ticket_is_replaced(host, clock, age):
    keep_token(host)
    set_cache(host, 'old-ticket', NOW - age)
    reply = host.post('post_wx_config')
    assert reply.text == signed_reply(host, issued_ticket(host), NOW)
    assert cache(host) == (issued_ticket(host), str(NOW))
    assert [path for path, _ in wechat_requests(host)] == ['/cgi-bin/ticket/getticket']


@pytest.mark.parametrize('expires_in', [None, 7199, 7200])
def test_a_token_of_any_lifetime_is_kept_and_used(host, clock, expires_in):
    host.control('wechat/token_expires_in', expires_in=expires_in)
    reply = host.post('post_wx_config')
    assert reply.text == signed_reply(host, issued_ticket(host), NOW)
    token = issued_access_token(host)
    assert kept_token(host) == token
    first, *tickets = wechat_requests(host)
    assert first == ('/cgi-bin/token', [
        ('grant_type', 'client_credential'), ('appid', host.sandbox.config.wechat_appid),
        ('secret', host.sandbox.config.wechat_secret)])
    # The ticket asked for with the kept token; on the stand-in twice, as the request runs again
    # once the token's own transaction has committed (SQLite has one writer).
    assert len(tickets) in (1, 2) and all(ticket == (
        '/cgi-bin/ticket/getticket', [('access_token', token), ('type', 'jsapi')])
        for ticket in tickets)


@pytest.mark.parametrize('stale_cache', [False, True], ids=['empty cache', 'stale cache'])
def test_refused_access_token_answers_400_and_keeps_the_cache(host, clock, stale_cache):
    set_fault(host, service='wechat', mode='error', path='/cgi-bin/token')
    if stale_cache:
        set_cache(host, 'old-ticket', NOW - 7001)
    before = cache(host)
    reply = host.post('post_wx_config')
    refusal = reply.json()['data']
    assert refusal['errcode'] == -1 and reply.json()['message'] == refusal
    assert reply.text == '{"data": %s, "code": 400, "message": %s}' % ((json.dumps(refusal),) * 2)
    assert cache(host) == before and not kept_token(host)
    assert [path for path, _ in wechat_requests(host)] == ['/cgi-bin/token']


def test_ticket_reply_without_a_ticket_fails_and_keeps_the_cache(host, clock):
    keep_token(host)
    set_cache(host, 'old-ticket', NOW - 7001)
    set_fault(host, service='wechat', mode='error', times=1, path='/cgi-bin/ticket/')
    reply = host.post('post_wx_config')
    assert reply.status_code == 500 and not reply.text.startswith('{')
    assert cache(host) == ('old-ticket', str(NOW - 7001))


def test_config_requests_have_a_time_limit(host, clock, outbound_calls):
    keep_token(host)
    calls = outbound_calls('wx_api', cap=0.5)
    assert host.post('post_wx_config').status_code == 200
    assert len(calls.calls) == 1 and calls.unlimited() == []
    fetched = cache(host)
    clock.now += 7001
    set_fault(host, service='wechat', mode='hang', seconds=120)
    # Were the ticket request not limited, this would wait for the client's own 30 s and raise.
    reply = host.post('post_wx_config')
    assert reply.status_code == 500 and cache(host) == fetched
