"""Order and refund numbers were drawn under a lock on their sequence ("no_gap"), held until
the drawing transaction ended; a number now goes out only once its record is committed, so
they are drawn without one ("standard")."""
from odoo import SUPERUSER_ID, api


def migrate(cr, version):
    if not version:
        return
    env = api.Environment(cr, SUPERUSER_ID, {})
    env['ir.sequence'].search([('code', 'in', ('sale.order', 'sale.refund.order'))]).write(
        {'implementation': 'standard'})
