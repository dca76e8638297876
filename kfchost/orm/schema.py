"""Tables, columns, indexes and relation tables created from the model declarations.

Idempotent: a table is created when missing, a missing column is added, an index or a unique
constraint is created when missing. Nothing is ever dropped or changed.
"""
import re

from .tools import quote

_UNIQUE = re.compile(r'\s*unique\s*\(([^)]*)\)\s*$', re.IGNORECASE)
_ONDELETE = {'set null': 'SET NULL', 'cascade': 'CASCADE', 'restrict': 'RESTRICT'}


def column_definition(field, pool, new_table):
    sql = '%s %s' % (quote(field.name), field.column_type)
    if field.required and new_table:
        sql += ' NOT NULL'       # a column added later may already have rows without a value
    if field.type == 'many2one':
        sql += ' REFERENCES %s ("id") ON DELETE %s' % (
            quote(pool[field.comodel_name]._table), _ONDELETE.get(field.ondelete, 'SET NULL'))
    return sql


def existing_columns(cr, table):
    cr.sqlite_execute('PRAGMA table_info(%s)' % quote(table))
    return {row[1] for row in cr.fetchall()}


def create_table(cr, model):
    columns = ['"id" INTEGER PRIMARY KEY AUTOINCREMENT']
    columns += [column_definition(f, model._pool, True) for f in model._column_fields]
    cr.sqlite_execute('CREATE TABLE IF NOT EXISTS %s (%s)' % (quote(model._table), ', '.join(columns)))
    present = existing_columns(cr, model._table)
    added = []
    for field in model._column_fields:
        if field.name not in present:
            cr.sqlite_execute('ALTER TABLE %s ADD COLUMN %s' % (
                quote(model._table), column_definition(field, model._pool, False)))
            added.append(field)
    return added


def create_indexes(cr, model):
    table = model._table
    for field in model._column_fields:
        if field.index:
            cr.sqlite_execute('CREATE INDEX IF NOT EXISTS %s ON %s (%s)' % (
                quote('%s_%s_index' % (table, field.name)), quote(table), quote(field.name)))
    for name, definition, _message in model._sql_constraints:
        match = _UNIQUE.match(definition)
        if match:
            columns = ', '.join(quote(c.strip()) for c in match.group(1).split(','))
            cr.sqlite_execute('CREATE UNIQUE INDEX IF NOT EXISTS %s ON %s (%s)' % (
                quote('%s_%s' % (table, name)), quote(table), columns))


def create_relation(cr, field, pool):
    """The table of a many2many: one row per linked pair, gone with either record."""
    model, comodel = pool[field.model_name], pool[field.comodel_name]
    cr.sqlite_execute(
        'CREATE TABLE IF NOT EXISTS {rel} ('
        '{col1} INTEGER NOT NULL REFERENCES {table1} ("id") ON DELETE CASCADE, '
        '{col2} INTEGER NOT NULL REFERENCES {table2} ("id") ON DELETE CASCADE, '
        'PRIMARY KEY ({col1}, {col2}))'.format(
            rel=quote(field.relation), col1=quote(field.column1), col2=quote(field.column2),
            table1=quote(model._table), table2=quote(comodel._table)))
    cr.sqlite_execute('CREATE INDEX IF NOT EXISTS %s ON %s (%s)' % (
        quote('%s_%s_index' % (field.relation, field.column2)), quote(field.relation),
        quote(field.column2)))


def init_schema(cr, pool):
    """Create or complete the tables of every model with a table; returns the fields whose
    column was added to an existing table."""
    models = [model for model in pool.values() if model._auto]
    added = []
    for model in models:
        added += create_table(cr, model)
    for model in models:
        create_indexes(cr, model)
        for field in model._fields.values():
            if field.type == 'many2many' and field.store:
                create_relation(cr, field, pool)
    return added
