"""A hung outside service holds no host function past the outbound time-out: each turns it into
an exception or into its own failure handling."""
import pytest
import requests

from odoo.addons.kfc_coupon_shop.services import runtime
from odoo.addons.kfc_coupon_shop.functions import (create_kfc_order, kfc_login, post_pick_message,
                               wx_api_payment)

pytestmark = pytest.mark.standin_only(
    reason='shortens the outbound time-out inside the process that makes the calls')

HANG = 60       # far beyond the time-out: only the time-out can end the call


@pytest.fixture
def short_timeout(monkeypatch):
    monkeypatch.setattr(runtime.requests, 'timeout', (2, 0.5))


def _hang(host, service):
    host.control('fault', service=service, mode='hang', seconds=HANG)


def test_backend_login_raises(host, short_timeout):
    _hang(host, 'coupon')
    with pytest.raises(requests.Timeout):
        with host.request_env():
            kfc_login({'token': 'OLD'})


def test_order_placement_leaves_its_lines_claimed(host, short_timeout):
    # the entry may have reached the kitchen: nothing is failed or given back, settlement asks again
    token = host.login()
    order_id = host.create_order(token, coupons=['RW2024ST0001', 'RW2024KL0001'])
    _hang(host, 'coupon')
    with host.request_env() as env:
        create_kfc_order(env['sale.order'].browse(order_id))
    with host.env() as env:
        lines = env['sale.order'].browse(order_id).line_ids
        assert lines.mapped('detail_state') == [False, False]
        assert all(lines.mapped('placing_since')) and not any(lines.mapped('uuid'))
        assert set(lines.coupon_ids.mapped('state')) == {'done'}


def test_payment_answers_a_failure(host, short_timeout):
    openid = host.control('wechat/authorize')['openid']
    _hang(host, 'wechatpay')
    with host.request_env():
        reply = wx_api_payment(description='美食订单', amount=990.0, openid=openid,
                               order='SO2024TIMEOUT')
    assert reply['code'] != 200 and 'Timeout' in reply['message']


def test_pick_message_gives_up_quietly(host, short_timeout):
    openid = host.control('wechat/authorize')['openid']
    _hang(host, 'wechat')
    with host.request_env():
        post_pick_message(openid=openid, store_name='店', out_trade_no='SO1', pick_code="['A1']",
                          pick_type='外带', create_date='2024-06-01 12:00:00', phone='5678')
    host.control('fault/clear')
    assert not host.inspect('wechat/messages')['messages']
