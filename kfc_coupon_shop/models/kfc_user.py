"""Customers, keyed by their WeChat identity."""
import secrets

from odoo import api, fields, models


class KfcUser(models.Model):
    _name = 'kfc.user'
    _description = 'Customer'

    name = fields.Char(string='Nickname')
    openid = fields.Char(index=True)
    unionid = fields.Char()
    token = fields.Char(index=True)
    phone = fields.Char()

    @api.model
    def _kfc_new_token(self):
        """A new random login token (256 bits), unique among the customers."""
        users = self.sudo()
        while True:
            token = secrets.token_urlsafe(32)
            if not users.search_count([('token', '=', token)]):
                return token
