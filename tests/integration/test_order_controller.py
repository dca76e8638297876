"""OrderController served by the host, with the sandbox as the coupon back-end and WeChat:
coupons, order creation, order lists and details, and the fulfilment poll.

Records are reached with plain ORM calls in host.env(), replies through host.post and the
sandbox through its control endpoints, so the cases run on any host behind the `host` fixture.
Replies are compared as text where key order and escapes matter.
"""
import concurrent.futures
import datetime
import json
import time

import pytest

DONE_ORDER = '/Core.asmx/KFC_Auto_GetDoneOrder'
STORE = {'store_name': '南京东路店', 'store_code': 'SH3001', 'store_address': '上海市黄浦区南京东路588号',
         'store_phone': '021-63225127', 'city_name': '上海', 'city_code': '310100', 'remark': '少冰'}
NOT_LOGGED_IN = {'code': 400, 'message': '用户未登录'}
USED_COUPON = '存在已使用的兑换券'
NO_ORDER = {'code': 400, 'message': '订单不存在'}
NO_POLL = {'data': {'code': 200, 'data': [], 'state': False, 'message': '返回订单详情成功'}}


def assert_reply(reply, expected):
    assert reply.status_code == 200, reply.text
    assert reply.headers['Content-Type'] == 'application/json'
    assert reply.text == json.dumps(expected)


def assert_framework_failure(reply):
    assert reply.status_code == 500
    assert not reply.headers['Content-Type'].startswith('application/json')


def coupon_id(host, code):
    with host.env() as env:
        return env['kfc.coupon'].search([('code', '=', code)], limit=1).id


def product_id(host, link_id):
    with host.env() as env:
        return env['kfc.product'].search([('link_id', '=', link_id)], limit=1).id


def coupon_states(host, *codes):
    with host.env() as env:
        return [env['kfc.coupon'].search([('code', '=', code)], limit=1).state for code in codes]


def order_lines(host, order_id):
    """(product link id, unit price, coupon codes, detail_state) of each line, in order."""
    with host.env() as env:
        return [(line.product_id.link_id, line.unit_price, line.coupon_ids.mapped('code'),
                 line.detail_state) for line in env['sale.order'].browse(order_id).line_ids]


def write(host, model, record_id, **values):
    with host.env() as env:
        env[model].browse(record_id).write(values)


def log_count(host, title):
    with host.env() as env:
        return env['api.log'].search_count([('name', '=', title)])


def shown_create_date(host, order_id):
    """The order's creation time as customers read it: China Standard Time."""
    with host.env() as env:
        created = env['sale.order'].browse(order_id).create_date
    return (created + datetime.timedelta(hours=8)).strftime('%Y-%m-%d %H:%M:%S')


def backdate(host, order_id, minutes):
    """Make the order ``minutes`` older. create_date belongs to the records layer, which takes
    no value for it (neither does Odoo's ORM), so it is set underneath, with SQL."""
    when = datetime.datetime.utcnow() - datetime.timedelta(minutes=minutes)
    with host.env() as env:
        env.cr.execute('UPDATE sale_order SET create_date = %s WHERE id = %s',
                       (when.strftime('%Y-%m-%d %H:%M:%S'), order_id))


def at_once(*calls):
    """Run the calls in threads started together; their results in order."""
    with concurrent.futures.ThreadPoolExecutor(len(calls)) as pool:
        return [future.result() for future in [pool.submit(call) for call in calls]]


class Customer:
    """A logged-in customer of the shop, speaking to the host as the page does."""

    def __init__(self, host, nickname='顾客'):
        self.host = host
        self.token = host.login(nickname=nickname)

    @property
    def user_id(self):
        with self.host.env() as env:
            return env['kfc.user'].search([('token', '=', self.token)]).id

    def redeem(self, *codes):
        for code in codes:
            reply = self.host.post('post_exchange_coupon', data={'token': self.token, 'code': code})
            assert reply.json()['code'] == 200, reply.text
        return [coupon_id(self.host, code) for code in codes]

    def order(self, items, route='create_sale_order', **body):
        """items: (link id, num, coupon ids) per dish."""
        body = dict(dict(STORE, token=self.token, phone='13800138000', type='1'), **body)
        body['data'] = [{'product_id': product_id(self.host, link_id), 'num': num,
                         'coupon_id': list(coupons), 'unit_price': 0.01}
                        for link_id, num, coupons in items]
        return self.host.post(route, json=body)

    def coupon_order(self, items, **body):
        return self.order(items, route='post_coupon_sale_order', **body)

    def post(self, route, order_id):
        return self.host.post(route, data={'order_id': order_id, 'token': self.token})


@pytest.fixture
def customer(host):
    return Customer(host)


# -- front-end log ---------------------------------------------------------------------------

def test_front_error_log_is_written(host):
    reply = host.post('post_front_error_log', json={'title': '支付页异常', 'log': {'error': 'x'}, 'page': 3})
    assert_reply(reply, {'code': 200, 'message': '创建日志成功'})
    with host.env() as env:
        entry = env['api.log'].search([('name', '=', '支付页异常')])
        assert (entry.role, json.loads(entry.log)) == ('前端异常', {'error': 'x'})


@pytest.mark.parametrize('body', [b'not json', b'{"title": "t"}'])
def test_front_error_log_without_title_and_log_fails_unlogged(host, body):
    assert_framework_failure(host.post('post_front_error_log', data=body))
    assert log_count(host, 't') == 0


# -- coupon redemption and list --------------------------------------------------------------

class TestExchangeCoupon:
    def test_every_draft_coupon_of_the_code_is_redeemed_once(self, host, customer):
        with host.env() as env:
            env['kfc.coupon'].create({'name': '汉堡三选一兑换券', 'code': 'RW2024HB0001',
                                      'product_id': product_id(host, 'M9001')})
        form = {'token': customer.token, 'code': 'RW2024HB0001'}
        assert_reply(host.post('post_exchange_coupon', data=form), {'code': 200, 'message': '兑换成功'})
        with host.env() as env:
            coupons = env['kfc.coupon'].search([('code', '=', 'RW2024HB0001')])
            assert len(coupons) == 2
            assert set(coupons.mapped('state')) == {'exchange'}
            assert {coupon.kfc_user_id.id for coupon in coupons} == {customer.user_id}
            logged = env['api.log'].search([('name', '=', '兑换优惠券')])
            # the login token masked, its last four characters kept
            assert [(entry.role, json.loads(entry.log)) for entry in logged] == [
                ('前端', dict(form, token='***' + customer.token[-4:]))]
        again = host.post('post_exchange_coupon', data=form)
        assert_reply(again, {'code': 400, 'message': '兑换券不存在或已兑换'})

    @pytest.mark.parametrize('stored, typed', [('ABCD-EFGH-JKLM-NPQR', 'abcdefghjklmnpqr'),
                                               ('RW2024HB0003', 'rw20-24HB-0003')])
    def test_a_code_redeems_without_its_dashes_in_either_case_unless_cancelled(
            self, host, customer, stored, typed):
        with host.env() as env:
            usable, cancelled = env['kfc.coupon'].create([
                {'code': stored, 'product_id': product_id(host, 'M9001')},
                {'code': stored, 'product_id': product_id(host, 'M9001'), 'active': False}])
            ids = usable.id, cancelled.id
        form = {'token': customer.token, 'code': typed}
        assert_reply(host.post('post_exchange_coupon', data=form), {'code': 200, 'message': '兑换成功'})
        with host.env() as env:
            coupons = env['kfc.coupon'].search(
                [('id', 'in', ids), ('active', 'in', (True, False))], order='id')
            assert coupons.mapped('state') == ['exchange', 'draft']

    def test_unknown_code_and_spent_coupon_are_refused(self, host, customer):
        [spent] = customer.redeem('RW2024KL0001')
        write(host, 'kfc.coupon', spent, state='done')
        for code in ('NO-SUCH-CODE', 'RW2024KL0001'):
            reply = host.post('post_exchange_coupon', data={'token': customer.token, 'code': code})
            assert_reply(reply, {'code': 400, 'message': '兑换券不存在或已兑换'})
        assert coupon_states(host, 'RW2024KL0001') == ['done']

    def test_unknown_token_changes_no_coupon(self, host):
        reply = host.post('post_exchange_coupon', data={'token': 'nobody', 'code': 'RW2024KL0001'})
        assert_reply(reply, NOT_LOGGED_IN)
        assert coupon_states(host, 'RW2024KL0001') == ['draft']
        assert log_count(host, '兑换优惠券') == 1

    def test_two_customers_redeeming_one_code_at_once(self, host):
        first, second = Customer(host, '甲'), Customer(host, '乙')
        replies = at_once(*[lambda who=who: host.post('post_exchange_coupon', data={
            'token': who.token, 'code': 'RW2024KL0001'}).json()['code'] for who in (first, second)])
        assert sorted(replies) == [200, 400]
        winner = (first, second)[replies.index(200)]
        with host.env() as env:
            assert env['kfc.coupon'].search([('code', '=', 'RW2024KL0001')]).kfc_user_id.id == winner.user_id


class TestSearchUserCoupon:
    def test_listed_coupons_with_their_dish(self, host, customer):
        with host.env() as env:
            env['kfc.coupon'].create({'name': '无日期券', 'code': 'RW-NODATE', 'state': 'draft',
                                      'product_id': product_id(host, 'D3001')})
        spicy, choice, cola = customer.redeem('RW2024XL0001', 'RW2024HB0001', 'RW-NODATE')
        customer.redeem('RW2024ST0001')
        write(host, 'kfc.coupon', coupon_id(host, 'RW2024ST0001'), state='done')
        reply = host.post('post_search_user_coupon', data={'token': customer.token})
        ids = {link: product_id(host, link) for link in ('B1001', 'M9001', 'D3001')}
        image = 'https://img.routeweave.example/menu/%s.png'
        assert_reply(reply, {'code': 200, 'data': [
            {'name': '汉堡三选一兑换券', 'code': 'RW2024HB0001', 'coupon_id': choice,
             'product_id': ids['M9001'], 'parent_product_id': False, 'product_name': '汉堡三选一',
             'image_url': image % 'burger-choice', 'linkid': ids['M9001'],
             'start_date': '2024-06-01', 'end_date': '2024-06-01'},
            {'name': '香辣鸡腿堡兑换券', 'code': 'RW2024XL0001', 'coupon_id': spicy,
             'product_id': ids['B1001'], 'parent_product_id': ids['M9001'],
             'product_name': '香辣鸡腿堡', 'image_url': image % 'burger-spicy',
             'linkid': ids['B1001'], 'start_date': '2024-06-01', 'end_date': '2024-06-01'},
            {'name': '无日期券', 'code': 'RW-NODATE', 'coupon_id': cola, 'product_id': ids['D3001'],
             'parent_product_id': False, 'product_name': '百事可乐(中)',
             'image_url': image % 'cola-medium', 'linkid': ids['D3001'],
             'start_date': False, 'end_date': False},
        ], 'message': '返回兑换券列表成功'})

    @pytest.mark.parametrize('form', [{}, {'token': 'nobody'}, {'token': ''}])
    def test_without_a_known_token(self, host, form):
        assert_reply(host.post('post_search_user_coupon', data=form), {'code': 200, 'message': '用户未登录'})

    def test_a_customer_without_coupons_gets_an_empty_list(self, host, customer):
        Customer(host, '别人').redeem('RW2024KL0001')
        reply = host.post('post_search_user_coupon', data={'token': customer.token})
        assert_reply(reply, {'code': 200, 'data': [], 'message': '返回兑换券列表成功'})


# -- order creation --------------------------------------------------------------------------

class TestCreateSaleOrder:
    @pytest.mark.parametrize('route', ['create_sale_order', 'post_coupon_sale_order'])
    def test_a_coupon_pays_for_its_own_dish_or_a_choice_of_it_only(self, host, customer, route):
        fries, choice = customer.redeem('RW2024ST0001', 'RW2024HB0001')
        reply = customer.order([('S2002', 1, [fries]), ('B1002', 1, [choice])], route=route)
        placed = 'wait' if route == 'post_coupon_sale_order' else False
        # the fries coupon is passed over on the nuggets: paid at the catalogue's price, or
        # nothing at all in a coupon-only order
        nuggets = [('S2002', 13.0, [], False)] if route == 'create_sale_order' else []
        assert order_lines(host, reply.json()['order_id']) == nuggets + [
            ('B1002', 0, ['RW2024HB0001'], placed)]
        assert coupon_states(host, 'RW2024ST0001', 'RW2024HB0001') == ['exchange', 'done']

    @pytest.mark.parametrize('route', ['create_sale_order', 'post_coupon_sale_order'])
    def test_an_order_names_at_most_a_hundred_coupons(self, host, customer, route):
        [fries] = customer.redeem('RW2024ST0001')
        reply = customer.order([('S2001', 1, [fries] + list(range(10 ** 6, 10 ** 6 + 100)))],
                               route=route)
        assert reply.status_code == 500
        with host.env() as env:
            assert env['sale.order'].search_count([]) == 0
        assert coupon_states(host, 'RW2024ST0001') == ['exchange']

    def test_units_beyond_the_coupons_are_paid_at_the_catalogue_price(self, host, customer):
        [spicy] = customer.redeem('RW2024XL0001')
        reply = customer.order([('B1001', 3, [spicy]), ('S2001', 1, [])], type=1, phone='13912345678')
        with host.env() as env:
            order = env['sale.order'].search([])
            assert_reply(reply, {'order_id': order.id, 'order_name': order.name, 'code': 200,
                                 'message': 'success'})
            assert [order[name] for name in STORE] == list(STORE.values())
            assert (order.kfc_user_id.id, order.phone, order.type, order.state) == (
                customer.user_id, '13912345678', '1', 'draft')
            assert order.kfc_user_id.phone == '13912345678'
            assert round(order.amount, 2) == 51.8
            assert env['api.log'].search_count([('name', '=', '创建订单'), ('role', '=', '前端')]) == 1
        assert order_lines(host, order.id) == [
            ('B1001', 0, ['RW2024XL0001'], False), ('B1001', 19.9, [], False),
            ('B1001', 19.9, [], False), ('S2001', 12.0, [], False)]
        assert coupon_states(host, 'RW2024XL0001') == ['done']

    @pytest.mark.parametrize('num', [1, 0])
    def test_fewer_units_than_coupons_still_spend_every_coupon(self, host, customer, num):
        coupons = customer.redeem('RW2024ST0001', 'RW2024ST0002')
        order_id = customer.order([('S2001', num, coupons + coupons)]).json()['order_id']
        assert order_lines(host, order_id) == [('S2001', 0, ['RW2024ST0001'], False),
                                               ('S2001', 0, ['RW2024ST0002'], False)]
        assert coupon_states(host, 'RW2024ST0001', 'RW2024ST0002') == ['done', 'done']

    def test_coupons_not_the_customers_own_become_paid_units(self, host, customer):
        [foreign] = Customer(host, '别人').redeem('RW2024ST0001')
        unredeemed = coupon_id(host, 'RW2024ST0002')
        reply = customer.order([('S2001', 3, [foreign, unredeemed, 999999])])
        assert reply.json()['code'] == 200
        assert order_lines(host, reply.json()['order_id']) == [('S2001', 12.0, [], False)] * 3
        assert coupon_states(host, 'RW2024ST0001', 'RW2024ST0002') == ['exchange', 'draft']

    @pytest.mark.parametrize('route', ['create_sale_order', 'post_coupon_sale_order'])
    def test_a_spent_coupon_cancels_the_order(self, host, customer, route):
        fries, cola = customer.redeem('RW2024ST0001', 'RW2024KL0001')
        write(host, 'kfc.coupon', cola, state='done')
        reply = customer.order([('S2001', 1, [fries]), ('D3001', 1, [cola]), ('B1001', 1, [])],
                               route=route)
        with host.env() as env:
            order = env['sale.order'].search([])
            assert_reply(reply, {'order_id': order.id, 'code': 400, 'message': USED_COUPON})
            assert (order.state, order.remark, order.is_paid) == ('cancel', USED_COUPON, False)
        # The first item's line goes with the order and its coupon comes back; later items
        # are not looked at.
        assert order_lines(host, order.id) == [('S2001', 0, ['RW2024ST0001'], 'cancel')]
        assert coupon_states(host, 'RW2024ST0001', 'RW2024KL0001') == ['exchange', 'done']
        assert not host.inspect('coupon/orders')['orders']

    @pytest.mark.parametrize('route', ['create_sale_order', 'post_coupon_sale_order'])
    def test_one_coupon_in_two_items_is_spent_once(self, host, customer, route):
        [fries] = customer.redeem('RW2024ST0001')
        reply = customer.order([('S2001', 1, [fries]), ('S2001', 1, [fries])], route=route)
        assert reply.json()['code'] == 400 and reply.json()['message'] == USED_COUPON
        assert order_lines(host, reply.json()['order_id']) == [('S2001', 0, ['RW2024ST0001'], 'cancel')]
        assert coupon_states(host, 'RW2024ST0001') == ['exchange']

    @pytest.mark.parametrize('route', ['create_sale_order', 'post_coupon_sale_order'])
    def test_unknown_token_creates_nothing(self, host, customer, route):
        [fries] = customer.redeem('RW2024ST0001')
        reply = customer.order([('S2001', 1, [fries])], route=route, token='nobody')
        assert_reply(reply, NOT_LOGGED_IN)
        with host.env() as env:
            assert env['sale.order'].search_count([]) == 0
            assert env['sale.order.line'].search_count([]) == 0
        assert coupon_states(host, 'RW2024ST0001') == ['exchange']
        title = '创建订单' if route == 'create_sale_order' else '创建订单(仅兑换券)'
        assert log_count(host, title) == 1

    def test_two_orders_naming_one_coupon_at_once_spend_it_once(self, host, customer):
        [fries] = customer.redeem('RW2024ST0001')
        replies = at_once(*[lambda: customer.order([('S2001', 1, [fries])]).json()] * 2)
        assert sorted(reply['code'] for reply in replies) == [200, 400]
        with host.env() as env:
            assert env['sale.order.line'].search_count([('coupon_ids', 'in', [fries])]) == 1
            refused = [r['order_id'] for r in replies if r['code'] == 400]
            assert env['sale.order'].browse(refused).mapped('state') == ['cancel']
        assert coupon_states(host, 'RW2024ST0001') == ['done']

    @pytest.mark.parametrize('item, missing', [
        ({'product_id': 1, 'num': 1}, None),                        # item without coupon_id
        ({'coupon_id': [], 'num': '2', 'product_id': 1}, None),     # num not an integer
        ({'coupon_id': [], 'num': 1, 'product_id': 1}, 'store_code'),
        ({'coupon_id': [], 'num': 1, 'product_id': 1}, 'phone'),
    ])
    def test_malformed_bodies_fail_without_a_reply_of_their_own(self, host, customer, item, missing):
        body = dict(STORE, token=customer.token, phone='13800138000', type='1', data=[item])
        body.pop(missing, None)
        assert_framework_failure(host.post('create_sale_order', json=body))
        with host.env() as env:
            assert env['sale.order'].search_count([]) == 0


class TestCouponSaleOrder:
    def test_the_order_is_handed_to_fulfilment_and_marked_paid(self, host, customer):
        spicy, fries = customer.redeem('RW2024XL0001', 'RW2024ST0001')
        reply = customer.coupon_order([('B1001', 2, [spicy]), ('S2001', 0, [fries])], phone=None)
        with host.env() as env:
            order = env['sale.order'].search([])
            assert_reply(reply, {'order_id': order.id, 'code': 200, 'message': 'success'})
            assert (order.state, order.is_paid, order.kfc_user_id.phone) == ('paid', True, False)
            [line] = order.line_ids
            assert (line.unit_price, line.detail_state, line.coupon_ids.id) == (0, 'wait', spicy)
            uuid = line.uuid
        [placed] = host.inspect('coupon/orders')['orders']
        assert placed['uuid'] == uuid and placed['entry']['skuid'] == 'B1001'
        # num 0 spends nothing; a count above the coupons adds no paid unit
        assert coupon_states(host, 'RW2024XL0001', 'RW2024ST0001') == ['done', 'exchange']

    def test_without_phone_and_coupons_an_empty_paid_order_is_placed(self, host, customer):
        body = dict(STORE, token=customer.token, type=0, data=[
            {'product_id': product_id(host, 'S2001'), 'num': 2, 'coupon_id': []}])
        reply = host.post('post_coupon_sale_order', json=body)
        assert reply.json()['code'] == 200
        with host.env() as env:
            order = env['sale.order'].browse(reply.json()['order_id'])
            assert (order.state, order.is_paid, order.type, order.phone or '') == ('paid', True, '0', '')
            assert not order.line_ids
        assert not host.inspect('coupon/orders')['orders']


# -- order list and details ------------------------------------------------------------------

@pytest.fixture
def basket(host, customer):
    """A draft order of the customer: a coupon burger and paid fries (12.00)."""
    [spicy] = customer.redeem('RW2024XL0001')
    return customer.order([('B1001', 1, [spicy]), ('S2001', 1, [])]).json()['order_id']


def list_orders(host, token):
    reply = host.post('post_sale_order_list', data={'token': token})
    assert reply.status_code == 200, reply.text
    return reply.json()['data']


class TestOrderList:
    def test_summary(self, host, customer, basket):
        write(host, 'sale.order', basket, state='paid', prepay_id='wx2024')
        with host.env() as env:
            name = env['sale.order'].browse(basket).name
        reply = host.post('post_sale_order_list', data={'token': customer.token})
        assert_reply(reply, {'code': 200, 'data': [dict({
            'name': name, 'amount': 12.0, 'number': 2, 'order_id': basket,
            'create_date': shown_create_date(host, basket), 'store_name': STORE['store_name'],
            'store_code': 'SH3001', 'store_phone': STORE['store_phone'],
            'store_address': STORE['store_address'], 'city_code': '310100', 'city_name': '上海',
            'phone': '8000', 'prepay_id': 'wx2024', 'remark': '少冰', 'state': 'paid', 'type': '1',
            'quantity': 2, 'product_name': '薯条(中)',
            'image': 'https://img.routeweave.example/menu/fries-medium.png'})],
            'message': '返回用户订单列表成功'})

    def test_only_the_customers_orders_with_lines_are_listed(self, host, customer, basket):
        other = Customer(host, '别人')
        other.order([('S2001', 1, [])])
        empty = customer.order([('S2001', 0, [])]).json()['order_id']
        short = customer.order([('S2001', 1, [])], phone='123').json()['order_id']
        listed = list_orders(host, customer.token)
        assert [(order['order_id'], order['phone']) for order in listed] == [
            (basket, '8000'), (short, '123')]
        assert empty not in [order['order_id'] for order in listed]

    @pytest.mark.parametrize('token', ['nobody', ''])
    def test_unknown_token_lists_nothing(self, host, customer, basket, token):
        host.create_order('no such token', coupons=['RW2024ST0001'])
        assert_reply(host.post('post_sale_order_list', data={'token': token}),
                     {'code': 200, 'data': [], 'message': '返回用户订单列表成功'})


@pytest.mark.standin_only(reason='backdates orders with SQL, which the records of the Odoo '
                                 'harness (JSON-RPC, where create_date is not writable) lack')
class TestLazyCancellation:
    def test_unpaid_order_is_cancelled_after_five_minutes_and_its_coupon_given_back(
            self, host, customer, basket):
        backdate(host, basket, 4)
        assert [order['state'] for order in list_orders(host, customer.token)] == ['draft']
        assert coupon_states(host, 'RW2024XL0001') == ['done']
        backdate(host, basket, 6)
        assert [order['state'] for order in list_orders(host, customer.token)] == ['cancel']
        assert coupon_states(host, 'RW2024XL0001') == ['exchange']
        assert [line[3] for line in order_lines(host, basket)] == ['cancel', 'cancel']
        coupons = host.post('post_search_user_coupon', data={'token': customer.token}).json()['data']
        assert [c['code'] for c in coupons] == ['RW2024XL0001']

    def test_paid_or_lineless_orders_when_stale(self, host, customer, basket):
        empty = customer.order([('S2001', 0, [])]).json()['order_id']
        write(host, 'sale.order', basket, is_paid=True)
        for order_id in (basket, empty):
            backdate(host, order_id, 6)
        assert [order['state'] for order in list_orders(host, customer.token)] == ['draft']
        with host.env() as env:
            assert env['sale.order'].browse(empty).state == 'cancel'

    def test_unknown_token_cancels_nothing(self, host):
        orphan = host.create_order('no such token', coupons=['RW2024ST0001'])
        backdate(host, orphan, 10)
        assert list_orders(host, 'nobody') == []
        with host.env() as env:
            assert env['sale.order'].browse(orphan).state == 'draft'


class TestOrderDetail:
    def test_header_and_lines(self, host, customer, basket):
        write(host, 'sale.order', basket, state='paid')
        with host.env() as env:
            order = env['sale.order'].browse(basket)
            order.line_ids[0].write({'pick_code': 'A1024', 'phone': '13912345678'})
            name, cola = order.name, order.line_ids[0].coupon_ids.id
        reply = customer.post('post_sale_order_list_line', basket)
        remarks = [line['show_remark'] for line in reply.json()['data']['detail']]
        assert all(isinstance(remark, str) and remark for remark in remarks)
        image = 'https://img.routeweave.example/menu/%s.png'
        header = {
            'name': name, 'amount': 12.0, 'number': 2, 'order_id': basket,
            'create_date': shown_create_date(host, basket), 'store_name': STORE['store_name'],
            'store_code': 'SH3001', 'store_phone': STORE['store_phone'],
            'store_address': STORE['store_address'], 'city_code': '310100', 'city_name': '上海',
            'phone': '13800138000', 'prepay_id': False, 'remark': '少冰', 'state': 'paid',
            'type': '1', 'quantity': 2, 'detail': [
                {'product_name': '香辣鸡腿堡', 'product_id': product_id(host, 'B1001'),
                 'link_id': 'B1001', 'image': image % 'burger-spicy', 'pick_code': 'A1024',
                 'phone': '5678', 'quantity': 1, 'unit_price': 0.0, 'total_price': 0.0,
                 'coupon_id': [cola], 'show_remark': remarks[0]},
                {'product_name': '薯条(中)', 'product_id': product_id(host, 'S2001'),
                 'link_id': 'S2001', 'image': image % 'fries-medium', 'pick_code': False,
                 'phone': '', 'quantity': 1, 'unit_price': 12.0, 'total_price': 12.0,
                 'coupon_id': [], 'show_remark': remarks[1]}]}
        assert_reply(reply, {'code': 200, 'data': header, 'message': '订单已支付'})
        for state in ('pick', 'done', 'cancel', 'draft'):      # along the order's lifecycle
            write(host, 'sale.order', basket, state=state)
            assert_reply(customer.post('post_sale_order_list_line', basket),
                         {'code': 400, 'data': dict(header, state=state), 'message': '订单未支付'})

    def test_another_customers_or_unknown_order(self, host, customer, basket):
        other = Customer(host, '别人')
        for who, order_id in ((other, basket), (customer, basket + 1000)):
            assert_reply(who.post('post_sale_order_list_line', order_id), NO_ORDER)
        assert_reply(host.post('post_sale_order_list_line', data={'order_id': basket}), NO_ORDER)


class TestOrderIsPaid:
    def test_answers_from_is_paid_for_the_own_order_only(self, host, customer, basket):
        assert_reply(customer.post('post_order_is_paid', basket), {'code': 400, 'message': 'fail'})
        write(host, 'sale.order', basket, is_paid=True)
        assert_reply(customer.post('post_order_is_paid', basket), {'code': 200, 'message': 'success'})
        assert_reply(Customer(host, '别人').post('post_order_is_paid', basket),
                     {'code': 400, 'message': 'fail'})
        assert_reply(host.post('post_order_is_paid', data={'order_id': basket}),
                     {'code': 400, 'message': 'fail'})
        with host.env() as env:
            logged = env['api.log'].search([('name', '=', '查询订单支付状态(post_order_is_paid)')])
            assert len(logged) == 4 and all(str(basket) in log for log in logged.mapped('log'))


# -- the fulfilment poll ---------------------------------------------------------------------

@pytest.fixture
def placed(host, customer):
    """A coupon-only order handed to the back-end: a burger line and a fries line, each
    waiting on its own back-end order. Returns (order id, [(line id, uuid)])."""
    spicy, fries = customer.redeem('RW2024XL0001', 'RW2024ST0001')
    order_id = customer.coupon_order([('B1001', 1, [spicy]), ('S2001', 1, [fries])]).json()['order_id']
    with host.env() as env:
        lines = env['sale.order'].browse(order_id).line_ids
        assert lines.mapped('detail_state') == ['wait', 'wait']
        return order_id, [(line.id, line.uuid) for line in lines]


def poll(customer, order_id):
    reply = customer.post('post_pay_result', order_id)
    assert reply.status_code == 200, reply.text
    return reply.json()['data']


def line_states(host, order_id):
    with host.env() as env:
        order = env['sale.order'].browse(order_id)
        return order.state, [(line.detail_state, line.pick_code, line.phone) for line in order.line_ids]


def messages(host):
    return [message['data'] for message in host.inspect('wechat/messages')['messages']]


def done_order_queries(host):
    return [entry for entry in host.inspect('requests')['requests'] if entry['path'] == DONE_ORDER]


def sandbox_order(host, units):
    return host.control('coupon/place', units=units)['uuid']


class TestPayResult:
    def test_a_pick_up_code(self, host, customer, placed):
        order_id, [(burger, uuid), _] = placed
        host.control('coupon/finish', uuid=uuid, order_number='A1024', phone='13912345678')
        result = poll(customer, order_id)
        assert line_states(host, order_id) == ('pick', [
            ('success', 'A1024', '13912345678'), ('wait', False, False)])
        assert (result['state'], [line['detail_state'] for line in result['data']]) == (
            'pick', ['success', 'wait'])
        [message] = messages(host)
        with host.env() as env:
            order = env['sale.order'].browse(order_id)
            shown = (order.create_date + datetime.timedelta(hours=8)).strftime('%Y-%m-%d %H:%M:%S')
            assert message['keyword2']['value'] == order.name
        assert (message['keyword1']['value'], message['keyword3']['value'],
                message['keyword4']['value'], message['keyword5']['value']) == (
            '南京东路店', '[A1024]', '外带', shown)
        assert message['remark']['value'].endswith('5678')
        poll(customer, order_id)
        assert len(messages(host)) == 1
        assert len(done_order_queries(host)) == 3    # both lines, then the waiting one

    @pytest.mark.parametrize('fault', ['error', 'http'])
    def test_a_pick_up_message_wechat_fails_is_logged_and_fails_nothing(
            self, host, customer, placed, fault):
        order_id, [(_, uuid), _] = placed
        host.control('coupon/finish', uuid=uuid, order_number='A1024')
        host.control('fault', service='wechat', mode=fault)
        assert poll(customer, order_id)['state'] == 'pick'
        assert not messages(host)
        with host.env() as env:
            assert env['api.log'].search_count([('name', '=', '取餐通知')]) == 1

    def test_reply_text(self, host, customer, placed):
        order_id, [(_, uuid), _] = placed
        host.control('coupon/finish', uuid=uuid, order_number='A1024', phone='13912345678')
        reply = customer.post('post_pay_result', order_id)
        data = reply.json()['data']['data']
        ids = [product_id(host, link) for link in ('B1001', 'S2001')]
        image = 'https://img.routeweave.example/menu/%s.png'
        with host.env() as env:
            coupons = [line.coupon_ids.id for line in env['sale.order'].browse(order_id).line_ids]
        assert_reply(reply, {'data': {'code': 200, 'data': [
            {'product_name': '香辣鸡腿堡', 'image': image % 'burger-spicy', 'pick_code': 'A1024',
             'phone': '5678', 'quantity': 1, 'unit_price': 0.0, 'total_price': 0.0,
             'product_id': ids[0], 'link_id': 'B1001', 'coupon_id': [coupons[0]],
             'detail_state': 'success', 'show_remark': data[0]['show_remark']},
            {'product_name': '薯条(中)', 'image': image % 'fries-medium', 'pick_code': False,
             'phone': '', 'quantity': 1, 'unit_price': 0.0, 'total_price': 0.0,
             'product_id': ids[1], 'link_id': 'S2001', 'coupon_id': [coupons[1]],
             'detail_state': 'wait', 'show_remark': data[1]['show_remark']},
        ], 'state': 'pick', 'message': '返回订单详情成功'}})

    def test_two_codes_for_one_line(self, host, customer, placed):
        order_id, [(burger, _), _] = placed
        uuid = sandbox_order(host, 2)
        write(host, 'sale.order.line', burger, uuid=uuid)
        host.control('coupon/finish', uuid=uuid, item=0, order_number='A1', phone='13900000001')
        host.control('coupon/finish', uuid=uuid, item=1, order_number='A2', phone='13900000002')
        poll(customer, order_id)
        assert line_states(host, order_id)[1][0] == ('success', 'A2', '13900000002')
        [message] = messages(host)
        assert message['keyword3']['value'] == '[A1, A2]'
        assert message['remark']['value'].endswith('0002')

    def test_a_failure_after_a_success_fails_the_line(self, host, customer, placed):
        order_id, [(burger, _), (fries, fries_uuid)] = placed
        uuid = sandbox_order(host, 2)
        write(host, 'sale.order.line', burger, uuid=uuid)
        host.control('coupon/finish', uuid=uuid, item=0, order_number='A1', phone='13900000001')
        host.control('coupon/fail', uuid=uuid, item=1)
        host.control('coupon/finish', uuid=fries_uuid, order_number='A3')
        result = poll(customer, order_id)
        with host.env() as env:
            line = env['sale.order.line'].browse(burger)
            assert line.detail_state == 'fail'
            assert json.loads(line.result) == {'phone': '13900000001', 'orderNumber': 'A1'}
        # its pick-up code went out: the dish counts as delivered, the coupon stays spent
        assert coupon_states(host, 'RW2024XL0001') == ['done']
        assert result['data'][0]['show_remark'].startswith('出餐失败')
        assert '兑换券已退回' not in result['data'][0]['show_remark']
        assert [m['keyword3']['value'] for m in messages(host)] == ['[A1]', '[A3]']
        assert result['state'] == 'done'            # one line success, one fail, none waiting

    def test_failed_dish_and_empty_item_list(self, host, customer, placed):
        order_id, [(burger, uuid), (fries, _)] = placed
        host.control('coupon/fail', uuid=uuid, message='门店繁忙，出餐失败')
        empty = sandbox_order(host, 0)
        # past the grace a new order has to show: the empty list fails the dish
        write(host, 'sale.order.line', fries, uuid=empty,
              placed_at=datetime.datetime.utcnow() - datetime.timedelta(minutes=2))
        result = poll(customer, order_id)
        assert result['state'] == 'fail'
        with host.env() as env:
            failed, lineless = env['sale.order'].browse(order_id).line_ids
            assert json.loads(failed.result) == [{'code': 2, 'result': '', 'msg': '门店繁忙，出餐失败'}]
            assert json.loads(lineless.result) == {'d': {'code': 0, 'msg': '', 'data': '[]'}}
        assert coupon_states(host, 'RW2024XL0001', 'RW2024ST0001') == ['exchange', 'exchange']
        assert not messages(host)
        poll(customer, order_id)
        assert len(done_order_queries(host)) == 2      # failed lines are not asked again

    def test_a_line_without_uuid_fails_unasked(self, host, customer, placed):
        order_id, [(burger, _), (fries, _)] = placed
        for line_id in (burger, fries):
            write(host, 'sale.order.line', line_id, uuid=False)
        assert poll(customer, order_id)['state'] == 'fail'
        assert not done_order_queries(host)
        assert coupon_states(host, 'RW2024XL0001', 'RW2024ST0001') == ['exchange', 'exchange']

    @pytest.mark.parametrize('fault', [
        None,                                       # the back-end answers code -1
        {'mode': 'error'},                          # "系统繁忙" with code -1
        {'mode': 'http', 'status': 502},            # not JSON
        {'mode': 'http', 'status': 500},
    ])
    def test_no_settled_answer_leaves_the_line_waiting(self, host, customer, placed, fault):
        order_id, [(burger, _), (_, fries_uuid)] = placed
        if fault is None:
            write(host, 'sale.order.line', burger, uuid='0' * 32)
        else:
            host.control('fault', service='coupon', path=DONE_ORDER, times=1, **fault)
        host.control('coupon/finish', uuid=fries_uuid, order_number='A7')
        result = poll(customer, order_id)
        assert line_states(host, order_id) == ('pick', [
            ('wait', False, False), ('success', 'A7', '13912345678')])
        assert result['state'] == 'pick'
        assert coupon_states(host, 'RW2024XL0001') == ['done']
        assert log_count(host, '查询卡券后台下单结果') == 2

    @pytest.mark.parametrize('body', [
        {'d': {'code': 0, 'msg': '', 'data': 'not json'}},
        {'d': {'code': 0, 'msg': '', 'data': '{"code": 0}'}},
        {'d': {'code': 0, 'msg': '', 'data': '[{"code": 0, "result": "{}"}]'}},
        {'d': {'code': 0, 'msg': '', 'data': '[{"code": 2}]'}},
        {'d': {'code': '0', 'msg': '', 'data': '[{"code": 2, "result": ""}]'}},
        {'Message': '服务器错误'},
        ['d'],
    ])
    def test_replies_of_another_shape_settle_nothing(self, host, customer, placed, body):
        order_id, [_, (_, fries_uuid)] = placed
        host.control('fault', service='coupon', mode='reply', body=body, times=1, path=DONE_ORDER)
        host.control('coupon/finish', uuid=fries_uuid, order_number='A7')
        assert poll(customer, order_id)['state'] == 'pick'
        assert [state[0] for state in line_states(host, order_id)[1]] == ['wait', 'success']
        assert coupon_states(host, 'RW2024XL0001') == ['done']

    @pytest.mark.standin_only(reason='caps the time-outs inside the server process')
    def test_a_time_out_leaves_the_line_waiting(self, host, customer, placed, outbound_calls):
        order_id, [_, (_, fries_uuid)] = placed
        calls = outbound_calls('order', cap=0.5)
        host.control('fault', service='coupon', mode='hang', seconds=3, times=1, path=DONE_ORDER)
        host.control('coupon/finish', uuid=fries_uuid, order_number='A7')
        assert poll(customer, order_id)['state'] == 'pick'
        assert [state[0] for state in line_states(host, order_id)[1]] == ['wait', 'success']
        assert len(calls.calls) == 2 and not calls.unlimited()
        with host.env() as env:
            [entry] = env['api.log'].search([('name', '=', '查询卡券后台下单结果'),
                                             ('exception_type', '!=', False)])
            assert 'Timeout' in entry.exception_type


class TestPollAggregation:
    @pytest.mark.parametrize('states, before, after', [
        (['success', 'fail'], 'pick', 'done'),
        (['success', 'wait'], 'pick', 'pick'),
        (['fail', 'fail'], 'pick', 'fail'),
        (['fail', 'fail'], 'draft', 'fail'),
        (['success', 'cancel'], 'cancel', 'done'),
        (['wait', 'fail'], 'draft', 'draft'),
    ])
    def test_the_order_state_follows_its_lines(self, host, customer, placed, states, before, after):
        order_id, lines = placed
        for (line_id, _), state in zip(lines, states):
            write(host, 'sale.order.line', line_id, detail_state=state)
        # along the order's lifecycle: a draft order with dishes handed over is one that a
        # refused refund put back
        for state in {'draft': ('cancel', 'draft')}.get(before, (before,)):
            write(host, 'sale.order', order_id, state=state)
        if before == 'draft':
            host.control('coupon/finish', uuid=lines[0][1])     # a draft order is not polled
        assert poll(customer, order_id)['state'] == after
        assert line_states(host, order_id)[0] == after
        expected_queries = 1 if 'wait' in states and before != 'draft' else 0
        assert len(done_order_queries(host)) == expected_queries

    def test_an_order_without_lines_fails(self, host, customer):
        order_id = host.create_order(customer.token)
        write(host, 'sale.order', order_id, state='paid')
        write(host, 'sale.order', order_id, state='done')
        assert_reply(customer.post('post_pay_result', order_id), {'data': {
            'code': 200, 'data': [], 'state': 'fail', 'message': '返回订单详情成功'}})

    def test_another_customers_or_unknown_order_is_not_polled(self, host, customer, placed):
        order_id, [(_, uuid), _] = placed
        host.control('coupon/finish', uuid=uuid)
        for reply in (Customer(host, '别人').post('post_pay_result', order_id),
                      customer.post('post_pay_result', order_id + 1000),
                      host.post('post_pay_result', data={'order_id': order_id})):
            assert_reply(reply, NO_POLL)
        assert not done_order_queries(host)
        assert line_states(host, order_id)[0] == 'paid'

    def test_a_strangers_poll_does_not_wait_for_the_owners(self, host, customer, placed):
        order_id, _ = placed
        # The owner's poll holds the order while the back-end is slow.
        host.control('fault', service='coupon', mode='hang', seconds=3, times=1, path=DONE_ORDER)

        def stranger():
            time.sleep(0.5)
            started = time.monotonic()
            reply = host.post('post_pay_result', data={'order_id': order_id})
            return reply, time.monotonic() - started
        _, (reply, seconds) = at_once(lambda: poll(customer, order_id), stranger)
        assert_reply(reply, NO_POLL)
        assert seconds < 2, 'the stranger waited %.1f s for the owner\'s poll' % seconds

    def test_two_polls_at_once_send_one_message(self, host, customer, placed):
        order_id, [(_, uuid), (_, fries_uuid)] = placed
        host.control('coupon/finish', uuid=uuid, order_number='A1')
        host.control('coupon/fail', uuid=fries_uuid)
        # The first poll holds the order while the back-end is slow; the second comes meanwhile.
        host.control('fault', service='coupon', mode='hang', seconds=1, times=1, path=DONE_ORDER)
        results = at_once(lambda: poll(customer, order_id), lambda: poll(customer, order_id))
        assert [result['state'] for result in results] == ['done', 'done']
        assert len(messages(host)) == 1
        # each poll asks about the two dishes waiting when it starts; the first applies
        assert len(done_order_queries(host)) == 4
        with host.env() as env:
            assert env['api.log'].search_count([('name', '=', '取餐通知')]) == 1
