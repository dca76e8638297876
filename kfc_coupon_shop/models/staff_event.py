"""Who did what in the back office: one event per staff action, with the user, the moment, what
was done and why; an order lists its own. Events are kept, as the money records they explain."""
from odoo import _, api, fields, models

from ..tools.kept_records import refuse_deleting

EVENT_KINDS = [
    ('refund', 'Refund'),
    ('resend', 'Pick-up message sent again'),
    ('give_back', 'Dish given back'),
    ('settle', 'Settle now'),
    ('reconcile', 'Reconcile'),
    ('explain', 'Difference explained'),
    ('issue_coupons', 'Coupons issued'),
    ('cancel_coupons', 'Coupons cancelled'),
]


class KfcStaffEvent(models.Model):
    _name = 'kfc.staff.event'
    _description = 'Staff action'
    _order = 'at desc, id desc'
    _rec_name = 'what'

    kind = fields.Selection(EVENT_KINDS, string='Action', required=True, readonly=True)
    user_id = fields.Many2one('res.users', string='By', required=True, readonly=True,
                              index=True, default=lambda self: self.env.uid)
    at = fields.Datetime(string='At', required=True, readonly=True, index=True,
                         default=fields.Datetime.now)
    what = fields.Char(required=True, readonly=True)
    why = fields.Text(readonly=True)
    sale_order_id = fields.Many2one('sale.order', string='Order', readonly=True, index=True)
    line_id = fields.Many2one('sale.order.line', string='Dish', readonly=True)

    def unlink(self):
        refuse_deleting(self, lambda event: _('what the staff did is kept.'))
        return super().unlink()

    @api.model
    def _kfc_record(self, kind, what, order=None, line=None, why=False):
        """Record that the current user did ``kind``: ``what``, for ``why``, on ``order`` (and
        its dish ``line``). Written in superuser mode: nobody writes events by hand."""
        return self.sudo().create({
            'kind': kind, 'user_id': self.env.uid, 'what': what, 'why': why or False,
            'sale_order_id': order.id if order else False, 'line_id': line.id if line else False,
        })
