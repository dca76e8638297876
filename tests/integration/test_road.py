"""The road of an order through the running server and the sandbox, as the page, WeChat Pay,
the kitchen and the back office travel it: replies, the records they leave and what the
outside services saw. Only HTTP and plain record reads: the same on every host.
"""
import datetime
import hashlib
import json
import os
import re
import subprocess
import sys

from odoo.addons.kfc_coupon_shop.services.deployment import read_deployment

PAGE_URL = read_deployment()['frontend_page_url']
STORE = {'store_name': '南京东路店', 'store_code': 'SH3001',
         'store_address': '上海市黄浦区南京东路588号',
         'store_phone': '021-63225127', 'city_name': '上海市', 'city_code': '310100', 'remark': ''}
PHONE = '13800138000'
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
README = os.path.join(ROOT, 'README.md')
# order and refund names: the date, a number, and eight hex digits of the database
NAME = re.compile(r'\b(SO|RF)\d{14}([0-9A-F]{8})\b')


def text(value):
    """A reply's exact text: default json.dumps, keys in the order given."""
    return json.dumps(value)


def ok(reply):
    assert reply.status_code == 200, reply.text
    assert reply.headers['Content-Type'] == 'application/json'
    return reply.json()


class Customer:
    """The page of one customer: its token and the routes it posts."""

    def __init__(self, host, nickname='走路的顾客'):
        self.host = host
        consent = host.control('wechat/authorize', nickname=nickname)
        self.openid = consent['openid']
        reply = ok(host.post('post_user_login', data={'code': consent['code']}))
        self.token = reply['data']['token']
        self.login_reply = reply

    def form(self, route, **form):
        return ok(self.host.post(route, data=dict(form, token=self.token)))

    def redeem(self, *codes):
        """Redeem the coupons; their ids as the customer's list gives them, in ``codes``' order."""
        for code in codes:
            reply = self.host.post('post_exchange_coupon', data={'token': self.token, 'code': code})
            assert reply.text == text({'code': 200, 'message': '兑换成功'})
        listed = {coupon['code']: coupon for coupon in self.form('post_search_user_coupon')['data']}
        return [listed[code]['coupon_id'] for code in codes]

    def order(self, items, route='create_sale_order'):
        """items: (product id, num, coupon ids) per dish."""
        body = dict(STORE, token=self.token, phone=PHONE, type='1',
                    data=[{'product_id': product, 'num': num, 'coupon_id': list(coupons),
                           'unit_price': 0.01} for product, num, coupons in items])
        return ok(self.host.post(route, json=body))

    def pay(self, order_id):
        """Open the payment and let the payer confirm it: (the reply, WeChat Pay's notification)."""
        reply = ok(self.host.post('wechat_jsapi_payment', json={
            'token': self.token, 'order_id': order_id, 'description': '门店点餐'}))
        assert reply['code'] == 200 and list(reply['data']) == [
            'prepay_id', 'appId', 'timeStamp', 'nonceStr', 'package', 'signType', 'paySign',
            'order_id']
        assert reply['data']['order_id'] == order_id
        notification = self.host.control('wechatpay/confirm', out_trade_no=order_name(self.host, order_id))
        return reply, notification

    def poll(self, order_id):
        return self.form('post_pay_result', order_id=order_id)['data']


def order_name(host, order_id):
    with host.env() as env:
        return env['sale.order'].browse(order_id).name


def product_id(host, link_id):
    with host.env() as env:
        return env['kfc.product'].search([('link_id', '=', link_id)]).id


def line_states(host, order_id):
    with host.env() as env:
        return [(line.product_id.link_id, line.unit_price, line.coupon_ids.mapped('code'),
                 line.detail_state, line.pick_code or False)
                for line in env['sale.order'].browse(order_id).line_ids]


def kitchen(host, order_id):
    """The back-end orders of the order's dishes, by the uuids its lines hold."""
    with host.env() as env:
        uuids = env['sale.order'].browse(order_id).line_ids.mapped('uuid')
    orders = {order['uuid']: order for order in host.inspect('coupon/orders')['orders']}
    return [orders[uuid] for uuid in uuids]


def delivered(notification):
    [delivery] = notification['deliveries']
    return delivery['status'], delivery['body']


def paid_through_the_page(host, customer, items):
    """An order created, paid and moved to fulfilment by the page's routes; its id."""
    order_id = customer.order(items)['order_id']
    _, notification = customer.pay(order_id)
    assert delivered(notification) == (200, text({'code': 'SUCCESS', 'message': '成功'}))
    assert customer.form('post_change_sale_order_state', order_id=order_id)['state'] == 'paid'
    return order_id, notification['resource']['transaction_id']


class TestPaidOrder:
    def test_from_login_to_the_order_list(self, host):
        # Login: a user with the WeChat identity and a token.
        customer = Customer(host)
        assert list(customer.login_reply) == ['data', 'code', 'message']
        with host.env() as env:
            user = env['kfc.user'].search([('token', '=', customer.token)])
            assert (user.openid, user.name) == (customer.openid, '走路的顾客')

        # The page's JS-SDK configuration, signed with the ticket the server keeps.
        config = ok(host.post('post_wx_config'))
        data = config['data']
        assert config['code'] == 200 and list(data) == ['appid', 'timestamp', 'nonceStr', 'signature']
        with host.env() as env:
            ticket = env['ir.config_parameter'].get_param('jsapi_ticket')
        signed = 'jsapi_ticket=%s&noncestr=%s&timestamp=%s&url=%s' % (
            ticket, data['nonceStr'], data['timestamp'], PAGE_URL)
        assert data['signature'] == hashlib.sha1(signed.encode()).hexdigest()

        # City, store and menu.
        city = ok(host.post('post_city_name', data={'lat': '31.2364', 'lng': '121.4791'}))
        assert (city['code'], city['data']) == (200, {'city': '上海市'})
        cities = ok(host.post('post_kfc_getcity'))['data']['data']
        [shanghai] = [c for group in cities for c in group['cities'] if c['cityNameZh'] == '上海']
        assert shanghai['gbCityCode'] == '310100'
        stores = ok(host.post('post_kfc_store', data={
            'cityname': '上海', 'gbcitycode': '310100', 'keyword': '南京',
            'user_lat': '31.2364', 'user_lng': '121.4791'}))['data']
        first = stores[0]
        assert (first['storecode'], first['storename'], first['distance']) == ('SH3001', '南京东路店', 0.0)
        menu = ok(host.post('post_menu_list', data={
            'date': datetime.date.today().isoformat(), 'storecode': 'SH3001'}))
        dishes = {dish['product_id']: dish for category in menu['data'] for dish in category['children']}
        cola, burger = product_id(host, 'D3001'), product_id(host, 'B1001')
        assert dishes[cola]['unit_price'] == 9.0

        # A coupon redeemed, then spent on its own burger beside two paid colas.
        [coupon] = customer.redeem('RW2024XL0001')
        created = customer.order([(burger, 1, [coupon]), (cola, 2, [])])
        order_id = created['order_id']
        assert list(created) == ['order_id', 'order_name', 'code', 'message'] and created['code'] == 200
        with host.env() as env:
            order = env['sale.order'].browse(order_id)
            assert (order.name, order.state, order.is_paid, order.amount) == (
                created['order_name'], 'draft', False, 18.0)
            name = order.name
            assert order.kfc_user_id.phone == PHONE
        assert line_states(host, order_id) == [
            ('B1001', 0, ['RW2024XL0001'], False, False),
            ('D3001', 9.0, [], False, False), ('D3001', 9.0, [], False, False)]

        # Before WeChat Pay confirms, the state change does nothing.
        assert customer.form('post_change_sale_order_state', order_id=order_id) == {}
        payment, notification = customer.pay(order_id)
        [transaction] = host.inspect('wechatpay/payments')['transactions']
        assert (transaction['out_trade_no'], transaction['total'], transaction['openid']) == (
            name, 1800, customer.openid)
        assert delivered(notification) == (200, text({'code': 'SUCCESS', 'message': '成功'}))
        transaction_id = notification['resource']['transaction_id']
        with host.env() as env:
            order = env['sale.order'].browse(order_id)
            assert (order.prepay_id, order.transaction_id, order.is_paid, order.state) == (
                payment['data']['prepay_id'], transaction_id, True, 'draft')
            assert order.pay_time
        assert customer.form('post_order_is_paid', order_id=order_id) == {'code': 200, 'message': 'success'}

        # The state change hands every dish to the kitchen, once.
        reply = host.post('post_change_sale_order_state',
                          data={'order_id': order_id, 'token': customer.token})
        assert reply.text == text({'code': 200, 'state': 'paid', 'message': 'success'})
        assert customer.form('post_change_sale_order_state', order_id=order_id) == {}
        placed = kitchen(host, order_id)
        assert len(host.inspect('coupon/orders')['orders']) == 3
        assert [(o['status'], o['entry']['skuid']) for o in placed] == [
            ('submitted', 'B1001'), ('submitted', 'D3001'), ('submitted', 'D3001')]

        # Polls while the kitchen cooks, then after it hands out the dishes.
        cooking = customer.poll(order_id)
        assert cooking['state'] == 'paid'
        assert [line['detail_state'] for line in cooking['data']] == ['wait'] * 3
        assert host.inspect('wechat/messages')['messages'] == []
        codes = [host.control('coupon/finish', uuid=o['uuid'])['items'] for o in placed]
        codes = [json.loads(item['result'])['orderNumber'] for [item] in codes]
        done = customer.poll(order_id)
        assert done['state'] == 'done' and done['code'] == 200
        assert [line['pick_code'] for line in done['data']] == codes
        assert [line[3:] for line in line_states(host, order_id)] == [('success', code) for code in codes]
        assert customer.poll(order_id)['state'] == 'done'

        # One pick-up message per code (each dish is a back-end order of its own), sent once.
        messages = host.inspect('wechat/messages')['messages']
        assert [(m['touser'], m['data']['keyword1']['value'], m['data']['keyword2']['value'],
                 m['data']['keyword3']['value'], m['data']['keyword4']['value'])
                for m in messages] == [(customer.openid, '南京东路店', name, '[%s]' % code, '外带')
                                       for code in codes]

        # The order list and the order's detail.
        [listed] = customer.form('post_sale_order_list')['data']
        assert (listed['order_id'], listed['state'], listed['quantity'], listed['amount']) == (
            order_id, 'done', 3, 18.0)
        detail = customer.form('post_sale_order_list_line', order_id=order_id)
        assert [line['pick_code'] for line in detail['data']['detail']] == codes


class TestOtherRoads:
    def test_a_coupon_only_order_goes_to_the_kitchen_at_once(self, host):
        customer = Customer(host)
        fries, cola_coupon = customer.redeem('RW2024ST0001', 'RW2024KL0001')
        reply = customer.order([(product_id(host, 'S2001'), 1, [fries]),
                                (product_id(host, 'D3001'), 1, [cola_coupon])],
                               route='post_coupon_sale_order')
        order_id = reply['order_id']
        assert reply == {'order_id': order_id, 'code': 200, 'message': 'success'}
        with host.env() as env:
            order = env['sale.order'].browse(order_id)
            assert (order.state, order.is_paid, order.amount, order.transaction_id) == (
                'paid', True, 0, False)
        assert [line[:3] for line in line_states(host, order_id)] == [
            ('S2001', 0, ['RW2024ST0001']), ('D3001', 0, ['RW2024KL0001'])]
        placed = kitchen(host, order_id)
        assert [o['entry']['skuid'] for o in placed] == ['S2001', 'D3001']
        for o in placed:
            host.control('coupon/finish', uuid=o['uuid'])
        done = customer.poll(order_id)
        assert done['state'] == 'done' and all(line['pick_code'] for line in done['data'])
        assert len(host.inspect('wechat/messages')['messages']) == 2
        assert host.inspect('wechatpay/payments') == {'transactions': [], 'refunds': []}

    def test_a_dish_the_backend_refuses_is_refunded(self, host):
        customer = Customer(host)
        cola, fries = product_id(host, 'D3001'), product_id(host, 'S2001')
        order_id, _ = paid_through_the_page(host, customer, [(cola, 1, []), (fries, 1, [])])
        cola_order, fries_order = kitchen(host, order_id)
        host.control('coupon/fail', uuid=cola_order['uuid'], message='门店繁忙，出餐失败')
        host.control('coupon/finish', uuid=fries_order['uuid'])
        polled = customer.poll(order_id)
        assert polled['state'] == 'done'
        assert [line['detail_state'] for line in polled['data']] == ['fail', 'success']
        assert polled['data'][0]['show_remark'].startswith('出餐失败，退款处理中')
        customer.poll(order_id)      # a later poll refunds nothing more

        # The refund is recorded against the dish and asked of WeChat Pay for its price.
        with host.env() as env:
            order = env['sale.order'].browse(order_id)
            [refund] = env['sale.refund.order'].search([('sale_order_id', '=', order_id)])
            assert refund.line_ids == order.line_ids[0]
            name, order_no, total = refund.name, order.name, int(round(order.amount * 100))
        [made] = host.inspect('wechatpay/payments')['refunds']
        assert (made['out_refund_no'], made['out_trade_no'], made['refund'], made['total'],
                made['status']) == (name, order_no, 900, total, 'PROCESSING')
        notification = host.control('wechatpay/refund', out_refund_no=name)
        assert delivered(notification) == (200, text({'code': 'SUCCESS'}))
        with host.env() as env:
            assert env['sale.refund.order'].search([('name', '=', name)]).state == 'done'

    def test_a_customers_refund_of_an_unplaced_dish_is_completed_by_its_notification(self, host):
        customer = Customer(host)
        order_id = customer.order([(product_id(host, 'D3001'), 1, []),
                                   (product_id(host, 'B1002'), 1, [])])['order_id']
        _, notification = customer.pay(order_id)        # paid, not yet handed to the kitchen
        transaction_id = notification['resource']['transaction_id']
        name = order_name(host, order_id)
        reply = customer.form('wechat_jsapi_refund', id=str(order_id), transaction_id=transaction_id,
                              out_trade_no=name, amount='900')
        assert reply['code'] == 200
        with host.env() as env:
            [refund] = env['sale.refund.order'].search([('sale_order_id', '=', order_id)])
            assert (refund.name, refund.state, refund.kfc_user_id.token) == (
                reply['data']['out_refund_no'], 'draft', customer.token)
            refund_name = refund.name
        [made] = host.inspect('wechatpay/payments')['refunds']
        assert (made['out_refund_no'], made['transaction_id'], made['refund'], made['status']) == (
            refund_name, transaction_id, 900, 'PROCESSING')
        notification = host.control('wechatpay/refund', out_refund_no=refund_name)
        assert delivered(notification) == (200, text({'code': 'SUCCESS'}))
        with host.env() as env:
            assert env['sale.refund.order'].search([('name', '=', refund_name)]).state == 'done'


def walk(host):
    """Run the walk command against the test's server and sandbox: (exit status, lines)."""
    result = subprocess.run(
        [sys.executable, os.path.join(ROOT, 'tools', 'walk.py'), '--api', host.url,
         '--sandbox', host.sandbox.url],
        capture_output=True, text=True, timeout=120)
    return result.returncode, result.stdout.splitlines()


def step_names(lines):
    return [re.match(r'(.+?) \.+ ', line).group(1) for line in lines if re.match(r'.+? \.+ ', line)]


def readme_sample():
    """The lines of the README's sample walk."""
    with open(README, encoding='utf-8') as handle:
        text = handle.read()
    start = text.index('```text\n', text.index('## Walking the road of an order')) + len('```text\n')
    return text[start:text.index('```', start)].splitlines()


def line_format(line):
    """A line of the walk without what changes from run to run: values cut short with '…',
    the database's part of order and refund names, and the numbers."""
    line = NAME.sub(r'\1…', re.sub(r'[\w+/=-]+…', '…', line))
    return re.sub(r'\d+', '0', line)


class TestWalkCommand:
    def test_it_walks_the_whole_road(self, host):
        status, lines = walk(host)
        assert status == 0, '\n'.join(lines)
        assert step_names(lines) == [
            'login', 'JS-SDK config', 'city name', 'cities', 'stores', 'menu', 'coupons', 'order',
            'payment', 'notification', 'state change', 'poll', 'pick-up message', 'order list',
            'coupon-only order', 'refused dish', 'refund']
        assert len(lines) == 18 and not any('FAILED' in line for line in lines)
        assert re.fullmatch(r'verdict: the road walked, 17 steps in [0-9.]+ s: 4 orders, '
                            r'3 pick-up codes, 2 refunds', lines[-1])
        with host.env() as env:
            orders = env['sale.order'].search([], order='id')
            assert orders.mapped('state') == ['done', 'done', 'fail', 'cancel']
            assert env['sale.refund.order'].search([]).mapped('state') == ['done', 'done']
            names = orders.mapped('name')
        assert any(line.startswith('order ......') and names[0] in line for line in lines)

    def test_the_readme_sample_has_the_lines_of_a_walk(self, host):
        status, lines = walk(host)
        sample = readme_sample()
        assert [line_format(line) for line in sample] == [line_format(line) for line in lines]
        # one database, one suffix: every name of the sample's walk ends the same way
        assert len({suffix for _, suffix in NAME.findall('\n'.join(sample))}) == 1

    def test_it_stops_at_a_failed_step_with_its_reply(self, host):
        host.control('fault', service='wechatpay', mode='http', status=500)
        status, lines = walk(host)
        assert status == 1
        assert step_names(lines)[-1] == 'payment'
        assert lines[-3].startswith('payment ') and ' FAILED: unexpected reply' in lines[-3]
        assert lines[-2].startswith('    reply: {"code": 500')
        assert lines[-1] == 'verdict: the road stops at "payment"'
        with host.env() as env:
            assert env['sale.order'].search([]).mapped('is_paid') == [False]

    def test_it_says_when_the_demo_coupons_are_spent(self, host):
        with host.env() as env:
            env['kfc.coupon'].search([]).write({'state': 'done'})
        status, lines = walk(host)
        assert status == 1
        assert 'not enough demo coupons left to redeem (0 of 2)' in lines[-3]
        assert lines[-1] == 'verdict: the road stops at "coupons"'
