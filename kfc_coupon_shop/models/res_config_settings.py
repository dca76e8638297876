"""The shop's page of Odoo's settings: the merchant's ids at the coupon back-end (system
parameters of the database), and a summary of what the server's configuration file sets, which
the database cannot change; no secret of it is shown."""
from odoo import fields, models

from ..services import runtime
from ..services.settings import DEFAULT_PRODUCTID, DEFAULT_USERID


class ResConfigSettings(models.TransientModel):
    _inherit = 'res.config.settings'

    kfc_backend_userid = fields.Integer(
        string='Merchant user id', config_parameter=runtime.PARAM_USERID, default=DEFAULT_USERID)
    kfc_backend_productid = fields.Integer(
        string='Product line', config_parameter=runtime.PARAM_PRODUCTID,
        default=DEFAULT_PRODUCTID)
    kfc_public_url = fields.Char(string='Public address', readonly=True)
    kfc_mode = fields.Selection([('sandbox', 'Sandbox'), ('production', 'Production')],
                                string='Outside services', readonly=True)
    kfc_wechatpay_mchid = fields.Char(string='WeChat Pay merchant', readonly=True)
    kfc_platform_key = fields.Boolean(string='WeChat Pay platform key', readonly=True)
    kfc_backend_account = fields.Boolean(string='Coupon back-end account', readonly=True)

    def get_values(self):
        """The page's values, with what the configuration file sets (never saved from here)."""
        values = super().get_values()
        settings = runtime.settings
        pay = settings.wechatpay
        values.update({
            'kfc_public_url': settings.public_url or self.env['ir.config_parameter'].sudo()
            .get_param('web.base.url'),
            'kfc_mode': 'sandbox' if settings.sandbox else 'production',
            'kfc_wechatpay_mchid': pay.mchid if pay else False,
            'kfc_platform_key': bool(pay and pay.platform_serial and (
                pay.platform_public_key or pay.platform_public_key_file)),
            'kfc_backend_account': settings.coupon_backend is not None,
        })
        return values
