"""Entries of the host's API log: what was received from or sent to whom, and failures.

An entry must survive the rollback of the transaction that made it (the failures are what the
log is for): entries wait on its cursor and are written in a transaction of their own as soon
as it commits or rolls back, never beside it while it is open.
"""
import datetime
import json
import logging

from odoo import _, api, fields, models

from ..services.redaction import redact, redact_data
from ..tools.kept_records import refuse_deleting, remove_kept

_logger = logging.getLogger(__name__)

# The longest text (characters) an entry keeps of each of its fields: a body or a reply of any
# size is cut to this, with a note of how long it was.
ENTRY_TEXT_LIMIT = 16 * 1024
RETENTION_PARAM = 'kfc_coupon_shop.api_log_retention_days'
DEFAULT_RETENTION_DAYS = 180


class ApiLog(models.Model):
    _name = 'api.log'
    _description = 'API log entry'
    _order = 'id desc'

    name = fields.Char(string='Title')
    role = fields.Char()
    log = fields.Text()
    exception_type = fields.Char(string='Exception type')
    exception_message = fields.Text(string='Exception message')

    def unlink(self):
        refuse_deleting(self, lambda entry: _('the API log is kept for the retention period '
                                              'of its entries, then removed by itself.'))
        return super().unlink()

    @api.model
    def _cron_remove_expired(self):
        """The scheduled removal (data/ir_cron_data.xml) of the entries older than the
        retention, in days (the system parameter RETENTION_PARAM); how many went."""
        days = self._kfc_retention_days()
        expired = self.sudo().search(
            [('create_date', '<', fields.Datetime.now() - datetime.timedelta(days=days))])
        remove_kept(expired)
        _logger.info('api.log: %d entries older than %d days removed', len(expired), days)
        return len(expired)

    @api.model
    def _kfc_retention_days(self):
        value = self.env['ir.config_parameter'].sudo().get_param(RETENTION_PARAM)
        try:
            days = int(value)
        except (TypeError, ValueError):
            days = 0
        if days < 1:            # unset or nonsense: never a reason to remove everything
            if value:
                _logger.warning('%s=%r is no number of days; %d used', RETENTION_PARAM, value,
                                DEFAULT_RETENTION_DAYS)
            days = DEFAULT_RETENTION_DAYS
        return days

    @api.model
    def _kfc_log(self, title, role, log):
        """Log ``log`` (any value, exceptions included) once this transaction ends, either way."""
        # The page's error log names its entries itself: the title may carry anything too.
        values = dict(name=redact(title or ''), role=role or '', **_describe(log))
        values = {field: bounded(text) for field, text in values.items()}
        self._kfc_pending(self.env.cr).append(values)

    @api.model
    def _kfc_pending(self, cr):
        pending = cr.postcommit.data.get('api_logs')
        if pending is None:
            pending = cr.postcommit.data['api_logs'] = []
            registry = self.env.registry

            def flush():
                entries, pending[:] = list(pending), []
                if entries:
                    _write(registry, entries)

            cr.postcommit.add(flush)
            cr.postrollback.add(flush)
        return pending


def _describe(log):
    """The entry's texts, secrets redacted (URLs of failed calls carry app secrets and tokens)."""
    if isinstance(log, BaseException):
        message = redact(log)
        return {'log': '%s: %s' % (type(log).__name__, message),
                'exception_type': type(log).__name__, 'exception_message': message}
    if hasattr(log, 'status_code') and hasattr(log, 'text'):   # an HTTP response
        return {'log': redact('HTTP %s %s\n%s' % (log.status_code, getattr(log, 'url', ''),
                                                  log.text))}
    try:
        return {'log': redact(json.dumps(redact_data(log), ensure_ascii=False))}
    except (TypeError, ValueError):
        return {'log': redact(log)}
    except RecursionError:
        return {'log': '%s nested too deeply to be logged' % type(log).__name__}


def bounded(text, limit=ENTRY_TEXT_LIMIT):
    """``text`` cut to ``limit`` characters, the cut marked with the length of the whole."""
    if len(text) <= limit:
        return text
    marker = '... [cut: %d characters in all]' % len(text)
    return text[:limit - len(marker)] + marker


def _write(registry, entries):
    try:
        with registry.cursor() as cr:
            api.Environment(cr, api.SUPERUSER_ID, {})['api.log'].create(entries)
    except Exception:           # the log must never break the work it describes
        _logger.exception('could not write %d api.log entries: %r', len(entries), entries)
