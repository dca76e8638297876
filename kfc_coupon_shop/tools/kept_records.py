"""Money records are kept: an order that took a payment, a refund, a spent coupon, a customer
with orders, an API-log entry and a staff event are never deleted, whoever asks. Only the
shop's own code deletes such a record, in superuser mode and saying so (``remove_kept``): the
API log's retention, and tests cleaning up what they committed."""
from odoo import _
from odoo.exceptions import UserError

# The context key of the one way round the rule; honoured in superuser mode only, so that no
# user's request can set it.
REMOVE_KEPT = 'kfc_remove_kept_records'


def refuse_deleting(records, kept):
    """Raise a UserError naming the first of ``records`` that ``kept(record)`` keeps, unless the
    deletion is the shop's own (``remove_kept``)."""
    records.check_access_rights('unlink')      # who may delete nothing hears so first
    if records.env.su and records.env.context.get(REMOVE_KEPT):
        return
    for record in records:
        why = kept(record)
        if why:
            raise UserError(_('%(record)s cannot be deleted: %(why)s Money records are kept '
                              'for the books.', record=record.display_name, why=why))


def remove_kept(records):
    """Delete ``records`` though the rule keeps them (superuser mode, the escape named)."""
    return records.sudo().with_context(**{REMOVE_KEPT: True}).unlink()
