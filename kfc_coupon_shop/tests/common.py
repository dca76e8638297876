"""A small shop for the back office's tests: one record of every kind, a Staff user and a
Manager who is no administrator."""
from odoo import Command
from odoo.tests import TransactionCase, new_test_user


class ShopCase(TransactionCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        env = cls.env
        cls.staff = new_test_user(env, 'kfc_staff', 'kfc_coupon_shop.group_kfc_staff')
        cls.manager = new_test_user(env, 'kfc_manager', 'kfc_coupon_shop.group_kfc_manager')
        cls.customer = env['kfc.user'].create({
            'openid': 'oSc-dMsI7fK2Qw9xZp3LmN0r', 'token': 'login-token-1', 'phone': '13800000000'})
        snacks = env['kfc.product.type'].create({'name': '小食', 'number': 2})
        cls.fries = env['kfc.product'].create({
            'name': '薯条(中)', 'link_id': '1001', 'unit_price': 11.5, 'type_id': snacks.id})
        cls.combo = env['kfc.product'].create({
            'name': '超值套餐', 'link_id': '2001', 'unit_price': 36, 'type_id': snacks.id,
            'is_multiple': True, 'line_ids': [Command.create({'product_id': cls.fries.id})]})
        batch = env['kfc.coupon.batch'].create({'name': '薯条合作券', 'product_id': cls.fries.id})
        cls.coupon = env['kfc.coupon'].create({
            'name': '薯条兑换券', 'code': 'RW2024ST0001', 'state': 'done',
            'kfc_user_id': cls.customer.id, 'product_id': cls.fries.id, 'batch_id': batch.id})
        cls.order = env['sale.order'].create({
            'kfc_user_id': cls.customer.id, 'store_name': '南京东路店', 'store_code': 'SH3001',
            'is_paid': True, 'transaction_id': '4200002115511002814105986317',
            'pay_time': '2026-12-09 02:00:00', 'state': 'pick',
            'line_ids': [
                Command.create({'product_id': cls.fries.id, 'unit_price': 0,
                                'coupon_ids': [Command.set(cls.coupon.ids)],
                                'detail_state': 'success', 'pick_code': 'A1001', 'uuid': 'u-1'}),
                Command.create({'product_id': cls.combo.id, 'unit_price': 36,
                                'detail_state': 'fail', 'uuid': 'u-2'}),
            ]})
        cls.refund = env['sale.refund.order'].create({
            'sale_order_id': cls.order.id, 'kfc_user_id': cls.customer.id,
            'line_ids': [Command.set(cls.order.line_ids[1].ids)], 'amount': 36})
        env['api.log'].create({'name': '出餐失败退款', 'role': '微信',
                               'log': '{"status": "PROCESSING"}'})
        cls.wechat = env['api.config'].create({
            'name': 'wxapi', 'app_id': 'wx7d3f5a9c2e1b4068', 'secret': 'a3f1c9e27b5d48f0'})
        cls.account = env['account.config'].create({'deviceid': 'DEV-RW-0001', 'ticket': 'TK-7F3A'})
        env['keyword.config'].create({'name': 'hot_search', 'keyword': '汉堡，鸡块'})
        day = env['kfc.reconciliation'].create({'day': '2026-12-08', 'state': 'open'})
        env['kfc.settlement.run'].create({'user_id': cls.manager.id})
        env['kfc.staff.event'].create({'kind': 'reconcile', 'user_id': cls.manager.id,
                                       'what': 'Reconciliation of 2026-12-08 run'})
        env['kfc.reconciliation.difference'].create({
            'reconciliation_id': day.id, 'day': day.day, 'kind': 'refund_differs',
            'reference': cls.refund.name, 'refund_id': cls.refund.id,
            'shop_value': '36.00 in progress', 'outside_value': '36.00 SUCCESS'})

    @classmethod
    def addon_models(cls):
        """The models with records the add-on defines (not those of Odoo it extends)."""
        data = cls.env['ir.model.data'].search([('module', '=', 'kfc_coupon_shop'),
                                                ('model', '=', 'ir.model')])
        names = cls.env['ir.model'].browse(data.mapped('res_id')).mapped('model')
        return [name for name in names
                if cls.env[name]._original_module == 'kfc_coupon_shop'
                and not cls.env[name]._abstract]
