"""What must hold of the shop's books once settlement has run, checked against its records and
the outside facts the caller gives (WeChat Pay's payments and refunds, the back-end's orders):
each breach listed with the records concerned.

- every successful payment belongs to an order whose paid dishes were each handed to the
  kitchen or are covered by a refund (the whole payment given back covers them all);
- no refund, and no sum of the refunds of one payment, exceeds the payment;
- no dish has two back-end orders;
- every spent coupon sits on exactly one dish that was neither cancelled nor failed;
- nothing waits longer than settlement's bounds: a paid dish handed over within a few
  minutes, a refund in progress followed up when it is due.
"""
import collections
import datetime

from odoo import api, fields, models

from ..services.money import yuan_to_fen
from .sale_order import PLACEMENT_DELAY
from .sale_order_line import PLACING_LIMIT

# Settlement runs every minute: what it handles is handled within a run or two of falling due.
SETTLEMENT_SLACK = datetime.timedelta(minutes=3)
PAID = ('draft', 'done')        # refunds that give money back, or are on their way


class KfcBooks(models.AbstractModel):
    _name = 'kfc.books'
    _description = "The shop's books: what must hold once settlement has run"

    @api.model
    def _kfc_breaches(self, outside=None):
        """The breaches: [{"rule": text, "records": [text, ...]}], none when the books hold.

        outside: what the outside world holds, {"payments": WeChat Pay's transactions
        [{transaction_id, out_trade_no, trade_state, total (fen)}], "refunds": its refunds
        [{transaction_id, refund (fen), status}], "backend_orders": the back-end's orders
        [{entry: {orderno}}]}; None: the shop's records alone."""
        breaches = []
        for rule in (self._kfc_payments_served, self._kfc_refunds_within_payments,
                     self._kfc_one_kitchen_order_per_dish, self._kfc_coupons_spent_once,
                     self._kfc_nothing_overdue):
            breaches += rule(outside or {})
        return breaches

    @api.model
    def _kfc_report(self, outside=None):
        """The breaches as text, one line each; "the books hold" when there is none."""
        breaches = self._kfc_breaches(outside)
        if not breaches:
            return 'the books hold'
        return '\n'.join('%s: %s' % (breach['rule'], ', '.join(breach['records']))
                         for breach in breaches)

    # -- the rules ---------------------------------------------------------------------------

    @api.model
    def _kfc_payments_served(self, outside):
        orders = self.env['sale.order'].sudo()
        breaches = []
        paid = orders.search([('is_paid', '=', True), ('transaction_id', '!=', False)])
        known = set(paid.mapped('transaction_id'))
        given_back = self._kfc_given_back(outside)
        for payment in outside.get('payments', ()):
            if payment.get('trade_state') in ('SUCCESS', 'REFUND') \
                    and payment.get('transaction_id') not in known \
                    and given_back[payment.get('transaction_id')] < payment.get('total', 0):
                breaches.append(_breach('a payment the shop neither serves nor gave back',
                                        ['%s (%s)' % (payment.get('out_trade_no'),
                                                      payment.get('transaction_id'))]))
        unserved = paid.line_ids.filtered(lambda line: line._kfc_owed())
        if unserved:
            breaches.append(_breach('paid dishes neither with the kitchen nor refunded',
                                    [_name(line) for line in unserved]))
        return breaches

    @api.model
    def _kfc_given_back(self, outside):
        """Fen WeChat Pay gave back or is giving back, per transaction id."""
        given = collections.Counter()
        for refund in outside.get('refunds', ()):
            if refund.get('status') in ('SUCCESS', 'PROCESSING'):
                given[refund.get('transaction_id')] += refund.get('refund', 0)
        return given

    @api.model
    def _kfc_refunds_within_payments(self, outside):
        breaches = []
        refunds = self.env['sale.refund.order'].sudo().search([('state', 'in', PAID)])
        by_payment = collections.defaultdict(lambda: self.env['sale.refund.order'])
        for refund in refunds:
            by_payment[refund.transaction_id or refund.sale_order_id.transaction_id] |= refund
        for transaction_id, together in by_payment.items():
            payment = max(yuan_to_fen(amount) for amount in together.mapped('payment_amount'))
            if sum(yuan_to_fen(amount) for amount in together.mapped('amount')) > payment:
                breaches.append(_breach('refunds beyond their payment %s' % transaction_id,
                                        [_name(refund) for refund in together]))
        totals = {payment.get('transaction_id'): payment.get('total', 0)
                  for payment in outside.get('payments', ())}
        for transaction_id, given in self._kfc_given_back(outside).items():
            if given > totals.get(transaction_id, given):
                breaches.append(_breach('WeChat Pay gives back more than was paid',
                                        ['%s (%d of %d fen)' % (transaction_id, given,
                                                               totals[transaction_id])]))
        return breaches

    @api.model
    def _kfc_one_kitchen_order_per_dish(self, outside):
        breaches = []
        numbers = collections.Counter(order.get('entry', {}).get('orderno')
                                      for order in outside.get('backend_orders', ()))
        twice = sorted(number for number, count in numbers.items() if number and count > 1)
        if twice:
            breaches.append(_breach('dishes with two back-end orders', twice))
        lines = self.env['sale.order.line'].sudo()
        held = collections.Counter(lines.search([('uuid', '!=', False)]).mapped('uuid'))
        shared = sorted(uuid for uuid, count in held.items() if count > 1)
        if shared:
            breaches.append(_breach('back-end orders held by two dishes', shared))
        return breaches

    @api.model
    def _kfc_coupons_spent_once(self, outside):
        coupons = self.env['kfc.coupon'].sudo().search([('state', '=', 'done')])
        lines = self.env['sale.order.line'].sudo().search([('coupon_ids', 'in', coupons.ids)])
        holding = collections.Counter()
        for line in lines.filtered(lambda line: line.detail_state not in ('cancel', 'fail')):
            holding.update(line.coupon_ids.ids)
        wrong = coupons.filtered(lambda coupon: holding[coupon.id] != 1)
        return [_breach('spent coupons not on exactly one dish',
                        ['%s (%d dishes)' % (_name(coupon), holding[coupon.id])
                         for coupon in wrong])] if wrong else []

    @api.model
    def _kfc_nothing_overdue(self, outside):
        now = fields.Datetime.now()
        breaches = []
        late = now - PLACEMENT_DELAY - PLACING_LIMIT - SETTLEMENT_SLACK
        waiting = self.env['sale.order.line'].sudo().search([
            ('uuid', '=', False), ('detail_state', 'not in', ('fail', 'cancel', 'success')),
            ('sale_order_id.is_paid', '=', True), ('sale_order_id.pay_time', '<', late),
            ('sale_order_id.state', 'in', ('draft', 'paid', 'pick'))])
        if waiting:
            breaches.append(_breach('paid dishes still not handed to the kitchen',
                                    [_name(line) for line in waiting]))
        overdue = self.env['sale.refund.order'].sudo().search([
            ('state', '=', 'draft'), ('amount', '>', 0),
            ('next_attempt_at', '<', now - SETTLEMENT_SLACK)])
        if overdue:
            breaches.append(_breach('refunds in progress not followed up when due',
                                    [_name(refund) for refund in overdue]))
        return breaches


def _breach(rule, records):
    return {'rule': rule, 'records': list(records)}


def _name(record):
    return '%s,%d (%s)' % (record._name, record.id, record.display_name)
