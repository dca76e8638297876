"""WeChat Pay APIv3 between the host's client and the simulator, over real HTTP and real crypto."""
import base64
import datetime
import json
import socket
import time
from decimal import Decimal

import pytest
import requests
from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import padding
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

from odoo.addons.kfc_coupon_shop.services.wechatpay import (JSAPI_PATH, WechatPayClient, decrypt_resource, load_public_key,
                               to_fen)
from kfcsandbox.config import generate_apiv3_key, generate_rsa_pem, public_pem_of

NOTIFY_PATH = '/api/wechat_pay_notify'


def _order(sandbox, openid, out_trade_no='SO20240001', total=990):
    return {'appid': sandbox.config.wechat_appid, 'mchid': sandbox.config.mchid,
            'description': '汉堡三选一', 'out_trade_no': out_trade_no,
            'notify_url': 'https://shop.example/api/wechat_pay_notify',
            'amount': {'total': total, 'currency': 'CNY'}, 'payer': {'openid': openid}}


def _send(sandbox, client, body, signed_body=None, path=JSAPI_PATH):
    """POST body, signed over signed_body (default: body itself)."""
    authorization = client.authorization('POST', path, body if signed_body is None else signed_body)
    return requests.post(sandbox.url + path, data=body, headers={
        'Authorization': authorization, 'Content-Type': 'application/json',
        'Accept': 'application/json'})


def _paid_order(sandbox, pay_client, payer, receiver, out_trade_no='SO20240001', total=990):
    reply = pay_client.jsapi_prepay('汉堡三选一', out_trade_no, total, payer,
                                    receiver.url + NOTIFY_PATH)
    assert reply.ok, reply
    confirm = requests.post(sandbox.url + '/sandbox/wechatpay/confirm',
                            json={'out_trade_no': out_trade_no})
    assert confirm.status_code == 200
    return confirm.json()


class TestRequestSignature:
    def test_signed_prepay_is_accepted_and_its_reply_is_signed(self, sandbox, pay_client, payer):
        reply = pay_client.jsapi_prepay('汉堡三选一', 'SO20240001', 990, payer,
                                        'https://shop.example/api/wechat_pay_notify')
        assert reply.ok and reply.status == 200
        assert reply.data['prepay_id'].startswith('wx')
        body = json.dumps(_order(sandbox, payer, 'SO20240002')).encode()
        raw = _send(sandbox, pay_client, body)
        assert raw.status_code == 200
        assert raw.headers['Wechatpay-Signature-Type'] == 'WECHATPAY2-SHA256-RSA2048'
        assert raw.headers['Wechatpay-Serial'] == sandbox.config.platform_serial
        assert pay_client.verify_signed(raw.headers, raw.content)
        assert not pay_client.verify_signed(raw.headers, raw.content.replace(b'wx', b'wX', 1))

    def test_tampered_body_is_refused(self, sandbox, pay_client, payer):
        signed = json.dumps(_order(sandbox, payer, total=990)).encode()
        sent = signed.replace(b'"total": 990', b'"total": 1')
        assert sent != signed
        reply = _send(sandbox, pay_client, sent, signed_body=signed)
        assert reply.status_code == 401
        error = reply.json()
        assert error['code'] == 'SIGN_ERROR'
        assert error['detail']['sign_information']['url'] == JSAPI_PATH
        assert sandbox.state.transactions == {}

    def test_a_reserialised_body_no_longer_matches_its_signature(self, sandbox, pay_client, payer):
        order = _order(sandbox, payer)
        compact = json.dumps(order, separators=(',', ':')).encode()
        spaced = json.dumps(order).encode()
        assert _send(sandbox, pay_client, spaced, signed_body=compact).status_code == 401

    def test_foreign_key_or_serial_is_refused(self, sandbox, payer):
        settings = sandbox.config.host_settings()['wechatpay']
        body = json.dumps(_order(sandbox, payer)).encode()
        stranger = WechatPayClient(**dict(settings, merchant_private_key=generate_rsa_pem()))
        assert _send(sandbox, stranger, body).status_code == 401
        wrong_serial = WechatPayClient(**dict(settings, merchant_serial='0' * 40))
        reply = _send(sandbox, wrong_serial, body)
        assert reply.status_code == 401 and '序列号' in reply.json()['message']

    def test_stale_timestamp_is_refused(self, sandbox, pay_client, payer):
        real_clock = sandbox.state.clock
        sandbox.state.clock = lambda: real_clock() + 600
        reply = pay_client.jsapi_prepay('汉堡', 'SO20240001', 990, payer, 'https://shop.example/n')
        assert reply.status == 401 and reply.message.startswith('SIGN_ERROR')


class TestPrepayChecks:
    def test_amount_must_be_a_whole_number_of_fen(self, sandbox, pay_client, payer):
        order = _order(sandbox, payer)
        order['amount']['total'] = 990.0
        reply = _send(sandbox, pay_client, json.dumps(order).encode())
        assert reply.status_code == 400
        assert reply.json()['code'] == 'PARAM_ERROR'
        assert reply.json()['detail']['field'] == '/amount/total'

    @pytest.mark.parametrize('field', ['description', 'notify_url', 'payer'])
    def test_missing_fields_are_refused(self, sandbox, pay_client, payer, field):
        order = _order(sandbox, payer)
        del order[field]
        reply = _send(sandbox, pay_client, json.dumps(order).encode())
        assert reply.status_code == 400 and reply.json()['code'] == 'PARAM_ERROR'

    def test_description_false_is_refused(self, sandbox, pay_client, payer):
        reply = pay_client.jsapi_prepay(False, 'SO20240001', 990, payer, 'https://shop.example/n')
        assert reply.status == 400 and reply.message.startswith('PARAM_ERROR')

    def test_repeated_out_trade_no(self, sandbox, pay_client, payer, receiver):
        first = pay_client.jsapi_prepay('汉堡', 'SO20240001', 990, payer, 'https://shop.example/n')
        again = pay_client.jsapi_prepay('汉堡', 'SO20240001', 990, payer, 'https://shop.example/n')
        assert again.ok and again.data['prepay_id'] == first.data['prepay_id']
        changed = pay_client.jsapi_prepay('汉堡', 'SO20240001', 1990, payer, 'https://shop.example/n')
        assert changed.status == 400 and changed.data['code'] == 'INVALID_REQUEST'
        _paid_order(sandbox, pay_client, payer, receiver, out_trade_no='SO20240009')
        paid = pay_client.jsapi_prepay('汉堡三选一', 'SO20240009', 990, payer, receiver.url + '/n')
        assert paid.status == 400 and paid.data['code'] == 'ORDERPAID'


class TestClientFailuresAsValues:
    def test_reply_signed_by_another_platform_key_is_not_trusted(self, sandbox, outbound, payer):
        settings = sandbox.config.host_settings()['wechatpay']
        settings['platform_public_key'] = public_pem_of(generate_rsa_pem())
        client = WechatPayClient(session=outbound, **settings)
        reply = client.jsapi_prepay('汉堡', 'SO20240001', 990, payer, 'https://shop.example/n')
        assert reply.status == 200 and not reply.ok
        assert 'signature' in reply.message

    def test_unreachable_service(self, sandbox):
        with socket.socket() as probe:          # a loopback port nobody listens on
            probe.bind(('127.0.0.1', 0))
            closed_url = 'http://127.0.0.1:%d' % probe.getsockname()[1]
        client = WechatPayClient(base_url=closed_url, **sandbox.config.host_settings()['wechatpay'])
        reply = client.jsapi_prepay('汉堡', 'SO20240001', 990, 'o1', 'https://shop.example/n')
        assert reply.status == 0 and not reply.ok and 'unreachable' in reply.message

    def test_service_error_and_query(self, sandbox, pay_client, payer):
        missing = pay_client.call('GET', '/v3/pay/transactions/out-trade-no/SO404404?mchid='
                                  + sandbox.config.mchid)
        assert missing.status == 404 and missing.message.startswith('ORDER_NOT_EXIST')
        pay_client.jsapi_prepay('汉堡', 'SO20240001', 990, payer, 'https://shop.example/n')
        found = pay_client.call('GET', '/v3/pay/transactions/out-trade-no/SO20240001?mchid='
                                + sandbox.config.mchid)
        assert found.ok and found.data['trade_state'] == 'NOTPAY'


def test_page_parameters_are_signed_with_the_merchant_key(sandbox, pay_client):
    params = pay_client.jsapi_pay_params('wx201410272009395522657a690389285100')
    assert list(params) == ['appId', 'timeStamp', 'nonceStr', 'package', 'signType', 'paySign']
    assert isinstance(params['timeStamp'], str) and params['timeStamp'].isdigit()
    assert params['package'] == 'prepay_id=wx201410272009395522657a690389285100'
    message = '%s\n%s\n%s\n%s\n' % (params['appId'], params['timeStamp'], params['nonceStr'],
                                    params['package'])
    load_public_key(sandbox.config.merchant_public_key_pem).verify(
        base64.b64decode(params['paySign']), message.encode(), padding.PKCS1v15(), hashes.SHA256())


class TestNotifications:
    def test_payment_notification_opens_only_with_the_apiv3_key(self, sandbox, pay_client, payer,
                                                                 receiver):
        notification = _paid_order(sandbox, pay_client, payer, receiver)
        [posted] = receiver.requests
        assert posted['path'] == NOTIFY_PATH
        body = posted['body']
        envelope = json.loads(body)
        # Compact JSON with raw UTF-8, keys in WeChat Pay's order.
        assert body == json.dumps(envelope, ensure_ascii=False, separators=(',', ':')).encode()
        assert list(envelope) == ['id', 'create_time', 'resource_type', 'event_type', 'summary',
                                  'resource']
        assert envelope['event_type'] == 'TRANSACTION.SUCCESS'
        resource = envelope['resource']
        assert resource['associated_data'] == 'transaction' and len(resource['nonce']) == 12
        assert pay_client.verify_signed(posted['headers'], body)

        # As the notification route decrypts it: AESGCM with the UTF-8 bytes of the APIv3 key.
        aesgcm = AESGCM(sandbox.config.apiv3_key.encode('utf-8'))
        plaintext = aesgcm.decrypt(resource['nonce'].encode(), base64.b64decode(
            resource['ciphertext']), resource['associated_data'].encode())
        paid = json.loads(plaintext)
        transaction = sandbox.state.transactions['SO20240001']
        assert paid['out_trade_no'] == 'SO20240001' and paid['trade_state'] == 'SUCCESS'
        assert paid['transaction_id'] == transaction['transaction_id']
        assert paid['amount']['total'] == 990
        with pytest.raises(InvalidTag):
            decrypt_resource(resource, generate_apiv3_key())
        with pytest.raises(InvalidTag):
            decrypt_resource(dict(resource, associated_data='refund'), sandbox.config.apiv3_key)
        assert notification['deliveries'][0]['received'] is True

    def test_failing_answer_is_recorded_and_redelivery_is_signed_afresh(
            self, sandbox, pay_client, payer, receiver):
        receiver.status = 500
        receiver.body = '{"code":"FAIL","message":"失败"}'.encode()
        notification = _paid_order(sandbox, pay_client, payer, receiver)
        [delivery] = notification['deliveries']
        assert delivery['received'] is False and delivery['status'] == 500
        assert json.loads(delivery['body']) == {'code': 'FAIL', 'message': '失败'}
        receiver.status, receiver.body = 204, b''
        again = requests.post(sandbox.url + '/sandbox/wechatpay/redeliver',
                              json={'id': notification['id']}).json()
        assert again['received'] is True and again['status'] == 204
        first, second = receiver.requests
        assert first['body'] == second['body']
        assert first['headers']['Wechatpay-Nonce'] != second['headers']['Wechatpay-Nonce']
        assert pay_client.verify_signed(second['headers'], second['body'])
        probe = requests.post(sandbox.url + '/sandbox/wechatpay/redeliver',
                              json={'id': notification['id'], 'probe': True}).json()
        assert probe['probe'] is True
        assert not pay_client.verify_signed(receiver.requests[-1]['headers'], second['body'])
        record = requests.get(sandbox.url + '/sandbox/wechatpay/notifications').json()
        assert [d['status'] for d in record['notifications'][0]['deliveries']] == [500, 204, 204]
        assert pay_client.decrypt_notification(second['headers'], second['body'])['trade_state'] \
            == 'SUCCESS'

    def test_refund_cycle(self, sandbox, pay_client, payer, receiver):
        _paid_order(sandbox, pay_client, payer, receiver)
        transaction_id = sandbox.state.transactions['SO20240001']['transaction_id']
        refund = pay_client.refund('RF0001', 500, 990, transaction_id=transaction_id,
                                   notify_url=receiver.url + '/api/wechat_refund_notify')
        assert refund.ok and refund.data['status'] == 'PROCESSING'
        assert refund.data['amount']['refund'] == 500
        too_much = pay_client.refund('RF0002', 500, 990, out_trade_no='SO20240001')
        assert too_much.status == 400 and too_much.data['code'] == 'INVALID_REQUEST'
        wrong_total = pay_client.refund('RF0003', 100, 1990, out_trade_no='SO20240001')
        assert wrong_total.status == 400 and wrong_total.data['code'] == 'PARAM_ERROR'
        repeated = pay_client.refund('RF0001', 500, 990, transaction_id=transaction_id)
        assert repeated.ok and repeated.data['refund_id'] == refund.data['refund_id']

        done = requests.post(sandbox.url + '/sandbox/wechatpay/refund',
                             json={'out_refund_no': 'RF0001'}).json()
        assert done['event_type'] == 'REFUND.SUCCESS' and done['deliveries'][0]['received']
        posted = receiver.requests[-1]
        assert posted['path'] == '/api/wechat_refund_notify'
        resource = json.loads(posted['body'])['resource']
        assert resource['associated_data'] == 'refund'
        settled = decrypt_resource(resource, sandbox.config.apiv3_key)
        assert settled['out_refund_no'] == 'RF0001' and settled['refund_status'] == 'SUCCESS'
        assert settled['amount'] == {'total': 990, 'refund': 500, 'payer_total': 990,
                                     'payer_refund': 500}

    def test_refund_of_an_unpaid_order_is_refused(self, sandbox, pay_client, payer):
        pay_client.jsapi_prepay('汉堡', 'SO20240001', 990, payer, 'https://shop.example/n')
        reply = pay_client.refund('RF0001', 990, 990, out_trade_no='SO20240001')
        assert reply.status == 400 and not reply.ok
        unknown = pay_client.refund('RF0001', 990, 990, out_trade_no='SO404404')
        assert unknown.status == 404


def test_to_fen_accepts_only_whole_fen():
    assert to_fen(990) == 990
    assert to_fen(990.0) == 990
    assert to_fen(9.9 * 100) == 990    # 990.0000000000001
    assert to_fen(0.01 * 100) == 1
    assert to_fen(' 990 ') == 990
    assert to_fen(Decimal('990.00')) == 990
    for fractional in (990.5, '99.5', Decimal('0.1')):
        with pytest.raises(ValueError):
            to_fen(fractional)
    for wrong in (True, None, [990]):
        with pytest.raises(TypeError):
            to_fen(wrong)
    with pytest.raises(ValueError):
        to_fen('abc')


class TestRedelivery:
    def test_unanswered_notification_comes_again_on_the_schedule_until_received(
            self, sandbox, pay_client, payer, receiver):
        requests.post(sandbox.url + '/sandbox/wechatpay/retry_scale', json={'scale': 0.01})
        receiver.status = 500
        notification = _paid_order(sandbox, pay_client, payer, receiver)
        deadline = time.time() + 5
        while len(receiver.requests) < 3 and time.time() < deadline:
            time.sleep(0.02)
        receiver.status = 204           # from the fourth delivery on it is received
        while len(receiver.requests) < 4 and time.time() < deadline:
            time.sleep(0.02)
        time.sleep(1.9)                 # the next step of the schedule (3 min) scaled: 1.8 s
        [record] = requests.get(sandbox.url + '/sandbox/wechatpay/notifications').json()[
            'notifications']
        assert record['id'] == notification['id']
        assert [d['retry'] for d in record['deliveries']] == [0, 1, 2, 3]
        assert [d['received'] for d in record['deliveries']] == [False] * 3 + [True]
        assert len(receiver.requests) == 4
        assert all(pay_client.verify_signed(r['headers'], r['body']) for r in receiver.requests)

    def test_reset_stops_the_redeliveries(self, sandbox, pay_client, payer, receiver):
        requests.post(sandbox.url + '/sandbox/wechatpay/retry_scale', json={'scale': 0.01})
        receiver.status = 503
        _paid_order(sandbox, pay_client, payer, receiver)
        requests.post(sandbox.url + '/sandbox/reset')
        time.sleep(0.5)
        assert len(receiver.requests) == 1


class TestUntrustworthyReplies:
    @pytest.mark.parametrize('alter, problem', [
        ('signature', 'invalid'), ('stale', 'five minutes'), ('charset', 'not UTF-8'),
        ('field', 'without a prepay_id')])
    def test_forged_replies_are_refused(self, sandbox, pay_client, payer, alter, problem):
        requests.post(sandbox.url + '/sandbox/fault',
                      json={'service': 'wechatpay', 'mode': 'forge', 'alter': alter})
        reply = pay_client.jsapi_prepay('汉堡', 'SO20240001', 990, payer, 'https://shop.example/n')
        assert not reply.ok and problem in reply.message
        assert sandbox.state.transactions['SO20240001']['trade_state'] == 'NOTPAY'

    def test_a_refund_reply_without_its_status_is_refused(self, sandbox, pay_client, payer,
                                                          receiver):
        _paid_order(sandbox, pay_client, payer, receiver)
        requests.post(sandbox.url + '/sandbox/fault',
                      json={'service': 'wechatpay', 'mode': 'forge', 'alter': 'field'})
        reply = pay_client.refund('RF0001', 990, 990, out_trade_no='SO20240001')
        assert not reply.ok and 'without a refund status' in reply.message

    def test_without_platform_key_no_request_is_sent(self, sandbox, outbound, payer):
        settings = dict(sandbox.config.host_settings()['wechatpay'], platform_public_key=None)
        client = WechatPayClient(session=outbound, **settings)
        reply = client.jsapi_prepay('汉堡', 'SO20240001', 990, payer, 'https://shop.example/n')
        assert not reply.ok and reply.status == 0
        assert not sandbox.state.transactions

    @pytest.mark.parametrize('mode', ['late_error', 'late_hang'])
    def test_late_faults_take_effect_and_lose_the_reply(self, sandbox, pay_client, payer, mode):
        requests.post(sandbox.url + '/sandbox/fault',
                      json={'service': 'wechatpay', 'mode': mode, 'seconds': 2, 'times': 1})
        pay_client.session.timeout = (2, 0.3)
        reply = pay_client.jsapi_prepay('汉堡', 'SO20240001', 990, payer, 'https://shop.example/n')
        assert not reply.ok and (reply.status == 500 if mode == 'late_error' else reply.status == 0)
        assert 'SO20240001' in sandbox.state.transactions       # the payment was opened
        again = pay_client.jsapi_prepay('汉堡', 'SO20240001', 990, payer, 'https://shop.example/n')
        assert again.ok
        assert again.data['prepay_id'] == sandbox.state.transactions['SO20240001']['prepay_id']


def test_to_fen_refuses_what_is_not_a_finite_int64():
    for absurd in (float('inf'), float('nan'), 1e30, 'inf', 'NaN', Decimal('Infinity'), 2 ** 63):
        with pytest.raises(ValueError):
            to_fen(absurd)


def test_a_payment_cannot_be_made_after_its_time_expire(sandbox, pay_client, payer):
    soon = datetime.datetime.fromtimestamp(time.time() + 60, datetime.timezone(
        datetime.timedelta(hours=8))).isoformat(timespec='seconds')
    assert pay_client.jsapi_prepay('汉堡', 'SO20240001', 990, payer, 'https://shop.example/n',
                                   time_expire=soon).ok
    bad = pay_client.jsapi_prepay('汉堡', 'SO20240002', 990, payer, 'https://shop.example/n',
                                  time_expire='tomorrow')
    assert bad.status == 400 and bad.data['code'] == 'PARAM_ERROR'
    sandbox.state.clock = lambda: time.time() + 120
    late = requests.post(sandbox.url + '/sandbox/wechatpay/confirm',
                         json={'out_trade_no': 'SO20240001'})
    assert late.status_code == 400 and 'CLOSED' in late.json()['error']
