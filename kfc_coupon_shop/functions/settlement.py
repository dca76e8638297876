"""Settlement: what the requests of the day left open, closed by asking the outside services.

``settle(env)`` is run by ``python -m kfchost settle`` and by a scheduled action; it
- asks WeChat Pay about every refund still in progress and records the outcome (a refund
  WeChat Pay never received is asked for again, under the same number);
- places orders that are paid but still "draft" a minute after their payment (the page never
  asked for the state change);
- refunds what is left of orders that were paid after they were cancelled.
Every row is locked (SELECT ... FOR UPDATE) and read again before it is acted on, so a run
that meets a request or another run working on the same order waits and sees its result.
"""
import datetime
import logging

from odoo import fields

from .. import runtime
from .coupon_backend import create_kfc_order
from .logs import create_api_log, logging_on
from .payment import record_refund_outcome, request_refund

_logger = logging.getLogger(__name__)

PLACEMENT_DELAY = datetime.timedelta(minutes=1)


def settle(env):
    """Settle everything open; returns the counts of what was done."""
    with logging_on(env):
        counts = {'refunds_settled': settle_refunds(env),
                  'orders_placed': place_paid_drafts(env),
                  'cancelled_refunded': refund_paid_cancelled(env)}
    _logger.info('settlement: %s', counts)
    return counts


def cancellation_refund_number(order):
    """The out_refund_no of the refund of an order paid after it was cancelled."""
    return '%sC' % order.name


def settle_refunds(env):
    settled = 0
    refunds = env['sale.refund.order'].sudo().search([('state', '=', 'draft'), ('amount', '>', 0)])
    for refund in refunds:
        if _locked_value(env, 'sale_refund_order', 'state', refund.id) != 'draft':
            continue
        refund.invalidate_recordset()
        reply = runtime.wechatpay.query_refund(refund.name)
        order = refund.sale_order_id
        if reply.status == 404:     # WeChat Pay never received it: ask again, same number
            reply = request_refund(env, refund.name, int(round(refund.amount * 100)),
                                   order.transaction_id, order.name)
            create_api_log(log_title='退款重新申请', log_role='微信', log=reply)
        else:
            record_refund_outcome(refund, reply)
            create_api_log(log_title='退款查询', log_role='微信',
                           log=reply.data if reply.ok else reply.message)
        settled += refund.state != 'draft'
    return settled


def place_paid_drafts(env):
    placed = 0
    cutoff = fields.Datetime.now() - PLACEMENT_DELAY
    orders = env['sale.order'].sudo().search([('state', '=', 'draft'), ('is_paid', '=', True),
                                              ('pay_time', '<=', cutoff)])
    for order in orders:
        if _locked_value(env, 'sale_order', 'state', order.id) != 'draft':
            continue
        order.invalidate_recordset()
        order.state = 'paid'
        create_kfc_order(order)
        placed += 1
    return placed


def refund_paid_cancelled(env):
    refunded = 0
    orders = env['sale.order'].sudo().search([('state', '=', 'cancel'), ('is_paid', '=', True),
                                              ('transaction_id', '!=', False)])
    refunds = env['sale.refund.order'].sudo()
    for order in orders:
        name = cancellation_refund_number(order)
        if refunds.search_count([('name', '=', name)]):
            continue            # asked before: settle_refunds follows it
        reply = request_refund(env, name, False, order.transaction_id, order.name)
        create_api_log(log_title='取消订单退款', log_role='微信', log=reply)
        refunded += refunds.search_count([('name', '=', name), ('amount', '>', 0)])
    return refunded


def _locked_value(env, table, column, record_id):
    """``column`` of the row, read under its row lock (the caller's transaction keeps it)."""
    env.cr.execute('SELECT %s FROM %s WHERE id = %%s FOR UPDATE' % (column, table), (record_id,))
    row = env.cr.fetchone()
    return row[0] if row else None
