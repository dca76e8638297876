"""One database transaction per request, run again when it loses a race for the write lock.

Odoo reruns a request that hit a PostgreSQL serialization failure; here the same happens for
:class:`~kfchost.orm.sql_db.ConcurrencyFailure`, SQLite's form of it.
"""
import logging
import random
import sqlite3
import time

from werkzeug.exceptions import BadRequest

from kfchost.orm.sql_db import ConcurrencyFailure

from .request import request

_logger = logging.getLogger(__name__)

MAX_TRIES_ON_CONCURRENCY_FAILURE = 5


def retry_wait(tryno):
    """Seconds to wait before try ``tryno + 1``: random, so that the racers part."""
    return random.uniform(0.0, 2 ** tryno)


def retrying(func, cr):
    """Call ``func`` and commit ``cr``; roll back and call again after a concurrency failure.

    Any other exception propagates, leaving the rollback to the cursor's close.
    """
    for tryno in range(1, MAX_TRIES_ON_CONCURRENCY_FAILURE + 1):
        tryleft = MAX_TRIES_ON_CONCURRENCY_FAILURE - tryno
        try:
            result = func()
            flush = getattr(cr, 'flush', None)
            if flush is not None and not cr.closed:
                flush()
            break
        except (sqlite3.IntegrityError, sqlite3.OperationalError) as exc:
            if cr.closed:
                raise
            cr.rollback()
            _rewind_uploaded_files(exc)
            if isinstance(exc, sqlite3.IntegrityError):
                raise BadRequest(f"The operation cannot be completed: {exc.args[0]}") from exc
            if not isinstance(exc, ConcurrencyFailure):
                raise
            if not tryleft:
                _logger.info("%s, maximum number of tries reached!", exc)
                raise

            wait_time = retry_wait(tryno)
            _logger.info("%s, %s tries left, try again in %.04f sec...", exc, tryleft, wait_time)
            time.sleep(wait_time)

    if not cr.closed:
        cr.commit()
    return result


def _rewind_uploaded_files(exc):
    if not request:
        return
    for filename, file in request.httprequest.files.items():
        if hasattr(file, "seekable") and file.seekable():
            file.seek(0)
        else:
            raise RuntimeError(f"Cannot retry request on input file {filename!r} "
                               "after serialization failure") from exc
