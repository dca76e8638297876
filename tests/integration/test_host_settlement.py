"""Unclear outcomes, requests run again, and the settlement that closes what they left open:
host functions against the sandbox, whose faults lose a reply after the work was done."""
import datetime
import subprocess
import sys
import threading
import time

import pytest
from werkzeug.test import EnvironBuilder

from odoo.addons.kfc_coupon_shop.services import runtime
from odoo.addons.kfc_coupon_shop.functions import create_kfc_order, get_error_message, order_fail_push, wx_api_refund
from kfchost.http import transaction
from kfchost.http.request import HTTPRequest, Request, _request_stack
from kfchost.orm import api
from kfchost.orm.sql_db import ConcurrencyFailure

pytestmark = pytest.mark.standin_only(
    reason='runs host functions and the settlement in the test process; Odoo runs them in its workers')

DETAIL_PATH = '/Core.asmx/KFC_Auto_UpdateOrderDetail'
REFUNDS_PATH = '/v3/refund/domestic/refunds'


def _lines(host, order_id):
    with host.env() as env:
        return [(l.detail_state, l.uuid) for l in env['sale.order'].browse(order_id).line_ids]


def _refunds(host):
    return host.inspect('wechatpay/payments')['refunds']


def _place(host, order_id):
    with host.request_env() as env:
        create_kfc_order(env['sale.order'].browse(order_id))


def _settle(host):
    """One settlement run, once every refund in progress is due for its follow-up."""
    with host.env() as env:
        env['sale.refund.order'].search([('state', '=', 'draft')]).write(
            {'next_attempt_at': False})
    with host.env() as env:
        return env['sale.order']._kfc_settle()


def run_with_a_rerun(host, monkeypatch, func):
    """Run func(env) as a request whose first try fails after its outbound calls (a lost race
    for the write lock) and that the HTTP layer then runs again."""
    monkeypatch.setattr(transaction, 'retry_wait', lambda tryno: 0)
    tries = []

    def attempt(cr):
        httprequest = HTTPRequest(EnvironBuilder(method='POST', path='/api/test').get_environ())
        req = Request(httprequest, host.registry)
        req.env = api.Environment(cr)
        _request_stack.push(req)
        try:
            func(req.env)
        finally:
            _request_stack.pop()
        tries.append(len(tries) + 1)
        if len(tries) == 1:
            raise ConcurrencyFailure('database is locked')
    transaction.retrying(attempt, host.registry)
    assert tries == [1, 2]


class TestUnclearPlacement:
    @pytest.mark.parametrize('mode', ['late_error', 'late_hang'])
    def test_a_lost_detail_reply_keeps_the_dish_waiting(self, host, paid_order, mode,
                                                         monkeypatch):
        monkeypatch.setattr(runtime.requests, 'timeout', (2, 0.5))
        host.control('fault', service='coupon', mode=mode, seconds=1.5, path=DETAIL_PATH)
        _place(host, paid_order)
        lines = _lines(host, paid_order)
        orders = {o['uuid']: o for o in host.inspect('coupon/orders')['orders']}
        assert [state for state, _ in lines] == ['wait'] * 3
        assert all(orders[uuid]['status'] == 'submitted' for _, uuid in lines)
        assert not _refunds(host)

    def test_a_failed_order_entry_fails_the_dish_at_once(self, host, paid_order):
        host.control('fault', service='coupon', mode='http', status=502, path='/kfcautoorder')
        _place(host, paid_order)
        assert [state for state, uuid in _lines(host, paid_order)] == ['fail'] * 3
        assert len(_refunds(host)) == 2


class TestUnclearRefund:
    def test_a_lost_refund_reply_is_in_progress_until_settled(self, host, paid_order):
        host.control('fault', service='wechatpay', mode='late_error', path=REFUNDS_PATH, times=1)
        with host.request_env() as env:
            order = env['sale.order'].browse(paid_order)
            order_fail_push(rec=order.line_ids[0], sale_order_id=order)
            refund = env['sale.refund.order'].search([('line_ids', 'in', order.line_ids[0].id)])
            assert (refund.state, refund.amount) == ('draft', 9.9)
            assert get_error_message(order.line_ids[0]) == '出餐失败，退款处理中'
            name = refund.name
        [sent] = _refunds(host)
        assert sent['out_refund_no'] == name and sent['status'] == 'PROCESSING'
        assert _settle(host)['refunds_settled'] == 0          # WeChat Pay: still PROCESSING
        host.control('wechatpay/refund', out_refund_no=name, deliveries=0)   # notification lost
        assert _settle(host)['refunds_settled'] == 1
        with host.env() as env:
            assert env['sale.refund.order'].search([('name', '=', name)]).state == 'done'

    def test_a_refund_that_never_arrived_is_asked_again_once(self, host, paid_order):
        host.control('fault', service='wechatpay', mode='error', path=REFUNDS_PATH, times=1)
        with host.request_env() as env:
            order = env['sale.order'].browse(paid_order)
            order_fail_push(rec=order.line_ids[1], sale_order_id=order)
        assert not _refunds(host)
        _settle(host)
        _settle(host)
        [sent] = _refunds(host)
        assert (sent['refund'], sent['total']) == (1990, 2980)

    def test_a_refused_refund_is_recorded_as_refused(self, host, paid_order):
        host.control('fault', service='wechatpay', mode='http', status=400, path=REFUNDS_PATH)
        with host.request_env() as env:
            order = env['sale.order'].browse(paid_order)
            reply = wx_api_refund(out_refund_no='RF-ASKED-1', amount='990',
                                  transaction_id=order.transaction_id, out_trade_no=order.name)
            refund = env['sale.refund.order'].search([('name', '=', 'RF-ASKED-1')])
            assert reply['code'] == 400
            assert (refund.state, refund.amount, refund.sale_order_id) == ('fail', 9.9, order)
            assert refund.failure_reason and not order.line_ids[0].detail_state


class TestRerun:
    def test_placing_again_places_each_dish_once(self, host, paid_order, monkeypatch):
        run_with_a_rerun(host, monkeypatch,
                         lambda env: create_kfc_order(env['sale.order'].browse(paid_order)))
        lines = _lines(host, paid_order)
        assert [state for state, _ in lines] == ['wait'] * 3
        assert len(host.inspect('coupon/orders')['orders']) == 3
        assert not _refunds(host)

    def test_refunding_again_refunds_once(self, host, paid_order, monkeypatch):
        def fail_a_dish(env):
            order = env['sale.order'].browse(paid_order)
            order_fail_push(rec=order.line_ids[0], sale_order_id=order)
        run_with_a_rerun(host, monkeypatch, fail_a_dish)
        [sent] = _refunds(host)
        with host.env() as env:
            [refund] = env['sale.refund.order'].search([])
            order = env['sale.order'].browse(paid_order)
            assert refund.name == sent['out_refund_no'] == '%sR%d' % (order.name,
                                                                      order.line_ids[0].id)


class TestNothingDeliveredIsRefunded:
    def test_cancelled_and_delivered_dishes_are_not_refunded(self, host, paid_order):
        with host.env() as env:
            cola, burger, coupon = env['sale.order'].browse(paid_order).line_ids
            cola.detail_state = 'cancel'
            burger.write({'detail_state': 'success', 'pick_code': 'A1001'})
            coupon.write({'detail_state': 'success', 'pick_code': 'A1002'})
        with host.request_env() as env:
            order = env['sale.order'].browse(paid_order)
            for line in order.line_ids:
                order_fail_push(rec=line, sale_order_id=order)
                order_fail_push(rec=line, sale_order_id=order)
            assert order.line_ids.mapped('detail_state') == ['cancel', 'fail', 'fail']
            assert order.line_ids[2].coupon_ids.state == 'done'
            assert get_error_message(order.line_ids[1]) == '出餐失败'
            assert not env['sale.refund.order'].search([])
        assert not _refunds(host)

    def test_an_unpaid_dish_is_not_refunded(self, host):
        token = host.login()
        order_id = host.create_order(token, paid=[('D3001', 9.9)])
        with host.request_env() as env:
            order = env['sale.order'].browse(order_id)
            order_fail_push(rec=order.line_ids, sale_order_id=order)
            assert order.line_ids.detail_state == 'fail'
            assert not env['sale.refund.order'].search([])


class TestRefundOfOneOrder:
    def test_another_orders_transaction_is_refused(self, host, paid_order):
        token = host.login(nickname='别人')
        other = host.create_order(token, paid=[('D3001', 9.9), ('B1002', 19.9)])  # same total
        foreign = host.pay(other)
        with host.request_env() as env:
            order = env['sale.order'].browse(paid_order)
            reply = wx_api_refund(out_refund_no='RF-X', amount='100', transaction_id=foreign,
                                  out_trade_no=order.name)
        assert reply['code'] == 400
        assert not _refunds(host)

    def test_concurrent_refunds_wait_for_each_other(self, host, paid_order, monkeypatch):
        monkeypatch.setattr(transaction, 'retry_wait', lambda tryno: 0.05 * tryno)
        with host.env() as env:
            order = env['sale.order'].browse(paid_order)
            name, transaction_id = order.name, order.transaction_id
        replies = {}

        def refund_all(number):
            def attempt(cr):
                req = Request(HTTPRequest(EnvironBuilder(method='POST', path='/api/t')
                                          .get_environ()), host.registry)
                req.env = api.Environment(cr)
                _request_stack.push(req)
                try:
                    replies[number] = wx_api_refund(out_refund_no=number, amount=False,
                                                    transaction_id=transaction_id,
                                                    out_trade_no=name)
                    time.sleep(0.3)         # hold the order's lock while the other comes
                finally:
                    _request_stack.pop()
            transaction.retrying(attempt, host.registry)
        threads = [threading.Thread(target=refund_all, args=(n,)) for n in ('RF-1', 'RF-2')]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(30)
        assert sorted(reply["code"] for reply in replies.values()) == [200, 400]
        asked = [r for r in host.inspect('requests')['requests'] if r['path'] == REFUNDS_PATH]
        assert len(asked) == 1          # the second was refused here, on the first one's sums
        [sent] = _refunds(host)
        assert (sent['refund'], sent['total']) == (2980, 2980)
        with host.env() as env:
            [recorded] = env['sale.refund.order'].search([('amount', '>', 0)])
            assert recorded.name == sent['out_refund_no']

    def test_refunds_in_progress_count_against_the_payment(self, host, paid_order):
        host.control('fault', service='wechatpay', mode='error', path=REFUNDS_PATH, times=1)
        with host.request_env() as env:
            order = env['sale.order'].browse(paid_order)
            unclear = wx_api_refund(out_refund_no='RF-A', amount=False,
                                    transaction_id=order.transaction_id, out_trade_no=order.name)
            again = wx_api_refund(out_refund_no='RF-B', amount='1',
                                  transaction_id=order.transaction_id, out_trade_no=order.name)
            stamped = order.refund_stamp
        assert unclear['code'] == 500 and again['code'] == 400
        assert stamped
        assert not _refunds(host)
        with host.env() as env:
            assert env['sale.refund.order'].search([('name', '=', 'RF-A')]).state == 'draft'


class TestSettlement:
    def _age(self, host, order_id, **values):
        with host.env() as env:
            env['sale.order'].browse(order_id).write(values)

    def test_paid_drafts_are_placed_a_minute_after_payment(self, host, paid_order):
        token = host.login(nickname='刚付款')
        recent = host.create_order(token, paid=[('D3001', 9.9)])
        host.pay(recent)
        now = datetime.datetime.utcnow().replace(microsecond=0)
        self._age(host, paid_order, state='draft', pay_time=now - datetime.timedelta(minutes=2))
        self._age(host, recent, state='draft', pay_time=now)
        assert _settle(host)['orders_placed'] == 1
        assert [state for state, _ in _lines(host, paid_order)] == ['wait'] * 3
        assert _lines(host, recent) == [(False, False)]
        with host.env() as env:
            assert env['sale.order'].browse(recent).state == 'draft'
        assert _settle(host)['orders_placed'] == 0
        assert len(host.inspect('coupon/orders')['orders']) == 3

    def test_orders_paid_after_cancellation_are_refunded_once(self, host, paid_order):
        self._age(host, paid_order, state='cancel')
        with host.env() as env:
            name = env['sale.order'].browse(paid_order).name
        assert _settle(host)['cancelled_refunded'] == 1
        assert _settle(host)['cancelled_refunded'] == 0
        [sent] = _refunds(host)
        assert (sent['out_refund_no'], sent['refund'], sent['total']) == (name + 'C', 2980, 2980)

    def test_the_command_line_settles(self, host, paid_order):
        self._age(host, paid_order, state='cancel')
        done = subprocess.run(
            [sys.executable, '-m', 'kfchost', 'settle', '--sandbox-url', host.sandbox.url,
             '--db', host.registry.db_path],
            capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        assert 'cancelled_refunded=1' in done.stdout
        assert len(_refunds(host)) == 1


class TestPaymentDeadline:
    def test_the_payment_expires_with_the_order(self, host):
        token = host.login(nickname='限时')
        order_id = host.create_order(token, paid=[('D3001', 9.9)])
        late = host.create_order(token, paid=[('D3001', 9.9)])
        host.pay(order_id)
        [payment] = host.inspect('wechatpay/payments')['transactions']
        with host.env() as env:
            created = env['sale.order'].browse(order_id).create_date
            env['sale.order'].browse(late).create_date = created - datetime.timedelta(minutes=6)
        deadline = created.replace(tzinfo=datetime.timezone.utc) + datetime.timedelta(minutes=5)
        assert payment['time_expire'] == int(deadline.timestamp())
        with pytest.raises(AssertionError, match='支付期限'):
            host.pay(late)
