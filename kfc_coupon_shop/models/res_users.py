"""The shop's back-office users work on China's clock: one made without a time zone gets the
shop's, so that the web client shows and groups times as the customers and the reconciliation
count them."""
from odoo import api, models

from ..services.china_time import CHINA_ZONE

SHOP_GROUP = 'kfc_coupon_shop.group_kfc_staff'      # Managers are Staff too


class ResUsers(models.Model):
    _inherit = 'res.users'

    @api.model_create_multi
    def create(self, vals_list):
        users = super().create(vals_list)
        users.filtered(lambda user: not user.tz and user.has_group(SHOP_GROUP)).sudo().write(
            {'tz': CHINA_ZONE})
        return users

    @api.model
    def _kfc_default_admin_tz(self):
        """The administrator without a time zone gets the shop's (run once, at install)."""
        admin = self.env.ref('base.user_admin', raise_if_not_found=False)
        if admin and not admin.tz:
            admin.sudo().tz = CHINA_ZONE
