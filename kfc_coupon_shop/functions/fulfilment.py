"""Failed dishes: ``order_fail_push`` makes the customer whole, ``get_error_message`` tells the page."""
import json

from .logs import create_api_log
from .payment import wx_api_refund

REMARKS = {
    False: '待下单',
    'wait': '出餐中，请稍候',
    'success': '已出餐，请凭取餐码取餐',
    'cancel': '订单已取消',
}
FAIL_REMARK_COUPON = '出餐失败，兑换券已退回'
FAIL_REMARK_REFUND = '出餐失败，已退款'
FAIL_REMARK_REFUNDING = '出餐失败，退款处理中'
FAIL_REMARK_REFUND_REFUSED = '出餐失败，退款未成功，请联系客服'
# What the customer is told of a failed paid dish, by the state of its refund.
REFUND_REMARKS = {'done': FAIL_REMARK_REFUND, 'draft': FAIL_REMARK_REFUNDING,
                  'fail': FAIL_REMARK_REFUND_REFUSED}


def order_fail_push(rec, sale_order_id):
    """Move a failed line to "fail" once: a coupon goes back to its owner, a paid dish is refunded."""
    line, order = rec, sale_order_id
    if _locked_state(line) == 'fail':
        return
    line.detail_state = 'fail'
    if line.coupon_ids:
        line.coupon_ids.write({'state': 'exchange'})
        note = FAIL_REMARK_COUPON
    elif line.total_price > 0:
        note = REFUND_REMARKS[_refund(line, order).state]
    else:
        return
    order.remark = '%s%s：%s' % ((order.remark + '；') if order.remark else '',
                                line.product_id.name or '', note)


def _locked_state(line):
    """The line's state read under the write lock, so two polls cannot both handle one failure."""
    cr = line.env.cr
    cr.execute('SELECT detail_state FROM sale_order_line WHERE id = %s FOR UPDATE', (line.id,))
    row = cr.fetchone()
    return row[0] if row else None


def _refund(line, order):
    """Ask WeChat Pay to refund the dish; the refund record says how far it got."""
    refund = line.env['sale.refund.order'].sudo().create({
        'sale_order_id': order.id,
        'kfc_user_id': order.kfc_user_id.id,
        'line_id': line.id,
    })
    reply = wx_api_refund(out_refund_no=refund.name,
                          amount=int(round(line.total_price * 100)),
                          transaction_id=order.transaction_id,
                          out_trade_no=order.name)
    create_api_log(log_title='出餐失败退款', log_role='微信', log=reply)
    if reply.get('code') != 200:
        refund.state = 'fail'
    return refund


def get_error_message(line):
    """What the page shows beside a line: its state, and for a failure what was done about it."""
    state = line.detail_state
    if state != 'fail':
        return REMARKS.get(state, state)
    if line.coupon_ids:
        remark = FAIL_REMARK_COUPON
    elif line.total_price > 0:
        refund = line.env['sale.refund.order'].sudo().search([('line_id', '=', line.id)], limit=1)
        remark = REFUND_REMARKS.get(refund.state, FAIL_REMARK_REFUND_REFUSED)
    else:
        remark = '出餐失败'
    reason = _reason(line.result)
    return '%s（%s）' % (remark, reason) if reason else remark


def _reason(result):
    """The back-end's own words on a failure, when the stored result holds them."""
    try:
        value = json.loads(result) if result else None
    except ValueError:
        return ''
    items = value if isinstance(value, list) else [value]
    for item in items:
        if isinstance(item, dict) and (item.get('msg') or item.get('message')):
            return item.get('msg') or item.get('message')
    return ''
