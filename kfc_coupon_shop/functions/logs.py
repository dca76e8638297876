"""``create_api_log``: the host's API log (model ``api.log``).

A log entry must survive the rollback of the request that wrote it - the failures are what the
log is for - and SQLite lets one transaction write at a time, so an entry cannot be written
beside the request's own transaction. Entries wait on the request's cursor and are written in a
transaction of their own as soon as that cursor commits or rolls back.
"""
import json
import logging

from odoo import api, http

from .. import runtime

_logger = logging.getLogger(__name__)


def create_api_log(log_title=None, log_role=None, log=None):
    values = dict(name=log_title or '', role=log_role or '', **_describe(log))
    env = _request_env()
    if env is not None:
        _pending(env.cr, env.registry).append(values)
    elif runtime.registry is not None:
        _write(runtime.registry, [values])
    else:                       # no database at hand: the process log keeps the entry
        _logger.info('api.log entry: %r', values)


def _describe(log):
    if isinstance(log, BaseException):
        return {'log': '%s: %s' % (type(log).__name__, log),
                'exception_type': type(log).__name__, 'exception_message': str(log)}
    if hasattr(log, 'status_code') and hasattr(log, 'text'):   # an HTTP response
        return {'log': 'HTTP %s %s\n%s' % (log.status_code, getattr(log, 'url', ''), log.text)}
    try:
        return {'log': json.dumps(log, ensure_ascii=False)}
    except (TypeError, ValueError):
        return {'log': str(log)}


def _request_env():
    try:
        return http.request.env
    except RuntimeError:        # called outside a request
        return None


def _pending(cr, registry):
    """The entries waiting on ``cr``, flushed once when its transaction ends either way."""
    pending = cr.postcommit.data.get('api_logs')
    if pending is None:
        pending = cr.postcommit.data['api_logs'] = []

        def flush():
            entries, pending[:] = list(pending), []
            if entries:
                _write(registry, entries)

        cr.postcommit.add(flush)
        cr.postrollback.add(flush)
    return pending


def _write(registry, entries):
    try:
        with registry.cursor() as cr:
            api.Environment(cr, api.SUPERUSER_ID, {})['api.log'].create(entries)
    except Exception:           # the log must never break the request it describes
        _logger.exception('could not write %d api.log entries: %r', len(entries), entries)
