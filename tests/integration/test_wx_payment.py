"""The payment side of WxApiController served by the host, with the sandbox as WeChat Pay.

Notifications are signed and sealed by the sandbox as WeChat Pay does, with the contents a test
wants (the sandbox's /sandbox/wechatpay/notify), and posted to the host over HTTP. Replies are
compared as text: json.dumps' default output with \\u escapes.
"""
import base64
import collections
import datetime
import json
import secrets
import uuid
from concurrent.futures import ThreadPoolExecutor

import pytest
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

NOTIFY_SUCCESS = '{"code": "SUCCESS", "message": "\\u6210\\u529f"}'
NOTIFY_FAIL = '{"code": "FAIL", "message": "\\u5931\\u8d25"}'
REFUND_NOTIFY_SUCCESS = '{"code": "SUCCESS"}'
NOT_CREATED = '{"code": 200, "message": "\\u672a\\u521b\\u5efa\\u8ba2\\u5355"}'
PLACED = '{"code": 200, "state": "paid", "message": "success"}'
PLACEMENT_FAILED = '{"code": 200, "state": "", "data": []}'
PAY_FIELDS = ('state', 'is_paid', 'transaction_id', 'pay_time', 'prepay_id')


# -- helpers --------------------------------------------------------------------------------------

def read_order(host, order_id, names=PAY_FIELDS):
    with host.env() as env:
        order = env['sale.order'].browse(order_id)
        return {name: getattr(order, name) for name in names}


def order_name(host, order_id):
    return read_order(host, order_id, ('name',))['name']


def logs(host):
    """(title, role, log text) of every API log entry, oldest first."""
    with host.env() as env:
        return [(entry.name, entry.role, entry.log) for entry in env['api.log'].search([], order='id')]


def wechatpay_requests(host):
    return [entry['path'] for entry in host.inspect('requests')['requests']
            if entry['service'] == 'wechatpay']


def backend_orders(host):
    return host.inspect('coupon/orders')['orders']


def pay(host, token, order_id, **extra):
    return host.post('wechat_jsapi_payment', json=dict(token=token, order_id=order_id, **extra))


def change_state(host, order_id, token=None, **kwargs):
    """The state change as the page posts it, by default with the token of the order's owner."""
    if token is None:
        with host.env() as env:
            token = env['sale.order'].browse(order_id).kfc_user_id.token
    return host.post('post_change_sale_order_state', data={'order_id': order_id, 'token': token},
                     **kwargs)


def seal(host, resource, kind='transaction'):
    """A notification body as WeChat Pay posts it: compact JSON, the resource encrypted."""
    key = host.inspect('config')['wechatpay']['apiv3_key'].encode('utf-8')
    nonce = secrets.token_hex(6)
    plaintext = json.dumps(resource, ensure_ascii=False).encode('utf-8')
    sealed = AESGCM(key).encrypt(nonce.encode('utf-8'), plaintext, kind.encode('utf-8'))
    return {
        'id': str(uuid.uuid4()), 'create_time': '2024-06-01T12:00:00+08:00',
        'resource_type': 'encrypt-resource',
        'event_type': 'TRANSACTION.SUCCESS' if kind == 'transaction' else 'REFUND.SUCCESS',
        'summary': '支付成功' if kind == 'transaction' else '退款成功',
        'resource': {'original_type': kind, 'algorithm': 'AEAD_AES_256_GCM',
                     'ciphertext': base64.b64encode(sealed).decode('ascii'),
                     'associated_data': kind, 'nonce': nonce},
    }


Answer = collections.namedtuple('Answer', 'status_code text')


def made_notification(host, route, resource, deliver=True, **changes):
    """A notification of ``resource`` to ``route`` of the host, signed and sealed by the sandbox
    as WeChat Pay does, changed as ``changes`` say (algorithm, tamper, headers)."""
    key = 'out_trade_no' if route == 'wechat_pay_notify' else 'out_refund_no'
    return host.control('wechatpay/notify', resource=resource, url=host.url + '/api/' + route,
                        deliver=deliver, **{key: resource[key]}, **changes)


def notify(host, route, resource, **changes):
    """The host's answer to that notification."""
    answer = made_notification(host, route, resource, **changes)['answer']
    return Answer(answer['status'], answer['body'])


def post_made(host, made):
    """Post a notification the sandbox made (deliver=False) as it is."""
    return host.post(made['url'].rsplit('/', 1)[-1], data=made['body'].encode('utf-8'),
                     headers=made['headers'])


def payment_resource(host, out_trade_no, total, trade_state='SUCCESS',
                     transaction_id='4200002024060112345678'):
    """A payment notification's resource for this sandbox's merchant and account."""
    config = host.inspect('config')['wechatpay']
    return {'appid': config['appid'], 'mchid': config['mchid'], 'out_trade_no': out_trade_no,
            'transaction_id': transaction_id, 'trade_type': 'JSAPI', 'trade_state': trade_state,
            'amount': {'total': total, 'payer_total': total, 'currency': 'CNY',
                       'payer_currency': 'CNY'}}


TAMPERINGS = ('associated_data', 'ciphertext', 'nonce')


@pytest.fixture
def token(host):
    return host.login(nickname='付款人')


@pytest.fixture
def order_id(host, token):
    """A draft take-away order of two paid dishes, 29.80 yuan."""
    return host.create_order(token, paid=[('D3001', 9.9), ('B1002', 19.9)])


@pytest.fixture
def confirmed_order(host, token, order_id):
    """The order paid through the route and the sandbox, its notification applied; still draft."""
    assert pay(host, token, order_id).json()['code'] == 200
    host.control('wechatpay/confirm', out_trade_no=order_name(host, order_id))
    assert read_order(host, order_id)['is_paid'] is True
    return order_id


def utc_now():
    return datetime.datetime.utcnow()


# -- wechat_jsapi_payment ---------------------------------------------------------------------------

class TestPaymentRequest:
    @pytest.mark.parametrize('price, total', [(9.9, 990), (0.01, 1)])
    def test_amount_reaches_wechat_pay_in_fen(self, host, token, price, total):
        order_id = host.create_order(token, paid=[('D3001', price)])
        assert pay(host, token, order_id).json()['code'] == 200
        [payment] = host.inspect('wechatpay/payments')['transactions']
        assert (payment['total'], payment['out_trade_no']) == (total, order_name(host, order_id))

    def test_success_stores_the_prepay_id_and_adds_the_order_id_last(self, host, token, order_id):
        with host.env() as env:
            openid = env['kfc.user'].search([('token', '=', token)]).openid
        body = {'token': token, 'order_id': order_id, 'description': '可乐与汉堡'}
        reply = host.post('wechat_jsapi_payment', json=body)
        assert reply.status_code == 200 and reply.headers['Content-Type'] == 'application/json'
        result = reply.json()
        assert reply.text == json.dumps(result)
        assert list(result) == ['code', 'data', 'message'] and result['code'] == 200
        data = result['data']
        assert list(data)[0] == 'prepay_id' and list(data)[-1] == 'order_id'
        assert data['order_id'] == order_id and type(data['order_id']) is int
        [payment] = host.inspect('wechatpay/payments')['transactions']
        assert (payment['prepay_id'], payment['openid'], payment['description']) == (
            data['prepay_id'], openid, '可乐与汉堡')
        assert read_order(host, order_id)['prepay_id'] == data['prepay_id']
        assert [entry[:2] for entry in logs(host)] == [('微信支付', '前端'), ('微信支付', '微信')]
        assert json.loads(logs(host)[0][2]) == dict(body, token='***' + token[-4:])

    def test_another_code_comes_back_untouched_and_stores_nothing(self, host, token, order_id):
        with host.env() as env:
            env['sale.order'].browse(order_id).write({'prepay_id': 'wx-earlier'})
        host.control('fault', service='wechatpay', mode='error')
        reply = pay(host, token, order_id)
        result = reply.json()
        assert reply.text == json.dumps(result)
        assert result['code'] != 200 and 'order_id' not in json.dumps(result)
        assert read_order(host, order_id)['prepay_id'] == 'wx-earlier'
        assert [entry[:2] for entry in logs(host)] == [('微信支付', '前端'), ('微信支付', '微信')]

    @pytest.mark.parametrize('empty', [0, None, '', False])
    def test_empty_order_id_is_answered_without_any_call_or_log(self, host, token, empty):
        reply = pay(host, token, empty)
        assert (reply.status_code, reply.text) == (200, NOT_CREATED)
        assert wechatpay_requests(host) == [] and logs(host) == []

    @pytest.mark.parametrize('values', [{'state': 'cancel'}, {'is_paid': True},
                                        {'state': 'paid', 'is_paid': True}],
                             ids=['cancelled', 'paid draft', 'paid'])
    def test_an_order_that_cannot_be_paid_is_answered_as_not_created(
            self, host, token, order_id, values):
        with host.env() as env:
            env['sale.order'].browse(order_id).write(values)
        reply = pay(host, token, order_id)
        assert (reply.status_code, reply.text) == (200, NOT_CREATED)
        assert wechatpay_requests(host) == [] and logs(host) == []
        assert read_order(host, order_id)['prepay_id'] is False

    def test_another_customers_attempt_is_not_created_and_the_owner_pays(
            self, host, token, order_id):
        stranger = host.login(nickname='路人')
        assert pay(host, stranger, order_id).text == NOT_CREATED
        assert wechatpay_requests(host) == [] and read_order(host, order_id)['prepay_id'] is False
        assert pay(host, token, order_id).json()['code'] == 200

    def test_an_unknown_order_is_answered_as_not_created(self, host, token, order_id):
        assert pay(host, token, order_id + 1000).text == NOT_CREATED
        assert wechatpay_requests(host) == [] and logs(host) == []


# -- wechat_pay_notify ------------------------------------------------------------------------------

class TestPaymentNotification:
    def test_sandbox_notification_is_applied_once(self, host, token, order_id):
        assert pay(host, token, order_id).json()['code'] == 200
        before = utc_now().replace(microsecond=0)
        notification = host.control('wechatpay/confirm', out_trade_no=order_name(host, order_id))
        after = utc_now()
        [delivery] = notification['deliveries']
        assert (delivery['status'], delivery['body'], delivery['received']) == (
            200, NOTIFY_SUCCESS, True)
        paid = read_order(host, order_id)
        assert paid['is_paid'] is True and paid['state'] == 'draft'
        assert paid['transaction_id'] == notification['resource']['transaction_id']
        assert before <= paid['pay_time'] <= after      # naive UTC
        assert [entry[:2] for entry in logs(host)][-1] == ('微信支付回调', '微信')
        assert json.loads(logs(host)[-1][2]) == notification['resource']

        again = host.control('wechatpay/redeliver', id=notification['id'])
        assert (again['status'], again['body']) == (200, NOTIFY_SUCCESS)
        assert read_order(host, order_id) == paid

    def test_a_later_notification_of_a_paid_order_writes_nothing(self, host, token, order_id):
        name = order_name(host, order_id)
        assert notify(host, 'wechat_pay_notify', payment_resource(host, name, 2980)).text == \
            NOTIFY_SUCCESS
        paid = read_order(host, order_id)
        other = payment_resource(host, name, 2980, transaction_id='4200002024060199999999')
        assert notify(host, 'wechat_pay_notify', other).text == NOTIFY_SUCCESS
        assert read_order(host, order_id) == paid
        assert paid['transaction_id'] == '4200002024060112345678'

    @pytest.mark.parametrize('change', [{'tamper': part} for part in TAMPERINGS] + [
        {'algorithm': 'AEAD_AES_128_GCM'},
        {'headers': {'Wechatpay-Signature': 'WECHATPAY/SIGNTEST/' + 'A' * 40}},
        {'headers': {'Wechatpay-Serial': 'PUB_KEY_ID_0000000000000000000000000000000000000000'}},
        {'headers': {'Wechatpay-Timestamp': '1700000000'}},
        {'headers': {'Wechatpay-Signature': None}},
    ], ids=lambda change: '-'.join(map(str, change.get('headers', change))).lower()[:24])
    def test_a_forged_or_unverifiable_notification_is_refused_without_log_or_write(
            self, host, order_id, change):
        resource = payment_resource(host, order_name(host, order_id), 2980)
        unpaid = read_order(host, order_id)
        made = made_notification(host, 'wechat_pay_notify', resource, deliver=False, **change)
        reply = post_made(host, made)
        assert (reply.status_code, reply.text) == (400, NOTIFY_FAIL)
        assert reply.headers['Content-Type'] == 'application/json'
        assert read_order(host, order_id) == unpaid and logs(host) == []
        # The genuine delivery that follows is applied.
        assert notify(host, 'wechat_pay_notify', resource).text == NOTIFY_SUCCESS
        assert read_order(host, order_id)['is_paid'] is True

    @pytest.mark.parametrize('change, why', [
        ({'amount': {'total': 1, 'payer_total': 1, 'currency': 'CNY', 'payer_currency': 'CNY'}},
         'amount 1 fen'),
        ({'mchid': '1900099999'}, 'mchid 1900099999'),
        ({'appid': 'wx0000000000000000'}, 'appid wx0000000000000000'),
    ], ids=['amount', 'mchid', 'appid'])
    def test_an_authentic_payment_of_another_kind_is_refunded_and_leaves_the_order_unpaid(
            self, host, order_id, change, why):
        resource = dict(payment_resource(host, order_name(host, order_id), 2980), **change)
        unpaid = read_order(host, order_id)
        for _ in range(2):      # delivered again: refunded once
            assert notify(host, 'wechat_pay_notify', resource).text == NOTIFY_SUCCESS
        assert read_order(host, order_id) == unpaid
        [refund] = host.inspect('wechatpay/payments')['refunds']
        assert (refund['out_refund_no'], refund['refund']) == (
            'RM' + resource['transaction_id'], resource['amount']['total'])
        assert any(title == '微信支付与订单不符' and why in text for title, _, text in logs(host))

    @pytest.mark.parametrize('trade_state', ['NOTPAY', 'CLOSED', 'PAYERROR'])
    def test_other_trade_states_are_logged_and_ignored(self, host, order_id, trade_state):
        unpaid = read_order(host, order_id)
        resource = payment_resource(host, order_name(host, order_id), 2980, trade_state)
        reply = notify(host, 'wechat_pay_notify', resource)
        assert (reply.status_code, reply.text) == (200, NOTIFY_SUCCESS)
        assert read_order(host, order_id) == unpaid
        assert [entry[:2] for entry in logs(host)] == [('微信支付回调', '微信')]

    def test_unknown_order_number_writes_nothing(self, host, order_id):
        unpaid = read_order(host, order_id)
        reply = notify(host, 'wechat_pay_notify', payment_resource(host, 'SO000UNKNOWN', 2980))
        assert (reply.status_code, reply.text) == (200, NOTIFY_SUCCESS)
        assert read_order(host, order_id) == unpaid

    @pytest.mark.standin_only(reason='replaces APIV3_KEY in the host module of the controller')
    def test_refused_delivery_is_applied_when_the_sandbox_delivers_again(
            self, host, token, order_id, monkeypatch):
        import odoo.addons.kfc_coupon_shop.controllers.wx_api as wx_api_module
        assert pay(host, token, order_id).json()['code'] == 200
        key = wx_api_module.APIV3_KEY
        monkeypatch.setattr(wx_api_module, 'APIV3_KEY', key[::-1])
        notification = host.control('wechatpay/confirm', out_trade_no=order_name(host, order_id))
        [refused] = notification['deliveries']
        assert (refused['status'], refused['body'], refused['received']) == (
            400, NOTIFY_FAIL, False)
        assert read_order(host, order_id)['is_paid'] is False
        monkeypatch.setattr(wx_api_module, 'APIV3_KEY', key)
        delivery = host.control('wechatpay/redeliver', id=notification['id'])
        assert (delivery['status'], delivery['received']) == (200, True)
        assert read_order(host, order_id)['transaction_id'] == \
            notification['resource']['transaction_id']


# -- wechat_refund_notify ---------------------------------------------------------------------------

def refund_record(host, order_id):
    with host.env() as env:
        refund = env['sale.refund.order'].create({'sale_order_id': order_id})
        return refund.id, refund.name


def refund_state(host, refund_id):
    with host.env() as env:
        return env['sale.refund.order'].browse(refund_id).state


def refund_resource(out_refund_no, status):
    return {'mchid': '1900000100', 'out_trade_no': 'SO0', 'transaction_id': '42000020240601',
            'out_refund_no': out_refund_no, 'refund_id': '50300000000000000000000001',
            'refund_status': status, 'user_received_account': '支付用户零钱',
            'amount': {'total': 990, 'refund': 990, 'payer_total': 990, 'payer_refund': 990}}


class TestRefundNotification:
    def test_success_sets_done_with_the_single_key_reply(self, host, order_id):
        refund_id, name = refund_record(host, order_id)
        reply = notify(host, 'wechat_refund_notify', refund_resource(name, 'SUCCESS'))
        assert (reply.status_code, reply.text) == (200, REFUND_NOTIFY_SUCCESS)
        assert refund_state(host, refund_id) == 'done'
        assert [entry[:2] for entry in logs(host)] == [('微信退款回调', '微信')]

    @pytest.mark.parametrize('status', ['CLOSED', 'ABNORMAL'])
    def test_another_status_is_logged_and_leaves_the_refund(self, host, order_id, status):
        refund_id, name = refund_record(host, order_id)
        reply = notify(host, 'wechat_refund_notify', refund_resource(name, status))
        assert (reply.status_code, reply.text) == (200, REFUND_NOTIFY_SUCCESS)
        assert refund_state(host, refund_id) == 'draft'
        assert [entry[:2] for entry in logs(host)] == [('微信退款回调', '微信')]

    @pytest.mark.parametrize('part', TAMPERINGS)
    def test_tampered_notification_is_refused_without_log_or_write(self, host, order_id, part):
        refund_id, name = refund_record(host, order_id)
        reply = notify(host, 'wechat_refund_notify', refund_resource(name, 'SUCCESS'), tamper=part)
        assert (reply.status_code, reply.text) == (400, NOTIFY_FAIL)
        assert refund_state(host, refund_id) == 'draft' and logs(host) == []


# -- post_change_sale_order_state ---------------------------------------------------------------------

class TestStateChange:
    def test_unpaid_order_is_refused(self, host, token, order_id):
        assert pay(host, token, order_id).json()['code'] == 200    # a prepay is no payment
        reply = change_state(host, order_id)
        assert (reply.status_code, reply.text) == (200, '{}')
        assert read_order(host, order_id)['state'] == 'draft' and backend_orders(host) == []

    def test_confirmed_order_is_placed_once(self, host, confirmed_order):
        reply = change_state(host, confirmed_order)
        assert (reply.status_code, reply.text) == (200, PLACED)
        assert read_order(host, confirmed_order)['state'] == 'paid'
        assert len(backend_orders(host)) == 2
        assert change_state(host, confirmed_order).text == '{}'
        assert len(backend_orders(host)) == 2

    @pytest.mark.parametrize('path', [['cancel'], ['paid', 'pick'], ['paid', 'done']])
    def test_order_out_of_draft_answers_the_empty_object(self, host, confirmed_order, path):
        with host.env() as env:
            for state in path:          # along the order's lifecycle
                env['sale.order'].browse(confirmed_order).write({'state': state})
        state = path[-1]
        assert change_state(host, confirmed_order).text == '{}'
        assert read_order(host, confirmed_order)['state'] == state and backend_orders(host) == []

    def test_unknown_order_answers_the_empty_object(self, host, token, order_id):
        assert change_state(host, order_id + 1000, token).text == '{}'

    def test_two_concurrent_requests_place_the_order_once(self, host, confirmed_order):
        # The first placement waits at the back-end while the second request arrives.
        host.control('fault', service='coupon', mode='hang', seconds=1.0, times=1,
                     path='/kfcautoorder.aspx')
        with ThreadPoolExecutor(2) as pool:
            replies = list(pool.map(lambda _: change_state(host, confirmed_order), range(2)))
        assert sorted(reply.text for reply in replies) == sorted([PLACED, '{}'])
        assert len(backend_orders(host)) == 2
        with host.env() as env:
            lines = env['sale.order'].browse(confirmed_order).line_ids
            assert sorted(line.uuid for line in lines) == sorted(
                order['uuid'] for order in backend_orders(host))

    @pytest.mark.standin_only(reason='replaces create_kfc_order in the host module of the controller')
    def test_raising_placement_answers_the_failure_reply_and_paid_stays(
            self, host, confirmed_order, monkeypatch):
        import odoo.addons.kfc_coupon_shop.controllers.wx_api as wx_api_module

        def create_kfc_order(sale_order_id):
            raise RuntimeError('back-end unreachable')
        monkeypatch.setattr(wx_api_module, 'create_kfc_order', create_kfc_order)
        reply = change_state(host, confirmed_order)
        assert (reply.status_code, reply.text) == (200, PLACEMENT_FAILED)
        assert read_order(host, confirmed_order)['state'] == 'paid'
        title, role, text = logs(host)[-1]
        assert (title, role) == ('卡券下单失败', '卡券下单失败') and 'back-end unreachable' in text
