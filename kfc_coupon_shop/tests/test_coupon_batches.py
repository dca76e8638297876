"""Coupon batches: codes issued in one go, handed out as CSV, ended or cancelled with their
redeemed coupons left to the customers."""
import csv
import datetime
import io
import math
import re
from unittest.mock import patch

from odoo.exceptions import UserError
from odoo.tests import tagged

from ..models import kfc_coupon_batch
from ..models.kfc_coupon import CODE_ALPHABET, fold_code
from ..services.china_time import china_today
from .common import ShopCase

GROUPED = re.compile(r'[%s]{4}(-[%s]{4}){3}' % (CODE_ALPHABET, CODE_ALPHABET))


@tagged('post_install', '-at_install')
class TestCouponBatches(ShopCase):

    def issue(self, count, end_date=False):
        wizard = self.env['kfc.coupon.batch.issue'].with_user(self.manager).create({
            'name': '春季合作伙伴', 'product_id': self.fries.id, 'count': count,
            'end_date': end_date})
        action = wizard.action_issue()
        return self.env['kfc.coupon.batch'].browse(action['res_id'])

    def redeem(self, coupon):
        coupon.write({'state': 'exchange', 'kfc_user_id': self.customer.id})

    def test_a_batch_of_a_thousand_has_unique_unguessable_codes_grouped_for_reading(self):
        self.assertGreaterEqual(math.log2(len(CODE_ALPHABET)) * 16, 80)
        self.assertFalse(set(CODE_ALPHABET) & set('01IO'))
        batch = self.issue(1000)
        coupons = batch.coupon_ids
        self.assertEqual((batch.count, batch.issued_count, len(coupons)), (1000, 1000, 1000))
        self.assertTrue(all(GROUPED.fullmatch(code) for code in coupons.mapped('code')))
        self.assertEqual(len(set(coupons.mapped('code_key'))), 1000)
        self.assertEqual(set(coupons.mapped('product_id')), {self.fries})
        self.assertEqual(set(coupons.mapped('state')), {'draft'})

    def test_a_new_code_differs_from_every_stored_code_folded(self):
        self.env['kfc.coupon'].create({'code': 'aaaa-aaaa-aaaa-aaaa'})
        drawn = iter('A' * 16 + 'B' * 16)
        with patch.object(kfc_coupon_batch.secrets, 'choice', lambda alphabet: next(drawn)):
            batch = self.issue(1)
        self.assertEqual(batch.coupon_ids.code, 'BBBB-BBBB-BBBB-BBBB')

    def test_a_code_is_looked_up_without_its_dashes_in_either_case(self):
        coupon = self.issue(1).coupon_ids
        stored = self.env['kfc.coupon'].create({'code': 'RW2024ST0002'})
        for typed, found in ((coupon.code, coupon), (coupon.code.replace('-', '').lower(), coupon),
                             (' rw20-24st-0002 ', stored)):
            with self.subTest(typed=typed):
                self.assertEqual(self.env['kfc.coupon'].search(
                    [('code_key', '=', fold_code(typed))]), found)

    def test_the_csv_lists_each_unredeemed_code_with_its_dish_and_end_date(self):
        batch = self.issue(3, end_date='2027-01-31')
        first, *others = batch.coupon_ids.sorted('id')
        self.redeem(first)
        action = batch.with_user(self.manager).action_download_codes()
        attachment = self.env['ir.attachment'].browse(int(re.search(r'/(\d+)\?', action['url'])[1]))
        rows = list(csv.reader(io.StringIO(attachment.raw.decode('utf-8'))))
        self.assertEqual(rows, [['Code', 'Dish', 'End date']] + [
            [coupon.code, '薯条(中)', '2027-01-31'] for coupon in others])

    def test_ended_and_cancelled_batches_leave_redeemed_coupons_usable(self):
        yesterday = china_today() - datetime.timedelta(days=1)
        ended, current, cancelled = self.issue(3, yesterday), self.issue(2, china_today()), self.issue(2)
        for batch in (ended, cancelled):
            self.redeem(batch.coupon_ids[0])
        self.env['kfc.coupon.batch']._cron_end_batches()
        with self.assertRaises(UserError):
            cancelled.with_user(self.staff).action_cancel_unredeemed()
        cancelled.with_user(self.manager).action_cancel_unredeemed()
        for batch, cancelled_count in ((ended, 2), (current, 0), (cancelled, 1)):
            with self.subTest(batch=batch.end_date):
                self.assertEqual((batch.issued_count, batch.cancelled_count),
                                 (len(batch.coupon_ids), cancelled_count))
                self.assertEqual(len(batch.coupon_ids.filtered('active')),
                                 len(batch.coupon_ids) - cancelled_count)
        # what redemption and orders look for: only the redeemed coupons are left
        self.assertEqual(self.env['kfc.coupon'].search([
            ('batch_id', 'in', (ended + cancelled).ids), ('state', 'in', ('draft', 'exchange'))]),
            (ended + cancelled).coupon_ids.filtered(lambda c: c.state == 'exchange'))
        [event] = self.env['kfc.staff.event'].search([('kind', '=', 'cancel_coupons')])
        self.assertEqual(event.user_id, self.manager)
