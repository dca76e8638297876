"""SELECT statements of searches: the table, its joins, the conditions and Odoo's ORDER BY."""
import re

from .exceptions import UserError
from .tools import quote

# Odoo's syntax of an ordering: 'field [asc|desc], ...'
regex_order = re.compile(r'^(\s*([a-z0-9:_]+|"[a-z0-9:_]+")(\.id)?(\s+(desc|asc))?\s*(,|$))+(?<!,)$', re.I)


class Query:
    """One table, the LEFT JOINs that ordering needs, and AND-ed conditions."""

    def __init__(self, table):
        self.table = table
        self.joins = {}
        self.where = []
        self.params = []

    def add_where(self, sql, params=()):
        self.where.append(sql)
        self.params.extend(params)

    def left_join(self, lhs_alias, lhs_column, rhs_table, link):
        """Join ``rhs_table`` on ``lhs_alias.lhs_column = rhs.id``; returns the join's alias."""
        alias = '%s__%s' % (lhs_alias, link)
        if alias not in self.joins:
            self.joins[alias] = 'LEFT JOIN %s AS %s ON (%s.%s = %s."id")' % (
                quote(rhs_table), quote(alias), quote(lhs_alias), quote(lhs_column), quote(alias))
        return alias

    def from_clause(self):
        return ' '.join([quote(self.table)] + list(self.joins.values()))

    def where_clause(self):
        return ' AND '.join(self.where) if self.where else 'TRUE'

    def select(self, columns, order=None, limit=None, offset=None, group_by=None):
        """``(sql, params)`` of the statement; offset only applies with a limit, as in Odoo."""
        sql = 'SELECT %s FROM %s WHERE %s' % (columns, self.from_clause(), self.where_clause())
        if group_by:
            sql += ' GROUP BY %s' % group_by
        if order:
            sql += ' ORDER BY %s' % order
        params = list(self.params)
        if limit:
            sql += ' LIMIT ?'
            params.append(int(limit))
            if offset:
                sql += ' OFFSET ?'
                params.append(int(offset))
        elif offset:
            sql += ' LIMIT -1 OFFSET ?'
            params.append(int(offset))
        return sql, params


def check_order(ordering):
    if not regex_order.match(ordering):
        raise UserError('Invalid "order" specified (%s). A valid "order" is a comma-separated '
                        'list of valid field names (optionally followed by asc/desc for the '
                        'direction)' % ordering)


def direction_sql(direction):
    """PostgreSQL puts NULL last in ascending order and first in descending order; so here."""
    return 'DESC NULLS FIRST' if direction == 'DESC' else 'ASC NULLS LAST'


def order_terms(model, ordering, query, alias=None, reverse=False, seen=None):
    """[(expression, 'ASC'|'DESC')] of ``ordering`` on ``model``; a many2one orders by its
    comodel's _order, through a LEFT JOIN added to ``query``."""
    alias = alias or model._table
    seen = set() if seen is None else seen
    check_order(ordering)
    terms = []
    for part in ordering.split(','):
        words = part.split()
        name = words[0].strip('"')
        by_id = name.endswith('.id')
        if by_id:
            name = name[:-3]
        direction = words[1].upper() if len(words) == 2 else 'ASC'
        if reverse:
            direction = 'ASC' if direction == 'DESC' else 'DESC'
        field = model._fields.get(name)
        if field is None:
            raise ValueError("Invalid field %r on model %r" % (name, model._name))
        column = '%s.%s' % (quote(alias), quote(name))
        if name == 'id':
            terms.append((column, direction))
        elif not field.column:
            continue
        elif field.type == 'many2one':
            terms += _many2one_terms(model, field, column, direction, by_id, query, alias, seen)
        elif field.type == 'boolean':
            terms.append(('COALESCE(%s, 0)' % column, direction))
        else:
            terms.append((column, direction))
    return terms


def _many2one_terms(model, field, column, direction, by_id, query, alias, seen):
    comodel = model._pool[field.comodel_name]
    if by_id or comodel._order == 'id':
        return [(column, direction)]
    key = (model._name, field.comodel_name, field.name)
    if key in seen:
        return []
    seen.add(key)
    co_order = comodel._order if regex_order.match(comodel._order) else comodel._rec_name
    co_alias = query.left_join(alias, field.name, comodel._table, field.name)
    return order_terms(comodel, co_order, query, co_alias, direction == 'DESC', seen)


_ORDER_CACHE = {}   # (model, ordering) -> (ORDER BY text, joins it needs)


def order_by(model, ordering, query):
    """The ORDER BY text of a search, ending with the id so that equal keys keep id order."""
    key = (model, ordering or model._order)
    try:
        sql, joins = _ORDER_CACHE[key]
    except KeyError:
        scratch = Query(model._table)
        terms = order_terms(model, key[1], scratch)
        id_column = '%s."id"' % quote(model._table)
        if all(expr != id_column for expr, _direction in terms):
            terms.append((id_column, 'ASC'))
        sql = ', '.join('%s %s' % (expr, direction_sql(direction)) for expr, direction in terms)
        joins = scratch.joins
        _ORDER_CACHE[key] = sql, joins
    query.joins.update(joins)
    return sql
