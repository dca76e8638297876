"""WeChat Pay through the host functions, against the sandbox's APIv3 service."""
import base64
import json

import pytest
from cryptography.exceptions import InvalidSignature, InvalidTag
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding

from odoo.addons.kfc_coupon_shop.services import runtime
from odoo.addons.kfc_coupon_shop.functions import wx_api_payment, wx_api_refund
from odoo.addons.kfc_coupon_shop.services.wechatpay import decrypt_resource
from kfcsandbox.config import generate_apiv3_key

pytestmark = pytest.mark.standin_only(
    reason='runs host functions in the test process (request_env); Odoo runs them in its workers')


@pytest.fixture
def payer(host):
    return host.control('wechat/authorize', nickname='付款人')['openid']


def _pay(host, openid, amount=990.0, order='SO20240601000001ABCD', description='美食订单'):
    with host.request_env():
        return wx_api_payment(description=description, amount=amount, openid=openid, order=order)


def _verify_pay_sign(host, params):
    key = serialization.load_pem_public_key(host.sandbox.config.merchant_public_key_pem.encode())
    message = '%s\n%s\n%s\n%s\n' % (params['appId'], params['timeStamp'], params['nonceStr'],
                                    params['package'])
    key.verify(base64.b64decode(params['paySign']), message.encode(), padding.PKCS1v15(),
               hashes.SHA256())


class TestPayment:
    def test_prepay_with_signed_page_parameters(self, host, payer):
        reply = _pay(host, payer)
        assert reply['code'] == 200
        data = reply['data']
        assert data['package'] == 'prepay_id=%s' % data['prepay_id']
        assert data['signType'] == 'RSA'
        assert data['appId'] == host.sandbox.config.wechat_appid
        _verify_pay_sign(host, data)
        with pytest.raises(InvalidSignature):
            _verify_pay_sign(host, dict(data, package='prepay_id=wx0'))
        [payment] = host.inspect('wechatpay/payments')['transactions']
        assert payment['total'] == 990 and type(payment['total']) is int
        assert payment['prepay_id'] == data['prepay_id']
        assert payment['notify_url'] == host.url + '/api/wechat_pay_notify'
        json.dumps(reply)

    def test_a_description_of_any_kind_is_sent_as_text(self, host, payer):
        assert _pay(host, payer, description=12345)['code'] == 200
        assert _pay(host, payer, order='SO20240601000002ABCD', description=False)['code'] == 200
        sent = [p['description'] for p in host.inspect('wechatpay/payments')['transactions']]
        assert sent == ['12345', '美食订单']

    @pytest.mark.parametrize('case', ['service error', 'service down', 'amount 0', 'half a fen',
                                      'unknown payer'])
    def test_failures_answer_a_readable_dict(self, host, payer, case):
        if case == 'service error':
            host.control('fault', service='wechatpay', mode='error')
        if case == 'service down':
            host.control('fault', service='wechatpay', mode='http', status=503)
        amount = {'amount 0': 0, 'half a fen': 990.5}.get(case, 990.0)
        reply = _pay(host, 'o-unknown' if case == 'unknown payer' else payer, amount)
        assert reply['code'] != 200
        assert isinstance(reply['message'], str) and reply['message']
        json.dumps(reply)
        assert not host.inspect('wechatpay/payments')['transactions']


def _paid_order(host, price=9.9):
    token = host.login(nickname='退款人')
    order_id = host.create_order(token, paid=[('D3001', price)])
    transaction_id = host.pay(order_id)
    with host.env() as env:
        return env['sale.order'].browse(order_id).name, transaction_id


class TestRefund:
    @pytest.mark.parametrize('amount, refunded', [('990', 990), (990, 990), (' 990 ', 990),
                                                  (False, 990), (None, 990)])
    def test_amounts(self, host, amount, refunded):
        name, transaction_id = _paid_order(host)
        with host.request_env():
            reply = wx_api_refund(out_refund_no='RF' + name, amount=amount,
                                  transaction_id=transaction_id, out_trade_no=name)
        assert reply['code'] == 200, reply
        assert reply['data']['out_refund_no'] == 'RF' + name
        [refund] = host.inspect('wechatpay/payments')['refunds']
        assert (refund['refund'], refund['total'], refund['out_trade_no']) == (refunded, 990, name)
        assert refund['notify_url'] == host.url + '/api/wechat_refund_notify'

    # a customer takes back whole dishes only: 500 fen is part of the one dish
    @pytest.mark.parametrize('amount', ['991', 0, '0', -1, '9.9', 'all', 500])
    def test_amounts_refused(self, host, amount):
        name, transaction_id = _paid_order(host)
        with host.request_env():
            reply = wx_api_refund(out_refund_no='RF' + name, amount=amount,
                                  transaction_id=transaction_id, out_trade_no=name)
        assert reply['code'] != 200 and reply['message']
        assert not host.inspect('wechatpay/payments')['refunds']

    def test_unknown_order_and_refusal_by_wechat_pay(self, host):
        name, transaction_id = _paid_order(host)
        with host.request_env():
            unknown = wx_api_refund(out_refund_no='RF1', amount='100', transaction_id=False,
                                    out_trade_no='SO-NOT-HERE')
            host.control('fault', service='wechatpay', mode='error')
            refused = wx_api_refund(out_refund_no='RF2', amount='990',
                                    transaction_id=transaction_id, out_trade_no=name)
        assert unknown['code'] != 200 and unknown['message']
        assert refused['code'] == 500 and 'SYSTEM_ERROR' in refused['message']
        assert not host.inspect('wechatpay/payments')['refunds']


def _notification(host, kind):
    [notification] = [n for n in host.inspect('wechatpay/notifications')['notifications']
                      if n['kind'] == kind]
    return json.loads(notification['body'])['resource']


class TestNotifications:
    def test_notifications_open_with_the_hosts_apiv3_key_only(self, host):
        name, transaction_id = _paid_order(host)
        with host.request_env():
            wx_api_refund(out_refund_no='RF' + name, amount=False,
                          transaction_id=transaction_id, out_trade_no=name)
        host.control('wechatpay/refund', out_refund_no='RF' + name)
        payment = decrypt_resource(_notification(host, 'transaction'), runtime.settings.apiv3_key)
        assert (payment['out_trade_no'], payment['transaction_id']) == (name, transaction_id)
        assert payment['trade_state'] == 'SUCCESS' and payment['amount']['total'] == 990
        refund = decrypt_resource(_notification(host, 'refund'), runtime.settings.apiv3_key)
        assert refund['out_refund_no'] == 'RF' + name and refund['refund_status'] == 'SUCCESS'
        for kind in ('transaction', 'refund'):
            with pytest.raises(InvalidTag):
                decrypt_resource(_notification(host, kind), generate_apiv3_key())


class TestRepliesFailClosed:
    @pytest.mark.parametrize('alter', ['signature', 'stale', 'charset', 'field'])
    def test_an_untrusted_prepay_reply_is_a_502(self, host, payer, alter):
        host.control('fault', service='wechatpay', mode='forge', alter=alter)
        reply = _pay(host, payer)
        assert reply['code'] == 502, reply
        assert reply['message'].startswith('WeChat Pay')
        assert 'prepay_id' not in json.dumps(reply.get('data') or {})

    def test_without_platform_key_or_serial_nothing_is_sent(self, host, payer, monkeypatch):
        for missing in ('platform_serial', '_platform_key'):
            with monkeypatch.context() as patch:
                patch.setattr(runtime.wechatpay, missing, None)
                reply = _pay(host, payer)
            assert reply['code'] == 502 and 'not configured' in reply['message']
        assert not host.inspect('wechatpay/payments')['transactions']
        assert _pay(host, payer)['code'] == 200

    def test_a_refund_reply_without_status_is_not_a_success(self, host):
        name, transaction_id = _paid_order(host)
        host.control('fault', service='wechatpay', mode='forge', alter='field')
        with host.request_env():
            reply = wx_api_refund(out_refund_no='RF' + name, amount=False,
                                  transaction_id=transaction_id, out_trade_no=name)
        assert reply['code'] != 200


class TestAbsurdAmounts:
    AMOUNTS = [float('inf'), float('-inf'), float('nan'), 1e30, -990.0, -1, 'inf', 'NaN',
               '1e30', 10 ** 30]

    @pytest.mark.parametrize('amount', AMOUNTS)
    def test_payment_refuses(self, host, payer, amount):
        reply = _pay(host, payer, amount=amount)
        assert reply['code'] == 400 and reply['message']
        json.dumps(reply)

    def test_refund_refuses(self, host):
        name, transaction_id = _paid_order(host)
        with host.request_env():
            replies = [wx_api_refund(out_refund_no='RF' + name, amount=amount,
                                     transaction_id=transaction_id, out_trade_no=name)
                       for amount in self.AMOUNTS]
        assert all(reply['code'] == 400 and reply['message'] for reply in replies), replies
        assert not host.inspect('wechatpay/payments')['refunds']


class TestNotifyAddress:
    def test_outside_the_sandbox_only_https_will_do(self, host, payer, monkeypatch):
        name, transaction_id = _paid_order(host)
        monkeypatch.setattr(runtime.settings, 'sandbox', False)
        reply = _pay(host, payer)
        assert reply['code'] == 400 and 'https' in reply['message']
        with host.request_env():
            refund = wx_api_refund(out_refund_no='RF' + name, amount=False,
                                   transaction_id=transaction_id, out_trade_no=name)
        assert refund['code'] == 400 and 'https' in refund['message']
        payments = host.inspect('wechatpay/payments')
        assert len(payments['transactions']) == 1 and not payments['refunds']
        monkeypatch.setattr(runtime.settings, 'public_url', 'https://shop.example')
        assert _pay(host, payer)['code'] == 200
        payment = host.inspect('wechatpay/payments')['transactions'][-1]
        assert payment['notify_url'] == 'https://shop.example/api/wechat_pay_notify'
