"""CouponController served by the host: the back-end probes, the pick-up message and refunds,
with the sandbox as the coupon back-end, WeChat and WeChat Pay.

What the host sent is read back from the sandbox's request log, headers and bodies as received.
"""
import datetime
import hashlib
import json
import time
import types
from urllib.parse import parse_qsl

import pytest

from odoo.addons.kfc_coupon_shop.services.deployment import read_deployment

ORDER_ENTRY = '/kfcautoorder.aspx'
ORDER_DETAIL = '/Core.asmx/KFC_Auto_UpdateOrderDetail'
DONE_ORDER = '/Core.asmx/KFC_Auto_GetDoneOrder'
PROBE_UUID = 'c660bd19802c467e9b189f5f5e05901b'
SUCCESS = '{"code": 200, "message": "success"}'
REFUND_REFUSED = '{"code": 400, "message": "\\u9000\\u6b3e\\u7533\\u8bf7\\u65e0\\u6548"}'

ORDER_DETAIL_TEXT = (
    '{"storename": "\\u738b\\u5bb6\\u6e2f\\u5927\\u6da6\\u53d1", '
    '"storeaddr": "\\u957f\\u6c5f\\u897f\\u8def345\\u53f7\\u57ce\\u53d1\\u60a6\\u90bb\\u5e7f'
    '\\u573a\\u8d1f\\u4e00\\u5c42\\u5927\\u6da6\\u53d1\\u8d85\\u5e02", '
    '"storetel": "QG1298", "storecode": "QG1298", "pickupmethod": 2, "ordermono": "", '
    '"booking": ""}')
MUTILDATA_TEXT = '[{"id": 0, "data": [1], "ismutil": 1, "couponidx": 0}]'


def sent(host, service, path=None):
    """(path, headers as [name, value] pairs, body text) of what a service received, in order."""
    return [(entry['path'], entry['headers'], entry['body'])
            for entry in host.inspect('requests/bodies')['requests']
            if entry['service'] == service and (path is None or entry['path'] == path)]


def coupon_paths(host):
    return [path for path, _, _ in sent(host, 'coupon')]


def header(headers, name):
    return [value for key, value in headers if key.lower() == name][0]


# -- kfc_auto_order --------------------------------------------------------------------------------

def check_signed_order_entry(host, started):
    """The order entry the route sent: signed headers, the body's keys and values in order."""
    [(_, headers, body)] = sent(host, 'coupon', ORDER_ENTRY)
    names = [key.lower() for key, _ in headers]
    assert [name for name in names if name in ('token', 'ts', 'sn')] == ['token', 'ts', 'sn']
    ts = header(headers, 'ts')
    assert ts.isdigit() and int(started) <= int(ts) <= time.time()
    assert header(headers, 'sn') == '1'
    # signed with the key of the server's settings, which the sandbox generated
    assert header(headers, 'token') == hashlib.md5(('2024050#%s#%s#2#2024050' % (
        ts, host.sandbox.config.order_signing_key)).encode('utf-8')).hexdigest()
    entry = json.loads(body)
    indate = datetime.datetime.strptime(entry['indate'], '%Y-%m-%d %H:%M:%S')
    assert abs((indate - datetime.datetime.now()).total_seconds()) < 60
    assert body == json.dumps({'userid': 2024050, 'productid': 2, 'orderno': '2024050',
                               'sku': '汉堡三选一', 'skuid': '汉堡三选一', 'num': 1, 'price': 1,
                               'indate': entry['indate']})
    # The sandbox checks the signature as the back-end does: a refused entry makes no order.
    [order] = host.inspect('coupon/orders')['orders']
    return order['uuid']


def check_order_detail(host, uuid):
    [(_, _, body)] = sent(host, 'coupon', ORDER_DETAIL)
    assert body == ('{"mutildata": %s, "orderdetail": %s, "uuid": "%s"}' % (
        json.dumps(MUTILDATA_TEXT), json.dumps(ORDER_DETAIL_TEXT), uuid))


class TestAutoOrder:
    def test_refused_detail_answers_success_without_a_result_query(self, host):
        host.control('fault', service='coupon', mode='error', path=ORDER_DETAIL)
        started = time.time()
        reply = host.post('kfc_auto_order')
        assert (reply.status_code, reply.text) == (200, SUCCESS)
        assert time.time() - started < 5          # no wait without an accepted detail
        uuid = check_signed_order_entry(host, started)
        check_order_detail(host, uuid)
        assert coupon_paths(host) == [ORDER_ENTRY, ORDER_DETAIL]

    @pytest.mark.standin_only(reason='binds a time module with a short sleep in the host module')
    def test_accepted_detail_leads_to_one_result_query_after_the_wait(self, host, monkeypatch):
        import odoo.addons.kfc_coupon_shop.controllers.coupon as coupon_module
        sleeps = []

        def sleep(seconds):
            sleeps.append((seconds, coupon_paths(host)))
        monkeypatch.setattr(coupon_module, 'time', types.SimpleNamespace(time=time.time,
                                                                          sleep=sleep))
        started = time.time()
        reply = host.post('kfc_auto_order')
        assert (reply.status_code, reply.text) == (200, SUCCESS)
        uuid = check_signed_order_entry(host, started)
        check_order_detail(host, uuid)
        assert sleeps == [(5, [ORDER_ENTRY, ORDER_DETAIL])]
        assert sent(host, 'coupon')[2][::2] == (DONE_ORDER, '{"uuid": "%s"}' % uuid)
        assert coupon_paths(host) == [ORDER_ENTRY, ORDER_DETAIL, DONE_ORDER]
        [order] = host.inspect('coupon/orders')['orders']
        assert order['status'] == 'submitted' and order['detail']['storecode'] == 'QG1298'


# -- post_pick_message ----------------------------------------------------------------------------

TEMPLATE_DATA = {
    'first': {'value': '尊敬的用户，您的美食下单完成，请前往餐厅初始取餐码取餐。'},
    'keyword1': {'value': '门店名称'},
    'keyword2': {'value': '订单编号'},
    'keyword3': {'value': '[A1024]'},
    'keyword4': {'value': '取餐方式'},
    'keyword5': {'value': '下单时间'},
}


class TestPickMessage:
    def test_template_message_is_sent_and_the_reply_passed_through(self, host):
        openid = host.control('wechat/authorize', nickname='取餐人')['openid']
        reply = host.post('post_pick_message', data={'openid': openid})
        [message] = host.inspect('wechat/messages')['messages']
        assert (reply.status_code, reply.headers['Content-Type']) == (200, 'application/json')
        assert reply.text == '{"errcode": 0, "errmsg": "ok", "msgid": %d}' % message['msgid']
        template_id = read_deployment()['pickup_template_id']
        (token_path, _, _), (send_path, headers, body) = sent(host, 'wechat')
        assert (token_path, send_path) == ('/cgi-bin/token', '/cgi-bin/message/template/send')
        assert header(headers, 'content-type') == 'application/json'
        assert body == json.dumps({'touser': openid, 'template_id': template_id, 'url': '',
                                   'data': TEMPLATE_DATA})
        app = host.sandbox.config
        [token_query, send_query] = [parse_qsl(entry['query']) for entry in
                                     host.inspect('requests')['requests']]
        assert token_query == [('grant_type', 'client_credential'), ('appid', app.wechat_appid),
                               ('secret', app.wechat_secret)]
        assert [key for key, _ in send_query] == ['access_token']

    def test_wechat_refusal_is_passed_through_unchanged(self, host):
        reply = host.post('post_pick_message', data={'openid': 'o-nobody-follows'})
        assert reply.status_code == 200
        refusal = reply.json()
        assert list(refusal) == ['errcode', 'errmsg'] and refusal['errcode'] == 40003
        assert refusal['errmsg'].startswith('invalid openid rid: ')
        assert reply.text == json.dumps(refusal)
        assert host.inspect('wechat/messages')['messages'] == []

    def test_refused_access_token_is_passed_through(self, host):
        host.control('fault', service='wechat', mode='error', path='/cgi-bin/token')
        reply = host.post('post_pick_message', data={'openid': 'o-any'})
        assert reply.status_code == 200 and reply.json()['errcode'] == -1
        assert host.sandbox.config.wechat_secret not in reply.text
        assert [path for path, _, _ in sent(host, 'wechat')] == ['/cgi-bin/token']


# -- wechat_jsapi_refund ----------------------------------------------------------------------------

@pytest.fixture
def customer(host):
    return host.login(nickname='退款人')


@pytest.fixture
def paid_order(host, customer):
    """A paid order of 29.80 yuan (2980 fen): (id, name, transaction id)."""
    order_id = host.create_order(customer, paid=[('D3001', 9.9), ('B1002', 19.9)])
    transaction_id = host.pay(order_id)
    with host.env() as env:
        return order_id, env['sale.order'].browse(order_id).name, transaction_id


def line_states(host, order_id):
    with host.env() as env:
        return env['sale.order'].browse(order_id).line_ids.mapped('detail_state')


def place_and_finish(host, customer, order_id):
    """The order (paid, still in "draft") handed to the kitchen, every dish finished and its
    code polled."""
    form = {'order_id': order_id, 'token': customer}
    assert host.post('post_change_sale_order_state', data=form).json()['code'] == 200
    for order in host.inspect('coupon/orders')['orders']:
        host.control('coupon/finish', uuid=order['uuid'])
    host.post('post_pay_result', data={'order_id': order_id, 'token': customer})


def refund_form(customer, paid_order, **changes):
    order_id, name, transaction_id = paid_order
    form = {'token': customer, 'id': str(order_id), 'transaction_id': transaction_id,
            'out_trade_no': name}
    form.update(changes)
    return {key: value for key, value in form.items() if value is not None}


def refund_records(host):
    with host.env() as env:
        return [(refund.name, refund.sale_order_id.id, refund.kfc_user_id.id, refund.state)
                for refund in env['sale.refund.order'].search([], order='id')]


def wechatpay_refunds(host):
    return host.inspect('wechatpay/payments')['refunds']


def user_id(host, token):
    with host.env() as env:
        return env['kfc.user'].search([('token', '=', token)]).id


class TestRefund:
    @pytest.mark.parametrize('amount, fen', [('990', 990), ('2980', 2980), (None, 2980)],
                             ids=['part', 'all of it', 'no amount'])
    def test_accepted_refund_creates_one_record_and_one_call(
            self, host, customer, paid_order, amount, fen):
        reply = host.post('wechat_jsapi_refund', data=refund_form(customer, paid_order,
                                                                  amount=amount))
        assert reply.status_code == 200
        result = reply.json()
        assert reply.text == json.dumps(result) and result['code'] == 200
        [(name, order_id, owner, state)] = refund_records(host)
        assert (order_id, owner, state) == (paid_order[0], user_id(host, customer), 'draft')
        [refund] = wechatpay_refunds(host)
        assert (refund['out_refund_no'], refund['refund'], refund['total']) == (name, fen, 2980)
        assert refund['out_trade_no'] == paid_order[1]
        assert result['data']['out_refund_no'] == name
        assert refund['notify_url'] == host.url + '/api/wechat_refund_notify'
        # WeChat Pay settles it and its notification marks the record done.
        host.control('wechatpay/refund', out_refund_no=name)
        assert refund_records(host)[0][3] == 'done'

    def test_two_requests_make_two_refunds(self, host, customer, paid_order):
        for amount in ('990', '1990'):      # one dish, then the other
            reply = host.post('wechat_jsapi_refund',
                              data=refund_form(customer, paid_order, amount=amount))
            assert reply.json()['code'] == 200
        names = [record[0] for record in refund_records(host)]
        assert len(set(names)) == 2
        assert [refund['out_refund_no'] for refund in wechatpay_refunds(host)] == names
        assert host.post('wechat_jsapi_refund', data=refund_form(customer, paid_order)).text == \
            REFUND_REFUSED      # nothing is left to give back

    @pytest.mark.parametrize('amount', ['1990', '1000', '2981'])
    def test_an_amount_that_is_not_the_first_whole_dishes_is_refused(
            self, host, customer, paid_order, amount):
        reply = host.post('wechat_jsapi_refund', data=refund_form(customer, paid_order,
                                                                  amount=amount))
        assert reply.text == REFUND_REFUSED
        assert refund_records(host) == [] and wechatpay_refunds(host) == []
        assert line_states(host, paid_order[0]) == [False, False]

    def test_after_the_pick_up_codes_nothing_is_refunded(self, host, customer):
        order_id = host.create_order(customer, paid=[('D3001', 9.9), ('B1002', 19.9)])
        transaction_id = host.pay(order_id, state='draft')
        place_and_finish(host, customer, order_id)
        assert line_states(host, order_id) == ['success', 'success']
        with host.env() as env:
            paid_order = order_id, env['sale.order'].browse(order_id).name, transaction_id
        reply = host.post('wechat_jsapi_refund', data=refund_form(customer, paid_order))
        assert reply.text == REFUND_REFUSED and wechatpay_refunds(host) == []

    def test_a_refund_before_placement_leaves_nothing_to_place(self, host, customer):
        order_id = host.create_order(customer, paid=[('D3001', 9.9)])
        transaction_id = host.pay(order_id, state='draft')
        with host.env() as env:
            name = env['sale.order'].browse(order_id).name
        form = refund_form(customer, (order_id, name, transaction_id))
        assert host.post('wechat_jsapi_refund', data=form).json()['code'] == 200
        form = {'order_id': order_id, 'token': customer}
        assert host.post('post_change_sale_order_state', data=form).text == '{}'
        with host.env() as env:
            assert env['sale.order'].browse(order_id).state == 'cancel'
        assert host.inspect('coupon/orders')['orders'] == []

    def test_a_partial_refund_places_the_other_dish(self, host, customer):
        order_id = host.create_order(customer, paid=[('D3001', 9.9), ('B1002', 19.9)])
        transaction_id = host.pay(order_id, state='draft')
        with host.env() as env:
            name = env['sale.order'].browse(order_id).name
        form = refund_form(customer, (order_id, name, transaction_id), amount='990')
        assert host.post('wechat_jsapi_refund', data=form).json()['code'] == 200
        assert line_states(host, order_id) == ['cancel', False]
        host.post('post_change_sale_order_state', data={'order_id': order_id, 'token': customer})
        assert len(host.inspect('coupon/orders')['orders']) == 1
        assert line_states(host, order_id) == ['cancel', 'wait']

    def test_a_definite_refusal_makes_the_dish_placeable_again(self, host, customer, paid_order):
        host.control('fault', service='wechatpay', mode='http', status=400, path='/v3/refund')
        reply = host.post('wechat_jsapi_refund', data=refund_form(customer, paid_order,
                                                                  amount='990'))
        assert reply.json()['code'] == 400
        assert line_states(host, paid_order[0]) == [False, False]
        assert [record[3] for record in refund_records(host)] == ['fail']

    def test_failure_of_wechat_pay_is_answered_unchanged_and_the_record_stays(
            self, host, customer, paid_order):
        host.control('fault', service='wechatpay', mode='error', path='/v3/refund')
        reply = host.post('wechat_jsapi_refund', data=refund_form(customer, paid_order))
        result = reply.json()
        assert reply.text == json.dumps(result) and result['code'] != 200
        assert [record[3] for record in refund_records(host)] == ['draft']

    @pytest.mark.parametrize('changes', [
        {'amount': ''}, {'amount': '0'}, {'amount': '-5'}, {'amount': '9.9'}, {'amount': '2981'},
        {'amount': ' 990'}, {'amount': 'abc'},
        {'transaction_id': '4200000000000000000000'}, {'transaction_id': ''},
        {'out_trade_no': 'SO0000000000000000000000'},
        {'id': '999999'}, {'id': 'x1'},
        {'token': 'no-such-token'}, {'token': ''},
    ], ids=lambda changes: '%s=%r' % next(iter(changes.items())))
    def test_refusals_create_nothing_and_call_nothing(self, host, customer, paid_order, changes):
        reply = host.post('wechat_jsapi_refund', data=refund_form(customer, paid_order, **changes))
        assert (reply.status_code, reply.text) == (200, REFUND_REFUSED)
        assert refund_records(host) == [] and wechatpay_refunds(host) == []

    def test_another_users_order_is_refused(self, host, paid_order):
        stranger = host.login(nickname='路人')
        reply = host.post('wechat_jsapi_refund', data=refund_form(stranger, paid_order))
        assert reply.text == REFUND_REFUSED
        assert refund_records(host) == [] and wechatpay_refunds(host) == []

    def test_an_unpaid_order_is_refused(self, host, customer):
        order_id = host.create_order(customer, paid=[('D3001', 9.9)])
        with host.env() as env:
            order = env['sale.order'].browse(order_id)
            order.write({'transaction_id': '4200002024060100000001'})   # no confirmed payment
            form = {'token': customer, 'id': str(order_id), 'out_trade_no': order.name,
                    'transaction_id': '4200002024060100000001'}
        assert host.post('wechat_jsapi_refund', data=form).text == REFUND_REFUSED
        assert refund_records(host) == [] and wechatpay_refunds(host) == []


# -- kfc_test ----------------------------------------------------------------------------------

class TestResultProbe:
    def test_pick_up_codes_of_finished_dishes_are_gathered(self, host):
        host.control('coupon/order', uuid=PROBE_UUID, units=4)
        host.control('coupon/finish', uuid=PROBE_UUID, item=0, order_number='A1024')
        host.control('coupon/fail', uuid=PROBE_UUID, item=1)
        host.control('coupon/finish', uuid=PROBE_UUID, item=3, order_number='A1026')
        reply = host.post('kfc_test')
        assert (reply.status_code, reply.text) == (
            200, '{"code": 200, "data": ["A1024", "A1026"], "message": "success"}')
        assert sent(host, 'coupon') and sent(host, 'coupon')[0][::2] == (
            DONE_ORDER, '{"uuid": "%s"}' % PROBE_UUID)

    def test_unknown_order_gathers_nothing(self, host):
        reply = host.post('kfc_test')
        assert reply.text == '{"code": 200, "data": [], "message": "success"}'


@pytest.mark.standin_only(reason='records the time-outs the host module passes to its requests')
def test_every_outgoing_request_has_a_time_limit(host, outbound_calls):
    calls = outbound_calls('coupon')
    host.control('fault', service='coupon', mode='error', path=ORDER_DETAIL)
    host.post('kfc_auto_order')
    host.post('post_pick_message', data={'openid': 'o-any'})
    host.post('kfc_test')
    # the access token comes from the host, through the client's own default time-out
    assert len(calls.calls) == 4 and calls.unlimited() == []


def test_a_request_relayed_by_a_proxy_the_server_does_not_trust_is_refused(host):
    # Without proxy mode the address seen is the proxy's own, which could stand for anyone.
    assert host.post('kfc_test').status_code == 200
    assert host.post('kfc_test', headers={'X-Forwarded-For': '127.0.0.1'}).status_code == 403
