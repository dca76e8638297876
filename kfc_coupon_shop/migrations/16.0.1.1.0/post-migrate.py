"""Login tokens out of the API log entries written before they were masked: each is masked as
new entries mask it, its last four characters kept, wherever it stands in the entry."""
import re

from odoo import SUPERUSER_ID, api
from odoo.addons.kfc_coupon_shop.services.redaction import masked, redact

BATCH = 1000
TEXT_FIELDS = ('name', 'log', 'exception_message')
# Where a known token may stand in free text (the page's error log writes what it likes).
WORD = re.compile(r'[A-Za-z0-9_-]{16,}')


def migrate(cr, version):
    if not version:
        return              # a new installation: no entries of before
    env = api.Environment(cr, SUPERUSER_ID, {})
    mask_logged_tokens(env)


def mask_logged_tokens(env):
    """Mask the secrets and customers' tokens in every api.log entry; how many changed."""
    tokens = set(env['kfc.user'].search([('token', '!=', False)]).mapped('token'))
    logs = env['api.log']
    ids = logs.search([], order='id').ids
    changed = 0
    for start in range(0, len(ids), BATCH):
        for entry in logs.browse(ids[start:start + BATCH]).read(list(TEXT_FIELDS)):
            values = {}
            for name in TEXT_FIELDS:
                text = entry[name]
                if text:
                    clean = _mask_tokens(redact(text), tokens)
                    if clean != text:
                        values[name] = clean
            if values:
                logs.browse(entry['id']).write(values)
                changed += 1
        env.flush_all()
        env.invalidate_all()        # keep the cache to one batch
    return changed


def _mask_tokens(text, tokens):
    return WORD.sub(lambda m: masked('token', m.group()) if m.group() in tokens else m.group(),
                    text)
