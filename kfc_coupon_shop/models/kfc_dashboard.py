"""The day at a glance for managers: one record per shop, its figures computed on read by
grouped queries, each figure a button that opens the records it counts."""
from odoo import _, api, fields, models

from ..services.china_time import china_today, utc_bounds
from ..services.money import CURRENCY_XMLID
from .settlement_run import RUN_STATES


class KfcDashboard(models.Model):
    _name = 'kfc.dashboard'
    _description = 'The day at a glance'

    name = fields.Char(required=True, translate=True)
    order_count = fields.Integer(string='Paid orders today', compute='_compute_today')
    currency_id = fields.Many2one('res.currency', compute='_compute_currency_id')
    paid_amount = fields.Monetary(string='Paid today', compute='_compute_today')
    refund_count = fields.Integer(string='Refunds today', compute='_compute_today')
    refund_amount = fields.Monetary(string='Refunded today', compute='_compute_today')
    failed_count = fields.Integer(string='Failed dishes today', compute='_compute_today')
    waiting_count = fields.Integer(string='Dishes waiting on the kitchen',
                                   compute='_compute_kitchen')
    oldest_wait_minutes = fields.Integer(string='Oldest wait (minutes)',
                                         compute='_compute_kitchen')
    claimed_count = fields.Integer(string='Dishes claimed, not placed', compute='_compute_kitchen')
    settlement_run_id = fields.Many2one('kfc.settlement.run', string='Last settlement run',
                                        compute='_compute_last_runs')
    settlement_state = fields.Selection(RUN_STATES, string='Last settlement',
                                        compute='_compute_last_runs')
    settlement_at = fields.Datetime(string='Settlement asked at', compute='_compute_last_runs')
    reconciliation_id = fields.Many2one('kfc.reconciliation', string='Last reconciliation',
                                        compute='_compute_last_runs')
    reconciliation_open = fields.Integer(string='Differences not explained',
                                         compute='_compute_last_runs')

    def _compute_currency_id(self):
        self.currency_id = self.env.ref(CURRENCY_XMLID)

    # -- what each figure counts -------------------------------------------------------------

    @api.model
    def _kfc_today(self, path='create_date'):
        start, end = utc_bounds(china_today())
        return [(path, '>=', fields.Datetime.to_string(start)),
                (path, '<', fields.Datetime.to_string(end))]

    def _kfc_domains(self):
        """{figure: (model, domain)}: what a figure counts is what its button opens."""
        return {
            'orders': ('sale.order', self._kfc_today() + [('is_paid', '=', True)]),
            'refunds': ('sale.refund.order', self._kfc_today() + [('state', '!=', 'fail')]),
            'failed': ('sale.order.line', self._kfc_today('sale_order_id.create_date')
                       + [('detail_state', '=', 'fail')]),
            'waiting': ('sale.order.line', [('detail_state', '=', 'wait')]),
            'claimed': ('sale.order.line', [('detail_state', '=', False), ('uuid', '=', False),
                                            ('placing_since', '!=', False)]),
        }

    def _kfc_totals(self, figure, aggregates=()):
        """The count and the aggregates (e.g. 'amount:sum') of a figure's records, in one
        grouped query."""
        model, domain = self._kfc_domains()[figure]
        rows = self.env[model].read_group(domain, list(aggregates) or ['__count'], [],
                                          lazy=False)
        return rows[0] if rows else {'__count': 0}

    # -- figures -----------------------------------------------------------------------------

    def _compute_today(self):
        orders = self._kfc_totals('orders', ['amount:sum'])
        refunds = self._kfc_totals('refunds', ['amount:sum'])
        failed = self._kfc_totals('failed')
        for board in self:
            board.order_count = orders['__count']
            board.paid_amount = orders.get('amount') or 0
            board.refund_count = refunds['__count']
            board.refund_amount = refunds.get('amount') or 0
            board.failed_count = failed['__count']

    def _compute_kitchen(self):
        waiting = self._kfc_totals('waiting', ['placed_at:min'])
        claimed = self._kfc_totals('claimed')
        oldest = fields.Datetime.to_datetime(waiting.get('placed_at'))
        minutes = int((fields.Datetime.now() - oldest).total_seconds() // 60) if oldest else 0
        for board in self:
            board.waiting_count = waiting['__count']
            board.oldest_wait_minutes = minutes
            board.claimed_count = claimed['__count']

    def _compute_last_runs(self):
        run = self.env['kfc.settlement.run'].search([], order='id desc', limit=1)
        day = self.env['kfc.reconciliation'].search([], order='day desc', limit=1)
        for board in self:
            board.settlement_run_id = run
            board.settlement_state = run.state
            board.settlement_at = run.asked_at
            board.reconciliation_id = day
            board.reconciliation_open = day.open_count

    # -- buttons -----------------------------------------------------------------------------

    def _kfc_open(self, figure, name):
        model, domain = self._kfc_domains()[figure]
        return {'type': 'ir.actions.act_window', 'name': name, 'res_model': model,
                'views': [(False, 'list'), (False, 'form')], 'domain': domain}

    def action_open_orders(self):
        return self._kfc_open('orders', _('Paid orders today'))

    def action_open_refunds(self):
        return self._kfc_open('refunds', _('Refunds today'))

    def action_open_failed(self):
        return self._kfc_open('failed', _('Failed dishes today'))

    def action_open_waiting(self):
        return self._kfc_open('waiting', _('Dishes waiting on the kitchen'))

    def action_open_claimed(self):
        return self._kfc_open('claimed', _('Dishes claimed, not placed'))

    def action_open_settlement_run(self):
        return self._kfc_open_record(self.settlement_run_id, 'kfc.settlement.run')

    def action_open_reconciliation(self):
        return self._kfc_open_record(self.reconciliation_id, 'kfc.reconciliation')

    def _kfc_open_record(self, record, model):
        self.ensure_one()
        return {'type': 'ir.actions.act_window', 'res_model': model, 'res_id': record.id,
                'views': [(False, 'form')]}
