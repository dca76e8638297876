"""``read_group``: records grouped by field values, with counts, aggregates and group domains.

The result has the shape of Odoo 16's: one dict per group holding the count
('<groupby>_count', or '__count' when not lazy), the aggregated fields, the group values (a
many2one as ``(id, name)``, no value as False) and ``__domain``, the domain of the group's
records. Groups come in the order of the groupby fields; a many2one groups by its comodel's
``_order``, and the group without a value comes last.
"""
import re

from . import expression
from .exceptions import UserError
from .query import direction_sql, order_terms
from .tools import quote

_FIELD_AGG = re.compile(r'(\w+)(?::(\w+)(?:\((\w+)\))?)?$')
# aggregate functions and their SQLite form
_AGGREGATES = {'count': 'count(%s)', 'count_distinct': 'count(DISTINCT %s)', 'sum': 'sum(%s)',
               'avg': 'avg(%s)', 'max': 'max(%s)', 'min': 'min(%s)',
               'bool_and': 'min(%s)', 'bool_or': 'max(%s)'}


def read_group(records, domain, fields, groupby, offset=0, limit=None, orderby=False, lazy=True):
    model = type(records)
    groupby = list(dict.fromkeys([groupby] if isinstance(groupby, str) else groupby or []))
    groupby_list = groupby[:1] if lazy else groupby
    for name in groupby_list:
        _groupby_field(model, name)
    fields = fields or [name for name, f in model._fields.items() if f.store]

    query = records._where_calc(domain)
    table = quote(model._table)
    aggregates = _aggregates(model, fields, groupby_list)
    if lazy and (len(groupby_list) >= 2 or not records.env.context.get('group_by_no_leaf')):
        count_key = (groupby_list[0] if groupby_list else '_') + '_count'
    else:
        count_key = '__count'
    select = ['min(%s."id") AS "id"' % table, 'count(%s."id") AS "%s"' % (table, count_key)]
    select += ['%s AS "%s"' % (_AGGREGATES[func] % ('%s.%s' % (table, quote(fname))), name)
               for name, func, fname in aggregates if name not in groupby_list]
    group_by = [_group_column(model, table, name) for name in groupby_list]
    select += ['%s AS "%s"' % (column, name) for column, name in zip(group_by, groupby_list)]

    order = _group_order(model, orderby or ','.join(groupby_list), groupby_list,
                         [name for name, _f, _n in aggregates], count_key, query, group_by)
    sql, params = query.select(', '.join(select), ', '.join(order) or None,
                               limit, offset if limit else None, ', '.join(group_by) or None)
    cr = records.env.cr
    cr.sqlite_execute(sql, params)
    names = [column[0] for column in cr.description]
    rows = [dict(zip(names, row)) for row in cr.fetchall()]
    return [_format(records, model, row, groupby, groupby_list, domain, lazy) for row in rows]


def _groupby_field(model, name):
    field = model._fields.get(name.split(':')[0])
    if field is None:
        raise ValueError("Invalid field %r on model %r" % (name.split(':')[0], model._name))
    if ':' in name or field.type in ('date', 'datetime'):
        # Odoo groups dates by a period ('month' when none is given), labelled in the language
        raise NotImplementedError("Grouping by a date period (%r) is not implemented by this host"
                                  % name)
    if not field.column:
        raise UserError("Field %s is not a stored field, only stored fields (regular or "
                        "many2many) are valid for the 'groupby' parameter" % field)
    return field


def _group_column(model, table, name):
    column = '%s.%s' % (table, quote(name))
    if model._fields[name].type == 'boolean':
        return 'coalesce(%s, 0)' % column    # NULL and false make one group, as in Odoo
    return column


def _aggregates(model, fields, groupby_list):
    """[(output name, function, field name)] of the ``fields`` entries ('name', 'name:func'...)."""
    result, seen = [], set()
    for entry in fields:
        if entry in ('sequence', '__count'):
            continue
        match = _FIELD_AGG.match(entry)
        if not match:
            raise UserError("Invalid field %r in read_group fields." % entry)
        name, func, fname = match.groups()
        if func:
            fname = fname or name
            field = model._fields.get(fname)
            if field is None:
                raise ValueError("Invalid field %r on model %r" % (fname, model._name))
            if not field.column:
                raise UserError("Cannot aggregate field %r." % fname)
            if func not in _AGGREGATES:
                raise UserError("Invalid aggregation function %r." % func)
        else:
            field = model._fields.get(name)
            if field is None:
                raise ValueError("Invalid field %r on model %r" % (name, model._name))
            if not (field.column and field.group_operator):
                continue
            func, fname = field.group_operator, name
        if name in seen:
            raise UserError("Output name %r is used twice." % name)
        seen.add(name)
        result.append((name, func, fname))
    return result


def _group_order(model, orderby, groupby_list, aggregated, count_key, query, group_by):
    """ORDER BY terms of the groups; ordering columns taken from a comodel are grouped too."""
    terms = []
    for part in orderby.split(','):
        words = part.split()
        if not words:
            continue
        name = words[0]
        by_id = name.endswith('.id')
        if by_id:
            name = name[:-3]
        direction = words[1].upper() if len(words) > 1 else 'ASC'
        if name == 'id' or name in groupby_list:
            field = model._fields[name]
            if field.type == 'many2one' and not by_id:
                joined = order_terms(model, part.strip(), query)
                terms += ['%s %s' % (expr, direction_sql(d)) for expr, d in joined]
                group_by += [expr for expr, _d in joined if expr not in group_by]
            else:
                terms.append('"%s" %s' % (name, direction_sql(direction)))
        elif name in aggregated or name == count_key:
            terms.append('"%s" %s' % (name, direction_sql(direction)))
        elif name not in model._fields:
            raise ValueError("Invalid field %r on model %r" % (name, model._name))
        # other fields are not part of the result and cannot order the groups
    return terms


def _format(records, model, row, groupby, groupby_list, domain, lazy):
    row.pop('id')
    sections = []
    for name in groupby_list:
        field = model._fields[name]
        value = row[name]
        if field.type == 'many2one':
            value = _many2one_value(records, field, value)
            section_value = value[0] if value else False
        else:
            value = field.to_record(field.from_column(value), records) if value is not None else False
            section_value = value
        row[name] = value
        sections.append([(name, '=', section_value)])
    for key, value in row.items():
        if value is None:
            row[key] = False
    row['__domain'] = expression.AND(sections + [domain])
    if lazy and len(groupby) > 1:
        row['__context'] = {'group_by': groupby[1:]}
    return row


def _many2one_value(records, field, value):
    if not value:
        return False
    comodel = records.env[field.comodel_name].sudo()
    record = comodel.browse(value)
    return (value, dict(record.name_get())[value])
