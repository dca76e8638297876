"""Before 16.0.1.1.0 makes customers' openids and tokens and the numbers of orders and refunds
unique: stop the update on values that several records already share.

Odoo would log a warning and go on without the constraint, leaving the code that relies on it
(a login finds one customer by openid, a notification one order by number) to fail later.
Which record to keep is the shop's decision, so this lists them and changes nothing.
"""
from odoo.exceptions import UserError

# table, column, what the records are, whether the value may be shown (a token is a secret)
UNIQUE_COLUMNS = [
    ('kfc_user', 'openid', 'customers with one WeChat openid', False),
    ('kfc_user', 'token', 'customers with one login token', False),
    ('sale_order', 'name', 'orders with one number', True),
    ('sale_refund_order', 'name', 'refunds with one number', True),
]


def duplicates(cr):
    """One line per value held by several records: what they are and their ids."""
    lines = []
    for table, column, what, shown in UNIQUE_COLUMNS:
        cr.execute('SELECT "{column}", array_agg(id ORDER BY id) FROM "{table}" '
                   'WHERE "{column}" IS NOT NULL GROUP BY "{column}" HAVING count(*) > 1 '
                   'ORDER BY min(id)'.format(table=table, column=column))
        for value, ids in cr.fetchall():
            lines.append('%s%s: ids %s' % (what, ' %s' % value if shown else '',
                                           ', '.join(map(str, ids))))
    return lines


def migrate(cr, version):
    found = duplicates(cr)
    if found:
        raise UserError(
            'kfc_coupon_shop cannot make these values unique: several records hold one.\n%s\n'
            'Merge or renumber them (keep the one WeChat Pay or the customer knows), then '
            'update again.' % '\n'.join('- ' + line for line in found))
