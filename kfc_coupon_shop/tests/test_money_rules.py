"""The rules on the money paths, run whole in the test's transaction against scripted outside
services: placement, failed dishes, refunds and the settlement's passes."""
import datetime

from odoo import SUPERUSER_ID, api, fields
from odoo.tests import TransactionCase, tagged

from ..services import runtime
from ..services.wechatpay import PayReply
from .scripted import ScriptedBackend, ScriptedPay, in_one_transaction, paid_order

TIMED_OUT = PayReply(0, None, 'WeChat Pay unreachable: ReadTimeout')
NOT_FOUND = PayReply(404, {'code': 'RESOURCE_NOT_EXISTS'}, 'RESOURCE_NOT_EXISTS: 退款单不存在')
TOO_MANY = PayReply(429, {'code': 'FREQUENCY_LIMITED'}, 'FREQUENCY_LIMITED: 频率超限')
REFUSED = PayReply(400, {'code': 'INVALID_REQUEST'}, 'INVALID_REQUEST: 请求参数不符合要求')


class MoneyCase(TransactionCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        env = cls.env
        cls.customer = env['kfc.user'].create({'openid': 'o-money-1', 'token': 'tok-money-1'})
        cls.fries = env['kfc.product'].create({'name': '薯条(中)', 'link_id': 'S2001',
                                               'unit_price': 11.5})
        cls.cola = env['kfc.product'].create({'name': '可乐(中)', 'link_id': 'D3001',
                                              'unit_price': 9.0})

    def setUp(self):
        super().setUp()
        self.pay, self.backend = ScriptedPay(), ScriptedBackend()
        self.services = in_one_transaction(self.pay, self.backend)

    def order(self, *dishes, **values):
        return paid_order(self.env, self.customer, *(dishes or (self.fries, self.cola)), **values)

    def refunds_asked(self):
        return [call[1:] for call in self.pay.calls if call[0] == 'refund']

    def settle(self):
        """One settlement run, with every refund in progress due."""
        self.env['sale.refund.order'].search([('state', '=', 'draft')]).next_attempt_at = False
        return self.env['sale.order']._kfc_settle(self.services)


@tagged('post_install', '-at_install')
class TestPlacement(MoneyCase):

    def test_each_dish_is_handed_over_once_under_its_own_number(self):
        order = self.order()
        order._kfc_place(self.services)
        order._kfc_place(self.services)
        self.assertEqual(self.backend.calls, [order._kfc_line_number(line)
                                              for line in order.line_ids])
        self.assertEqual(order.line_ids.mapped('detail_state'), ['wait', 'wait'])
        self.assertFalse(any(order.line_ids.mapped('placing_since')))

    def test_a_refused_dish_fails_once_and_its_price_goes_back(self):
        order = self.order()
        self.backend.refusing.add(order._kfc_line_number(order.line_ids[0]))
        order._kfc_place(self.services)
        order.line_ids[0]._kfc_fail(self.services)         # a later poll sees it again
        self.assertEqual(order.line_ids.mapped('detail_state'), ['fail', 'wait'])
        self.assertEqual(self.refunds_asked(), [
            (order._kfc_dish_refund_number(order.line_ids[0]), 1150, 2050, '出餐失败')])
        self.assertIn('门店繁忙', order.line_ids[0]._kfc_error_message())

    def test_settlement_places_what_a_crash_left_and_only_that(self):
        crashed = self.order()                  # committed "paid", placement never ran
        claimed = self.order()
        claimed.line_ids.placing_since = fields.Datetime.now() - datetime.timedelta(minutes=5)
        under_way = self.order()
        under_way.line_ids.placing_since = fields.Datetime.now()
        self.assertEqual(self.settle()['orders_placed'], 2)
        self.assertEqual(self.settle()['orders_placed'], 0)
        self.assertEqual(sorted(self.backend.calls), sorted(
            order._kfc_line_number(line) for order in (crashed, claimed) for line in order.line_ids))
        self.assertEqual(under_way.line_ids.mapped('detail_state'), [False, False])


@tagged('post_install', '-at_install')
class TestRefunds(MoneyCase):

    def test_a_customer_takes_back_only_what_the_kitchen_never_got(self):
        order = self.order(self.fries, self.cola, self.fries)
        order.line_ids[0].write({'uuid': 'uuid-1', 'detail_state': 'wait'})
        # 11.50 is the price of a dish, but not of the first one the kitchen never got
        self.assertEqual(order._kfc_customer_refund('1150', services=self.services)['code'], 400)
        self.assertEqual(order._kfc_customer_refund(services=self.services)['code'], 200)
        self.assertEqual([call[1] for call in self.refunds_asked()], [900 + 1150])
        self.assertEqual(order.line_ids.mapped('detail_state'), ['wait', 'cancel', 'cancel'])
        self.assertEqual(order.state, 'paid')           # the first dish is still to come
        self.assertEqual(order._kfc_customer_refund(services=self.services)['code'], 400)

    def test_a_delivered_dish_goes_back_only_by_a_staff_decision_with_a_reason(self):
        order = self.order()
        delivered = order.line_ids[0]
        delivered.write({'uuid': 'uuid-1', 'detail_state': 'success', 'pick_code': 'A1001'})
        self.assertEqual(order._kfc_customer_refund(services=self.services)['code'], 200)
        self.assertEqual(order._kfc_staff_refund(delivered, services=self.services)['code'], 400)
        reply = order._kfc_staff_refund(delivered, reason='顾客投诉', services=self.services)
        self.assertEqual(reply['code'], 200)
        self.assertEqual(self.refunds_asked()[-1][1:], (1150, 2050, '顾客投诉'))
        self.assertEqual(delivered.detail_state, 'success')
        self.assertEqual(order.refund_ids.sorted('id')[-1].line_ids, delivered)
        self.assertEqual(order._kfc_refund_left_fen(), 0)
        self.assertEqual(order._kfc_staff_refund(delivered, reason='再退一次',
                                                 services=self.services)['code'], 400)

    def test_a_definite_refusal_gives_the_dishes_back_to_the_kitchen(self):
        order = self.order(self.cola, state='draft')
        self.pay.answer('refund', REFUSED)
        self.assertEqual(order._kfc_customer_refund(services=self.services)['code'], 400)
        refund = order.refund_ids
        self.assertEqual((refund.state, order.state, order.line_ids.detail_state),
                         ('fail', 'draft', False))
        self.assertIn('INVALID_REQUEST', refund.failure_reason)

    def test_an_unclear_refund_is_in_progress_until_a_query_settles_it(self):
        order = self.order()
        self.pay.answer('refund', TIMED_OUT)
        self.assertEqual(order._kfc_customer_refund(services=self.services)['code'], 502)
        refund = order.refund_ids
        self.assertEqual(refund.state, 'draft')
        self.pay.answer('query_refund', NOT_FOUND)      # WeChat Pay never got it: ask again
        self.assertEqual(self.settle()['refunds_settled'], 0)
        self.pay.answer('query_refund', PayReply(200, {'status': 'SUCCESS'}))
        self.assertEqual(self.settle()['refunds_settled'], 1)
        self.assertEqual([call[0] for call in self.refunds_asked()], [refund.name] * 2)
        self.assertEqual(refund.state, 'done')

    def test_a_refund_wechat_pay_will_not_take_fails_for_the_staff_after_three_days(self):
        order = self.order(self.cola)
        self.pay.answer('refund', TOO_MANY)
        order._kfc_customer_refund(services=self.services)
        refund = order.refund_ids
        self.pay.answer('query_refund', NOT_FOUND, PayReply(503, {}, 'HTTP 503'))
        self.pay.answer('refund', TOO_MANY)
        self.settle()                                   # asked again: not now
        self.settle()                                   # the query fails: nothing changes
        self.assertEqual((refund.state, refund.attempts), ('draft', 2))
        self.env.cr.execute("UPDATE sale_refund_order SET create_date = create_date - "
                            "interval '4 days' WHERE id = %s", (refund.id,))
        refund.invalidate_recordset()
        self.pay.answer('query_refund', NOT_FOUND)
        self.settle()
        self.assertEqual(refund.state, 'fail')
        self.assertIn('3 days', refund.failure_reason)
        self.assertEqual(order.line_ids.detail_state, 'cancel')     # no dish cooked days later

    def test_settlement_refunds_an_order_paid_after_its_cancellation_once(self):
        order = self.order(state='cancel')
        self.settle()
        self.settle()
        self.assertEqual(self.refunds_asked(), [
            (order._kfc_cancellation_refund_number(), 2050, 2050, '订单已取消')])


@tagged('post_install', '-at_install')
class TestSettlementItemByItem(TransactionCase):
    """Real transactions (committed, then removed): a row another transaction holds is left to
    the next run, and the others are settled all the same."""

    def test_settlement_goes_on_past_a_row_another_transaction_holds(self):
        with self.registry.cursor() as cr:
            env = api.Environment(cr, SUPERUSER_ID, {})
            customer = env['kfc.user'].create({'openid': 'o-money-held'})
            dish = env['kfc.product'].create({'name': '蛋挞', 'unit_price': 7.0})
            orders = [paid_order(env, customer, dish) for _ in range(2)]
            refunds = [order._kfc_open_refund(700, order.line_ids) for order in orders]
            refunds[0].next_attempt_at = refunds[1].next_attempt_at = False
            ids = {'order': [o.id for o in orders], 'refund': [r.id for r in refunds],
                   'user': customer.id, 'dish': dish.id}
            names = refunds[0].name, refunds[1].name
        try:
            pay = ScriptedPay()
            pay.answer('query_refund', PayReply(200, {'status': 'SUCCESS'}))
            services = runtime.Services(wechatpay=pay, sandbox=True)
            with self.registry.cursor() as holder, self.registry.cursor() as cr:
                holder.execute('SELECT id FROM sale_refund_order WHERE id = %s FOR UPDATE',
                               (ids['refund'][0],))
                env = api.Environment(cr, SUPERUSER_ID, {})
                settled = env['sale.refund.order']._kfc_settle_in_progress(services)
                states = env['sale.refund.order'].browse(ids['refund']).mapped('state')
            self.assertEqual((settled, states), (1, ['draft', 'done']))
            self.assertEqual(pay.calls, [('query_refund', names[1])])
        finally:
            with self.registry.cursor() as cr:
                env = api.Environment(cr, SUPERUSER_ID, {})
                env['sale.refund.order'].browse(ids['refund']).unlink()
                env['sale.order'].browse(ids['order']).unlink()
                env['kfc.product'].browse(ids['dish']).unlink()
                env['kfc.user'].browse(ids['user']).unlink()
