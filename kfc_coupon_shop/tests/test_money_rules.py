"""The rules on the money paths, run whole in the test's transaction against scripted outside
services: payment, placement, failed dishes, refunds and the settlement's passes."""
import dataclasses
import datetime
import json

from odoo import SUPERUSER_ID, api, fields
from odoo.tests import TransactionCase, tagged

from ..services import runtime
from ..services.coupon_backend import UnclearOutcome
from ..services.wechatpay import PayReply
from ..tools.kept_records import remove_kept
from .scripted import ENTRY_LOST, REFUSAL, ScriptedBackend, ScriptedPay, in_one_transaction, paid_order

TIMED_OUT = PayReply(0, None, 'WeChat Pay unreachable: ReadTimeout')
NOT_FOUND = PayReply(404, {'code': 'RESOURCE_NOT_EXISTS'}, 'RESOURCE_NOT_EXISTS: 退款单不存在')
TOO_MANY = PayReply(429, {'code': 'FREQUENCY_LIMITED'}, 'FREQUENCY_LIMITED: 频率超限')
REFUSED = PayReply(400, {'code': 'INVALID_REQUEST'}, 'INVALID_REQUEST: 请求参数不符合要求')
SERVICE_ERROR = PayReply(500, {'code': 'SYSTEM_ERROR'}, 'SYSTEM_ERROR: 系统错误')
UNAVAILABLE = PayReply(503, {}, 'WeChat Pay answered HTTP 503')
# A 2xx reply whose signature did not verify: what it says is not to be passed on.
FORGED = PayReply(200, {'prepay_id': 'wx-forged'},
                  'WeChat Pay reply refused: the signature is invalid')
# Amounts no payment or refund can be of.
ABSURD_AMOUNTS = (0, -1, 990.5, float('inf'), float('nan'), 1e30, 10 ** 30, 'inf', 'NaN', 'all',
                  True)


class LostRace(Exception):
    """A transaction that lost a race for a row: rolled back, and run again."""


class Killed(BaseException):
    """The process running the kitchen's dispatcher was killed."""


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

    def coupon(self, dish):
        """A coupon the customer redeemed for ``dish``."""
        return self.env['kfc.coupon'].create({'name': dish.name, 'code': 'RW-MONEY',
                                              'state': 'done', 'kfc_user_id': self.customer.id,
                                              'product_id': dish.id})

    def refunds_asked(self):
        return [call[1:] for call in self.pay.calls if call[0] == 'refund']

    def settle(self):
        """One settlement run, with every refund in progress due."""
        self.env['sale.refund.order'].search([('state', '=', 'draft')]).next_attempt_at = False
        return self.env['sale.order']._kfc_settle(self.services)

    def backdate(self, records, **delta):
        """Move the records' creation back by ``delta`` (timedelta's keywords)."""
        self.env.cr.execute('UPDATE "%s" SET create_date = create_date - %%s WHERE id IN %%s'
                            % records._table, (datetime.timedelta(**delta), tuple(records.ids)))
        records.invalidate_recordset(['create_date'])


def minutes_ago(minutes):
    return fields.Datetime.now() - datetime.timedelta(minutes=minutes)


@tagged('post_install', '-at_install')
class TestPayment(MoneyCase):

    def prepay(self, order, amount=2050, description=False, services=None):
        return self.env['sale.order']._kfc_prepay(order.name, amount, 'o-payer', description,
                                                  services=services or self.services)

    def test_wechat_pay_gets_whole_fen_a_text_and_the_moment_the_order_is_cancelled(self):
        order = self.order(state='draft', is_paid=False)
        replies = [self.prepay(order, 2050.0, 12345), self.prepay(order, ' 2050 ')]
        self.assertEqual([reply['data']['package'] for reply in replies],
                         ['prepay_id=wx' + order.name] * 2)
        cancelled_at = order.create_date + datetime.timedelta(minutes=5, hours=8)   # China time
        self.assertEqual([call[2:4] + call[5:] for call in self.pay.calls], [
            (2050, text, cancelled_at.strftime('%Y-%m-%dT%H:%M:%S+08:00'))
            for text in ('12345', '美食订单')])
        self.backdate(order, minutes=6)
        self.assertEqual(self.prepay(order)['code'], 400)
        self.assertEqual(len(self.pay.calls), 2)

    def test_an_absurd_amount_or_a_failed_call_answers_a_code_and_a_message(self):
        order = self.order(state='draft', is_paid=False)
        for amount in ABSURD_AMOUNTS:
            with self.subTest(amount=amount):
                self.assertEqual(self.prepay(order, amount)['code'], 400)
        self.assertEqual(self.pay.calls, [])
        for reply, code in ((SERVICE_ERROR, 500), (TIMED_OUT, 502), (FORGED, 502)):
            with self.subTest(reply=reply):
                self.pay.answer('prepay', reply)
                answer = self.prepay(order)
                self.assertEqual((answer['code'], answer['message']), (code, reply.message))
                self.assertNotIn('prepay_id', json.dumps(answer))

    def test_outside_the_sandbox_nothing_is_asked_without_an_https_address(self):
        self.patch(runtime, 'settings', dataclasses.replace(runtime.settings, public_url=''))
        params = self.env['ir.config_parameter']
        params.set_param('web.base.url', 'http://shop.example')
        services = dataclasses.replace(self.services, sandbox=False)
        order = self.order(self.cola)
        refused = [self.prepay(order, services=services),
                   order._kfc_customer_refund(services=services)]
        self.assertEqual([reply['code'] for reply in refused], [400, 400])
        self.assertIn('https', refused[0]['message'])
        self.assertEqual((self.pay.calls, order.refund_ids.ids), ([], []))
        params.set_param('web.base.url', 'https://shop.example')
        self.assertEqual(self.prepay(order, services=services)['code'], 200)
        self.assertEqual(self.pay.calls[0][4], 'https://shop.example/api/wechat_pay_notify')


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

    def dispatch(self, budget=60, on_sleep=lambda: None):
        """One run of the kitchen's dispatcher on a clock that only its waits move."""
        now = [0.0]

        def sleep(seconds):
            now[0] += seconds
            on_sleep()
        return self.env['sale.order.line']._kfc_dispatch(
            self.services, budget=budget, clock=lambda: now[0], sleep=sleep)

    def test_the_dispatcher_places_queued_dishes_once_after_a_run_killed_mid_way(self):
        order = self.order()
        order._kfc_queue_for_kitchen()
        order._kfc_queue_for_kitchen()
        self.assertEqual(self.backend.calls, [])        # the request waits for no back-end
        first, second = [order._kfc_line_number(line) for line in order.line_ids]
        self.backend.failing[second] = Killed()
        try:        # not assertRaises, whose savepoint would undo the first dish's result too
            self.dispatch()
        except Killed:
            del self.backend.failing[second]
        self.assertEqual(self.dispatch(), 1)
        self.assertEqual(self.dispatch(), 0)
        self.assertEqual(self.backend.calls, [first, second, second])
        self.assertEqual(order.line_ids.mapped('uuid'), [self.backend.orders[first],
                                                         self.backend.orders[second]])
        self.assertEqual(order.line_ids.mapped('detail_state'), ['wait', 'wait'])
        self.assertFalse(any(order.line_ids.mapped('queued_for_kitchen')))

    def test_a_run_rescans_for_a_wake_up_posted_in_its_first_second(self):
        late = self.order()
        self.assertEqual(self.dispatch(on_sleep=late._kfc_queue_for_kitchen), 2)
        self.assertEqual(late.line_ids.mapped('detail_state'), ['wait', 'wait'])

    def test_a_run_past_its_budget_wakes_itself_again(self):
        self.order()._kfc_queue_for_kitchen()
        cron = self.env.ref('kfc_coupon_shop.ir_cron_hand_over')
        triggers = self.env['ir.cron.trigger'].search_count([('cron_id', '=', cron.id)])
        self.assertEqual(self.dispatch(budget=0), 0)
        self.assertEqual(self.backend.calls, [])
        self.assertEqual(self.env['ir.cron.trigger'].search_count([('cron_id', '=', cron.id)]),
                         triggers + 1)

    def test_the_kitchen_gets_the_dish_its_price_the_store_and_how_it_is_picked_up(self):
        take_away, dine_in = self.order(self.fries), self.order(self.cola, type='0')
        for order in (take_away, dine_in):
            order._kfc_place(self.services)
        sent = [self.backend.dishes[order._kfc_line_number(order.line_ids)]
                for order in (take_away, dine_in)]
        self.assertEqual([dish[:3] + (dish[3]['storecode'], dish[3]['pickupmethod'])
                          for dish in sent], [('薯条(中)', 'S2001', 1150, 'SH3001', 2),
                                              ('可乐(中)', 'D3001', 900, 'SH3001', 1)])

    def test_only_a_refused_dish_fails_and_one_entered_unclearly_is_placed_again(self):
        coupon = self.coupon(self.cola)
        order = self.order(self.fries, (self.cola, coupon), self.cola, remark='少冰')
        refused, lost, unclear = order.line_ids
        lost_number = order._kfc_line_number(lost)
        self.backend.failing.update({
            order._kfc_line_number(refused): REFUSAL,
            lost_number: ENTRY_LOST,                                # taken, its answer lost
            order._kfc_line_number(unclear): UnclearOutcome})       # the detail's answer lost
        order._kfc_place(self.services)
        refused._kfc_fail(self.services)        # a later poll sees it again
        self.assertEqual(order.line_ids.mapped('detail_state'), ['fail', False, 'wait'])
        self.assertTrue(unclear.uuid and lost.placing_since and not lost.uuid)
        self.assertEqual(coupon.state, 'done')  # the kitchen may have the dish
        self.assertEqual(self.refunds_asked(), [
            (order._kfc_dish_refund_number(refused), 1150, 2050, '出餐失败')])
        self.assertEqual(refused._kfc_error_message(), '出餐失败，退款处理中（门店繁忙，出餐失败）')
        self.assertEqual(order.remark, '少冰；薯条(中)：出餐失败，退款处理中')
        # settlement hands it over again under its number and gets the order the entry made
        del self.backend.failing[lost_number]
        lost.placing_since = minutes_ago(3)
        self.assertEqual(self.settle()['orders_placed'], 1)
        self.assertEqual((lost.uuid, lost.detail_state, lost.placing_tries),
                         (self.backend.orders[lost_number], 'wait', 2))
        self.assertEqual(self.backend.calls.count(lost_number), 2)
        self.assertEqual((len(self.backend.orders), len(self.refunds_asked())), (2, 1))

    def test_a_request_rolled_back_sent_nothing_and_run_again_sends_each_number_once(self):
        placed, failed = self.order(), self.order(self.cola)
        after_commit = []
        services = dataclasses.replace(self.services,
                                       after_commit=lambda env, job: after_commit.append(job))

        def request():
            placed._kfc_place(services)
            failed.line_ids._kfc_fail(services)
        with self.assertRaises(LostRace), self.env.cr.savepoint():
            request()
            raise LostRace()
        after_commit.clear()        # a transaction rolled back runs no work after its commit
        self.assertEqual((self.backend.calls, self.pay.calls), ([], []))
        request()
        for job in after_commit:
            job(self.env)
        self.assertEqual(self.backend.calls, [placed._kfc_line_number(line)
                                              for line in placed.line_ids])
        self.assertEqual(self.refunds_asked(), [
            (failed._kfc_dish_refund_number(failed.line_ids), 900, 900, '出餐失败')])

    def test_settlement_places_what_a_crash_or_the_page_left_and_only_that(self):
        crashed = self.order()                  # committed "paid", placement never ran
        claimed = self.order()
        claimed.line_ids.placing_since = minutes_ago(5)
        unasked = self.order(state='draft', pay_time=minutes_ago(2))    # no state change came
        under_way = self.order()
        under_way.line_ids.placing_since = fields.Datetime.now()
        just_paid = self.order(state='draft', pay_time=fields.Datetime.now())
        self.assertEqual(self.settle()['orders_placed'], 3)
        self.assertEqual(self.settle()['orders_placed'], 0)
        self.assertEqual(sorted(self.backend.calls), sorted(
            order._kfc_line_number(line) for order in (crashed, claimed, unasked)
            for line in order.line_ids))
        self.assertEqual((under_way | just_paid).line_ids.mapped('detail_state'), [False] * 4)
        self.assertEqual((unasked.state, just_paid.state), ('paid', 'draft'))


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
        delivered.write({'uuid': 'uuid-1', 'detail_state': 'wait'})
        delivered.write({'detail_state': 'success', 'pick_code': 'A1001'})
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

    def test_a_customer_names_whole_dishes_of_the_payment_or_nothing_is_asked(self):
        for amount in ('900', 900, ' 900 ', 900.0, False, None, ''):
            with self.subTest(amount=amount):
                order = self.order(self.cola)
                self.assertEqual(order._kfc_customer_refund(amount, services=self.services)['code'],
                                 200)
        self.assertEqual({call[1:3] for call in self.refunds_asked()}, {(900, 900)})
        order = self.order(self.cola)
        for amount in ('901', '0', '9.0', 450) + ABSURD_AMOUNTS:
            with self.subTest(amount=amount):
                self.assertEqual(order._kfc_customer_refund(amount, services=self.services)['code'],
                                 400)
        another_payment = order._kfc_customer_refund(transaction_id='4200000000000000000001',
                                                     services=self.services)
        no_order = self.env['sale.order']._kfc_customer_refund(services=self.services)
        self.assertEqual((another_payment['code'], no_order['code']), (400, 400))
        self.assertEqual((len(self.refunds_asked()), order.refund_ids.ids), (7, []))

    def test_a_refund_in_progress_counts_against_the_payment(self):
        order = self.order()
        fries, cola = order.line_ids
        order._kfc_open_refund(1000)        # an amount alone, its outcome not known yet
        # the fries' price, but more than is left of the payment
        self.assertEqual(order._kfc_customer_refund('1150', services=self.services)['code'], 400)
        cola._kfc_fail(self.services)
        fries._kfc_fail(self.services)
        self.assertEqual([call[1] for call in self.refunds_asked()], [900, 2050 - 1000 - 900])

    def test_a_failed_dishs_refund_tells_the_page_how_far_it_got(self):
        in_progress = '出餐失败，退款处理中'
        for reply, shown in ((None, in_progress), (TIMED_OUT, in_progress),
                             (UNAVAILABLE, in_progress), (REFUSED, '出餐失败，退款未成功，请联系客服'),
                             (PayReply(200, {'status': 'SUCCESS'}), '出餐失败，已退款')):
            with self.subTest(reply=reply):
                if reply:
                    self.pay.answer('refund', reply)
                line = self.order(self.cola).line_ids
                line._kfc_fail(self.services)
                self.assertEqual(line._kfc_error_message(), shown)

    def test_only_a_paid_dish_the_customer_never_got_is_given_back(self):
        coupon = self.coupon(self.fries)
        order = self.order(self.cola, self.fries, (self.fries, coupon))
        cancelled, delivered, delivered_by_coupon = order.line_ids
        cancelled.detail_state = 'cancel'
        (delivered | delivered_by_coupon).write({'detail_state': 'wait'})
        (delivered | delivered_by_coupon).write({'detail_state': 'success', 'pick_code': 'A1001'})
        unpaid = self.order(self.cola, state='draft', is_paid=False)
        for line in order.line_ids | unpaid.line_ids:
            line._kfc_fail(self.services)
        self.assertEqual((order | unpaid).line_ids.mapped('detail_state'),
                         ['cancel', 'fail', 'fail', 'fail'])
        self.assertEqual((coupon.state, delivered._kfc_error_message()), ('done', '出餐失败'))
        self.assertEqual((self.pay.calls, (order | unpaid).refund_ids.ids), ([], []))

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
        self.backdate(refund, days=4)
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
                remove_kept(env['sale.refund.order'].browse(ids['refund']))
                remove_kept(env['sale.order'].browse(ids['order']))
                env['kfc.product'].browse(ids['dish']).unlink()
                remove_kept(env['kfc.user'].browse(ids['user']))
