"""The books' rules: each breach found, with the records concerned; sound books report none."""
import datetime

from odoo import fields
from odoo.tests import tagged

from .test_money_rules import MoneyCase


@tagged('post_install', '-at_install')
class TestBooks(MoneyCase):

    def breaches(self, outside=None):
        return {breach['rule']: breach['records']
                for breach in self.env['kfc.books']._kfc_breaches(outside or {})}

    def test_sound_books_hold(self):
        order = self.order()
        order._kfc_place(self.services)
        order.line_ids[0].detail_state = 'fail'
        order.line_ids[0]._kfc_refund(self.services)
        outside = {'payments': [{'transaction_id': order.transaction_id, 'total': 2050,
                                 'trade_state': 'SUCCESS', 'out_trade_no': order.name}],
                   'refunds': [{'transaction_id': order.transaction_id, 'refund': 1150,
                                'status': 'PROCESSING'}],
                   'backend_orders': [{'entry': {'orderno': number}}
                                      for number in self.backend.calls]}
        self.assertEqual(self.breaches(outside), {})
        self.assertEqual(self.env['kfc.books']._kfc_report(outside), 'the books hold')

    def test_each_breach_names_its_records(self):
        failed = self.order()
        failed.line_ids[0].detail_state = 'fail'                    # never refunded
        coupon = self.env['kfc.coupon'].create({'name': '券', 'code': 'C1', 'state': 'done',
                                                'product_id': self.fries.id})
        for _ in range(2):                                          # one coupon, two dishes
            self.order((self.fries, coupon))
        late = self.order(self.cola)
        late.pay_time = fields.Datetime.now() - datetime.timedelta(hours=1)
        refund = late._kfc_open_refund(2000)                        # beyond its 9.00
        refund.next_attempt_at = fields.Datetime.now() - datetime.timedelta(hours=1)
        outside = {'payments': [{'transaction_id': '4200000000000000000000000001',
                                 'total': 990, 'trade_state': 'SUCCESS', 'out_trade_no': 'SOX'}],
                   'backend_orders': [{'entry': {'orderno': 'SO1L1'}}] * 2}
        found = self.breaches(outside)
        self.assertEqual(found['paid dishes neither with the kitchen nor refunded'],
                         ['sale.order.line,%d (%s)' % (line.id, line.display_name)
                          for line in failed.line_ids[0]])
        self.assertEqual(found['a payment the shop neither serves nor gave back'],
                         ['SOX (4200000000000000000000000001)'])
        self.assertEqual(found['dishes with two back-end orders'], ['SO1L1'])
        self.assertEqual(len(found['spent coupons not on exactly one dish']), 1)
        self.assertIn(refund.name, found['refunds beyond their payment %s'
                                         % late.transaction_id][0])
        self.assertEqual(len(found['paid dishes still not handed to the kitchen']), 1)
        self.assertEqual(len(found['refunds in progress not followed up when due']), 1)
        self.assertEqual(len(found), 7)
