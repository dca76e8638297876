"""The daily reconciliation with WeChat Pay and the kitchen: one record per day, one per
difference found (tools/reconciling.py says what is compared). Nothing is changed to make a
difference go away: a manager explains each one, with a note."""
import datetime
import logging

from odoo import _, api, fields, models
from odoo.exceptions import UserError, ValidationError

from ..services import runtime
from ..services.china_time import china_today
from ..tools.reconciling import BillUnavailable, DayComparison, fetch_bill

_logger = logging.getLogger(__name__)

DIFFERENCE_KINDS = [
    ('payment_unknown', 'Payment the shop does not know'),
    ('payment_missing', 'Paid order WeChat Pay does not know'),
    ('payment_differs', 'Payment differs'),
    ('refund_unknown', 'Refund the shop does not know'),
    ('refund_missing', 'Refund WeChat Pay does not know'),
    ('refund_differs', 'Refund differs'),
    ('line_unknown', 'Dish the kitchen does not know'),
    ('line_given_back', 'Dish given back that the kitchen has'),
    ('unchecked', 'Not checked: no answer'),
]
# The daily run also takes up the days before that could not be reconciled (WeChat Pay makes
# a day's bill the next morning; a run before it is ready, or during an outage, fails).
CATCH_UP_DAYS = 3


class KfcReconciliation(models.Model):
    _name = 'kfc.reconciliation'
    _description = 'Reconciliation of a day'
    _order = 'day desc'
    _rec_name = 'day'

    day = fields.Date(required=True, help="China's day (UTC+8), as WeChat Pay's bill counts it.")
    # "done": the day's books agree, or every difference found is explained.
    state = fields.Selection([('todo', 'Not run'), ('open', 'Differences open'),
                              ('done', 'Reconciled'), ('failed', 'Not reconciled')],
                             default='todo', readonly=True)
    message = fields.Text(string='Why not reconciled', readonly=True)
    bill_lines = fields.Integer(string='Lines in the bill', readonly=True)
    reconciled_at = fields.Datetime(string='Last run', readonly=True)
    difference_ids = fields.One2many('kfc.reconciliation.difference', 'reconciliation_id',
                                     string='Differences', readonly=True)
    difference_count = fields.Integer(string='Number of differences', compute='_compute_counts',
                                      store=True)
    open_count = fields.Integer(string='Not explained', compute='_compute_counts', store=True)

    _sql_constraints = [('day_uniq', 'unique (day)', 'A day has one reconciliation.')]

    @api.depends('difference_ids.explained')
    def _compute_counts(self):
        for record in self:
            record.difference_count = len(record.difference_ids)
            record.open_count = len(record.difference_ids.filtered(lambda d: not d.explained))

    def _kfc_update_state(self):
        """A day run: reconciled once no difference is left unexplained."""
        for record in self.filtered(lambda r: r.state in ('open', 'done')):
            state = 'open' if record.difference_ids.filtered(lambda d: not d.explained) else 'done'
            if record.state != state:
                record.state = state

    @api.model
    def _cron_reconcile(self):
        """The daily run (data/ir_cron_data.xml): the day before, and the days before it that
        are not reconciled yet."""
        yesterday = china_today() - datetime.timedelta(days=1)
        days = [yesterday - datetime.timedelta(days=back) for back in range(CATCH_UP_DAYS, -1, -1)]
        done = self.sudo().search([('day', 'in', days), ('state', '=', 'done')]).mapped('day')
        for day in days:
            if day not in done:
                self._kfc_reconcile(day)

    def action_reconcile(self):
        """Reconcile the records' days (again): the back office's button."""
        self.check_access_rights('write')
        for day in self.mapped('day'):
            self.env['kfc.staff.event']._kfc_record('reconcile', _('Reconciliation of %s run',
                                                                 fields.Date.to_string(day)))
            self.sudo()._kfc_reconcile(day)
        return True

    @api.model
    def _kfc_reconcile(self, day, services=None):
        """Reconcile China's ``day``; returns its record. WeChat Pay and the kitchen are asked
        first, with nothing written and no lock held; what they answered is recorded after,
        in a transaction of its own."""
        services = services or runtime.services(self.env)
        services.commit(self.env)
        try:
            bill = fetch_bill(services.wechatpay_client(), day)
            found = DayComparison(self.env, services, day, bill).differences()
        except runtime.NotConfigured:
            outcome = {'failure': _('WeChat Pay is not configured')}
        except (BillUnavailable, LookupError) as exc:
            outcome = {'failure': _("WeChat Pay's bill of the day could not be had: %s", exc)}
        else:
            outcome = {'found': found, 'bill_lines': len(bill.payments) + len(bill.refunds)}
        services.record(self.env, lambda: self._kfc_record(day, **outcome))
        return self.sudo().search([('day', '=', day)])

    @api.model
    def _kfc_record(self, day, found=(), bill_lines=0, failure=None):
        """Write what a run of ``day`` found. A difference found again keeps its explanation;
        one no longer found goes, unless a manager explained it."""
        record = self.sudo().search([('day', '=', day)]) or self.sudo().create({'day': day})
        log = self.env['api.log']
        now = fields.Datetime.now()
        if failure:
            record.write({'state': 'failed', 'message': failure, 'reconciled_at': now})
            log._kfc_log('对账失败', '对账', {'day': str(day), 'why': failure})
            return record
        differences = self.env['kfc.reconciliation.difference'].sudo()
        existing = {(d.kind, d.reference): d for d in record.difference_ids}
        for values in found:
            difference = existing.pop((values['kind'], values['reference']), None)
            if difference:
                difference.write(values)
            else:
                differences.create(dict(values, reconciliation_id=record.id, day=day))
                log._kfc_log('对账差异', '对账', dict(values, day=str(day)))
        differences.browse([d.id for d in existing.values() if not d.explained]).unlink()
        record.write({'state': 'done', 'message': False, 'bill_lines': bill_lines,
                      'reconciled_at': now})
        record._kfc_update_state()
        _logger.info('reconciliation of %s: %d differences', day, len(found))
        return record


class KfcReconciliationDifference(models.Model):
    _name = 'kfc.reconciliation.difference'
    _description = 'Reconciliation difference'
    _order = 'day desc, id'
    _rec_name = 'reference'

    reconciliation_id = fields.Many2one('kfc.reconciliation', string='Reconciliation',
                                        required=True, ondelete='cascade', index=True,
                                        readonly=True)
    day = fields.Date(readonly=True, index=True)
    kind = fields.Selection(DIFFERENCE_KINDS, required=True, readonly=True)
    reference = fields.Char(string='Number', required=True, readonly=True,
                            help="The order's or refund's number at WeChat Pay, or the dish's "
                                 "uuid at the kitchen.")
    sale_order_id = fields.Many2one('sale.order', string='Order', readonly=True)
    refund_id = fields.Many2one('sale.refund.order', string='Refund', readonly=True)
    line_id = fields.Many2one('sale.order.line', string='Dish', readonly=True)
    shop_value = fields.Char(string='In the shop', readonly=True)
    outside_value = fields.Char(string='At WeChat Pay or the kitchen', readonly=True)
    explained = fields.Boolean(readonly=True)
    note = fields.Text(help='What explains the difference, and what was done about it.')
    explained_by = fields.Many2one('res.users', string='Explained by', readonly=True)
    explained_at = fields.Datetime(string='Explained at', readonly=True)

    @api.constrains('explained', 'note')
    def _check_note(self):
        if any(d.explained and not (d.note or '').strip() for d in self):
            raise ValidationError(_('An explained difference says what explains it in its note.'))

    def action_explain(self):
        """A manager explains the differences: each needs its note."""
        if any(not (d.note or '').strip() for d in self):
            raise UserError(_('Write what explains the difference in its note first.'))
        kinds = dict(self._fields['kind']._description_selection(self.env))
        for difference in self:
            self.env['kfc.staff.event']._kfc_record(
                'explain', _('Difference explained: %(kind)s, %(reference)s',
                             kind=kinds[difference.kind], reference=difference.reference),
                order=difference._kfc_order(), why=difference.note)
        self.write({'explained': True, 'explained_by': self.env.uid,
                    'explained_at': fields.Datetime.now()})
        self.reconciliation_id.sudo()._kfc_update_state()
        return True

    def _kfc_order(self):
        return self.sale_order_id or self.refund_id.sale_order_id or self.line_id.sale_order_id
