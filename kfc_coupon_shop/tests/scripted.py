"""The outside services as a test scripts them: no network, each call recorded and answered
with the next reply queued for it (by default the service's usual success)."""
import itertools

from odoo import Command, fields

from ..services.coupon_backend import BackendRefusal, UnclearOutcome
from ..services.runtime import Services
from ..services.wechatpay import PayReply


class ScriptedPay:
    """WeChat Pay: ``answer(call, *replies)`` queues PayReply values for "prepay", "refund",
    "query_refund" or "trade_bill" (a day without one: no bill); ``transactions`` holds the
    reply to a payment query by out_trade_no (none: 404); ``calls`` lists (call,
    out_trade_no or out_refund_no, ...) as made."""

    mchid = '1900000001'
    appid = 'wx0000000000000001'

    def __init__(self):
        self.calls = []
        self.transactions = {}
        self._replies = {'prepay': [], 'refund': [], 'query_refund': [], 'trade_bill': []}

    def answer(self, call, *replies):
        self._replies[call].extend(replies)

    def jsapi_prepay(self, description, out_trade_no, total, openid, notify_url,
                     time_expire=None):
        self.calls.append(('prepay', out_trade_no, total, description, notify_url, time_expire))
        return self._next('prepay', PayReply(200, {'prepay_id': 'wx%s' % out_trade_no}))

    def jsapi_pay_params(self, prepay_id):
        return {'package': 'prepay_id=%s' % prepay_id}

    def refund(self, out_refund_no, refund, total, transaction_id=None, out_trade_no=None,
               notify_url=None, reason=None):
        self.calls.append(('refund', out_refund_no, refund, total, reason))
        return self._next('refund', PayReply(200, {'status': 'PROCESSING',
                                                   'out_refund_no': out_refund_no}))

    def query_refund(self, out_refund_no):
        self.calls.append(('query_refund', out_refund_no))
        return self._next('query_refund', PayReply(200, {'status': 'PROCESSING'}))

    def query_transaction(self, out_trade_no):
        self.calls.append(('query_transaction', out_trade_no))
        return self.transactions.get(out_trade_no) or PayReply(
            404, {'code': 'ORDER_NOT_EXIST'}, 'ORDER_NOT_EXIST: 订单不存在')

    def trade_bill(self, bill_date):
        self.calls.append(('trade_bill', bill_date))
        return self._next('trade_bill', PayReply(
            400, {'code': 'NO_STATEMENT_EXIST'}, 'NO_STATEMENT_EXIST: 请求的账单文件不存在'))

    def _next(self, call, usual):
        return self._replies[call].pop(0) if self._replies[call] else usual


REFUSAL = BackendRefusal('order entry', {'msg': '门店繁忙，出餐失败'})
# The order entry taken, its answer lost (a time-out, a 5xx, a dropped connection).
ENTRY_LOST = UnclearOutcome('order entry: ConnectionError: connection dropped', None)


class ScriptedBackend:
    """The coupon back-end: a number it has seen answers the uuid it gave the first time, as
    the real one does. ``failing`` maps a number to the exception its placement raises before
    the entry, to ENTRY_LOST (the entry is taken, its answer lost), or to UnclearOutcome: the
    detail's reply is lost, the order stands. ``calls`` lists the numbers placed, ``dishes``
    what each was placed with (sku, skuid, price in fen, detail). It knows the orders of the
    uuids it gave; asking about those in ``unreachable`` gets no answer."""

    def __init__(self):
        self.calls = []
        self.dishes = {}
        self.orders = {}
        self.failing = {}
        self.unreachable = set()

    def place(self, orderno, sku, skuid, price_fen, detail):
        self.calls.append(orderno)
        self.dishes[orderno] = (sku, skuid, price_fen, detail)
        fault = self.failing.get(orderno)
        if fault not in (None, UnclearOutcome, ENTRY_LOST):
            raise fault
        uuid = self.orders.setdefault(orderno, 'uuid-%d' % (len(self.orders) + 1))
        if fault is ENTRY_LOST:
            raise fault
        if fault is UnclearOutcome:
            raise UnclearOutcome('order detail: ReadTimeout', uuid)
        return uuid

    def done_order(self, uuid):
        if uuid in self.unreachable:
            raise UnclearOutcome('done order: ReadTimeout', uuid)
        if uuid in self.orders.values():
            return {'code': 0, 'msg': '', 'data': '[{"code":0,"result":""}]'}
        return {'code': -1, 'msg': '订单不存在', 'data': ''}


def in_one_transaction(pay, backend):
    """Services that keep every rule's work in the test's transaction."""
    def rollback(env):
        raise       # noqa: PLE0704 (the failure of the item under way, for the test to see)
    return Services(wechatpay=pay, backend=backend, sandbox=True,
                    commit=lambda env: env.flush_all(), record=lambda env, write: write(),
                    rollback=rollback, after_commit=lambda env, job: job(env))


_payments = itertools.count(1)


def paid_order(env, customer, *dishes, **values):
    """A take-away order paid just now, one line per dish (a dish, or a (dish, coupon) pair at
    price 0); ``values`` change the order's (state, type, pay_time, is_paid...)."""
    lines = []
    for dish in dishes:
        dish, coupon = dish if isinstance(dish, tuple) else (dish, None)
        lines.append(Command.create({
            'product_id': dish.id, 'unit_price': 0 if coupon else dish.unit_price,
            'coupon_ids': [Command.set(coupon.ids)] if coupon else []}))
    return env['sale.order'].create(dict({
        'kfc_user_id': customer.id, 'store_code': 'SH3001', 'type': '1', 'state': 'paid',
        'is_paid': True, 'transaction_id': '42000021155110028141%08d' % next(_payments),
        'pay_time': fields.Datetime.now(), 'line_ids': lines}, **values))
