"""What the back office keeps and tells: money records nobody deletes, the API log's retention,
the staff's actions recorded, orders and days told in words and sums, China's clock."""
import datetime
from unittest.mock import patch

from freezegun import freeze_time

from odoo import Command
from odoo.exceptions import UserError
from odoo.tests import new_test_user, tagged

from ..models.api_log import RETENTION_PARAM
from ..services.china_time import china_today, utc_bounds
from ..tools.kept_records import remove_kept
from .common import ShopCase


def backdate(records, **delta):
    records.env.cr.execute('UPDATE "%s" SET create_date = create_date - %%s WHERE id IN %%s'
                           % records._table, (datetime.timedelta(**delta), tuple(records.ids)))
    records.invalidate_recordset(['create_date'])


@tagged('post_install', '-at_install')
class TestRecordsKeptAndTold(ShopCase):

    def test_nobody_deletes_a_money_record(self):
        admin = self.env.ref('base.user_admin')
        kept = {
            'paid order': self.order, 'dish of a paid order': self.order.line_ids[:1],
            'refund': self.refund, 'spent coupon': self.coupon, 'customer with orders':
            self.customer, 'API log entry': self.env['api.log'].search([], limit=1),
            'staff action': self.env['kfc.staff.event'].search([], limit=1),
        }
        for what, record in kept.items():
            for user in (self.manager, admin):
                with self.subTest(what, user=user.login), self.assertRaises(UserError):
                    record.with_user(user).unlink()
            with self.subTest(what, user='superuser'), self.assertRaises(UserError) as refused:
                record.sudo().unlink()
            self.assertIn('Money records are kept', str(refused.exception))
            self.assertTrue(record.exists())
        abandoned = self.env['sale.order'].create({'store_name': 'A', 'line_ids': [
            Command.create({'product_id': self.fries.id, 'unit_price': 11.5})]})
        abandoned.with_user(self.manager).unlink()      # never paid, nothing made: no record
        self.assertFalse(abandoned.exists())

    def test_the_api_log_removes_what_is_older_than_its_retention(self):
        Log = self.env['api.log']
        remove_kept(Log.search([]))
        old, recent = Log.create([{'name': 'old'}, {'name': 'recent'}])
        backdate(old, days=181)
        backdate(recent, days=179)
        params = self.env['ir.config_parameter']
        for retention, left in (('nonsense', recent), ('180', recent), ('30', Log)):
            params.set_param(RETENTION_PARAM, retention)
            Log._cron_remove_expired()
            self.assertEqual(Log.search([]), left, retention)

    def test_an_order_tells_its_pick_up_type_net_amount_and_failure_in_words(self):
        Order = self.env['sale.order']
        self.assertEqual([Order.new({'type': t}).pick_up_type for t in ('1', '2', '外带', False)],
                         ['take_away', 'dine_in', 'dine_in', 'dine_in'])
        remark = self.order.remark
        self.assertEqual((self.order.net_amount, self.order.failure_status), (36, 'refunding'))
        self.refund.state = 'done'
        self.assertEqual((self.order.net_amount, self.order.failure_status), (0, 'refunded'))
        self.assertEqual(self.order.remark, remark)         # the page's words stay its own
        cancelled = Order.create({'store_name': 'C', 'state': 'cancel', 'line_ids': [
            Command.create({'product_id': self.fries.id, 'unit_price': 11.5})]})
        paid = Order.create({'is_paid': True, 'transaction_id': 'T-net', 'line_ids': [
            Command.create({'product_id': self.fries.id, 'unit_price': 11.5})]})
        [total] = Order.read_group([('id', 'in', (self.order | cancelled | paid).ids)],
                                   ['net_amount:sum', 'amount:sum'], [])
        self.assertEqual((total['net_amount'], total['amount']), (11.5, 59))

    def test_the_refund_wizard_opens_only_on_what_is_left(self):
        self.refund.state = 'done'              # the combo's 36 yuan: the whole payment
        self.assertEqual(self.order.refund_left, 0)
        with self.assertRaises(UserError):
            self.env['sale.order.staff.refund'].with_user(self.manager).with_context(
                active_model='sale.order', active_id=self.order.id).create({})

    def test_each_staff_action_is_recorded_on_its_order(self):
        sent = []
        configs = type(self.env['api.config'])
        with patch.object(configs, '_kfc_send_pick_message', lambda self, *a: sent.append(a)):
            self.order.line_ids[0].with_user(self.staff).action_kfc_resend_pick_message()
        difference = self.env['kfc.reconciliation.difference'].search([])
        difference.with_user(self.manager).write({'note': '微信支付已退款，通知未到'})
        difference.with_user(self.manager).action_explain()
        events = self.order.staff_event_ids
        self.assertEqual([(e.kind, e.user_id, e.why) for e in events], [
            ('explain', self.manager, '微信支付已退款，通知未到'), ('resend', self.staff, False)])
        self.assertIn('A1001', events[1].what)
        self.assertEqual(len(sent), 1)

    def test_shop_users_and_the_administrator_work_on_chinas_clock(self):
        self.assertEqual((self.staff.tz, self.manager.tz), ('Asia/Shanghai',) * 2)
        clerk = new_test_user(self.env, 'kfc_tz_clerk', 'base.group_user')
        abroad = new_test_user(self.env, 'kfc_tz_abroad', 'kfc_coupon_shop.group_kfc_staff',
                               tz='Europe/Paris')
        self.assertEqual((clerk.tz, abroad.tz), (False, 'Europe/Paris'))
        admin = self.env.ref('base.user_admin')
        admin.tz = False
        self.env['res.users']._kfc_default_admin_tz()
        self.assertEqual(admin.tz, 'Asia/Shanghai')

    def test_an_order_at_half_past_one_in_china_counts_on_chinas_day(self):
        order = self.env['sale.order'].create({'is_paid': True, 'transaction_id': 'T-night',
                                               'line_ids': [Command.create({
                                                   'product_id': self.fries.id,
                                                   'unit_price': 11.5})]})
        self.env.cr.execute("UPDATE sale_order SET create_date = '2026-12-08 17:30:00' "
                            "WHERE id = %s", (order.id,))
        order.invalidate_recordset(['create_date'])
        staff = self.env['sale.order'].with_user(self.staff).with_context(tz=self.staff.tz)
        [day] = staff.read_group([('id', '=', order.id)], ['net_amount:sum'],
                                 ['create_date:day'])
        self.assertEqual(day['create_date:day'], '09 Dec 2026')
        with freeze_time('2026-12-08 17:30:00'):
            start, end = utc_bounds(china_today())      # the reconciliation's day
        self.assertTrue(start <= order.create_date < end)
