"""Before 16.0.1.3.0 keeps its amounts in Monetary fields of the yuan: the currency columns are
made and filled here, so that Odoo finds every row with its currency (and makes the order's
NOT NULL) instead of leaving it to defaults. Base's currency record is kept as it is on an
update ("noupdate"): the yuan is activated here as the data file does at install."""

TABLES = ('sale_order', 'sale_order_line', 'sale_refund_order', 'kfc_product')


def migrate(cr, version):
    if not version:
        return
    cr.execute("SELECT res_id FROM ir_model_data WHERE module = 'base' AND name = 'CNY'")
    [currency_id] = cr.fetchone()
    cr.execute('UPDATE res_currency SET active = true WHERE id = %s', (currency_id,))
    for table in TABLES:
        cr.execute('ALTER TABLE "%s" ADD COLUMN IF NOT EXISTS currency_id int4' % table)
        cr.execute('UPDATE "%s" SET currency_id = %%s WHERE currency_id IS NULL' % table,
                   (currency_id,))
