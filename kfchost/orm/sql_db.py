"""SQLite connections and cursors with the shape of Odoo's ``odoo.sql_db``.

One cursor is one transaction. ``cr.execute`` speaks psycopg2's dialect only (see
:mod:`.pgsql`), so the SQL that controllers send reads as it does on PostgreSQL; the records
layer itself writes SQLite's SQL through ``cr.sqlite_execute``. As on PostgreSQL, a failed
statement aborts the transaction: every later statement raises
:class:`InFailedSqlTransaction` until a rollback, or a rollback to a savepoint
(``with cr.savepoint():``) taken before the failure.

``SELECT ... FOR UPDATE`` has no row locks on SQLite; the cursor takes the database write
lock instead and keeps it until the transaction ends, so two transactions locking the same
row run one after the other. A transaction whose snapshot went stale while it waited for the
lock cannot continue on SQLite; it raises :class:`ConcurrencyFailure`, which the HTTP layer
answers the way Odoo answers a PostgreSQL serialization failure: roll back and run again.
"""
import datetime
import logging
import queue
import sqlite3
import threading
import uuid

from . import pgsql

_logger = logging.getLogger(__name__)

BUSY_TIMEOUT = 30.0  # seconds a statement waits for the write lock
# statements that do not take SQLite's write lock
_READING = ("SELECT", "PRAGMA", "WITH", "SAVEPO", "RELEAS", "ROLLBA")
# A thread whose transaction lost a race for the write lock: the add-on tries again on a
# fresh cursor (``registry.cursor()``), whose transaction then holds the lock from its start.
_raced = threading.local()


class ConcurrencyFailure(sqlite3.OperationalError):
    """The transaction lost a race for the write lock; run it again from the start. Its
    ``pgcode`` is PostgreSQL's for a serialization failure, as psycopg2's errors carry one."""

    pgcode = '40001'


class LockNotAvailable(ConcurrencyFailure):
    """``FOR UPDATE NOWAIT`` found the row locked, as PostgreSQL's 55P03."""

    pgcode = '55P03'


class InFailedSqlTransaction(sqlite3.InternalError):
    """A statement was sent after an earlier one failed, before the rollback."""

    def __init__(self):
        super().__init__("current transaction is aborted, commands ignored until end of "
                         "transaction block")


def _is_busy(exc):
    text = str(exc)
    return "database is locked" in text or "database is busy" in text


def _lower_unicode(value):
    return value.lower() if isinstance(value, str) else value


def connect(path):
    conn = sqlite3.connect(path, timeout=BUSY_TIMEOUT, isolation_level=None,
                           check_same_thread=False, detect_types=0)
    conn.execute("PRAGMA journal_mode=WAL")
    conn.execute("PRAGMA synchronous=NORMAL")
    conn.execute("PRAGMA foreign_keys=ON")
    # LIKE is case-sensitive as on PostgreSQL; ILIKE is written lower_unicode(x) LIKE lower_unicode(y)
    conn.execute("PRAGMA case_sensitive_like=ON")
    conn.create_function("lower_unicode", 1, _lower_unicode, deterministic=True)
    conn.execute("CREATE TABLE IF NOT EXISTS _write_lock (id INTEGER PRIMARY KEY)")
    return conn


class ConnectionPool:
    """Idle connections to one database file, handed to one cursor at a time."""

    def __init__(self, path, maxidle=16):
        self.path = path
        self._idle = queue.LifoQueue(maxidle)

    def borrow(self):
        try:
            return self._idle.get_nowait()
        except queue.Empty:
            return connect(self.path)

    def give_back(self, conn):
        if conn.in_transaction:
            conn.rollback()
        try:
            self._idle.put_nowait(conn)
        except queue.Full:
            conn.close()

    def close_all(self):
        while True:
            try:
                self._idle.get_nowait().close()
            except queue.Empty:
                return


class Callbacks:
    """Functions to run once when a transaction ends, as Odoo's ``cr.postcommit`` and
    ``cr.postrollback``; ``data`` is free room for what the functions share."""

    def __init__(self):
        self._funcs = []
        self.data = {}

    def add(self, func):
        self._funcs.append(func)

    def clear(self):
        self._funcs.clear()
        self.data.clear()

    def run(self):
        funcs = list(self._funcs)
        self.clear()
        for func in funcs:
            func()


class Savepoint:
    """A savepoint of the cursor's transaction, as Odoo's: leaving the ``with`` block by an
    exception rolls back to it (and the transaction is usable again), else it is released."""

    def __init__(self, cr):
        self.name = str(uuid.uuid1())
        self._cr = cr
        self.closed = False
        cr.sqlite_execute('SAVEPOINT "%s"' % self.name)

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc_val, exc_tb):
        self.close(rollback=exc_type is not None)

    def close(self, *, rollback=True):
        if not self.closed:
            self._close(rollback)

    def rollback(self):
        self._cr.sqlite_execute('ROLLBACK TO SAVEPOINT "%s"' % self.name)

    def _close(self, rollback):
        if rollback:
            self.rollback()
        self._cr.sqlite_execute('RELEASE SAVEPOINT "%s"' % self.name)
        self.closed = True


class _FlushingSavepoint(Savepoint):
    """Writes reach the database at once here, so only the cache needs care: values cached
    after the savepoint are dropped when rolling back to it."""

    def rollback(self):
        self._cr.clear()
        super().rollback()


class Cursor:
    """A transaction on a pooled connection, opened lazily by the first statement."""

    def __init__(self, pool):
        self._pool = pool
        self._cnx = pool.borrow()
        self._obj = self._cnx.cursor()
        self._writing = False
        # the last transaction (of this cursor, or this thread's last cursor) lost a race
        self._lost_race, _raced.lost = getattr(_raced, 'lost', False), False
        self._lock = threading.RLock()
        self._now = None
        self._aborted = False
        self.closed = False
        self.transaction = None     # the records layer's cache of this transaction
        self.postcommit = Callbacks()
        self.postrollback = Callbacks()

    # -- statements -------------------------------------------------------------------------
    def execute(self, query, params=None, log_exceptions=True):
        """Run ``query`` in psycopg2's dialect (``%s`` / ``%(name)s`` parameters)."""
        with self._lock:
            self._check_usable()
            try:
                pgsql.check_dialect(query)
            except pgsql.ProgrammingError:
                self._aborted = True
                raise
            query, lock_mode = pgsql.split_for_update(query)
            try:
                sql, values = pgsql.to_sqlite(query, params)
            except pgsql.ProgrammingError as exc:
                self._aborted = exc.aborts
                raise
            if lock_mode in ('skip', 'nowait') and not self._writing \
                    and not self._take_write_lock_at_once():
                if lock_mode == 'nowait':
                    self._aborted = True
                    raise LockNotAvailable('could not obtain lock on row')
                sql, values = 'SELECT 1 WHERE 0', ()    # SKIP LOCKED: the row is skipped
            return self._run(sql, values, bool(lock_mode), log_exceptions)

    def sqlite_execute(self, sql, params=()):
        """Run ``sql`` in SQLite's own dialect (``?`` parameters): the records layer's SQL."""
        with self._lock:
            return self._run(sql, tuple(params), False, True)

    def sqlite_executemany(self, sql, seq):
        with self._lock:
            self._check_usable()
            self._begin(immediate=False)
            try:
                self._obj.executemany(sql, seq)
            except sqlite3.Error as exc:
                self._fail(exc)
            self._writing = True
        return self

    def _check_usable(self):
        if self.closed:
            raise sqlite3.InterfaceError("Unable to use a closed cursor.")
        if self._aborted:
            raise InFailedSqlTransaction()

    def _run(self, sql, params, locks, log_exceptions):
        if not (self._aborted and sql.startswith('ROLLBACK TO SAVEPOINT')):
            self._check_usable()
        try:
            self._begin(immediate=locks)
            if locks:
                self._take_write_lock()
            self._obj.execute(sql, params)
        except sqlite3.Error as exc:
            if log_exceptions:
                _logger.debug("bad query: %s\nERROR: %s", sql, exc)
            self._fail(exc)
        if sql.startswith('ROLLBACK TO SAVEPOINT'):
            self._aborted = False
        if not self._writing and not sql.lstrip()[:6].upper().startswith(_READING):
            self._writing = True
        return self

    def _fail(self, exc):
        """A statement failed: the transaction is aborted until it is rolled back."""
        self._aborted = True
        if isinstance(exc, sqlite3.OperationalError) and _is_busy(exc):
            # SQLite refuses a write on any snapshot older than the last commit, where
            # PostgreSQL refuses only rows changed meanwhile: the next transaction of this
            # cursor, which tries again, holds the write lock from its start.
            self._lost_race = _raced.lost = True
            if not isinstance(exc, ConcurrencyFailure):
                raise ConcurrencyFailure(str(exc)) from exc
        raise exc

    def savepoint(self, flush=True):
        """A savepoint as a context manager; ``flush`` as in Odoo (writes are never pending here)."""
        return _FlushingSavepoint(self) if flush else Savepoint(self)

    def flush(self):
        """Writes reach the database at once here; nothing waits to be flushed."""

    def clear(self):
        """Forget the records layer's cache of this transaction."""
        if self.transaction is not None:
            self.transaction.reset()

    def fetchone(self):
        return self._obj.fetchone()

    def fetchall(self):
        return self._obj.fetchall()


    @property
    def rowcount(self):
        return self._obj.rowcount

    @property
    def lastrowid(self):
        return self._obj.lastrowid

    @property
    def description(self):
        return self._obj.description

    # -- transaction ------------------------------------------------------------------------
    def _begin(self, immediate):
        if self.closed:
            raise sqlite3.InterfaceError("Unable to use a closed cursor.")
        if self._cnx.in_transaction:
            return
        immediate, self._lost_race = immediate or self._lost_race, False
        try:
            self._cnx.execute("BEGIN IMMEDIATE" if immediate else "BEGIN")
        except sqlite3.OperationalError as exc:
            if _is_busy(exc):
                raise ConcurrencyFailure(str(exc)) from exc
            raise
        self._writing = immediate
        self._now = None

    def begin_writing(self):
        """Open the transaction holding the write lock from its start (waiting for it)."""
        with self._lock:
            self._begin(immediate=True)

    def now(self):
        """The transaction's timestamp: naive UTC, with microseconds, as PostgreSQL's now()."""
        with self._lock:
            self._begin(immediate=False)
            if self._now is None:
                self._now = datetime.datetime.utcnow()
            return self._now

    def _take_write_lock_at_once(self):
        """Take the write lock if no other transaction holds it; whether it was taken. SQLite
        has no row locks: a row another transaction may hold counts as locked."""
        self._cnx.execute('PRAGMA busy_timeout = 0')
        try:
            self._begin(immediate=False)
            self._take_write_lock()
            return True
        except ConcurrencyFailure:
            return False
        finally:
            self._cnx.execute('PRAGMA busy_timeout = %d' % (BUSY_TIMEOUT * 1000))

    def _take_write_lock(self):
        if self._writing:
            return
        try:
            # A write that changes nothing still takes SQLite's write lock.
            self._cnx.execute("UPDATE _write_lock SET id = id WHERE 0")
        except sqlite3.OperationalError as exc:
            if _is_busy(exc):
                raise ConcurrencyFailure(str(exc)) from exc
            raise
        self._writing = True

    def _finish_statement(self):
        # A SELECT not read to its end keeps its snapshot alive past COMMIT or ROLLBACK, into
        # the next transaction of this cursor: start over with a fresh statement cursor.
        self._obj.close()
        self._obj = self._cnx.cursor()

    def commit(self):
        """Commit; an aborted transaction is rolled back instead, as PostgreSQL does."""
        with self._lock:
            self._finish_statement()
            if self._cnx.in_transaction:
                self._cnx.execute("ROLLBACK" if self._aborted else "COMMIT")
            if self.transaction is not None:
                # as Odoo: what the next transaction reads, it reads afresh
                self.transaction.reset()
            self._aborted = False
            self._writing = False
            self._now = None
        self.postrollback.clear()
        self.postcommit.run()

    def rollback(self):
        with self._lock:
            self._finish_statement()
            if self._cnx.in_transaction:
                self._cnx.execute("ROLLBACK")
            self._aborted = False
            self._writing = False
            self._now = None
            if self.transaction is not None:
                self.transaction.reset()    # no rolled-back value may stay cached
        self.postcommit.clear()
        self.postrollback.run()

    def close(self):
        """Roll back what was not committed and return the connection to the pool."""
        if self.closed:
            return
        self.rollback()
        with self._lock:
            self.closed = True
            self._obj.close()
            self._pool.give_back(self._cnx)
            self._cnx = self._obj = None

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        """As Odoo's cursor: commit when the block ends normally, always close."""
        try:
            if exc_type is None:
                self.commit()
        finally:
            self.close()
