"""Entries of the host's API log: what was received from or sent to whom, and failures."""
from odoo import fields, models


class ApiLog(models.Model):
    _name = 'api.log'
    _description = 'API log entry'
    _order = 'id desc'

    name = fields.Char(string='Title')
    role = fields.Char()
    log = fields.Text()
    exception_type = fields.Char()
    exception_message = fields.Text()
