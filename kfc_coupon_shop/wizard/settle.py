"""Settle now: the manager's request is recorded as a settlement run and the scheduled
settlement woken (``ir.cron._trigger``); the run's form, reloaded, shows what each pass did."""
from odoo import _, models


class SaleOrderSettle(models.TransientModel):
    _name = 'sale.order.settle'
    _description = 'Settle now'

    def action_settle(self):
        run = self.env['kfc.settlement.run'].sudo().create({'user_id': self.env.uid})
        self.env['kfc.staff.event']._kfc_record('settle', _('Settlement %s asked for', run.display_name))
        self.env.ref('kfc_coupon_shop.ir_cron_settle').sudo()._trigger()
        return {'type': 'ir.actions.act_window', 'name': _('Settlement'),
                'res_model': run._name, 'res_id': run.id, 'view_mode': 'form',
                'target': 'current'}
