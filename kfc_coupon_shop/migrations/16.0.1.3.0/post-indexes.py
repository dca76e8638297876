"""From 16.0.1.3.0 the unique constraints' own indexes serve the searches by orders' and
refunds' numbers and customers' openids and tokens. Odoo keeps an index whose field lost
``index=True`` ("Keep unexpected index"): the second index of each column is dropped here."""

INDEXES = ('sale_order_name_index', 'sale_refund_order_name_index', 'kfc_user_openid_index',
           'kfc_user_token_index')


def migrate(cr, version):
    for index in INDEXES:
        cr.execute('DROP INDEX IF EXISTS "%s"' % index)
