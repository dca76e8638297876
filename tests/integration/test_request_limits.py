"""What guessing and flooding cost, through the real HTTP stack from two loopback addresses
(127.0.0.1 and 127.0.0.2, both on the loopback interface the hosts listen on): the cooldown of
coupon redemption and the per-address budget of the metered routes."""
import concurrent.futures
import datetime
import json

import requests

from odoo.addons.kfc_coupon_shop.services.limits import LIMIT_OF_ROUTE
from odoo16harness.nginx import SourceAddress

REDEEMED = {'code': 200, 'message': '兑换成功'}
WRONG = {'code': 400, 'message': '兑换券不存在或已兑换'}
NOT_LOGGED_IN = {'code': 400, 'message': '用户未登录'}
COOLING = {'code': 400, 'message': '尝试次数过多，请稍后再试'}
TOO_MANY = {'code': 429, 'message': '请求过于频繁，请稍后再试'}
POSITION = {'lat': '31.2364', 'lng': '121.4791'}



def post_from(address, host, route, data):
    with requests.Session() as session:
        session.mount('http://', SourceAddress(address))
        return session.post('%s/api/%s' % (host.url, route), data=data, timeout=30)


def redeem(host, token, code, address='127.0.0.1'):
    reply = post_from(address, host, 'post_exchange_coupon', {'token': token, 'code': code})
    assert reply.status_code == 200, reply.text
    return json.loads(reply.text)


def coupon_state(host, code):
    with host.env() as env:
        return env['kfc.coupon'].search([('code', '=', code)], limit=1).state


def move_cooldowns_back(host, minutes):
    with host.env() as env:
        for row in env['kfc.redeem.cooldown'].search([]):
            row.write({field: row[field] - datetime.timedelta(minutes=minutes)
                       for field in ('window_start', 'cooling_until') if row[field]})


def test_wrong_codes_cool_the_customer_down_until_the_cooling_ends(host):
    guesser, other = host.login(nickname='猜码者'), host.login(nickname='顾客')
    assert [redeem(host, guesser, 'RW2099XX%04d' % n) for n in range(5)] == [WRONG] * 5
    assert redeem(host, guesser, 'RW2099XX0005') == COOLING
    assert redeem(host, guesser, 'RW2024KL0001') == COOLING         # the right code too
    assert coupon_state(host, 'RW2024KL0001') == 'draft'
    with host.env() as env:         # every attempt logged as before
        assert env['api.log'].search_count([('name', '=', '兑换优惠券')]) == 7
    assert redeem(host, other, 'RW2024XL0001') == REDEEMED          # from the same address
    move_cooldowns_back(host, 14)
    assert redeem(host, guesser, 'RW2024KL0001') == COOLING
    move_cooldowns_back(host, 1)
    assert redeem(host, guesser, 'RW2024KL0001') == REDEEMED


def test_wrong_codes_sent_at_once_are_counted_one_by_one(host):
    guesser = host.login(nickname='猜码者')
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        replies = list(pool.map(lambda n: redeem(host, guesser, 'RW2099XX%04d' % n), range(8)))
    assert sorted(reply['message'] for reply in replies) == sorted(
        [WRONG['message']] * 5 + [COOLING['message']] * 3)


def test_tokens_of_nobody_cool_their_address_down(host):
    with host.env() as env:
        env['ir.config_parameter'].set_param('kfc_coupon_shop.redeem_cooldown_after_address', 3)
    customer = host.login(nickname='顾客')
    assert [redeem(host, 'made-up-%d' % n, 'RW2024KL0001') for n in range(3)] == [NOT_LOGGED_IN] * 3
    assert redeem(host, customer, 'RW2024KL0001') == COOLING
    assert redeem(host, customer, 'RW2024KL0001', address='127.0.0.2') == REDEEMED


def test_a_loop_of_city_lookups_is_answered_429_while_another_address_is_served(host):
    allowed = 1 + LIMIT_OF_ROUTE['/api/post_city_name'].burst
    host.control('reset')
    replies = [post_from('127.0.0.1', host, 'post_city_name', POSITION) for _ in range(allowed + 1)]
    assert [reply.status_code for reply in replies] == [200] * allowed + [429]
    refused = replies[-1]
    assert refused.headers['Content-Type'] == 'application/json'
    assert refused.text == json.dumps(TOO_MANY)
    assert 0 < int(refused.headers['Retry-After']) <= 10
    served = post_from('127.0.0.2', host, 'post_city_name', POSITION)
    assert served.status_code == 200 and json.loads(served.text)['message'] == 'success'
    # the refused lookup never reached the map service
    geocoded = [entry for entry in host.inspect('requests')['requests']
                if entry['service'] == 'tencent_map']
    assert len(geocoded) == allowed + 1
