"""An Odoo-compatible records layer over SQLite: ``from kfchost.orm import api, fields, models``.

It follows Odoo 16 wherever code written against it could tell: users and access rights
(``sudo()`` for records the public user has no right to), a UTC process clock, raw SQL in
psycopg2's dialect only, a transaction aborted by a failed statement until it is rolled back,
savepoints, field values validated and read as Odoo does. Features it does not implement
(``related=``, ``search=``, ``inverse=``, archiving with ``x_active``, grouping by date periods)
raise NotImplementedError instead of behaving otherwise.

Known differences, on purpose:

* Locking. SQLite has one writer at a time: ``SELECT ... FOR UPDATE`` takes the database
  write lock until the transaction ends, where PostgreSQL locks only the rows selected. Two
  transactions touching different rows wait for each other here and not on PostgreSQL, and a
  second transaction opened beside one that has written cannot write until that one ends
  (so the add-on's API log writes its entries once the request's transaction has ended).
* Reruns. On PostgreSQL (REPEATABLE READ) a transaction that waited for a row lock keeps its
  older snapshot and fails with a serialization error (so Odoo reruns the request) only when
  the lock holder updated that very row. Here a transaction whose snapshot went stale while it
  waited for the write lock is rerun after any concurrent write, even to other rows.
* Flushing. ORM writes reach the database at once, where Odoo 16 keeps them in the cache and
  flushes them before its own searches and at commit. Raw SQL (``cr.execute``) right after an
  ORM write sees the new value here but may see the old one on Odoo: code must flush
  (``env.flush_all()``, ``records.flush_recordset()``) before raw SQL that reads what the ORM
  wrote, or write it with raw SQL in the first place.
* Environments. ``Environment(cr)`` defaults to the superuser and an empty context, for
  scripts and tests; Odoo requires ``Environment(cr, uid, context)``, so host code must pass
  all three.
"""
from . import api, exceptions, fields, models          # noqa: F401
from .fields import Command                             # noqa: F401
from .registry import Registry                          # noqa: F401
from . import base                                      # noqa: F401  (platform models)
