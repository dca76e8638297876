"""Raw SQL as on PostgreSQL through psycopg2: its parameter dialect only, a transaction
aborted by a failed statement until rollback, and savepoints that undo a failed part."""
import sqlite3

import pytest

from kfchost.orm import sql_db


@pytest.fixture
def cr(env):
    env.cr.execute("CREATE TABLE note (id INTEGER PRIMARY KEY, body TEXT NOT NULL, n INTEGER)")
    env.cr.execute("INSERT INTO note (body, n) VALUES (%s, %s), (%s, %s), (%s, %s)",
                   ('a', 1, 'b', 2, 'c', 3))
    return env.cr


def _bodies(cr):
    cr.execute("SELECT body FROM note ORDER BY id")
    return [row[0] for row in cr.fetchall()]


def test_psycopg2_parameters_named_positional_and_in_tuples(cr):
    cr.execute("SELECT body FROM note WHERE n IN %s ORDER BY id", [(1, 3)])
    assert cr.fetchall() == [('a',), ('c',)]
    cr.execute("SELECT body FROM note WHERE n = %(n)s OR n = %(n)s + %(step)s ORDER BY id",
               {'n': 1, 'step': 1})
    assert cr.fetchall() == [('a',), ('b',)]
    # with parameters %% is a percent sign; without, the text is sent as it stands
    cr.execute("SELECT body FROM note WHERE body LIKE %s || '%%'", ['b'])
    assert cr.fetchall() == [('b',)]
    cr.execute("SELECT count(*) FROM note WHERE body LIKE '%'")
    assert cr.fetchone() == (3,)
    cr.execute("SELECT '?', ':x', body FROM note WHERE n = %s", [1])   # literals are text
    assert cr.fetchall() == [('?', ':x', 'a')]


@pytest.mark.parametrize('sql, params', [
    ("SELECT body FROM note WHERE n = ?", [1]),
    ("SELECT body FROM note WHERE n = :n", {'n': 1}),
    ("SELECT body FROM note LIMIT -1 OFFSET %s", [1]),
    ("SELECT body FROM note LIMIT 1, 2", None),
    ("INSERT OR IGNORE INTO note (id, body) VALUES (%s, %s)", [1, 'x']),
    ("REPLACE INTO note (id, body) VALUES (%s, %s)", [1, 'x']),
    ("PRAGMA table_info(note)", None),
    ("SELECT ifnull(n, 0) FROM note", None),
    ("SELECT body FROM note WHERE n == %s", [1]),
    ("SELECT `body` FROM note", None),
])
def test_sqlite_only_forms_are_refused_and_abort_the_transaction(cr, sql, params):
    with pytest.raises(sqlite3.ProgrammingError, match="psycopg2's dialect"):
        cr.execute(sql, params)
    with pytest.raises(sql_db.InFailedSqlTransaction):     # PostgreSQL would have failed the statement
        cr.execute("SELECT 1")
    cr.rollback()
    cr.execute("SELECT 1")


@pytest.mark.parametrize('sql, params, error', [
    ("SELECT body FROM note WHERE n = %s AND id = %s", [1], IndexError),
    ("SELECT body FROM note WHERE n = %s", [1, 2], TypeError),
    ("SELECT body FROM note WHERE n = %s OR n = %(n)s", {'n': 1}, TypeError),
    ("SELECT body FROM note WHERE n = %(n)s", {'m': 1}, KeyError),
    ("SELECT body FROM note WHERE n = %d", [1], ValueError),
    ("SELECT body FROM note WHERE n = %s", 1, ValueError),
    ("SELECT body FROM note WHERE n IN %s", [[1, 2]], sqlite3.ProgrammingError),
])
def test_parameters_psycopg2_refuses_before_sending_leave_the_transaction_usable(cr, sql, params, error):
    with pytest.raises(error):
        cr.execute(sql, params)
    assert _bodies(cr) == ['a', 'b', 'c']


def test_failed_statement_aborts_the_transaction_until_rollback(registry, cr):
    cr.commit()
    cr.execute("UPDATE note SET body = %s WHERE n = %s", ['changed', 1])
    with pytest.raises(sqlite3.IntegrityError):
        cr.execute("INSERT INTO note (body) VALUES (%s)", [None])
    with pytest.raises(sql_db.InFailedSqlTransaction, match='current transaction is aborted'):
        cr.execute("SELECT 1")
    with pytest.raises(sql_db.InFailedSqlTransaction):
        cr.savepoint()
    # a commit of an aborted transaction rolls it back, as PostgreSQL's COMMIT does
    cr.commit()
    assert _bodies(cr) == ['a', 'b', 'c']


def test_records_layer_statements_are_refused_too_after_a_failure(env, cr):
    with pytest.raises(sqlite3.IntegrityError):
        cr.execute("INSERT INTO note (body) VALUES (%s)", [None])
    with pytest.raises(sql_db.InFailedSqlTransaction):
        env['kfc.user'].search([])
    cr.rollback()
    assert env['kfc.user'].search([]) is not None


def test_savepoint_rolls_back_its_part_and_keeps_the_transaction(env, cr):
    user = env['kfc.user'].create({'name': 'before'})
    with pytest.raises(sqlite3.IntegrityError):
        with cr.savepoint():
            cr.execute("UPDATE note SET body = %s", ['inside'])
            user.name = 'inside'
            cr.execute("INSERT INTO note (body) VALUES (%s)", [None])
    assert _bodies(cr) == ['a', 'b', 'c']
    assert user.name == 'before'        # no value of the undone part stays cached
    with cr.savepoint(flush=False):
        cr.execute("UPDATE note SET body = %s WHERE n = %s", ['kept', 3])
    assert _bodies(cr) == ['a', 'b', 'kept']
    # a failure caught inside the block leaves the transaction aborted, as on PostgreSQL
    with pytest.raises(sql_db.InFailedSqlTransaction):
        with cr.savepoint():
            try:
                cr.execute("INSERT INTO note (body) VALUES (%s)", [None])
            except sqlite3.IntegrityError:
                pass
    cr.rollback()
