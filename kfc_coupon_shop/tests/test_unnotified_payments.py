"""Settlement's look at payments whose notification never came: asked about once their
deadline has passed, and applied as the notification would have been; in the test's
transaction, against scripted outside services."""
import datetime

from odoo.tests import tagged

from ..services.wechatpay import PayReply
from .test_money_rules import MoneyCase


@tagged('post_install', '-at_install')
class TestUnnotifiedPayments(MoneyCase):

    def opened(self, minutes_ago=6, **values):
        order = self.order(**dict({'state': 'draft'}, **values))
        order.write({'is_paid': False, 'transaction_id': False, 'pay_time': False,
                     'prepay_id': 'wx%d' % order.id})
        self.env.cr.execute("UPDATE sale_order SET create_date = now() at time zone 'utc' - "
                            "%s * interval '1 minute' WHERE id = %s", (minutes_ago, order.id))
        order.invalidate_recordset()
        return order

    def wechat_pay_has(self, order, state='SUCCESS', total=None):
        self.pay.transactions[order.name] = PayReply(200, {
            'appid': self.pay.appid, 'mchid': self.pay.mchid, 'out_trade_no': order.name,
            'transaction_id': 'T-%s' % order.name, 'trade_state': state,
            'success_time': '2026-12-09T10:00:00+08:00',
            'amount': {'total': order._kfc_amount_fen() if total is None else total}})

    def queried(self):
        return [call[1] for call in self.pay.calls if call[0] == 'query_transaction']

    def test_a_payment_found_is_applied_once_and_an_unpaid_one_is_asked_about_once(self):
        paid, unpaid, too_soon = self.opened(), self.opened(), self.opened(minutes_ago=3)
        self.wechat_pay_has(paid)
        self.wechat_pay_has(unpaid, 'NOTPAY')
        self.wechat_pay_has(too_soon)
        self.assertEqual(self.settle()['payments_found'], 1)
        self.settle()
        self.assertEqual(sorted(self.queried()), sorted([paid.name, unpaid.name]))
        self.assertEqual((paid.is_paid, paid.transaction_id, paid.pay_time),
                         (True, 'T-%s' % paid.name, datetime.datetime(2026, 12, 9, 2, 0)))
        self.assertFalse(unpaid.is_paid or too_soon.is_paid)

    def test_a_payment_the_order_can_no_longer_take_goes_back(self):
        cancelled, mismatched = self.opened(state='cancel'), self.opened()
        self.wechat_pay_has(cancelled)
        self.wechat_pay_has(mismatched, total=1)
        self.settle()
        self.assertEqual(sorted(call[:2] for call in self.refunds_asked()), sorted([
            (cancelled._kfc_cancellation_refund_number(), 2050),
            ('RMT-%s' % mismatched.name, 1)]))
        self.assertEqual((cancelled.is_paid, mismatched.is_paid), (True, False))
