"""Issue a batch of coupons: a manager names the batch, its dish, how many and until when; the
batch is made with its coupons in one go and its form opens."""
from odoo import _, fields, models


class KfcCouponBatchIssue(models.TransientModel):
    _name = 'kfc.coupon.batch.issue'
    _description = 'Issue coupons'

    name = fields.Char(string='Batch', required=True)
    product_id = fields.Many2one('kfc.product', string='Dish', required=True)
    count = fields.Integer(string='Count', required=True, default=100)
    end_date = fields.Date(string='End date')

    def action_issue(self):
        self.ensure_one()
        batch = self.env['kfc.coupon.batch'].create({
            'name': self.name, 'product_id': self.product_id.id, 'end_date': self.end_date})
        batch._kfc_issue(self.count)
        self.env['kfc.staff.event']._kfc_record(
            'issue_coupons', _('%(count)s coupons for %(dish)s issued in batch %(batch)s',
                               count=self.count, dish=self.product_id.name, batch=batch.name))
        return {'type': 'ir.actions.act_window', 'name': _('Coupon batch'),
                'res_model': batch._name, 'res_id': batch.id, 'view_mode': 'form',
                'target': 'current'}
