"""Customers, keyed by their WeChat identity."""
from odoo import fields, models


class KfcUser(models.Model):
    _name = 'kfc.user'
    _description = 'Customer'

    name = fields.Char(string='Nickname')
    openid = fields.Char(index=True)
    unionid = fields.Char()
    token = fields.Char(index=True)
    phone = fields.Char()
