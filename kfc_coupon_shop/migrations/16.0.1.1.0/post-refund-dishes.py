"""Refunds kept the one dish they gave back in ``line_id`` and read their payment from the
order; they now keep their dishes in ``line_ids`` and their payment on themselves, so that
asking again asks the same. Carry the old values over."""
from odoo.tools.sql import column_exists


def migrate(cr, version):
    if not version:
        return
    if column_exists(cr, 'sale_refund_order', 'line_id'):
        cr.execute("""
            INSERT INTO sale_order_line_sale_refund_order_rel (sale_refund_order_id, sale_order_line_id)
            SELECT id, line_id FROM sale_refund_order WHERE line_id IS NOT NULL
            ON CONFLICT DO NOTHING""")
    cr.execute("""
        UPDATE sale_refund_order AS refund
           SET transaction_id = sale_order.transaction_id, payment_amount = sale_order.amount
          FROM sale_order
         WHERE refund.sale_order_id = sale_order.id AND refund.transaction_id IS NULL""")
