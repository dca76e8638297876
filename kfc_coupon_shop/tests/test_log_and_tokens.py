"""The API log, whose entries outlive the transaction that made them, customers' login tokens
and the official account the settings name."""
import dataclasses
import datetime
import json
import secrets

from odoo import SUPERUSER_ID, api
from odoo.tests import TransactionCase, tagged

from ..services import runtime
from ..services.settings import WechatAccountSettings


@tagged('post_install', '-at_install')
class TestApiLog(TransactionCase):

    def test_entries_outlive_a_rolled_back_transaction_as_readable_text(self):
        # Cursors of the registry are savepoints of the test's transaction: one can be rolled
        # back, and the entries are written by another after it.
        self.registry.enter_test_mode(self.cr)
        self.addCleanup(self.registry.leave_test_mode)
        with self.registry.cursor() as cr:
            env = api.Environment(cr, SUPERUSER_ID, {})
            customer = env['kfc.user'].create({'openid': 'o-rolled-back'})
            for title, log in (('下单', {'order_id': 7, 'note': '中文'}), ('异常', KeyError('uuid')),
                               ('日期', datetime.date(2024, 6, 1)), ('记录', customer)):
                env['api.log']._kfc_log(title, '前端', log)
            cr.rollback()
        entries = self.env['api.log'].search([('role', '=', '前端')], order='id')
        self.assertEqual([(entry.name, entry.log) for entry in entries], [
            ('下单', json.dumps({'order_id': 7, 'note': '中文'}, ensure_ascii=False)),
            ('异常', "KeyError: 'uuid'"), ('日期', '2024-06-01'),
            ('记录', 'kfc.user(%d,)' % customer.id)])
        self.assertEqual((entries[1].exception_type, entries[1].exception_message),
                         ('KeyError', "'uuid'"))
        self.assertFalse(self.env['kfc.user'].search([('openid', '=', 'o-rolled-back')]))


@tagged('post_install', '-at_install')
class TestLoginTokens(TransactionCase):

    def test_a_new_token_is_long_and_held_by_no_one(self):
        customers = self.env['kfc.user']
        held = customers._kfc_new_token()
        customers.create({'openid': 'o-token-1', 'token': held})
        self.assertGreaterEqual(len(held), 43)          # 256 bits in base64
        draws = iter([held, held, 'fresh-token'])
        self.patch(secrets, 'token_urlsafe', lambda nbytes: next(draws))
        self.assertEqual(customers._kfc_new_token(), 'fresh-token')


class LostRace(Exception):
    pgcode = '40001'        # PostgreSQL's serialization failure


@tagged('post_install', '-at_install')
class TestOfficialAccountSettings(TransactionCase):

    def test_a_server_that_lost_the_race_to_write_the_account_leaves_it_to_the_other(self):
        self.patch(runtime, 'settings', dataclasses.replace(
            runtime.settings, wechat=WechatAccountSettings('wx-settings', 'secret-of-settings')))
        configs = self.env['api.config']

        def write_of_another_server(*args, **kwargs):
            raise LostRace('could not serialize access due to concurrent update')
        self.patch(type(configs), 'search', write_of_another_server)
        configs._kfc_apply_settings()               # no error: the other server writes it
        self.patch(LostRace, 'pgcode', '23502')     # any other failure still stops the start
        with self.assertRaises(LostRace):
            configs._kfc_apply_settings()
