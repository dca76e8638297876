"""The outside services as a test scripts them: no network, each call recorded and answered
with the next reply queued for it (by default the service's usual success)."""
import itertools

from odoo import Command, fields

from ..services.coupon_backend import BackendRefusal
from ..services.runtime import Services
from ..services.wechatpay import PayReply


class ScriptedPay:
    """WeChat Pay: ``answer(call, *replies)`` queues PayReply values for "refund" or
    "query_refund"; ``calls`` lists (call, out_refund_no, ...) as made."""

    mchid = '1900000001'
    appid = 'wx0000000000000001'

    def __init__(self):
        self.calls = []
        self._replies = {'refund': [], 'query_refund': []}

    def answer(self, call, *replies):
        self._replies[call].extend(replies)

    def refund(self, out_refund_no, refund, total, transaction_id=None, out_trade_no=None,
               notify_url=None, reason=None):
        self.calls.append(('refund', out_refund_no, refund, total, reason))
        return self._next('refund', PayReply(200, {'status': 'PROCESSING',
                                                   'out_refund_no': out_refund_no}))

    def query_refund(self, out_refund_no):
        self.calls.append(('query_refund', out_refund_no))
        return self._next('query_refund', PayReply(200, {'status': 'PROCESSING'}))

    def _next(self, call, usual):
        return self._replies[call].pop(0) if self._replies[call] else usual


class ScriptedBackend:
    """The coupon back-end: a number it has seen answers the uuid it gave the first time, as
    the real one does; the numbers in ``refusing`` are refused."""

    def __init__(self):
        self.calls = []
        self.orders = {}
        self.refusing = set()

    def place(self, orderno, sku, skuid, price_fen, detail):
        self.calls.append(orderno)
        if orderno in self.refusing:
            raise BackendRefusal('order entry', {'msg': '门店繁忙，出餐失败'})
        return self.orders.setdefault(orderno, 'uuid-%d' % (len(self.orders) + 1))


def in_one_transaction(pay, backend):
    """Services that keep every rule's work in the test's transaction."""
    def rollback(env):
        raise       # noqa: PLE0704 (the failure of the item under way, for the test to see)
    return Services(wechatpay=pay, backend=backend, sandbox=True,
                    commit=lambda env: env.flush_all(), record=lambda env, write: write(),
                    rollback=rollback, after_commit=lambda env, job: job(env))


_payments = itertools.count(1)


def paid_order(env, customer, *dishes, state='paid'):
    """An order paid just now, one line per dish (a dish, or a (dish, coupon) pair at price
    0)."""
    lines = []
    for dish in dishes:
        dish, coupon = dish if isinstance(dish, tuple) else (dish, None)
        lines.append(Command.create({
            'product_id': dish.id, 'unit_price': 0 if coupon else dish.unit_price,
            'coupon_ids': [Command.set(coupon.ids)] if coupon else []}))
    return env['sale.order'].create({
        'kfc_user_id': customer.id, 'store_code': 'SH3001', 'type': '1', 'state': state,
        'is_paid': True, 'transaction_id': '42000021155110028141%08d' % next(_payments),
        'pay_time': fields.Datetime.now(), 'line_ids': lines})
