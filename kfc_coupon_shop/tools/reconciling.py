"""What the daily reconciliation compares: the shop's payments and refunds of a day with WeChat
Pay's trade bill of that day, and the day's dishes with the kitchen's orders.

A payment or refund the shop has on the day but the bill does not is asked about one by one
(the bill lists it on the day WeChat Pay took it, which may be another day near midnight), as
is every dish the shop handed to the kitchen. The coupon back-end offers no listing of its
orders: an order it holds that the shop never made is out of reach.
"""
from odoo import _

from ..services.china_time import CHINA, utc_bounds
from ..services.coupon_backend import UnclearOutcome
from ..services.money import yuan_to_fen
from ..services.trade_bill import Bill, parse
from ..services.wechatpay import parse_time

NO_BILL = 'NO_STATEMENT_EXIST'      # WeChat Pay took no payment or refund that day
UNKNOWN_ORDER = '订单不存在'          # the back-end's answer for a uuid it does not know
# What a refund's state must be once the bill shows WeChat Pay's status; PROCESSING, the
# status of the morning after, says nothing of how it ended.
SETTLED_STATES = {'SUCCESS': 'done', 'CLOSED': 'fail', 'ABNORMAL': 'fail'}


class BillUnavailable(Exception):
    """WeChat Pay's bill of the day could not be had, or was not to be trusted."""


def fetch_bill(client, day):
    """The parsed trade bill of ``day``; an empty one for a day WeChat Pay holds nothing of."""
    reply = client.trade_bill(day)
    if reply.status == 400 and reply.get('code') == NO_BILL:
        return Bill([], [], {})
    if not reply.ok:
        raise BillUnavailable(reply.message)
    try:
        return parse(reply.data)
    except ValueError as exc:
        raise BillUnavailable(str(exc)) from None


def yuan(fen):
    return '%d.%02d' % divmod(fen, 100)


def _china_day(rfc3339):
    moment = parse_time(rfc3339)
    return moment.astimezone(CHINA).date() if moment else None


def _difference(kind, reference, shop='', outside='', order=None, refund=None, line=None):
    return {'kind': kind, 'reference': reference, 'shop_value': shop or False,
            'outside_value': outside or False, 'sale_order_id': order.id if order else False,
            'refund_id': refund.id if refund else False, 'line_id': line.id if line else False}


class DayComparison:
    """The differences of China's ``day`` between the records of ``env`` and ``bill``, WeChat
    Pay's queries and the kitchen's (``services``): dicts of kfc.reconciliation.difference."""

    def __init__(self, env, services, day, bill):
        self.env, self.services, self.day, self.bill = env, services, day, bill
        self.start, self.end = utc_bounds(day)

    def differences(self):
        return self.payments() + self.refunds() + self.dishes()

    # -- payments ------------------------------------------------------------------------

    def payments(self):
        billed = {payment.out_trade_no: payment for payment in self.bill.payments}
        orders = self.env['sale.order'].sudo()
        known = {order.name: order for order in orders.search([('name', 'in', list(billed))])}
        found = [self._billed_payment(payment, known.get(number))
                 for number, payment in billed.items()]
        unbilled = orders.search([('is_paid', '=', True), ('transaction_id', '!=', False),
                                  ('pay_time', '>=', self.start), ('pay_time', '<', self.end),
                                  ('name', 'not in', list(billed))])
        found += [self._unbilled_payment(order) for order in unbilled]
        return [difference for difference in found if difference]

    def _billed_payment(self, payment, order):
        outside = '%s %s (%s)' % (payment.state, yuan(payment.fen), payment.transaction_id)
        if not order:
            return _difference('payment_unknown', payment.out_trade_no, outside=outside)
        if order.is_paid and order.transaction_id == payment.transaction_id:
            if order._kfc_amount_fen() == payment.fen:
                return None
        elif payment.transaction_id in order.refund_ids.mapped('transaction_id'):
            return None         # not its order's payment: the shop gave it back
        return _difference('payment_differs', order.name, self._order_value(order), outside, order)

    def _unbilled_payment(self, order):
        reply = self.services.wechatpay_client().query_transaction(order.name)
        state = reply.get('trade_state') if reply.ok else None
        if state in ('SUCCESS', 'REFUND') and self._another_day(reply.get('success_time')):
            return None         # paid on another day: that day's bill has it
        if not (reply.ok or reply.status == 404):
            return _difference('unchecked', order.name, self._order_value(order), reply.message,
                               order)
        outside = _('%s, not in the bill', state) if state else _('unknown to WeChat Pay')
        return _difference('payment_missing', order.name, self._order_value(order), outside, order)

    # -- refunds -------------------------------------------------------------------------

    def refunds(self):
        billed = {refund.out_refund_no: refund for refund in self.bill.refunds}
        records = self.env['sale.refund.order'].sudo()
        known = {refund.name: refund for refund in records.search([('name', 'in', list(billed))])}
        found = [self._billed_refund(billed_refund, known.get(number))
                 for number, billed_refund in billed.items()]
        unbilled = records.search([('create_date', '>=', self.start), ('create_date', '<', self.end),
                                   ('amount', '>', 0), ('state', 'in', ('draft', 'done')),
                                   ('name', 'not in', list(billed))])
        found += [self._unbilled_refund(refund) for refund in unbilled]
        return [difference for difference in found if difference]

    def _billed_refund(self, billed, refund):
        outside = '%s %s' % (yuan(billed.fen), billed.status)
        if not refund:
            order = self.env['sale.order'].sudo().search(
                [('name', '=', billed.out_trade_no)], limit=1)
            return _difference('refund_unknown', billed.out_refund_no, outside=outside,
                               order=order)
        settled = SETTLED_STATES.get(billed.status)
        if yuan_to_fen(refund.amount) == billed.fen and settled in (None, refund.state):
            return None
        return _difference('refund_differs', refund.name, self._refund_value(refund), outside,
                           refund.sale_order_id, refund)

    def _unbilled_refund(self, refund):
        reply = self.services.wechatpay_client().query_refund(refund.name)
        if reply.ok and self._another_day(reply.get('create_time')):
            return None         # taken on another day: that day's bill has it
        if not (reply.ok or reply.status == 404):
            return _difference('unchecked', refund.name, self._refund_value(refund), reply.message,
                               refund.sale_order_id, refund)
        outside = (_('%s, not in the bill', reply.get('status')) if reply.ok
                   else _('unknown to WeChat Pay'))
        return _difference('refund_missing', refund.name, self._refund_value(refund), outside,
                           refund.sale_order_id, refund)

    def _another_day(self, rfc3339):
        day = _china_day(rfc3339)
        return day is not None and day != self.day

    # -- dishes --------------------------------------------------------------------------

    def dishes(self):
        lines = self.env['sale.order.line'].sudo().search([
            ('uuid', '!=', False), ('sale_order_id.create_date', '>=', self.start),
            ('sale_order_id.create_date', '<', self.end)])
        return [difference for difference in map(self._dish, lines) if difference]

    def _dish(self, line):
        shop = _('%(state)s, order %(order)s', state=line.detail_state or _('handed over'),
                 order=line.sale_order_id.name)
        backend = self.services.backend
        if backend is None:
            return _difference('unchecked', line.uuid, shop, _('no coupon back-end account is '
                               'configured'), line.sale_order_id, line=line)
        try:
            answer = backend.done_order(line.uuid)
        except UnclearOutcome as exc:
            return _difference('unchecked', line.uuid, shop, exc.args[0], line.sale_order_id,
                               line=line)
        if answer['code'] == 0:
            if line.given_back_at:      # a manager gave it back, yet a hand-over placed it
                return _difference('line_given_back', line.uuid, _('%s, given back', shop),
                                   _('the kitchen has the order'), line.sale_order_id, line=line)
            return None
        kind = 'line_unknown' if answer.get('msg') == UNKNOWN_ORDER else 'unchecked'
        return _difference(kind, line.uuid, shop, '%s %s' % (answer['code'], answer.get('msg')),
                           line.sale_order_id, line=line)

    # -- the shop's side, in the language of the run (``_`` reads it from self.env) --------

    def _order_value(self, order):
        if order.is_paid:
            return _('paid %(amount)s (%(transaction)s)', amount=yuan(order._kfc_amount_fen()),
                     transaction=order.transaction_id)
        return _('not paid (%s)', order.state)

    def _refund_value(self, refund):
        states = {'draft': _('in progress'), 'done': _('refunded'), 'fail': _('refused')}
        return '%s %s' % (yuan(yuan_to_fen(refund.amount)), states.get(refund.state))
