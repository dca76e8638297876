"""What the staff do in the back office goes through the rules the routes and the scheduled
settlement use: a manager's refund, the settlement run by hand, the catalogue synchronised from
a store's menu; and the labels and messages the staff read in Chinese.

Odoo's runner has no outside world: WeChat Pay is met where the add-on's own client reaches the
network (its requests recorded, its replies signed with a platform key made here), and the
coupon back-end where the catalogue posts its request."""
import ast
import dataclasses
import json
import pathlib
import re
import secrets
import time
from unittest.mock import patch

import requests
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from lxml import etree

from odoo import Command, fields
from odoo.exceptions import AccessError, UserError
from odoo.modules.module import get_module_path
from odoo.tests import tagged
from odoo.tools.translate import code_translations

from odoo.addons.kfc_coupon_shop.services import runtime
from odoo.addons.kfc_coupon_shop.services.settings import (CouponBackendSettings,
                                                           WechatPaySettings)
from odoo.addons.kfc_coupon_shop.services.wechatpay import (WechatPayClient, reply_message,
                                                            rsa_sign)

from .common import ShopCase
from .scripted import in_one_transaction

REFUNDS_PATH = '/v3/refund/domestic/refunds'
REASON = '顾客投诉：汉堡是凉的'
PLACEHOLDER = re.compile(r'%(?:\(\w+\))?[-#0 +]*\d*(?:\.\d+)?[a-z%]')


def pem(key, private):
    if private:
        return key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                 serialization.NoEncryption()).decode()
    return key.public_bytes(serialization.Encoding.PEM,
                            serialization.PublicFormat.SubjectPublicKeyInfo).decode()


class WechatPayWire:
    """WeChat Pay on the wire: records what the client sends and answers each request with
    the refund ``status`` given, signed with the platform's key."""

    def __init__(self, status):
        self.status = status
        self.sent = []          # (method, path, payload)
        self.platform_key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        merchant_key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        self.client = WechatPayClient(
            '1900000001', 'wx7d3f5a9c2e1b4068', '5157F09EFDC096DE', pem(merchant_key, True),
            'a' * 32, platform_public_key=pem(self.platform_key.public_key(), False),
            platform_serial='PUB_KEY_ID_0114', session=self)

    def request(self, method, url, data=None, headers=None, **kwargs):
        path = url.split('weixin.qq.com', 1)[1]
        self.sent.append((method, path, json.loads(data) if data else None))
        body = json.dumps({'out_refund_no': path.rsplit('/', 1)[-1], 'status': self.status})
        stamp, nonce = str(int(time.time())), secrets.token_hex(16)
        response = requests.Response()
        response.status_code = 200
        response._content = body.encode()
        response.headers.update({
            'Wechatpay-Timestamp': stamp, 'Wechatpay-Nonce': nonce,
            'Wechatpay-Serial': 'PUB_KEY_ID_0114',
            'Wechatpay-Signature': rsa_sign(self.platform_key,
                                            reply_message(stamp, nonce, response._content))})
        return response

    def services(self):
        """The process's services replaced by this wire, the work kept in the test's
        transaction."""
        return patch.object(runtime, 'services',
                            lambda env: in_one_transaction(self.client, None))


class MenuWire:
    """The coupon back-end's catalogue on the wire: one menu for every store and day."""

    def __init__(self, menu):
        self.menu = menu
        self.payloads = []

    def post(self, url, **kwargs):
        self.payloads.append(kwargs['json'])
        response = requests.Response()
        response.status_code = 200
        response._content = json.dumps(
            {'d': {'code': 0, 'msg': '', 'data': json.dumps(self.menu)}}).encode()
        return response


@tagged('post_install', '-at_install')
class TestStaffActions(ShopCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        burger = cls.env['kfc.product'].create({'name': '香辣鸡腿堡', 'link_id': '1002',
                                                'unit_price': 19.9})
        cola = cls.env['kfc.product'].create({'name': '可乐(中)', 'link_id': '4001',
                                              'unit_price': 9.9})
        cls.paid = cls.env['sale.order'].create({
            'kfc_user_id': cls.customer.id, 'store_name': '南京东路店', 'state': 'pick',
            'is_paid': True, 'transaction_id': '4200002115511002814100000002',
            'line_ids': [
                Command.create({'product_id': burger.id, 'unit_price': 19.9, 'uuid': 'u-3',
                                'detail_state': 'success', 'pick_code': 'A1002'}),
                Command.create({'product_id': cola.id, 'unit_price': 9.9}),
            ]})
        cls.delivered, cls.unplaced = cls.paid.line_ids

    def refund_wizard(self, user, **values):
        wizards = self.env['sale.order.staff.refund'].with_user(user).with_context(
            active_model='sale.order', active_id=self.paid.id)
        return wizards.create(values)

    def pick(self, wizard, *lines):
        wizard.line_ids.filtered(lambda dish: dish.line_id in lines).refund = True

    def test_a_dish_the_kitchen_has_is_refunded_only_with_a_reason(self):
        wire = WechatPayWire('PROCESSING')
        wizard = self.refund_wizard(self.manager)
        self.assertEqual(wizard.line_ids.line_id, self.delivered | self.unplaced)
        self.pick(wizard, self.delivered)
        with wire.services(), self.assertRaises(UserError) as refused:
            wizard.action_refund()
        self.assertEqual(str(refused.exception), '厨房已接单或已出餐的菜品，退款须写明原因')
        self.assertFalse(self.paid.refund_ids or wire.sent)

    def test_the_refund_records_its_dishes_and_sends_the_reason(self):
        wire = WechatPayWire('PROCESSING')
        wizard = self.refund_wizard(self.manager, reason=REASON)
        self.pick(wizard, self.delivered)
        self.assertEqual((round(wizard.amount, 2), round(wizard.left, 2)), (19.9, 29.8))
        with wire.services():
            answer = wizard.action_refund()
        refund = self.paid.refund_ids
        self.assertEqual((refund.line_ids, refund.reason, round(refund.amount, 2), refund.state),
                         (self.delivered, REASON, 19.9, 'draft'))
        self.assertEqual(refund.create_uid, self.manager)
        [event] = self.paid.staff_event_ids
        self.assertEqual((event.kind, event.user_id, event.why), ('refund', self.manager, REASON))
        self.assertIn(refund.name, event.what)
        self.assertEqual(self.delivered.detail_state, 'success')    # the dish was eaten
        [(method, path, payload)] = wire.sent
        self.assertEqual((method, path), ('POST', REFUNDS_PATH))
        self.assertEqual((payload['out_refund_no'], payload['transaction_id'], payload['reason'],
                          payload['amount']['refund'], payload['amount']['total']),
                         (refund.name, self.paid.transaction_id, REASON, 1990, 2980))
        self.assertEqual(answer['params']['type'], 'success')
        self.assertIn(refund.name, answer['params']['message'])

    def test_staff_cannot_refund(self):
        with self.assertRaises(AccessError):
            self.refund_wizard(self.staff, reason=REASON)
        for user, buttons in ((self.staff, 0), (self.manager, 1)):
            arch = self.env['sale.order'].with_user(user).get_view(view_type='form')['arch']
            self.assertEqual(len(etree.fromstring(arch).xpath('//header/button')), buttons)

    def test_staff_ask_wechat_pay_about_a_refund_in_progress(self):
        wire = WechatPayWire('SUCCESS')
        with wire.services():
            answer = self.refund.with_user(self.staff).action_kfc_query()
        self.assertEqual(self.refund.state, 'done')
        self.assertEqual(wire.sent, [('GET', '%s/%s' % (REFUNDS_PATH, self.refund.name), None)])
        self.assertIn(self.refund.name, answer['params']['message'])

    def test_settle_now_records_a_run_that_the_woken_settlement_completes(self):
        wire = WechatPayWire('SUCCESS')
        self.refund.next_attempt_at = False                     # due for its follow-up
        self.unplaced.placing_since = fields.Datetime.now()     # on its way to the kitchen
        cron = self.env.ref('kfc_coupon_shop.ir_cron_settle')
        woken = self.env['ir.cron.trigger'].search([('cron_id', '=', cron.id)])
        settle = self.env['sale.order.settle'].with_user(self.manager).create({})
        opened = settle.action_settle()
        run = self.env['kfc.settlement.run'].browse(opened['res_id'])
        self.assertEqual((opened['res_model'], run.state, run.user_id),
                         (run._name, 'queued', self.manager))
        self.assertTrue(self.env['ir.cron.trigger'].search([('cron_id', '=', cron.id)]) - woken)
        with wire.services():
            self.env['sale.order']._cron_settle()
        self.assertEqual((run.state, run.payments_found, run.refunds_settled, run.orders_placed,
                          run.cancelled_refunded), ('done', 0, 1, 0, 0))
        self.assertEqual(self.refund.state, 'done')
        self.assertEqual(wire.sent, [('GET', '%s/%s' % (REFUNDS_PATH, self.refund.name), None)])
        [event] = self.env['kfc.staff.event'].search([('kind', '=', 'settle')])
        self.assertEqual(event.user_id, self.manager)

    def test_a_manager_gives_back_a_dish_whose_hand_over_never_resolved_once(self):
        self.unplaced.write({'placing_since': fields.Datetime.now(), 'placing_tries': 4})
        self.assertFalse(self.paid.placement_stuck)     # settlement may still place it
        self.unplaced.placing_tries = 5
        self.assertTrue(self.paid.placement_stuck)
        with self.assertRaises(AccessError):
            self.unplaced.with_user(self.staff).action_kfc_give_back_unplaced()
        wire = WechatPayWire('PROCESSING')
        with wire.services():
            answers = [self.unplaced.with_user(self.manager).action_kfc_give_back_unplaced()
                       for _ in range(2)]
        self.assertEqual([answer['params']['type'] for answer in answers], ['success', 'warning'])
        self.assertEqual((self.unplaced.detail_state, self.unplaced.given_back_uid),
                         ('fail', self.manager))
        self.assertTrue(self.unplaced.given_back_at and not self.paid.placement_stuck)
        [(method, path, payload)] = wire.sent
        self.assertEqual((path, payload['amount']['refund']), (REFUNDS_PATH, 990))
        self.assertEqual(self.unplaced._kfc_refunds().line_ids, self.unplaced)
        [event] = self.paid.staff_event_ids.filtered(lambda e: e.kind == 'give_back')
        self.assertEqual((event.user_id, event.line_id), (self.manager, self.unplaced))

    def test_a_stores_menu_adds_the_dishes_the_catalogue_lacks(self):
        self.env['ir.config_parameter'].set_param('token', 'backend-token-1')
        server = dataclasses.replace(runtime.settings, coupon_backend=CouponBackendSettings(
            account='merchant', password='backend-password', order_signing_key='signing-key'))
        wire = MenuWire([{'menuList': [
            {'linkId': '1001', 'nameCn': '薯条(中)', 'price': 1150},
            {'linkId': '3001', 'nameCn': '香辣鸡翅', 'price': '1250', 'imageUrl': '/menu/w.png',
             'descCn': '两块'},
        ]}])
        sync = self.env['kfc.product.menu.sync'].with_user(self.manager).create(
            {'store_code': 'SH3001', 'date': '2026-12-09'})
        before = self.env['kfc.product'].search_count([])
        with patch.object(runtime, 'requests', wire), patch.object(runtime, 'settings', server):
            answer = sync.action_sync()
        self.assertEqual(wire.payloads, [{'token': 'backend-token-1', 'date': '2026-12-09',
                                          'storecode': 'SH3001', 'linkid': ''}])
        [wings] = self.env['kfc.product'].search([('link_id', '=', '3001')])
        self.assertEqual((wings.name, wings.unit_price, wings.remark, wings.image),
                         ('香辣鸡翅', 12.5, '两块',
                          runtime.deployment['image_host_prefix'] + '/menu/w.png'))
        self.assertEqual(self.env['kfc.product'].search_count([]), before + 1)  # 1001 is known
        self.assertEqual(answer['params']['type'], 'success')

    def test_settings_keep_the_merchants_ids_and_show_no_secret(self):
        admin = self.env.ref('base.user_admin')
        server = runtime.Settings(
            public_url='https://shop.example.com', sandbox=False,
            wechatpay=WechatPaySettings(
                mchid='1900000001', appid='wx7d3f5a9c2e1b4068', merchant_serial='5157F09E',
                merchant_private_key='PEM', apiv3_key='k' * 32,
                platform_public_key='PEM', platform_serial='PUB_KEY_ID_0114'),
            coupon_backend=CouponBackendSettings(account='merchant', password='backend-password',
                                                 order_signing_key='signing-key'))
        with patch.object(runtime, 'settings', server):
            page = self.env['res.config.settings'].with_user(admin).create({})
            shown = page.read([name for name in page._fields if name.startswith('kfc_')])[0]
        self.assertEqual({k: v for k, v in shown.items() if k != 'id'}, {
            'kfc_backend_userid': 2024050, 'kfc_backend_productid': 2,
            'kfc_public_url': 'https://shop.example.com', 'kfc_mode': 'production',
            'kfc_wechatpay_mchid': '1900000001', 'kfc_platform_key': True,
            'kfc_backend_account': True})
        page.kfc_backend_userid = 2024051
        page.execute()
        self.assertEqual(self.env['ir.config_parameter'].get_param(runtime.PARAM_USERID),
                         '2024051')

    def test_the_staff_read_the_labels_in_chinese(self):
        self.env['res.lang']._activate_lang('zh_CN')
        self.env['ir.module.module']._load_module_terms(['kfc_coupon_shop'], ['zh_CN'])
        chinese = self.env(context={'lang': 'zh_CN'})
        self.assertEqual(chinese.ref('kfc_coupon_shop.menu_kfc_root').name, '兑换券商城')
        self.assertEqual(chinese['sale.order.line'].fields_get(['pick_code'])['pick_code']['string'],
                         '取餐码')
        english = self.env(context={'lang': 'en_US'})
        self.assertEqual(english.ref('kfc_coupon_shop.menu_kfc_root').name, 'Coupon shop')

    def test_every_text_the_code_translates_has_its_chinese(self):
        """Each literal given to ``_`` in the add-on is in zh_CN.po as Odoo reads it (named in
        the .pot too, else it counts as obsolete) and keeps the text's placeholders."""
        chinese = code_translations.get_python_translations('kfc_coupon_shop', 'zh_CN')
        root = pathlib.Path(get_module_path('kfc_coupon_shop'))
        for path in root.rglob('*.py'):
            if 'tests' in path.relative_to(root).parts:
                continue
            for call in ast.walk(ast.parse(path.read_text(encoding='utf-8'))):
                if not (isinstance(call, ast.Call) and getattr(call.func, 'id', None) == '_'):
                    continue
                where = '%s:%d' % (path.relative_to(root), call.lineno)
                with self.subTest(where):
                    text = call.args[0]
                    self.assertIsInstance(text, ast.Constant, 'not a literal: Odoo cannot list it')
                    self.assertTrue(chinese.get(text.value), 'no Chinese for %r' % text.value)
                    self.assertEqual(sorted(PLACEHOLDER.findall(chinese[text.value])),
                                     sorted(PLACEHOLDER.findall(text.value)))
