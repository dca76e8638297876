"""Placement whose answers are lost or late, with the sandbox as the coupon back-end: a dish the
kitchen may have is neither failed nor refunded, settlement places it once under its own
number, and the poll gives a new order time to show. Runs on any host behind `host`."""
import datetime

import pytest

from test_order_controller import coupon_states
from test_wx_payment import backend_orders, change_state

ORDER_ENTRY = '/kfcautoorder.aspx'


@pytest.fixture(scope='module')
def addon_settings():
    return {'outbound_timeout': '5, 1'}     # a reply 2 s late is a lost one


@pytest.fixture
def shop(host):
    """A customer's paid order of a cola and a burger by coupon, not yet placed: (token, id)."""
    token = host.login(nickname='顾客')
    order_id = host.create_order(token, paid=[('D3001', 9.9)], coupons=['RW2024XL0001'])
    host.pay(order_id, state='draft')
    return token, order_id


def dishes(host, order_id):
    """(uuid, detail_state, claimed) of each line of the order."""
    with host.env() as env:
        return [(line.uuid, line.detail_state, bool(line.placing_since))
                for line in env['sale.order'].browse(order_id).line_ids]


def refunds(host):
    return host.inspect('wechatpay/payments')['refunds']


def entered(host):
    """The back-end's uuid of each dish it took, by the dish's link id."""
    return {order['entry']['skuid']: order['uuid'] for order in backend_orders(host)}


def minutes_ago(minutes):
    return datetime.datetime.utcnow() - datetime.timedelta(minutes=minutes)


def settle(host, platform):
    """One settlement run, as the scheduled action makes it, with every claim past its limit."""
    with host.env() as env:
        env['sale.order.line'].search([('placing_since', '!=', False)]).write(
            {'placing_since': minutes_ago(3)})
    with host.env() as env:
        if platform == 'odoo16':    # the scheduled action, run now as its Run Manually does
            env.ref('kfc_coupon_shop.ir_cron_settle').method_direct_trigger()
        else:
            env['sale.order']._kfc_settle()


def poll(host, token, order_id):
    reply = host.post('post_pay_result', data={'order_id': order_id, 'token': token})
    assert reply.status_code == 200, reply.text
    result = reply.json()['data']
    return result['state'], [(line['detail_state'], line['show_remark']) for line in result['data']]


@pytest.mark.parametrize('fault', [{'mode': 'late_hang', 'seconds': 2},
                                   {'mode': 'late_error', 'status': 502}, {'mode': 'late_drop'}],
                         ids=['time-out', '5xx', 'dropped'])
def test_an_entry_whose_answer_is_lost_stays_claimed_and_is_placed_once(
        host, platform, shop, fault):
    _, order_id = shop
    host.control('fault', service='coupon', path=ORDER_ENTRY, times=1, **fault)
    change_state(host, order_id)
    uuids = entered(host)       # the kitchen has both; which one's answer was lost may vary
    placed = [(uuids['D3001'], 'wait', False), (uuids['B1001'], 'wait', False)]
    claimed = (False, False, True)     # one claimed still, the other placed
    assert dishes(host, order_id) in ([claimed, placed[1]], [placed[0], claimed])
    assert refunds(host) == [] and coupon_states(host, 'RW2024XL0001') == ['done']
    settle(host, platform)
    assert dishes(host, order_id) == placed
    assert entered(host) == uuids and len(backend_orders(host)) == 2
    assert [entry['path'] for entry in host.inspect('requests')['requests']].count(
        ORDER_ENTRY) == 3
    assert refunds(host) == []


def test_a_refused_entry_fails_the_dish_once(host, platform, shop):
    _, order_id = shop
    host.control('fault', service='coupon', path=ORDER_ENTRY, times=1, mode='reply',
                 body={'code': 1001, 'msg': '签名校验失败'})
    change_state(host, order_id)
    settle(host, platform)
    # the pool hands both dishes over at once: either may be the one refused
    states = [dish[1] for dish in dishes(host, order_id)]
    assert sorted(states) == ['fail', 'wait']
    refused = ['D3001', 'B1001'][states.index('fail')]
    assert list(entered(host)) == [code for code in ('D3001', 'B1001') if code != refused]
    # the paid dish is refunded what it cost, the coupon's dish gives its coupon back
    paid_refused = refused == 'D3001'
    assert [refund['refund'] for refund in refunds(host)] == ([990] if paid_refused else [])
    assert coupon_states(host, 'RW2024XL0001') == (['done'] if paid_refused else ['exchange'])


def test_an_order_not_listed_yet_waits_and_past_the_grace_fails_once(host, shop):
    token, order_id = shop
    host.control('coupon/done_order_delay', seconds=600)
    change_state(host, order_id)
    assert poll(host, token, order_id) == ('paid', [('wait', '出餐中，请稍候')] * 2)
    assert refunds(host) == [] and coupon_states(host, 'RW2024XL0001') == ['done']
    with host.env() as env:
        lines = env['sale.order'].browse(order_id).line_ids
        assert lines.mapped('result') == [False, False]
        lines.write({'placed_at': minutes_ago(2)})
    assert poll(host, token, order_id)[0] == 'fail'
    assert poll(host, token, order_id) == ('fail', [
        ('fail', '出餐失败，退款处理中'), ('fail', '出餐失败，兑换券已退回')])
    assert [refund['refund'] for refund in refunds(host)] == [990]
    assert coupon_states(host, 'RW2024XL0001') == ['exchange']
