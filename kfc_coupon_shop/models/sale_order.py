"""Meal orders: numbers, payment window, placement of the dishes, and the settlement passes."""
import datetime
import logging

from odoo import _, api, fields, models

from ..services import runtime
from ..services.china_time import rfc3339
from ..services.money import CURRENCY_XMLID, fen_to_yuan, yuan_to_fen
from ..services.wechatpay import failure, parse_time, to_fen
from ..tools import kitchen
from ..tools.kept_records import refuse_deleting
from ..tools.lifecycle import check_transition
from ..tools.locking import lock_rows
from ..tools.settling import settle_each

_logger = logging.getLogger(__name__)

ORDER_STATES = [
    ('draft', 'Created'),
    ('paid', 'Paid'),
    ('pick', 'Pick-up code received'),
    ('done', 'Done'),
    ('fail', 'Failed'),
    ('cancel', 'Cancelled'),
]
# How an order's state may move: {state: the states it may be reached from}. The progress poll
# sets it from the lines whatever it was ("fail" once every dish failed, "done" once one was
# delivered and none waits); a refund that leaves nothing to make cancels the order, and its
# refusal puts back the state it had.
ORDER_TRANSITIONS = {
    'draft': ('cancel',),
    'paid': ('draft', 'cancel'),
    'pick': ('paid', 'cancel'),
    'done': ('paid', 'pick', 'cancel'),
    'fail': ('draft', 'paid', 'pick', 'done', 'cancel'),
    'cancel': ('draft', 'paid', 'pick', 'done', 'fail'),
}
TAKE_AWAY, DINE_IN = 2, 1           # the back-end's pick-up methods
# The page writes the pick-up type as text: "1" is take-away, anything else dine-in.
PICK_UP_TYPES = [('take_away', 'Take-away'), ('dine_in', 'Dine-in')]
# The back office's account of the order's failed dishes, worst first: what became of them.
FAILURE_STATUSES = [
    ('refund_refused', 'Refund refused'),
    ('refunding', 'Refund in progress'),
    ('refunded', 'Refunded'),
    ('coupon_back', 'Coupon given back'),
    ('failed', 'Failed after pick-up'),
]
# Where a paid order stands at the counter, as the counter's kanban shows it: in the first column
# whose work it still waits for.
COUNTER_STATES = [
    ('paid', 'Paid, not with the kitchen'),
    ('kitchen', 'Waiting on the kitchen'),
    ('ready', 'Codes ready'),
    ('failed', 'Failed'),
]
# An unpaid order is cancelled this long after its creation.
PAYMENT_WINDOW = datetime.timedelta(minutes=5)
# Settlement places a paid order still in "draft" this long after its payment.
PLACEMENT_DELAY = datetime.timedelta(minutes=1)
# Settlement asks WeChat Pay about a payment still unpaid past its deadline (its notification
# may never have come) for this long; what is left after that, the daily reconciliation shows.
ASK_ABOUT_PAYMENTS_FOR = datetime.timedelta(days=1)
# A payment's trade_state that no longer changes once its deadline has passed.
FINAL_TRADE_STATES = ('SUCCESS', 'REFUND', 'NOTPAY', 'CLOSED', 'REVOKED', 'PAYERROR')

DEFAULT_DESCRIPTION = '美食订单'
REFUND_REFUSED = '退款申请无效'
CANCELLED_ORDER_REASON = '订单已取消'
PAY_NOTIFY_PATH = '/api/wechat_pay_notify'
REFUND_NOTIFY_PATH = '/api/wechat_refund_notify'
# No meal order comes near this (one million yuan): a larger amount is a fault of the caller.
MAX_AMOUNT_FEN = 100000000


def checked_fen(amount):
    """A whole, sane number of fen, else ValueError (inf, NaN, 1e30, fractions, negatives)."""
    fen = to_fen(amount)
    if not 0 < fen <= MAX_AMOUNT_FEN:
        raise ValueError('金额无效：%s' % amount)
    return fen


class SaleOrder(models.Model):
    _name = 'sale.order'
    _description = 'Meal order'

    name = fields.Char(string='Order number', readonly=True, copy=False)
    kfc_user_id = fields.Many2one('kfc.user', string='Customer', index=True)
    phone = fields.Char()
    store_name = fields.Char(string='Store')
    store_code = fields.Char(string='Store code')
    store_address = fields.Char(string='Store address')
    store_phone = fields.Char(string='Store phone')
    city_name = fields.Char(string='City')
    city_code = fields.Char(string='City code')
    remark = fields.Text()
    # As the page writes it; the back office shows pick_up_type.
    type = fields.Char(string='Pick-up type as sent')
    pick_up_type = fields.Selection(PICK_UP_TYPES, string='Pick-up type',
                                    compute='_compute_pick_up_type', store=True)
    state = fields.Selection(ORDER_STATES, default='draft', index=True, readonly=True, copy=False)
    currency_id = fields.Many2one('res.currency', string='Currency', required=True,
                                  readonly=True, default=lambda self: self.env.ref(CURRENCY_XMLID))
    amount = fields.Monetary(compute='_compute_amount', store=True)
    # What the shop keeps of the payment: paid, less what was given back of it.
    net_amount = fields.Monetary(string='Net amount', compute='_compute_net_amount', store=True)
    refund_left = fields.Monetary(string='Left to refund', compute='_compute_refund_left')
    failure_status = fields.Selection(FAILURE_STATUSES, string='Failed dishes',
                                      compute='_compute_failure_status')
    number = fields.Integer(string='Dishes', compute='_compute_amount', store=True)
    prepay_id = fields.Char(string='Prepay id', readonly=True, copy=False)
    is_paid = fields.Boolean(string='Paid', readonly=True, copy=False)
    transaction_id = fields.Char(string='Payment transaction', readonly=True, copy=False)
    pay_time = fields.Datetime(string='Paid at', readonly=True, copy=False)
    # WeChat Pay was asked about the payment after its deadline and the answer applied:
    # settlement asks no more.
    payment_checked = fields.Boolean(string='Payment checked', readonly=True, copy=False)
    # Written under the row lock by every refund, so that concurrent refunds of one order run
    # one after the other, each on the sums the other left.
    refund_stamp = fields.Datetime(string='Last refund at')
    line_ids = fields.One2many('sale.order.line', 'sale_order_id', string='Lines')
    # A dish handed over again and again without a result: the staff are to decide.
    placement_stuck = fields.Boolean(
        string='Hand-over unresolved', compute='_compute_placement_stuck')
    refund_ids = fields.One2many('sale.refund.order', 'sale_order_id', string='Refunds')
    staff_event_ids = fields.One2many('kfc.staff.event', 'sale_order_id', string='Staff actions')
    # The counter's kanban: its columns (all four shown, empty or not), and what a card shows.
    counter_state = fields.Selection(COUNTER_STATES, string='At the counter', index=True,
                                     compute='_compute_counter_state', store=True,
                                     group_expand='_expand_counter_states')
    counter_dishes = fields.Text(string='Dishes and codes', compute='_compute_counter_card')
    phone_tail = fields.Char(string="Phone's last digits", compute='_compute_counter_card')
    waiting_minutes = fields.Integer(string='Minutes waiting', compute='_compute_counter_card')

    # The number is the out_trade_no at WeChat Pay: notifications find the order by it.
    _sql_constraints = [('name_uniq', 'unique (name)', 'An order number is given once.')]

    @api.model_create_multi
    def create(self, vals_list):
        vals_list = [dict(vals, name=vals.get('name') or self._kfc_next_number('sale.order'))
                     for vals in vals_list]
        return super().create(vals_list)

    def write(self, vals):
        check_transition(self, 'state', vals, ORDER_TRANSITIONS)
        return super().write(vals)

    def unlink(self):
        refuse_deleting(self, lambda order: order._kfc_why_kept())
        return super().unlink()

    def _kfc_why_kept(self):
        """Why the order is a money record ('' when it is none)."""
        lines = self.line_ids
        if self.is_paid or self.transaction_id:
            return _('it took a payment.')
        if self.refund_ids:
            return _('it has refunds.')
        if lines.coupon_ids:
            return _('coupons were spent on it.')
        if any(line.uuid or line.placing_since or line.detail_state in ('wait', 'success')
               for line in lines):
            return _('dishes of it were handed to the kitchen.')
        return ''

    @api.depends('line_ids.total_price', 'line_ids.quantity')
    def _compute_amount(self):
        for order in self:
            lines = order.line_ids
            order.amount = sum(lines.mapped('total_price'))
            order.number = sum(lines.mapped('quantity'))

    @api.depends('line_ids.placement_stuck')
    def _compute_placement_stuck(self):
        for order in self:
            order.placement_stuck = any(order.line_ids.mapped('placement_stuck'))

    @api.model
    def _expand_counter_states(self, states, domain, order):
        return [key for key, _label in COUNTER_STATES]

    @api.depends('state', 'is_paid', 'line_ids.detail_state', 'line_ids.placing_since')
    def _compute_counter_state(self):
        for order in self:
            order.counter_state = order._kfc_counter_state()

    def _kfc_counter_state(self):
        """The first column whose work the order still waits for; False off the counter
        (unpaid, cancelled)."""
        if not self.is_paid or self.state == 'cancel':
            return False
        lines = self.line_ids
        states = set(lines.mapped('detail_state'))
        if any(not line.detail_state and not line.placing_since for line in lines):
            return 'paid'
        if 'wait' in states or False in states:        # handed over, or being handed over
            return 'kitchen'
        if 'success' in states:
            return 'ready'
        return 'failed' if 'fail' in states else False

    @api.depends('phone', 'kfc_user_id.phone', 'pay_time', 'counter_state',
                 'line_ids.pick_code', 'line_ids.detail_state', 'line_ids.product_id')
    def _compute_counter_card(self):
        now = fields.Datetime.now()
        for order in self:
            order.counter_dishes = '\n'.join(
                '%s  %s' % (line.product_id.name or '', line._kfc_counter_word())
                for line in order.line_ids)
            order.phone_tail = (order.phone or order.kfc_user_id.phone or '')[-4:]
            waiting = order.counter_state in ('paid', 'kitchen') and order.pay_time
            order.waiting_minutes = int((now - order.pay_time).total_seconds() // 60) if waiting else 0

    @api.depends('type')
    def _compute_pick_up_type(self):
        for order in self:
            order.pick_up_type = 'take_away' if order.type == '1' else 'dine_in'

    @api.depends('amount', 'is_paid', 'transaction_id', 'refund_ids.state',
                 'refund_ids.amount', 'refund_ids.transaction_id')
    def _compute_net_amount(self):
        """The payment less its refunds done (a payment refunded as not the order's counts
        for neither)."""
        for order in self:
            if not order.is_paid:
                order.net_amount = 0
                continue
            refunded = order.refund_ids.filtered(
                lambda refund: refund.state == 'done'
                and refund.transaction_id in (False, order.transaction_id))
            order.net_amount = fen_to_yuan(yuan_to_fen(order.amount)
                                           - sum(yuan_to_fen(r.amount) for r in refunded))

    @api.depends('amount', 'is_paid', 'refund_ids.state', 'refund_ids.amount')
    def _compute_refund_left(self):
        for order in self:
            order.refund_left = (fen_to_yuan(max(order._kfc_refund_left_fen(), 0))
                                 if isinstance(order.id, int) else 0)

    @api.depends('line_ids.detail_state', 'refund_ids.state')
    def _compute_failure_status(self):
        """The worst of what became of the failed dishes, as the customer's page tells it."""
        rank = [key for key, _label in FAILURE_STATUSES]
        for order in self:
            found = [line._kfc_failure_status() for line in order.line_ids
                     if line.detail_state == 'fail']
            order.failure_status = min(found, key=rank.index) if found else False

    # -- numbers -----------------------------------------------------------------------------
    # Every number below is sent to an outside service, and only once the record it belongs to
    # is committed: whatever asks again (a request run again, settlement) sends the same one.
    # Letters and digits only, as WeChat Pay and the back-end want.

    @api.model
    def _kfc_next_number(self, code):
        """The next number of the sequence ``code`` plus a part fixed per database, so that
        numbers of databases created again never meet at WeChat Pay: 24 characters. A number
        goes out only once its record is committed, and stays with it."""
        return self.env['ir.sequence'].sudo().next_by_code(code) + self._kfc_database_part()

    @api.model
    def _kfc_database_part(self):
        """Eight hex digits of the database's uuid (Odoo's "database.uuid" parameter)."""
        value = self.env['ir.config_parameter'].sudo().get_param('database.uuid')
        return value.replace('-', '')[:8].upper()

    def _kfc_line_number(self, line):
        """The back-end's orderno of one dish."""
        self.ensure_one()
        return '%sL%d' % (self.name, line.id)

    def _kfc_dish_refund_number(self, line):
        """The out_refund_no of the refund of a failed dish."""
        self.ensure_one()
        return '%sR%d' % (self.name, line.id)

    def _kfc_cancellation_refund_number(self):
        """The out_refund_no of the refund of an order paid after it was cancelled."""
        self.ensure_one()
        return '%sC' % self.name

    # -- payment -----------------------------------------------------------------------------

    def _kfc_amount_fen(self):
        return yuan_to_fen(self.amount)

    @api.model
    def _kfc_prepay(self, order_name, amount, openid, description=False, services=None):
        """Open a JSAPI payment of ``amount`` fen (990.0 for 9.90 yuan) for the order numbered
        ``order_name``: a dict, "code" 200 with "data" on success, otherwise another code and a
        readable "message", never an exception, whatever WeChat Pay or the caller sent."""
        if not order_name or not openid:
            return failure(400, '订单、用户或金额无效')
        services = services or runtime.services(self.env)
        try:
            total = checked_fen(amount)
            client = services.wechatpay_client()
            notify_url = services.notify_url(PAY_NOTIFY_PATH, self.env)
        except (TypeError, ValueError, LookupError) as exc:
            return failure(400, str(exc))
        order = self.sudo().search([('name', '=', order_name)], limit=1)
        time_expire = order._kfc_payment_deadline()
        if time_expire is False:
            return failure(400, '订单已超过支付期限')
        # The front end may post any JSON value as the description; WeChat Pay takes text only.
        text = str(description) if description not in (False, None, '') else DEFAULT_DESCRIPTION
        reply = client.jsapi_prepay(text[:127], order_name, total, openid, notify_url,
                                    time_expire=time_expire)
        if not reply.ok:
            return reply.as_failure()
        prepay_id = reply.data['prepay_id']
        data = {'prepay_id': prepay_id}
        data.update(client.jsapi_pay_params(prepay_id))
        return {'code': 200, 'data': data, 'message': 'success'}

    def _kfc_payment_deadline(self):
        """rfc3339 (China time) of the moment the order is cancelled unpaid, so that WeChat Pay
        takes no payment after it; None when unknown, False when it has passed."""
        if not self or not self.create_date:
            return None
        deadline = self.create_date + PAYMENT_WINDOW
        if deadline <= fields.Datetime.now():
            return False
        return rfc3339(deadline)

    # -- refunds -----------------------------------------------------------------------------
    # Refunds of one order run one after the other: each locks the order's row and writes it
    # before it records anything, so that the next one, waiting on the lock, reads afresh what
    # this one left (the refunds it sums, the lines it cancelled).

    def _kfc_refunded_fen(self):
        """Fen of the order's payment given back or on its way back: refunds in progress or
        done."""
        refunds = self.env['sale.refund.order'].sudo().search([
            ('sale_order_id', '=', self.id), ('state', 'in', ('draft', 'done'))])
        return sum(yuan_to_fen(amount) for amount in refunds.mapped('amount'))

    def _kfc_refund_left_fen(self):
        """What is left of the payment to give back."""
        return self._kfc_amount_fen() - self._kfc_refunded_fen() if self.is_paid else 0

    def _kfc_refundable_lines(self):
        """The dishes a customer may take back: paid with money, never handed to the kitchen,
        neither failed nor cancelled, and covered by no refund in progress or done."""
        covered = self.env['sale.refund.order'].sudo().search([
            ('sale_order_id', '=', self.id), ('state', 'in', ('draft', 'done'))]).line_ids.ids
        return self.line_ids.filtered(
            lambda line: line.total_price > 0 and not line.coupon_ids and not line.uuid
            and not line.placing_since and line.detail_state not in ('fail', 'cancel', 'success')
            and line.id not in covered)

    def _kfc_customer_refund(self, amount=False, transaction_id=False, name=False,
                             services=None):
        """A customer's refund: only what the kitchen never got. Without ``amount`` every
        refundable dish; with it (fen), the first refundable dishes, in line order, whose prices
        add up to it exactly. Capped at what is left of the payment. Anything else is refused
        with nothing written or asked. Answers as the host's WeChat Pay functions do."""
        if not self:
            return failure(400, '订单或退款单不存在')
        self.ensure_one()
        if not self.is_paid or not self.transaction_id:
            return failure(400, '订单未支付，无法退款')
        if transaction_id and transaction_id != self.transaction_id:
            return failure(400, '交易单号与订单不符')
        services = services or runtime.services(self.env)
        try:
            services.wechatpay_client()
            services.notify_url(REFUND_NOTIFY_PATH, self.env)
        except LookupError as exc:
            return failure(400, str(exc))
        lock_rows(self)
        lines = self._kfc_refundable_lines()
        # Only "no amount" means every dish; 0 == False must not turn into a full refund.
        explicit = not (amount is False or amount is None or amount == '')
        try:
            asked = checked_fen(amount) if explicit else None
        except (TypeError, ValueError):
            return failure(400, REFUND_REFUSED)
        if explicit:
            lines = _first_lines_adding_up_to(lines, asked)
        fen = min(sum(yuan_to_fen(line.total_price) for line in lines or ()),
                  self._kfc_refund_left_fen())
        if not lines or fen <= 0 or (explicit and fen != asked):
            return failure(400, REFUND_REFUSED)
        return self._kfc_refund(fen, lines, name=name, services=services)

    def _kfc_staff_refund(self, lines, reason=False, services=None):
        """A refund the staff decide: ``lines`` of the order, paid with money and covered by no
        refund in progress or done. A dish the kitchen has (handed over or delivered) may be
        given back only with a ``reason``, which WeChat Pay gets as the refund's reason: that
        is a goodwill refund, and the dish stays as it is. The amount is the dishes' prices, at
        most what is left of the payment. Answers as the host's WeChat Pay functions do."""
        self.ensure_one()
        if not self.is_paid or not self.transaction_id:
            return failure(400, '订单未支付，无法退款')
        lock_rows(self)
        covered = set(self.refund_ids.filtered(
            lambda refund: refund.state in ('draft', 'done')).line_ids.ids)
        if not lines or lines - self.line_ids or any(
                line.total_price <= 0 or line.coupon_ids or line.id in covered for line in lines):
            return failure(400, '所选菜品不可退款（未付款或已在退款中）')
        if not reason and any(line.uuid or line.placing_since or line.detail_state == 'success'
                              for line in lines):
            return failure(400, '厨房已接单或已出餐的菜品，退款须写明原因')
        fen = sum(yuan_to_fen(line.total_price) for line in lines)
        if fen > self._kfc_refund_left_fen():
            return failure(400, '退款金额超出可退金额：%s 分（可退 %s 分）'
                           % (fen, self._kfc_refund_left_fen()))
        return self._kfc_refund(fen, lines, reason=reason, services=services, by_staff=True)

    def _kfc_refund(self, fen, lines, name=False, reason=False, services=None, by_staff=False):
        """Record the refund (and, ``by_staff``, who decided it), then ask WeChat Pay for it;
        the answer as the host's WeChat Pay functions give it. The caller holds the order's
        lock and has checked the amount."""
        services = services or runtime.services(self.env)
        refund = self._kfc_open_refund(fen, lines, name=name, reason=reason)
        if by_staff:
            self.env['kfc.staff.event']._kfc_record(
                'refund', _('Refund %(refund)s of %(amount).2f yuan: %(dishes)s',
                            refund=refund.name, amount=fen_to_yuan(fen),
                            dishes=', '.join(lines.product_id.mapped('name'))),
                order=self, why=reason)
        services.commit(self.env)       # the refund, its number and its dishes, before asking
        reply = refund._kfc_send(services)
        services.commit(self.env)
        return refund._kfc_reply(reply)

    def _kfc_open_refund(self, fen, lines=None, name=False, reason=False):
        """Record a refund of ``fen`` of the order's payment that gives back ``lines`` (none: an
        amount alone). Dishes never handed to the kitchen are cancelled with it, and the order
        too when nothing of it is left to make, in the same transaction, before WeChat Pay is
        asked. The caller holds the order's lock and has checked ``fen`` against what is left."""
        self.ensure_one()
        self.write({'refund_stamp': fields.Datetime.now()})
        lines = lines or self.env['sale.order.line']
        values = {'sale_order_id': self.id, 'kfc_user_id': self.kfc_user_id.id,
                  'line_ids': [(6, 0, lines.ids)], 'amount': fen_to_yuan(fen),
                  'transaction_id': self.transaction_id, 'payment_amount': self.amount,
                  'reason': reason or False}
        refunds = self.env['sale.refund.order'].sudo()
        # A caller may have made the record beforehand, to name the refund: fill it in.
        refund = refunds.search([('name', '=', name), ('amount', '=', 0),
                                 ('sale_order_id', 'in', (self.id, False))], limit=1) \
            if name else refunds
        if refund:
            refund.write(values)
        else:
            refund = refunds.create(dict(values, name=name or False))
        unserved = lines.filtered(lambda line: not line.uuid and not line.placing_since
                                  and line.detail_state in (False, 'wait'))
        unserved.write({'detail_state': 'cancel'})
        unserved.coupon_ids.write({'state': 'exchange'})
        if unserved and all(state in ('cancel', 'fail') for state in self.line_ids.mapped('detail_state')):
            refund.cancelled_order_state = self.state
            self.state = 'cancel'
        return refund

    def _kfc_payment_mismatch(self, result, services):
        """Why the decrypted payment notification ``result`` is not this order's payment as it
        stands (another merchant or account, another amount); '' when it is."""
        client = services.wechatpay
        amount = result.get('amount')
        total = amount.get('total') if isinstance(amount, dict) else None
        if client is None:
            return 'WeChat Pay is not configured'
        if result.get('mchid') != client.mchid:
            return 'mchid %s is not this merchant\'s' % result.get('mchid')
        if result.get('appid') != client.appid:
            return 'appid %s is not this account\'s' % result.get('appid')
        if total != self._kfc_amount_fen():
            return 'amount %s fen, the order is %s fen' % (total, self._kfc_amount_fen())
        return ''

    def _kfc_refund_mismatched_payment(self, result, services=None):
        """See the host function ``refund_mismatched_payment``."""
        self.ensure_one()
        services = services or runtime.services(self.env)
        why = self._kfc_payment_mismatch(result, services)
        if why:
            self.env['api.log']._kfc_log('微信支付与订单不符', '微信', {
                'out_trade_no': self.name, 'transaction_id': result.get('transaction_id'),
                'why': why})
            self.env['sale.refund.order']._kfc_refund_payment(self, result, why, services)
        return why

    # -- placement ---------------------------------------------------------------------------

    def _kfc_place(self, services=None):
        """Hand the order's dishes not yet handed over to the back-end's kitchen, once the
        transaction that asks for it has committed (the order, its lines, its spent coupons):
        the dishes are claimed here, each stamped with the moment, and each is then handed over
        and its result written in a short transaction of its own, with no lock held across the
        back-end's calls. A request run again finds the dishes it claimed, or claims them anew
        if its first try rolled back: nothing is placed twice. A claim that no result followed
        (the process died, or the back-end's answer to the order entry was lost) is taken up by
        settlement once it is older than PLACING_LIMIT (sale_order_line), by the dish's own
        number, which the back-end answers with the order it already has. Only a refusal fails
        a dish; one whose hand-over never resolves is the staff's to give back.
        """
        self.ensure_one()
        services = services or runtime.services(self.env)
        lines = lock_rows(self).line_ids._kfc_to_place()
        if lines:
            lines._kfc_claim()
            line_ids = lines.ids
            services.after_commit(self.env, lambda env: env['sale.order.line'].browse(
                line_ids)._kfc_hand_over(services))

    def _kfc_queue_for_kitchen(self):
        """Send the order's dishes not yet handed over to the kitchen, out of the request: they
        are claimed and queued in the request's transaction, and the kitchen's dispatcher,
        woken once it commits, hands them over (sale.order.line._kfc_dispatch); the request
        waits for no back-end. Asked again, it finds its dishes claimed: none is queued twice."""
        self.ensure_one()
        lines = lock_rows(self).line_ids._kfc_to_place()
        if lines:
            lines._kfc_claim(queued=True)
            kitchen.wake(self.env)

    def _kfc_place_line(self, line, backend):
        if backend is None:
            raise LookupError('the coupon back-end account is not configured')
        product = line.product_id
        return backend.place(self._kfc_line_number(line), product.name or '',
                             product.link_id or '', yuan_to_fen(product.unit_price),
                             self._kfc_order_detail())

    def _kfc_order_detail(self):
        return {
            'storename': self.store_name or '',
            'storeaddr': self.store_address or '',
            'storetel': self.store_phone or '',
            'storecode': self.store_code or '',
            'pickupmethod': TAKE_AWAY if self.type == '1' else DINE_IN,
            'ordermono': self.remark or '',
            'booking': '',
        }


    # -- settlement --------------------------------------------------------------------------

    @api.model
    def _cron_settle(self):
        """The scheduled settlement (data/ir_cron_data.xml), which "Settle now" wakes: its
        counts go on the settlement runs the back office asked for meanwhile."""
        runs = self.env['kfc.settlement.run']._kfc_waiting()
        try:
            counts = self._kfc_settle()
        except Exception as exc:        # a service not configured: the manager reads why
            _logger.exception('settlement failed')
            self.env.cr.rollback()
            runs._kfc_finish(failure=exc)
            return
        runs._kfc_finish(counts)

    @api.model
    def _kfc_settle(self, services=None):
        """Close what requests, crashes and slow calls left open, asking the outside services;
        returns the counts of what was done. Each item is settled in a transaction of its own
        (settling.settle_each): one a request holds, or that fails, is left to the next run."""
        services = services or runtime.services(self.env)
        counts = {
            'payments_found': self._kfc_check_unnotified_payments(services),
            'refunds_settled': self.env['sale.refund.order']._kfc_settle_in_progress(services),
            'orders_placed': self._kfc_place_left_over(services),
            'cancelled_refunded': self._kfc_refund_paid_cancelled(services),
        }
        _logger.info('settlement: %s', counts)
        return counts

    @api.model
    def _kfc_check_unnotified_payments(self, services):
        """Ask WeChat Pay about the payments of orders still unpaid past their deadline, whose
        notification may never have come, and apply each as its notification would have been;
        returns how many were found paid. Run before the passes below, so that an order
        cancelled meanwhile is refunded, and a paid one placed, in the same run."""
        now = fields.Datetime.now()
        orders = self.sudo().search([
            ('prepay_id', '!=', False), ('is_paid', '=', False), ('payment_checked', '=', False),
            ('state', 'in', ('draft', 'cancel')), ('create_date', '<', now - PAYMENT_WINDOW),
            ('create_date', '>=', now - PAYMENT_WINDOW - ASK_ABOUT_PAYMENTS_FOR)])
        return settle_each(orders, lambda order: order._kfc_check_payment(services), services)

    def _kfc_check_payment(self, services):
        services.commit(self.env)           # hold no lock while WeChat Pay answers
        reply = services.wechatpay_client().query_transaction(self.name)
        if reply.status == 404:             # never opened there: nothing can come
            services.record(self.env, lambda: self.write({'payment_checked': True}))
            return False
        result = reply.data if reply.ok else {}
        if result.get('out_trade_no') != self.name \
                or result.get('trade_state') not in FINAL_TRADE_STATES:
            if not reply.ok:
                self.env['api.log']._kfc_log('支付查询失败', '微信', reply.message)
            return False                    # asked again on the next run
        found = []
        services.record(self.env, lambda: found.append(self._kfc_apply_payment(result, services)))
        return found[-1]

    def _kfc_apply_payment(self, result, services):
        """Apply WeChat Pay's verified account of the order's payment as its notification
        would be applied: a payment that is not this order's is given back; whether the order
        was found paid."""
        lock_rows(self)
        self.payment_checked = True
        if self.is_paid or result.get('trade_state') != 'SUCCESS' \
                or self._kfc_refund_mismatched_payment(result, services):
            return False
        paid_at = parse_time(result.get('success_time'))
        self.write({'transaction_id': result.get('transaction_id'), 'is_paid': True,
                    'pay_time': paid_at.astimezone(datetime.timezone.utc).replace(tzinfo=None)
                    if paid_at else fields.Datetime.now()})
        self.env['api.log']._kfc_log('支付通知未到，查询补记', '微信', result)
        return True

    @api.model
    def _kfc_place_left_over(self, services):
        """Place what paid orders left unplaced: dishes never handed over (the page never asked
        for the state change a minute after its payment, or the process died between commit
        and placement) and dishes whose placement gave no result in time."""
        lines = self.env['sale.order.line'].sudo().search([
            ('uuid', '=', False), ('detail_state', 'not in', ('fail', 'cancel', 'success')),
            ('sale_order_id.is_paid', '=', True),
            ('sale_order_id.state', 'in', ('draft', 'paid', 'pick'))])
        return settle_each(lines._kfc_to_place().sale_order_id,
                           lambda order: order._kfc_place_unplaced(services), services)

    def _kfc_place_unplaced(self, services):
        if self.state == 'draft':
            if not self.pay_time or self.pay_time > fields.Datetime.now() - PLACEMENT_DELAY:
                return False        # the page may still ask for the state change
            self.state = 'paid'
        if not self.is_paid or self.state not in ('paid', 'pick') \
                or not self.line_ids._kfc_to_place():
            return False
        self._kfc_place(services)
        return True

    @api.model
    def _kfc_refund_paid_cancelled(self, services):
        """Refund what is left of orders that were paid after they were cancelled, once."""
        orders = self.sudo().search([('state', '=', 'cancel'), ('is_paid', '=', True),
                                     ('transaction_id', '!=', False)])
        return settle_each(orders, lambda order: order._kfc_refund_cancelled(services), services)

    def _kfc_refund_cancelled(self, services):
        name = self._kfc_cancellation_refund_number()
        if self.state != 'cancel' or self.refund_ids.filtered(lambda refund: refund.name == name):
            return False            # asked before: the pass over refunds in progress follows it
        fen = self._kfc_refund_left_fen()
        if fen <= 0:
            return False            # nothing left: the customer's refunds gave it all back
        reply = self._kfc_refund(fen, None, name=name, reason=CANCELLED_ORDER_REASON,
                                 services=services)
        self.env['api.log']._kfc_log('取消订单退款', '微信', reply)
        return True


def _first_lines_adding_up_to(lines, fen):
    """The first of ``lines``, in their order, whose prices add up to ``fen``; None if no
    number of whole lines does."""
    total = 0
    for count, line in enumerate(lines, 1):
        total += yuan_to_fen(line.total_price)
        if total == fen:
            return lines[:count]
        if total > fen:
            break
    return None
