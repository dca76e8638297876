"""Row locks, taken the way Odoo's own add-ons take them: ``SELECT ... FOR UPDATE``."""


def lock_rows(records):
    """Hold the rows of ``records`` until the transaction ends, and read them afresh.

    Pending writes are flushed first, so that another transaction waiting on the lock sees
    them; the cache is dropped after, so that what a transaction that held the lock committed
    meanwhile is read. Rows are locked in ascending id order, as every path locks them, so that
    two transactions never wait on each other. Returns ``records``.
    """
    if not records:
        return records
    records.flush_recordset()
    records.env.cr.execute('SELECT id FROM "%s" WHERE id IN %%s ORDER BY id FOR UPDATE'
                           % records._table, (tuple(sorted(records.ids)),))
    records.invalidate_recordset()
    return records


def take_if_free(record):
    """Hold ``record``'s row until the transaction ends unless another transaction holds it
    (``SKIP LOCKED``), and read it afresh; whether it was taken."""
    record.flush_recordset()
    record.env.cr.execute('SELECT id FROM "%s" WHERE id = %%s FOR UPDATE SKIP LOCKED'
                          % record._table, (record.id,))
    taken = bool(record.env.cr.fetchone())
    record.invalidate_recordset()
    return taken
