"""The daily reconciliation's rules: what differs from WeChat Pay's bill and the kitchen, kept
for a manager to explain; in the test's transaction, against scripted outside services."""
import dataclasses
import datetime

from odoo import fields
from odoo.exceptions import AccessError, UserError, ValidationError
from odoo.tests import new_test_user, tagged

from ..services.china_time import china_today
from ..services.trade_bill import COLUMNS, TOTALS_COLUMNS
from ..services.wechatpay import PayReply
from .test_money_rules import MoneyCase


def bill(payments=(), refunds=()):
    """A trade bill's text: ``payments`` (out_trade_no, transaction_id, fen), ``refunds``
    (out_refund_no, out_trade_no, fen, status)."""
    blank = dict(dict.fromkeys(COLUMNS, ''),
                 交易时间=fields.Datetime.to_string(datetime.datetime.now()))
    rows = [dict(blank, 交易状态='SUCCESS', 商户订单号=number, 微信订单号=tid, 订单金额=yuan(fen))
            for number, tid, fen in payments]
    rows += [dict(blank, 交易状态='REFUND', 商户退款单号=number, 商户订单号=order, 退款状态=status,
                  申请退款金额=yuan(fen)) for number, order, fen, status in refunds]
    lines = [','.join(COLUMNS)] + [','.join('`' + row[c] for c in COLUMNS) for row in rows]
    totals = [str(len(rows))] + ['0.00'] * (len(TOTALS_COLUMNS) - 1)
    return PayReply(200, '\n'.join(lines + [','.join(TOTALS_COLUMNS), '`' + ',`'.join(totals)]))


def yuan(fen):
    return '%d.%02d' % divmod(fen, 100)


def paid_now(order, tid):
    order.write({'transaction_id': tid, 'pay_time': fields.Datetime.now()})
    return order


@tagged('post_install', '-at_install')
class TestReconciliation(MoneyCase):

    def reconcile(self, *answers):
        self.pay.answer('trade_bill', *answers)
        return self.env['kfc.reconciliation']._kfc_reconcile(china_today(), self.services)

    def found(self, record):
        return sorted((d.kind, d.reference) for d in record.difference_ids)

    def test_payments_the_bill_and_the_shop_disagree_on(self):
        agreed, changed, missing, earlier = (paid_now(self.order(), 'T%d' % n) for n in range(4))
        given_back = self.order(state='draft')
        given_back.write({'is_paid': False, 'transaction_id': False})
        given_back._kfc_open_refund(100, name='RMT-FOREIGN').transaction_id = 'T-FOREIGN'
        self.pay.transactions[earlier.name] = PayReply(200, {
            'trade_state': 'SUCCESS', 'success_time': '2020-01-01T23:59:59+08:00'})
        record = self.reconcile(bill(payments=[
            (agreed.name, 'T0', 2050), (changed.name, 'T1', 2000), ('STRAY01', 'T-STRAY', 1),
            (given_back.name, 'T-FOREIGN', 100)],
            refunds=[('RMT-FOREIGN', given_back.name, 100, 'PROCESSING')]))
        self.assertEqual(self.found(record), sorted([
            ('payment_differs', changed.name), ('payment_unknown', 'STRAY01'),
            ('payment_missing', missing.name)]))
        self.assertEqual(record.difference_ids.filtered(lambda d: d.kind == 'payment_differs')
                         .mapped('outside_value'), ['SUCCESS 20.00 (T1)'])

    def test_refunds_the_bill_and_the_shop_disagree_on(self):
        order = paid_now(self.order(self.fries, self.cola, self.fries), 'T9')
        settled, ended, unsent, refused = (order._kfc_open_refund(100 + n) for n in range(4))
        ended.state, refused.state = 'done', 'fail'
        self.pay.answer('query_refund', PayReply(404, {}, 'RESOURCE_NOT_EXISTS'))
        record = self.reconcile(bill(payments=[(order.name, 'T9', 3200)], refunds=[
            (settled.name, order.name, 100, 'SUCCESS'), (ended.name, order.name, 101,
                                                         'PROCESSING'),
            ('RF-STRAY', order.name, 50, 'SUCCESS')]))
        self.assertEqual(self.found(record), sorted([
            ('refund_differs', settled.name), ('refund_unknown', 'RF-STRAY'),
            ('refund_missing', unsent.name)]))
        self.assertEqual([c[1] for c in self.pay.calls if c[0] == 'query_refund'], [unsent.name])

    def test_dishes_the_kitchen_does_not_know_has_after_all_or_did_not_answer_for(self):
        order = self.order(self.fries, self.cola, self.fries, self.cola)
        order._kfc_place(self.services)
        known, lost, silent, given_back = order.line_ids
        lost.uuid = 'uuid-never-placed'
        self.backend.unreachable.add(silent.uuid)
        given_back.write({'detail_state': 'fail', 'given_back_at': fields.Datetime.now()})
        record = self.reconcile(bill(payments=[(order.name, order.transaction_id, 4100)]))
        self.assertEqual(self.found(record), sorted([
            ('line_unknown', 'uuid-never-placed'), ('unchecked', silent.uuid),
            ('line_given_back', given_back.uuid)]))
        self.assertEqual((record.state, record.difference_count, record.open_count),
                         ('open', 3, 3))

    def test_a_day_run_again_keeps_what_a_manager_explained(self):
        first, second = (paid_now(self.order(), 'T%d' % n) for n in range(2))
        record = self.reconcile()                   # no bill: neither payment is known
        explained, settled = record.difference_ids.sorted('reference')
        manager = new_test_user(self.env, 'kfc_recon_manager',
                                'kfc_coupon_shop.group_kfc_manager')
        staff = new_test_user(self.env, 'kfc_recon_staff', 'kfc_coupon_shop.group_kfc_staff')
        with self.assertRaises(AccessError):
            explained.with_user(staff).write({'note': '已核实'})
        with self.assertRaises(UserError):
            explained.with_user(manager).action_explain()
        explained.with_user(manager).write({'note': '银行延迟入账，已与微信支付核实'})
        explained.with_user(manager).action_explain()
        names = {first.name: ('T0', 2050), second.name: ('T1', 2050)}
        del names[explained.reference]              # the other one turns up in the bill
        record = self.reconcile(bill(payments=[(n, t, f) for n, (t, f) in names.items()]))
        self.assertEqual(record.difference_ids, explained)
        self.assertEqual((record.state, record.difference_count, record.open_count),
                         ('done', 1, 0))
        self.assertTrue(explained.explained and explained.explained_by == manager)
        [event] = self.env['kfc.staff.event'].search([('kind', '=', 'explain')])
        self.assertEqual((event.user_id, event.why), (manager, '银行延迟入账，已与微信支付核实'))
        self.assertFalse(settled.exists())

    def test_a_manager_who_reads_chinese_reads_the_reconciliation_in_chinese(self):
        self.env['res.lang']._activate_lang('zh_CN')
        manager = new_test_user(self.env, 'kfc_recon_zh', 'kfc_coupon_shop.group_kfc_manager',
                                lang='zh_CN')
        days = self.env['kfc.reconciliation'].with_user(manager)
        unconfigured = dataclasses.replace(self.services, wechatpay=None)
        self.assertEqual(days._kfc_reconcile(china_today(), unconfigured).message,
                         '微信支付尚未配置')
        paid_now(self.order(), 'T0')
        [missing] = days._kfc_reconcile(china_today(), self.services).difference_ids
        self.assertEqual(missing.outside_value, '微信支付没有此记录')
        with self.assertRaisesRegex(ValidationError, '^已说明的差异须在备注中写明原因。$'):
            missing.with_user(manager).write({'explained': True})

    def test_a_bill_that_cannot_be_had_reconciles_nothing(self):
        paid_now(self.order(), 'T0')
        record = self.reconcile(PayReply(400, {'code': 'STATEMENT_CREATING'},
                                         'STATEMENT_CREATING: 账单生成中'))
        self.assertEqual((record.state, record.message, record.difference_ids),
                         ('failed', "WeChat Pay's bill of the day could not be had: "
                                    'STATEMENT_CREATING: 账单生成中', self.env[
                             'kfc.reconciliation.difference']))
