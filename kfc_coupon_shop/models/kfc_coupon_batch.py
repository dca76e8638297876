"""Coupon batches: many coupons for one dish issued at once for a partner or a campaign, their
codes handed out as a CSV file, their unredeemed coupons archived past the end date or when a
manager cancels them. Redeemed coupons stay the customers'."""
import base64
import csv
import io
import secrets

from odoo import _, api, fields, models
from odoo.exceptions import UserError

from ..services.china_time import china_today
from .kfc_coupon import CODE_ALPHABET, CODE_LENGTH, grouped_code

MAX_BATCH = 100000
INSERT_CHUNK = 5000         # coupons per INSERT statement


class KfcCouponBatch(models.Model):
    _name = 'kfc.coupon.batch'
    _description = 'Coupon batch'
    _order = 'id desc'

    name = fields.Char(required=True)
    product_id = fields.Many2one('kfc.product', string='Dish', required=True, readonly=True)
    count = fields.Integer(string='Count', readonly=True)
    end_date = fields.Date(string='End date', help='From the day after, the coupons nobody '
                           'redeemed are archived.')
    coupon_ids = fields.One2many('kfc.coupon', 'batch_id', string='Coupons',
                                 context={'active_test': False})
    issued_count = fields.Integer(string='Issued', compute='_compute_counts')
    redeemed_count = fields.Integer(string='Redeemed', compute='_compute_counts')
    spent_count = fields.Integer(string='Spent', compute='_compute_counts')
    cancelled_count = fields.Integer(string='Cancelled', compute='_compute_counts')

    @api.depends('coupon_ids.state', 'coupon_ids.active')
    def _compute_counts(self):
        counts = {}
        if self.ids:
            self.env['kfc.coupon'].flush_model(['batch_id', 'state', 'active'])
            self.env.cr.execute(
                "SELECT batch_id, state, active, count(*) FROM kfc_coupon"
                " WHERE batch_id IN %s GROUP BY batch_id, state, active", (tuple(self.ids),))
            for batch_id, state, active, number in self.env.cr.fetchall():
                key = 'cancelled' if not active else state
                counts[batch_id, key] = counts.get((batch_id, key), 0) + number
        for batch in self:
            get = lambda key: counts.get((batch.id, key), 0)    # noqa: E731
            batch.redeemed_count = get('exchange')
            batch.spent_count = get('done')
            batch.cancelled_count = get('cancelled')
            batch.issued_count = get('draft') + get('exchange') + get('done') + get('cancelled')

    # -- issuing ------------------------------------------------------------------------------
    def _kfc_issue(self, count):
        """Make ``count`` coupons for the batch's dish, in INSERT statements of INSERT_CHUNK rows
        (an ORM create per coupon would take minutes for a large batch). Each code is new: no
        stored code has its folded form."""
        self.ensure_one()
        if not 0 < count <= MAX_BATCH:
            raise UserError(_('A batch holds from 1 to %s coupons.', MAX_BATCH))
        self.env['kfc.coupon'].flush_model()
        cr, uid = self.env.cr, self.env.uid
        made = 0
        while made < count:
            keys = self._kfc_new_keys(min(INSERT_CHUNK, count - made))
            values = [(grouped_code(key), key, self.product_id.id, self.id) for key in keys]
            cr.execute(
                "INSERT INTO kfc_coupon (code, code_key, product_id, batch_id, name, state, active,"
                " create_uid, write_uid, create_date, write_date)"
                " SELECT v.code, v.code_key, v.product_id, v.batch_id, %s, 'draft', TRUE,"
                " %s, %s, now() at time zone 'UTC', now() at time zone 'UTC'"
                " FROM (VALUES " + ','.join(['(%s, %s, %s, %s)'] * len(values)) + ")"
                " AS v(code, code_key, product_id, batch_id)",
                [self.name, uid, uid] + [item for row in values for item in row])
            made += len(keys)
        self.count += count
        self.env['kfc.coupon'].invalidate_model()
        self.invalidate_recordset()

    def _kfc_new_keys(self, count):
        """``count`` folded codes of KfcCoupon's strength that no stored coupon has."""
        keys = set()
        while len(keys) < count:
            wanted = count - len(keys)
            fresh = {''.join(secrets.choice(CODE_ALPHABET) for _ in range(CODE_LENGTH))
                     for _ in range(wanted)} - keys
            self.env.cr.execute("SELECT code_key FROM kfc_coupon WHERE code_key IN %s",
                                (tuple(fresh),))
            keys |= fresh - {row[0] for row in self.env.cr.fetchall()}
        return list(keys)

    # -- distribution ---------------------------------------------------------------------------
    def _kfc_codes_csv(self):
        """The batch's coupons nobody redeemed yet as CSV (code, dish, end date), UTF-8."""
        self.ensure_one()
        out = io.StringIO()
        writer = csv.writer(out)
        writer.writerow([_('Code'), _('Dish'), _('End date')])
        end = fields.Date.to_string(self.end_date) if self.end_date else ''
        coupons = self.env['kfc.coupon'].search(
            [('batch_id', '=', self.id), ('state', '=', 'draft')], order='id')
        for coupon in coupons:
            writer.writerow([coupon.code, self.product_id.name or '', end])
        return out.getvalue().encode('utf-8')

    def action_download_codes(self):
        self.ensure_one()
        attachment = self.env['ir.attachment'].create({
            'name': '%s.csv' % self.name, 'mimetype': 'text/csv',
            'datas': base64.b64encode(self._kfc_codes_csv()),
            'res_model': self._name, 'res_id': self.id,
        })
        return {'type': 'ir.actions.act_url', 'target': 'self',
                'url': '/web/content/%s?download=true' % attachment.id}

    # -- end and cancel -------------------------------------------------------------------------
    def _kfc_archive_unredeemed(self):
        coupons = self.env['kfc.coupon'].search(
            [('batch_id', 'in', self.ids), ('state', '=', 'draft')])
        coupons.write({'active': False})
        return coupons

    def action_cancel_unredeemed(self):
        """A manager's cancelling of what nobody redeemed yet; redeemed coupons keep working."""
        if not self.env.user.has_group('kfc_coupon_shop.group_kfc_manager'):
            raise UserError(_('Only a manager cancels coupons.'))
        for batch in self:
            cancelled = batch._kfc_archive_unredeemed()
            self.env['kfc.staff.event']._kfc_record(
                'cancel_coupons', _('%(count)s coupons of batch %(batch)s cancelled',
                                    count=len(cancelled), batch=batch.name))

    @api.model
    def _cron_end_batches(self):
        """Past their end date (China's day), batches' unredeemed coupons are archived."""
        ended = self.search([('end_date', '<', china_today())])
        ended._kfc_archive_unredeemed()

    def unlink(self):
        if self.env['kfc.coupon'].with_context(active_test=False).search_count(
                [('batch_id', 'in', self.ids)]):
            raise UserError(_('A batch with coupons is kept: cancel its coupons instead.'))
        return super().unlink()
