"""Cursor life cycle: what survives the end of a transaction, and what runs after it."""


def _value(cr):
    cr.execute("SELECT value FROM ir_config_parameter WHERE key = %s", ['k'])
    row = cr.fetchone()
    return row and row[0]


def test_no_snapshot_survives_the_end_of_a_transaction(registry):
    with registry.cursor() as cr:
        cr.execute("INSERT INTO ir_config_parameter (key, value) VALUES (%s, %s)", ['k', 'old'])
    for end in ('rollback', 'commit'):
        reader = registry.cursor()
        # A SELECT read only in part holds SQLite's snapshot until its statement is reset.
        reader.execute("SELECT key FROM ir_config_parameter UNION ALL SELECT 'x'")
        reader.fetchone()
        getattr(reader, end)()
        with registry.cursor() as writer:
            writer.execute("UPDATE ir_config_parameter SET value = %s WHERE key = %s", [end, 'k'])
        assert _value(reader) == end
        reader.close()


def test_callbacks_run_once_on_the_way_the_transaction_ended(registry):
    ran = []
    for end in ('commit', 'rollback', 'close'):
        cr = registry.cursor()
        cr.execute("SELECT 1")
        cr.postcommit.add(lambda end=end: ran.append(('postcommit', end)))
        cr.postrollback.add(lambda end=end: ran.append(('postrollback', end)))
        getattr(cr, end)()
        cr.commit() if end != 'close' else None   # a second end of transaction runs nothing
        cr.close()
    assert ran == [('postcommit', 'commit'), ('postrollback', 'rollback'), ('postrollback', 'close')]
