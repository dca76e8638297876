"""One database transaction per request, run again when it loses a race for the write lock.

Odoo reruns a request that hit a PostgreSQL serialization failure; here the same happens for
:class:`~kfchost.orm.sql_db.ConcurrencyFailure`, SQLite's form of it.
"""
import contextlib
import logging
import random
import sqlite3
import time

from kfchost.orm.exceptions import ValidationError
from kfchost.orm.sql_db import ConcurrencyFailure

from .request import request

_logger = logging.getLogger(__name__)

MAX_TRIES_ON_CONCURRENCY_FAILURE = 5


def retry_wait(tryno):
    """Seconds to wait before try ``tryno + 1``: random, so that the racers part."""
    return random.uniform(0.0, 2 ** tryno)


def retrying(func, registry):
    """Call ``func(cr)`` in a transaction of ``registry`` and commit it.

    After a concurrency failure the transaction is rolled back and ``func`` runs again, on a
    cursor of its own each time: nothing of a failed try, its read snapshot included, survives.
    Any other exception propagates and the transaction is rolled back.
    """
    for tryno in range(1, MAX_TRIES_ON_CONCURRENCY_FAILURE + 1):
        tryleft = MAX_TRIES_ON_CONCURRENCY_FAILURE - tryno
        with contextlib.closing(registry.cursor()) as cr:
            try:
                if tryno > 1:
                    # SQLite refuses a write on any snapshot older than the last commit, where
                    # PostgreSQL refuses only rows changed meanwhile: a request that calls out
                    # between its first read and its first write would lose again and again
                    # under load. Run again, it holds the write lock from the start.
                    cr.begin_writing()
                result = func(cr)
            except (sqlite3.IntegrityError, sqlite3.OperationalError) as exc:
                cr.rollback()
                _rewind_uploaded_files(exc)
                if isinstance(exc, sqlite3.IntegrityError):
                    raise ValidationError(f"The operation cannot be completed: {exc.args[0]}") from exc
                if not isinstance(exc, ConcurrencyFailure):
                    raise
                if not tryleft:
                    _logger.info("%s, maximum number of tries reached!", exc)
                    raise
                failure = exc
            else:
                cr.commit()
                return result

        wait_time = retry_wait(tryno)
        _logger.info("%s, %s tries left, try again in %.04f sec...", failure, tryleft, wait_time)
        time.sleep(wait_time)
    raise RuntimeError("unreachable")


def _rewind_uploaded_files(exc):
    if not request:
        return
    for filename, file in request.httprequest.files.items():
        if hasattr(file, "seekable") and file.seekable():
            file.seek(0)
        else:
            raise RuntimeError(f"Cannot retry request on input file {filename!r} "
                               "after serialization failure") from exc
