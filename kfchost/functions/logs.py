"""``create_api_log``: the host's API log (model ``api.log``).

A log entry must survive the rollback of the request that wrote it - the failures are what the
log is for - and SQLite lets one transaction write at a time, so an entry cannot be written
beside the request's own transaction. Entries wait on the request's cursor and are written in a
transaction of their own as soon as that cursor commits or rolls back.
"""
import contextlib
import contextvars
import json
import logging

from kfchost import http, runtime
from kfchost.orm import api
from kfchost.redaction import redact

_logger = logging.getLogger(__name__)
# The cursor of a job run outside any request (settlement), whose entries wait on it likewise.
_job_cursor = contextvars.ContextVar('api_log_job_cursor', default=None)


@contextlib.contextmanager
def logging_on(cr):
    """Within the block, entries made outside a request wait on ``cr`` as they would on a
    request's cursor (writing them beside it would wait for its write lock)."""
    token = _job_cursor.set(cr)
    try:
        yield
    finally:
        _job_cursor.reset(token)


def create_api_log(log_title=None, log_role=None, log=None):
    values = dict(name=log_title or '', role=log_role or '', **_describe(log))
    cr = _request_cursor()
    if cr is None:
        _write(runtime.registry, [values])
    else:
        _pending(cr).append(values)


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
        return {'log': redact(json.dumps(log, ensure_ascii=False))}
    except (TypeError, ValueError):
        return {'log': redact(log)}


def _request_cursor():
    try:
        return http.request.env.cr
    except RuntimeError:        # called outside a request
        return _job_cursor.get()


def _pending(cr):
    """The entries waiting on ``cr``, flushed once when its transaction ends either way."""
    pending = cr.postcommit.data.get('api_logs')
    if pending is None:
        pending = cr.postcommit.data['api_logs'] = []
        registry = cr.registry

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
            api.Environment(cr)['api.log'].create(entries)
    except Exception:           # the log must never break the request it describes
        _logger.exception('could not write %d api.log entries: %r', len(entries), entries)
