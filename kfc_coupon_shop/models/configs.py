"""Configuration records: outside API credentials, back-end accounts, front-end keyword lists."""
from odoo import fields, models


class ApiConfig(models.Model):
    _name = 'api.config'
    _description = 'Outside API credentials'

    name = fields.Char(required=True, index=True)      # "wxapi": the WeChat official account
    app_id = fields.Char()
    # Administrators only (the routes read it in superuser mode); masked in the form.
    secret = fields.Char(groups='base.group_system', copy=False)


class AccountConfig(models.Model):
    _name = 'account.config'
    _description = 'Coupon back-end account'

    name = fields.Char()
    effective = fields.Boolean(default=True)
    ticket = fields.Char(groups='base.group_system', copy=False)   # a credential, as above
    deviceid = fields.Char()

    def name_get(self):
        return [(account.id, account.name or account.deviceid or '') for account in self]


class KeywordConfig(models.Model):
    _name = 'keyword.config'
    _description = 'Front-end keyword list'

    name = fields.Char(required=True, index=True)      # the list's type key
    keyword = fields.Text()                            # entries separated by "，"
