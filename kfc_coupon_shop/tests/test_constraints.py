"""Values the code finds one record by are unique (customers by openid and by token, orders
and refunds by number); coupon codes are not, and an update over duplicates says which."""
import os

from psycopg2 import IntegrityError

from odoo.exceptions import UserError
from odoo.modules.migration import load_script
from odoo.modules.module import get_module_path
from odoo.tests import tagged
from odoo.tools import mute_logger

from .common import ShopCase

MIGRATIONS = os.path.join(get_module_path('kfc_coupon_shop'), 'migrations')
PRE_MIGRATION = os.path.join(MIGRATIONS, '16.0.1.1.0', 'pre-migration.py')
# the indexes that index=True made beside the unique constraints, by table
SECOND_INDEXES = {'sale_order': ['name'], 'sale_refund_order': ['name'],
                  'kfc_user': ['openid', 'token']}


@tagged('post_install', '-at_install')
class TestUniqueValues(ShopCase):

    def test_a_value_found_by_the_code_is_held_once(self):
        for model, values in (('kfc.user', {'openid': self.customer.openid}),
                              ('kfc.user', {'token': 'login-token-1'}),
                              ('sale.order', {'name': self.order.name}),
                              ('sale.refund.order', {'name': self.refund.name})):
            with self.subTest(model=model, field=list(values)), mute_logger('odoo.sql_db'), \
                    self.assertRaises(IntegrityError), self.cr.savepoint():
                self.env[model].create(values)

    def test_coupons_share_a_code(self):
        copy = self.env['kfc.coupon'].create({'name': '薯条兑换券', 'code': self.coupon.code})
        self.assertEqual(self.env['kfc.coupon'].search([('code', '=', self.coupon.code)]),
                         self.coupon | copy)

    def test_the_update_stops_on_duplicates_and_names_them(self):
        migration = load_script(PRE_MIGRATION, 'kfc_coupon_shop_pre_migration_1_1')
        self.assertIsNone(migration.migrate(self.cr, '16.0.1.0.0'))
        for table, constraint in (('kfc_user', 'kfc_user_openid_uniq'),
                                  ('kfc_user', 'kfc_user_token_uniq'),
                                  ('sale_order', 'sale_order_name_uniq')):
            self.cr.execute('ALTER TABLE %s DROP CONSTRAINT %s' % (table, constraint))
        twin = self.env['kfc.user'].create({'openid': self.customer.openid,
                                            'token': 'login-token-1'})
        order = self.env['sale.order'].create({'name': self.order.name})
        with self.assertRaises(UserError) as raised:
            migration.migrate(self.cr, '16.0.1.0.0')
        ids = '%d, %d' % (self.customer.id, twin.id)
        self.assertEqual(str(raised.exception).splitlines()[1:4], [
            '- customers with one WeChat openid: ids ' + ids,
            '- customers with one login token: ids ' + ids,
            '- orders with one number %s: ids %d, %d' % (self.order.name, self.order.id, order.id),
        ])
        self.assertNotIn('login-token-1', str(raised.exception))

    def indexes(self):
        self.cr.execute('SELECT indexname FROM pg_indexes WHERE tablename IN %s',
                        (tuple(SECOND_INDEXES),))
        return {row[0] for row in self.cr.fetchall()}

    def test_one_index_per_unique_column_and_the_update_drops_the_second(self):
        second = {'%s_%s_index' % (table, column)
                  for table, columns in SECOND_INDEXES.items() for column in columns}
        self.assertFalse(self.indexes() & second)
        for name in second:         # as an earlier version left them
            table, column = name[:-len('_index')].rsplit('_', 1)
            self.cr.execute('CREATE INDEX "%s" ON "%s" ("%s")' % (name, table, column))
        migration = load_script(os.path.join(MIGRATIONS, '16.0.1.3.0', 'post-indexes.py'),
                                'kfc_coupon_shop_post_indexes_1_3')
        migration.migrate(self.cr, '16.0.1.2.0')
        indexes = self.indexes()
        self.assertFalse(indexes & second)
        self.assertLessEqual({'sale_order_name_uniq', 'sale_refund_order_name_uniq',
                              'kfc_user_openid_uniq', 'kfc_user_token_uniq'}, indexes)

    def test_the_update_puts_the_amounts_in_yuan(self):
        yuan = self.env.ref('base.CNY')
        self.assertTrue(yuan.active)
        self.assertEqual(self.order.line_ids.currency_id | self.refund.currency_id, yuan)
        yuan.active = False
        self.env.flush_all()
        self.cr.execute('UPDATE sale_order_line SET currency_id = NULL')
        migration = load_script(os.path.join(MIGRATIONS, '16.0.1.3.0', 'pre-currency.py'),
                                'kfc_coupon_shop_pre_currency_1_3')
        migration.migrate(self.cr, '16.0.1.2.0')
        self.env.invalidate_all()
        self.assertTrue(yuan.active)
        self.assertEqual(self.order.line_ids.currency_id, yuan)
