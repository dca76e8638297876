"""Order lines (one unit of one dish each): what happens when a dish fails, and what the page
shows beside it."""
import datetime
import json
import logging
import time

from odoo import _, api, fields, models
from odoo.exceptions import AccessError, UserError

from ..services import runtime
from ..services.china_time import shown_time
from ..services.coupon_backend import BackendRefusal, UnclearOutcome
from ..services.redaction import redact
from ..services.money import yuan_to_fen
from ..tools import kitchen
from ..tools.kept_records import refuse_deleting
from ..tools.lifecycle import check_transition
from ..tools.locking import lock_rows
from ..tools.web_client import CLOSE, notification

_logger = logging.getLogger(__name__)

# A dish claimed for placement this long ago without a result is handed over again.
PLACING_LIMIT = datetime.timedelta(minutes=2)
# The back-end may answer an empty done-order list for an order it entered moments ago: for
# this long (seconds) after the hand-over, that means "not yet", not a failed dish.
PARAM_NEW_ORDER_GRACE = 'kfc_coupon_shop.new_order_grace_seconds'
DEFAULT_NEW_ORDER_GRACE = 60
# After this many hand-overs without a result the order shows an alert in the back office, and
# a manager may give the dish back.
PARAM_PLACEMENT_ALERT_TRIES = 'kfc_coupon_shop.placement_alert_tries'
DEFAULT_PLACEMENT_ALERT_TRIES = 5
LINE_STATES = [
    ('wait', 'Handed to fulfilment'),
    ('success', 'Pick-up code received'),
    ('fail', 'Failed'),
    ('cancel', 'Cancelled'),
]
# How a dish's state may move (False: not handed to the kitchen yet); see lifecycle. A dish
# delivered may still fail; a refund refused puts back what it had cancelled.
LINE_TRANSITIONS = {
    False: ('cancel',),
    'wait': (False,),
    'success': ('wait',),
    'fail': (False, 'wait', 'success'),
    'cancel': (False, 'wait'),
}
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
FAILED_DISH_REASON = '出餐失败'
# The pick-up message names the order's pick-up method, and its time in China.
PICK_TYPES = {'1': '外带'}
OTHER_PICK_TYPE = '堂食'


class JsonText(fields.Text):
    """Text that stores an assigned list or dict as JSON (other values as their text)."""

    def convert_to_cache(self, value, record, validate=True):
        if isinstance(value, (list, dict)):
            value = json.dumps(value, ensure_ascii=False)
        return super().convert_to_cache(value, record, validate)


class SaleOrderLine(models.Model):
    _name = 'sale.order.line'
    _description = 'Meal order line'

    sale_order_id = fields.Many2one('sale.order', string='Order', required=True, ondelete='cascade',
                                    index=True)
    product_id = fields.Many2one('kfc.product', string='Dish')
    coupon_ids = fields.Many2many('kfc.coupon', string='Coupons')
    quantity = fields.Integer(default=1)
    currency_id = fields.Many2one('res.currency', string='Currency',
                                  compute='_compute_currency_id', store=True)
    unit_price = fields.Monetary(string='Unit price')
    total_price = fields.Monetary(string='Total price', compute='_compute_total_price', store=True)
    # No default: a line is "wait" only once placement has handed it to fulfilment.
    detail_state = fields.Selection(LINE_STATES, string='State', index=True, readonly=True,
                                    copy=False)
    uuid = fields.Char(string='Fulfilment order id')
    # Claimed for placement at this moment; cleared when the back-end's answer is written.
    placing_since = fields.Datetime(string='Handed over at', readonly=True, copy=False)
    # Claimed by a request and waiting for the kitchen's dispatcher (tools/kitchen.py), until
    # the hand-over's result is written.
    queued_for_kitchen = fields.Boolean(string='Waiting for the hand-over', readonly=True,
                                        copy=False, index=True)
    # Every hand-over counts, whoever makes it (a request, settlement).
    placing_tries = fields.Integer(string='Hand-over tries', readonly=True, copy=False)
    # When the back-end's uuid was written: the order is at least this old there.
    placed_at = fields.Datetime(string='Placed at', readonly=True, copy=False)
    placement_stuck = fields.Boolean(
        string='Hand-over unresolved', compute='_compute_placement_stuck')
    given_back_uid = fields.Many2one('res.users', string='Given back by', readonly=True,
                                     copy=False)
    given_back_at = fields.Datetime(string='Given back at', readonly=True, copy=False)
    pick_code = fields.Char(string='Pick-up code')
    phone = fields.Char()
    result = JsonText(string='Failing back-end reply')
    show_remark = fields.Char(string='Remark', compute='_compute_show_remark')

    @api.depends('sale_order_id.currency_id')
    def _compute_currency_id(self):
        for line in self:
            line.currency_id = line.sale_order_id.currency_id

    @api.depends('quantity', 'unit_price')
    def _compute_total_price(self):
        for line in self:
            line.total_price = line.quantity * line.unit_price

    @api.depends('detail_state', 'pick_code', 'coupon_ids', 'total_price', 'result')
    def _compute_show_remark(self):
        """What the customer's page says of the line (a refund's progress is read as it is)."""
        for line in self:
            line.show_remark = line._kfc_error_message()

    @api.depends('uuid', 'placing_since', 'detail_state', 'placing_tries')
    def _compute_placement_stuck(self):
        tries = self._kfc_placement_alert_tries()
        for line in self:
            line.placement_stuck = line._kfc_claimed() and line.placing_tries >= tries

    def write(self, vals):
        check_transition(self, 'detail_state', vals, LINE_TRANSITIONS)
        return super().write(vals)

    def unlink(self):
        refuse_deleting(self, lambda line: line.sale_order_id._kfc_why_kept())
        return super().unlink()

    def _kfc_counter_word(self):
        """The dish's pick-up code, or a word for where it is, on the counter's card."""
        if self.pick_code:
            return self.pick_code
        words = {'wait': _('in the kitchen'), 'fail': _('failed'), 'cancel': _('cancelled'),
                 'success': _('ready')}
        return words.get(self.detail_state) or (
            _('being handed over') if self.placing_since else _('not handed over'))

    def name_get(self):
        return [(line.id, '%s / %s' % (line.sale_order_id.name or '', line.product_id.name or ''))
                for line in self]

    # -- placement ---------------------------------------------------------------------------

    def _kfc_to_place(self):
        """The lines to hand to the kitchen: neither handed over nor failed nor cancelled, and
        not claimed by a placement still under way."""
        stale = fields.Datetime.now() - PLACING_LIMIT
        return self.filtered(lambda line: not line.uuid
                             and line.detail_state not in ('fail', 'cancel', 'success')
                             and (not line.placing_since or line.placing_since < stale))

    def _kfc_claim(self, queued=False):
        """Stamp the lines claimed for a hand-over now, and count the try; ``queued``: the
        kitchen's dispatcher is to hand them over."""
        now = fields.Datetime.now()
        for line in self:
            line.write({'placing_since': now, 'placing_tries': line.placing_tries + 1,
                        'queued_for_kitchen': queued})

    def _kfc_claimed(self):
        """Claimed for a hand-over that gave no result yet."""
        self.ensure_one()
        return bool(not self.uuid and self.placing_since
                    and self.detail_state not in ('fail', 'cancel', 'success'))

    @api.model
    def _cron_hand_over(self):
        """The kitchen's dispatcher (data/ir_cron_data.xml; a thread on the stand-in)."""
        pool = runtime.settings.kitchen_pool
        if 'ir.cron' not in self.env:
            pool = min(pool, kitchen.STANDIN_POOL)
        services = runtime.services(self.env)
        hand_over = kitchen.hand_over_in_own_cursor(self.env.registry, services)
        return self._kfc_dispatch(services, pool, hand_over)

    @api.model
    def _kfc_dispatch(self, services, pool_size=0, hand_over=None, budget=kitchen.RUN_BUDGET,
                      clock=time.monotonic, sleep=time.sleep):
        """One run of the kitchen's dispatcher (tools/kitchen.py): the queued dishes handed
        over, ``pool_size`` at a time each with ``hand_over(id)`` (by default one after the
        other in this environment's transaction); how many were tried."""
        lines = self.sudo()

        def scan(exclude, limit):
            services.commit(self.env)       # a fresh snapshot: what requests queued meanwhile
            return lines.search([
                ('queued_for_kitchen', '=', True), ('uuid', '=', False),
                ('detail_state', 'not in', ('fail', 'cancel', 'success')),
                ('id', 'not in', list(exclude))], order='id', limit=limit).ids
        hand_over = hand_over or (lambda line_id: lines.browse(line_id)._kfc_hand_over_queued(
            services))
        return kitchen.run(scan, hand_over, pool_size, lambda: kitchen.wake(self.env),
                           budget=budget, clock=clock, sleep=sleep)

    def _kfc_hand_over_queued(self, services):
        """The dispatcher's hand-over of one queued dish. Its claim is stamped anew first, so
        that settlement leaves it alone while this runs; a dish placed, given up or taken by
        settlement meanwhile is left as it is."""
        services.commit(self.env)
        if not lock_rows(self).queued_for_kitchen or self.uuid \
                or self.detail_state in ('fail', 'cancel', 'success'):
            return
        self.placing_since = fields.Datetime.now()
        self._kfc_hand_over_one(services)

    def _kfc_hand_over(self, services):
        """Hand each claimed line to the back-end, holding nothing while it answers, and write
        its result in a transaction of its own."""
        for line in self:
            try:
                line._kfc_hand_over_one(services)
            except Exception:
                _logger.exception('placing line %s failed; settlement takes it up', line.id)
                services.rollback(line.env)

    def _kfc_hand_over_one(self, services):
        services.commit(self.env)           # read afresh, holding no snapshot or lock
        if self.uuid or not self.placing_since or self.detail_state in ('fail', 'cancel'):
            return                          # placed, or given up, meanwhile
        try:
            uuid = self.sale_order_id._kfc_place_line(self, services.backend)
        except UnclearOutcome as exc:       # the kitchen may have it: never a refund
            if exc.args[1]:                 # its order is known: wait for the query
                services.record(self.env, lambda error=exc: self._kfc_placed(error.args[1], error))
            else:                           # the entry's answer was lost: hand it over again
                services.record(self.env, lambda error=exc: self._kfc_entry_unclear(error))
        except BackendRefusal as exc:       # the back-end said no: make the customer whole
            services.record(self.env, lambda error=exc: self._kfc_not_placed(error, services))
        else:
            services.record(self.env, lambda: self._kfc_placed(uuid))

    def _kfc_placed(self, uuid, unclear=None):
        if unclear is not None:
            self._kfc_log_placement('卡券下单结果未知', 'outcome unclear', unclear)
        values = {'uuid': uuid, 'placed_at': fields.Datetime.now(), 'placing_since': False,
                  'queued_for_kitchen': False}
        if self.detail_state in ('fail', 'cancel'):
            # given back meanwhile: the order it got stays on record, for the reconciliation
            self._kfc_log_placement('已退回的菜品已下单', 'placed after it was given back', uuid)
        else:
            values['detail_state'] = 'wait'
        self.write(values)

    def _kfc_not_placed(self, exc, services):
        self._kfc_log_placement('卡券下单失败', 'not placed', exc)
        self.write({'result': self._kfc_failure_result(exc), 'placing_since': False,
                    'queued_for_kitchen': False})
        self._kfc_fail(services)

    def _kfc_entry_unclear(self, exc):
        """The entry's answer was lost: the dish stays claimed, and settlement hands it over
        again under its number once the claim is past PLACING_LIMIT."""
        self._kfc_log_placement('卡券下单结果未知', 'entry unclear, left claimed', exc)
        self.queued_for_kitchen = False

    def _kfc_log_placement(self, title, what, exc):
        _logger.warning('line %s of %s %s: %s', self.id, self.sale_order_id.name, what, redact(exc))
        self.env['api.log']._kfc_log(title, '卡券后台', exc)

    def _kfc_may_not_show_yet(self):
        """Whether the back-end may not show the line's order yet: it was placed less than the
        grace period ago (an empty done-order list then means "not yet")."""
        self.ensure_one()
        params = self.env['ir.config_parameter'].sudo()
        grace = _int_param(params, PARAM_NEW_ORDER_GRACE, DEFAULT_NEW_ORDER_GRACE)
        return bool(self.placed_at) and \
            self.placed_at > fields.Datetime.now() - datetime.timedelta(seconds=grace)

    @api.model
    def _kfc_placement_alert_tries(self):
        params = self.env['ir.config_parameter'].sudo()
        return max(_int_param(params, PARAM_PLACEMENT_ALERT_TRIES, DEFAULT_PLACEMENT_ALERT_TRIES),
                   1)

    # -- the back office ---------------------------------------------------------------------

    def action_kfc_give_back_unplaced(self):
        """A manager gives up a hand-over that never resolved: the dish fails, its coupon goes
        back or its price is refunded, once; the dish keeps who did it and when. A dish placed
        or given back meanwhile is left as it is. Should the kitchen have it after all, the
        reconciliation shows the difference."""
        if not self.env.user.has_group('kfc_coupon_shop.group_kfc_manager'):
            raise AccessError(_('Only a manager may give back a dish that was not placed.'))
        given = self.browse()
        for line in self:
            if lock_rows(line).placement_stuck:
                line.write({'given_back_uid': self.env.uid,
                            'given_back_at': fields.Datetime.now(), 'placing_since': False})
                line._kfc_fail()
                self.env['kfc.staff.event']._kfc_record(
                    'give_back', _('%s given back: never placed', line.display_name),
                    order=line.sale_order_id, line=line)
                given |= line
        if not given:
            return notification(_('Nothing to give back: the dishes were placed or given back '
                                  'meanwhile.'), 'warning', CLOSE)
        return notification(_('Given back: %s.', ', '.join(given.mapped('display_name'))),
                            'success', CLOSE)

    def action_kfc_resend_pick_message(self):
        """Send the customer the pick-up message of these dishes again, as the progress poll
        sent it when their codes arrived (a customer who lost it, or one WeChat did not
        deliver). Staff may: reading the dishes is the right it takes."""
        self.check_access_rights('read')
        self.check_access_rule('read')
        for line in self:
            if not line.pick_code:
                raise UserError(_('%s has no pick-up code yet.', line.display_name))
            order = line.sale_order_id
            self.env['kfc.staff.event']._kfc_record(
                'resend', _('Pick-up message of %(dish)s (code %(code)s) sent again',
                            dish=line.product_id.name or '', code=line.pick_code),
                order=order, line=line)
            self.env['api.config'].sudo()._kfc_send_pick_message(
                order.kfc_user_id.openid, order.store_name, order.name, str([line.pick_code]),
                PICK_TYPES.get(order.type, OTHER_PICK_TYPE),
                shown_time(order.create_date),
                (line.phone or '')[-4:])
        return notification(_("The pick-up message is on its way to the customer; the API log "
                              "shows WeChat's answer."), next=CLOSE)

    # -- a failed dish -----------------------------------------------------------------------

    def _kfc_fail(self, services=None):
        """Move the failed line to "fail" once: a coupon goes back to its owner, a paid dish is
        refunded. Only what was never delivered is given back: a cancelled line is left as it
        is (the cancellation gave its coupon back; nothing was paid), and a delivered line
        ("success", its pick-up code was sent) becomes "fail" without a refund or its coupon.
        The line's row is locked first, so two polls cannot both handle one failure."""
        self.ensure_one()
        state = lock_rows(self).detail_state
        if state in ('fail', 'cancel'):
            return
        self.detail_state = 'fail'
        if state == 'success':
            return
        order = self.sale_order_id
        if self.coupon_ids:
            self.coupon_ids.write({'state': 'exchange'})
            note = FAIL_REMARK_COUPON
        elif self.total_price > 0 and order.is_paid:
            note = REFUND_REMARKS[self._kfc_refund(services).state]
        else:
            return
        order.remark = '%s%s：%s' % ((order.remark + '；') if order.remark else '',
                                    self.product_id.name or '', note)

    def _kfc_refund(self, services=None):
        """Give the failed dish's price back, once; the refund record says how far it got."""
        refund = self._kfc_refunds().filtered(lambda refund: refund.state in ('draft', 'done'))
        if refund:
            return refund[0]        # asked before: its outcome is WeChat Pay's to tell
        order = lock_rows(self.sale_order_id)
        fen = min(yuan_to_fen(self.total_price), order._kfc_refund_left_fen())
        refund = order._kfc_open_refund(max(fen, 0), self, name=order._kfc_dish_refund_number(self),
                                        reason=FAILED_DISH_REASON)
        if fen <= 0:
            refund.write({'state': 'fail', 'failure_reason': _('nothing left of the payment')})
            return refund
        refund._kfc_send_after_commit(services or runtime.services(self.env))
        return refund

    def _kfc_refunds(self):
        """The refunds that give this dish back, newest first."""
        return self.env['sale.refund.order'].sudo().search([('line_ids', 'in', self.ids)],
                                                           order='id desc')

    def _kfc_failure_status(self):
        """What became of the failed dish, as sale.order's failure_status names it."""
        if self.pick_code:
            return 'failed'             # delivered before it failed: nothing was given back
        if self.coupon_ids:
            return 'coupon_back'
        if self.total_price <= 0:
            return 'failed'
        state = self._kfc_refunds()[:1].state
        return {'done': 'refunded', 'draft': 'refunding'}.get(state, 'refund_refused')

    @staticmethod
    def _kfc_failure_result(exc):
        """What a line keeps of a failed placement. The page shows a "msg" to the customer, so
        only the back-end's own words go there, never our exception text (addresses,
        internals)."""
        result = {'error': type(exc).__name__, 'detail': redact(exc)}
        if isinstance(exc, BackendRefusal) and exc.reason:
            result['msg'] = exc.reason
        return result

    def _kfc_owed(self):
        """Whether the customer is owed this dish: it failed or was cancelled, and neither the
        money (a refund in progress or done covering it, or the order's whole payment) nor the
        coupon (back to the customer) came back. A dish with the kitchen, or still on its way
        there, is owed nothing."""
        self.ensure_one()
        if self.detail_state not in ('fail', 'cancel') or self.pick_code:
            return False
        if self.coupon_ids:
            return any(coupon.state == 'done' for coupon in self.coupon_ids)
        if self.total_price <= 0:
            return False
        order = self.sale_order_id
        refunds = order.refund_ids.filtered(lambda refund: refund.state in ('draft', 'done'))
        return self.id not in refunds.line_ids.ids and \
            sum(yuan_to_fen(amount) for amount in refunds.mapped('amount')) < order._kfc_amount_fen()

    # -- what the page shows -----------------------------------------------------------------

    def _kfc_error_message(self):
        """The line's state, and for a failure what was done about it."""
        state = self.detail_state
        if state != 'fail':
            return REMARKS.get(state, state)
        if self.pick_code:
            remark = '出餐失败'     # delivered before it failed: nothing was given back
        elif self.coupon_ids:
            remark = FAIL_REMARK_COUPON
        elif self.total_price > 0:
            # a paid dish never delivered: what became of its refund
            refund = self._kfc_refunds()[:1]
            remark = REFUND_REMARKS.get(refund.state, FAIL_REMARK_REFUND_REFUSED)
        else:
            remark = '出餐失败'
        reason = _reason(self.result)
        return '%s（%s）' % (remark, reason) if reason else remark


def _int_param(params, key, default):
    try:
        return int(params.get_param(key) or default)
    except ValueError:
        return default


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
