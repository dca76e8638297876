"""The counter's kanban and the manager's dashboard, against orders counted by hand."""
from datetime import timedelta

from odoo import Command, fields
from odoo.tests import tagged

from .common import ShopCase


@tagged('post_install', '-at_install')
class TestCounterAndDashboard(ShopCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.now = now = fields.Datetime.now()

        def order(lines, **values):
            values = dict({'store_name': '人民广场店', 'kfc_user_id': cls.customer.id,
                           'is_paid': True, 'state': 'paid',
                           'pay_time': now - timedelta(minutes=20)}, **values)
            values['line_ids'] = [Command.create(dict(product_id=cls.fries.id, unit_price=11.5,
                                                      **line)) for line in lines]
            return cls.env['sale.order'].create(values)
        # ShopCase's order (36.00, paid): a code ready, a dish failed, a refund in progress.
        cls.unplaced = order([{}])
        cls.cooking = order([{'detail_state': 'wait', 'uuid': 'u-3',
                              'placed_at': now - timedelta(minutes=42)},
                             {'placing_since': now - timedelta(minutes=3)}])
        cls.failed = order([{'detail_state': 'fail', 'uuid': 'u-5'}], state='fail')
        cls.unpaid = order([{}], is_paid=False, state='draft')
        yesterday = order([{'detail_state': 'fail', 'uuid': 'u-6'}], state='fail')
        cls.env.cr.execute('UPDATE sale_order SET create_date = %s WHERE id = %s',
                           (now - timedelta(days=1), yesterday.id))
        Refund = cls.env['sale.refund.order']
        for state in ('done', 'fail'):
            Refund.create({'sale_order_id': cls.failed.id, 'kfc_user_id': cls.customer.id,
                           'amount': 11.5, 'state': state})
        cls.last_run = cls.env['kfc.settlement.run'].create({'user_id': cls.manager.id})
        cls.env['kfc.reconciliation'].create({'day': '2026-11-30', 'state': 'done'})
        cls.env.invalidate_all()

    def test_each_paid_order_stands_in_the_column_of_the_work_it_waits_for(self):
        expected = {self.unplaced: 'paid', self.cooking: 'kitchen', self.order: 'ready',
                    self.failed: 'failed', self.unpaid: False}
        for order, state in expected.items():
            self.assertEqual(order.counter_state, state, order.name)
        # every column is shown, even empty
        groups = self.env['sale.order'].read_group(
            [('id', '=', self.unplaced.id)], ['counter_state'], ['counter_state'])
        self.assertEqual([g['counter_state'] for g in groups],
                         ['paid', 'kitchen', 'ready', 'failed'])

    def test_a_card_shows_the_dishes_codes_phone_and_wait(self):
        card = self.cooking.with_user(self.staff)
        self.assertEqual(card.counter_dishes.splitlines(),
                         ['薯条(中)  in the kitchen', '薯条(中)  being handed over'])
        self.assertEqual(card.phone_tail, '0000')
        self.assertIn(card.waiting_minutes, (20, 21))
        self.assertIn('A1001', self.order.counter_dishes)
        self.assertEqual(self.order.waiting_minutes, 0)     # its codes are ready

    def test_the_dashboard_counts_today_and_each_figure_opens_what_it_counts(self):
        board = self.env.ref('kfc_coupon_shop.kfc_dashboard_shop').with_user(self.manager)
        self.assertEqual(
            (board.order_count, board.paid_amount, board.refund_count, board.refund_amount,
             board.failed_count, board.waiting_count, board.claimed_count),
            (4, 82.0, 2, 47.5, 2, 1, 1))
        self.assertIn(board.oldest_wait_minutes, (42, 43))
        self.assertEqual((board.settlement_run_id, board.settlement_state),
                         (self.last_run, 'queued'))
        self.assertEqual((str(board.reconciliation_id.day), board.reconciliation_open),
                         ('2026-12-08', 1))
        for figure, method in (('order_count', 'action_open_orders'),
                               ('refund_count', 'action_open_refunds'),
                               ('failed_count', 'action_open_failed'),
                               ('waiting_count', 'action_open_waiting'),
                               ('claimed_count', 'action_open_claimed')):
            action = getattr(board, method)()
            found = self.env[action['res_model']].with_user(self.manager).search_count(
                action['domain'])
            self.assertEqual(found, board[figure], method)
        self.assertEqual(board.action_open_reconciliation()['res_id'], board.reconciliation_id.id)
