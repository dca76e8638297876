"""Customers, keyed by their WeChat identity."""
import secrets

from odoo import _, api, fields, models

from ..tools.kept_records import refuse_deleting


class KfcUser(models.Model):
    _name = 'kfc.user'
    _description = 'Customer'

    name = fields.Char(string='Nickname')
    openid = fields.Char(string='Openid')
    openid_short = fields.Char(string='Short openid', compute='_compute_openid_short')
    unionid = fields.Char(string='Unionid')
    # The customer's login: a credential, read by the routes in superuser mode only.
    token = fields.Char(groups='base.group_system', copy=False)
    phone = fields.Char()
    sale_order_ids = fields.One2many('sale.order', 'kfc_user_id', string='Orders')
    coupon_ids = fields.One2many('kfc.coupon', 'kfc_user_id', string='Coupons')

    # Logins find the customer by openid, every user route by token: one record each (the
    # constraints' indexes serve those searches).
    _sql_constraints = [
        ('openid_uniq', 'unique (openid)', 'A WeChat openid belongs to one customer.'),
        ('token_uniq', 'unique (token)', 'A login token belongs to one customer.'),
    ]

    @api.depends('openid')
    def _compute_openid_short(self):
        for user in self:
            openid = user.openid or ''
            user.openid_short = openid if len(openid) <= 12 else openid[:6] + '…' + openid[-4:]

    def unlink(self):
        refuse_deleting(self, lambda user: user.sale_order_ids and _('the customer has orders.'))
        return super().unlink()

    def name_get(self):
        return [(user.id, user.name or user.openid_short or '') for user in self]

    @api.model
    def _kfc_new_token(self):
        """A new random login token (256 bits), unique among the customers."""
        users = self.sudo()
        while True:
            token = secrets.token_urlsafe(32)
            if not users.search_count([('token', '=', token)]):
                return token
