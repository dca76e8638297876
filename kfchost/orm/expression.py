"""Search domains: Odoo's polish-notation lists of leaves, and their translation into SQL.

The translation follows ``odoo.osv.expression``: '!' is pushed down into the leaves, a
negative comparison also matches NULL ("!=" 'x' keeps the records without a value), False
compares as NULL, and paths through links become sub-selects.
"""
import collections.abc
import datetime as _dt
import logging

from .tools import pg_number, quote

_logger = logging.getLogger(__name__)

NOT_OPERATOR = '!'
OR_OPERATOR = '|'
AND_OPERATOR = '&'

TERM_OPERATORS = ('=', '!=', '<=', '<', '>', '>=', '=?', '=like', '=ilike',
                  'like', 'not like', 'ilike', 'not ilike', 'in', 'not in',
                  'child_of', 'parent_of')
NEGATIVE_TERM_OPERATORS = ('!=', 'not like', 'not ilike', 'not in')
DOMAIN_OPERATORS_NEGATION = {AND_OPERATOR: OR_OPERATOR, OR_OPERATOR: AND_OPERATOR}
TERM_OPERATORS_NEGATION = {
    '<': '>=', '>': '<=', '<=': '>', '>=': '<', '=': '!=', '!=': '=',
    'in': 'not in', 'like': 'not like', 'ilike': 'not ilike',
    'not in': 'in', 'not like': 'like', 'not ilike': 'ilike',
}

TRUE_LEAF = (1, '=', 1)
FALSE_LEAF = (0, '=', 1)
TRUE_DOMAIN = [TRUE_LEAF]
FALSE_DOMAIN = [FALSE_LEAF]


# -- domain manipulation --------------------------------------------------------------------

def normalize_domain(domain):
    """The domain with its implicit '&' made explicit; leaves become tuples."""
    assert isinstance(domain, (list, tuple)), \
        "Domains to normalize must have a 'domain' form: a list or tuple of domain components"
    if not domain:
        return [TRUE_LEAF]
    result = []
    expected = 1
    op_arity = {NOT_OPERATOR: 1, AND_OPERATOR: 2, OR_OPERATOR: 2}
    for token in domain:
        if expected == 0:
            result[0:0] = [AND_OPERATOR]
            expected = 1
        if isinstance(token, (list, tuple)):
            expected -= 1
            token = tuple(token)
        else:
            expected += op_arity.get(token, 0) - 1
        result.append(token)
    assert expected == 0, 'This domain is syntactically not correct: %s' % (domain,)
    return result


def combine(operator, unit, zero, domains):
    """The domains joined by ``operator``; ``unit`` domains are dropped, a ``zero`` one wins."""
    result = []
    count = 0
    if domains == [unit]:
        return unit
    for domain in domains:
        if domain == unit:
            continue
        if domain == zero:
            return zero
        if domain:
            result += normalize_domain(domain)
            count += 1
    result = [operator] * (count - 1) + result
    return result or unit


def AND(domains):
    return combine(AND_OPERATOR, [TRUE_LEAF], [FALSE_LEAF], domains)


def OR(domains):
    return combine(OR_OPERATOR, [FALSE_LEAF], [TRUE_LEAF], domains)


def is_leaf(element):
    return (isinstance(element, (tuple, list)) and len(element) == 3
            and element[1] in TERM_OPERATORS + ('<>',)
            and ((isinstance(element[0], str) and element[0])
                 or tuple(element) in (TRUE_LEAF, FALSE_LEAF)))


def normalize_leaf(element):
    """A leaf with its operator in canonical form ('<>' -> '!=', '=' with a list -> 'in')."""
    if not is_leaf(element):
        return element
    left, operator, right = element
    operator = operator.lower()
    if operator == '<>':
        operator = '!='
    if isinstance(right, bool) and operator in ('in', 'not in'):
        operator = '=' if operator == 'in' else '!='
    if isinstance(right, (list, tuple)) and operator in ('=', '!='):
        operator = 'in' if operator == '=' else 'not in'
    return left, operator, right


def distribute_not(domain):
    """Push every '!' of a normalized domain into the leaves it applies to."""
    result = []
    stack = [False]
    for token in domain:
        negate = stack.pop()
        if is_leaf(token):
            if negate:
                left, operator, right = token
                if operator in TERM_OPERATORS_NEGATION:
                    if token in (TRUE_LEAF, FALSE_LEAF):
                        result.append(FALSE_LEAF if token == TRUE_LEAF else TRUE_LEAF)
                    else:
                        result.append((left, TERM_OPERATORS_NEGATION[operator], right))
                else:
                    result.append(NOT_OPERATOR)
                    result.append(token)
            else:
                result.append(token)
        elif token == NOT_OPERATOR:
            stack.append(not negate)
        elif token in DOMAIN_OPERATORS_NEGATION:
            result.append(DOMAIN_OPERATORS_NEGATION[token] if negate else token)
            stack.append(negate)
            stack.append(negate)
        else:
            result.append(token)
    return result


# -- translation into SQL -------------------------------------------------------------------

def where_clause(model, domain, alias=None):
    """``(sql, params)`` of the condition ``domain`` puts on ``model``'s table (or ``alias``)."""
    alias = alias or model._table
    if not domain:
        return 'TRUE', []
    tokens = distribute_not(normalize_domain(domain))
    results = []
    for token in reversed(tokens):
        if token == NOT_OPERATOR:
            sql, params = results.pop()
            results.append(('(NOT (%s))' % sql, params))
        elif token in (AND_OPERATOR, OR_OPERATOR):
            lhs, lhs_params = results.pop()
            rhs, rhs_params = results.pop()
            joiner = 'AND' if token == AND_OPERATOR else 'OR'
            results.append(('(%s %s %s)' % (lhs, joiner, rhs), lhs_params + rhs_params))
        else:
            if not is_leaf(token):
                raise ValueError("Invalid leaf %s" % str(token))
            results.append(_leaf(model, normalize_leaf(token), alias))
    [result] = results
    return result


def subselect(model, domain, column='id'):
    """``(sql, params)`` selecting ``column`` of the records of ``model`` matching ``domain``."""
    table = model._table
    where, params = where_clause(model, domain)
    return 'SELECT %s.%s FROM %s WHERE %s' % (quote(table), quote(column), quote(table), where), params


def _name_subselect(comodel, operator, value):
    """The records of ``comodel`` whose name compares with ``value``, as a name search does."""
    rec_name = comodel._rec_name
    domain = [] if not rec_name or (value == '' and operator in ('like', 'ilike')) \
        else [(rec_name, operator, value)]
    return subselect(comodel, domain)


def _id_list(values):
    return tuple(pg_number(value) for value in values if value) or (None,)


def _in_params(values):
    return '(%s)' % ','.join('?' * len(values)) if values else '(NULL)'


def _leaf(model, leaf, alias):
    if leaf == TRUE_LEAF:
        return 'TRUE', []
    if leaf == FALSE_LEAF:
        return 'FALSE', []
    left, operator, right = leaf
    path = left.split('.', 1)
    field = model._fields.get(path[0])
    if field is None:
        raise ValueError("Invalid field %s.%s in leaf %s" % (model._name, path[0], str(leaf)))
    if hasattr(right, '_ids'):
        raise ValueError("Invalid value %r in domain term %r" % (right, leaf))
    if operator in ('child_of', 'parent_of'):
        raise NotImplementedError("Operator %r is not supported here" % operator)
    column = '%s.%s' % (quote(alias), quote(field.name))

    if len(path) > 1:
        if not (field.relational and field.store):
            raise ValueError("Invalid path %r in leaf %s" % (left, str(leaf)))
        comodel = model._pool[field.comodel_name]
        sub, params = subselect(comodel, [(path[1], operator, right)])
        return _relation_in(model, field, alias, 'IN', sub, params)

    if not field.store:
        _logger.error("Non-stored field %s cannot be searched.", field)
        return 'TRUE', []

    if field.type in ('one2many', 'many2many'):
        return _x2many_leaf(model, field, alias, operator, right)

    if field.type == 'many2one' and (
            isinstance(right, str) or (isinstance(right, (list, tuple)) and right
                                       and all(isinstance(item, str) for item in right))):
        return _many2one_names(model, field, column, operator, right)

    if field.type == 'datetime' and right:
        if isinstance(right, str) and len(right) == 10:
            right += ' 23:59:59' if operator in ('>', '<=') else ' 00:00:00'
        elif isinstance(right, _dt.date) and not isinstance(right, _dt.datetime):
            right = _dt.datetime.combine(right, _dt.time.max if operator in ('>', '<=') else _dt.time.min)

    return _leaf_to_sql(field, column, operator, right, leaf)


def _relation_in(model, field, alias, in_, sub, params):
    """Records of ``model`` linked through ``field`` to (``in_``) the comodel ids of ``sub``."""
    if field.type == 'many2one':
        return '(%s.%s %s (%s))' % (quote(alias), quote(field.name), in_, sub), params
    if field.type == 'one2many':
        comodel = model._pool[field.comodel_name]
        inverse = quote(field.inverse_name)
        inner = 'SELECT %s FROM %s WHERE "id" IN (%s) AND %s IS NOT NULL' % (
            inverse, quote(comodel._table), sub, inverse)
        return '(%s."id" %s (%s))' % (quote(alias), in_, inner), params
    exists = 'EXISTS' if in_ == 'IN' else 'NOT EXISTS'
    return ('%s (SELECT 1 FROM %s AS rel WHERE rel.%s = %s."id" AND rel.%s IN (%s))' % (
        exists, quote(field.relation), quote(field.column1), quote(alias),
        quote(field.column2), sub), params)


def _x2many_leaf(model, field, alias, operator, right):
    comodel = model._pool[field.comodel_name]
    negative = operator in NEGATIVE_TERM_OPERATORS
    if right is False:
        # with / without any linked record
        sub = 'SELECT "id" FROM %s' % quote(comodel._table)
        return _relation_in(model, field, alias, 'IN' if negative else 'NOT IN', sub, [])
    if isinstance(right, str):
        op2 = TERM_OPERATORS_NEGATION[operator] if negative else operator
        sub, params = _name_subselect(comodel, op2, right)
    else:
        ids = right if isinstance(right, collections.abc.Iterable) else [right]
        ids = [i for i in _id_list(ids) if i is not None]     # none: "IN (NULL)", no row
        sub, params = 'SELECT "id" FROM %s WHERE "id" IN %s' % (
            quote(comodel._table), _in_params(ids)), ids
    return _relation_in(model, field, alias, 'NOT IN' if negative else 'IN', sub, params)


def _many2one_names(model, field, column, operator, right):
    """A many2one compared with names: the comodel records found by a name search."""
    comodel = model._pool[field.comodel_name]
    operator = 'in' if operator in ('<', '>', '<=', '>=') else operator
    swap = {'not in': '!=', 'in': '=', '=': 'in', '!=': 'not in'}
    if isinstance(right, tuple):
        right = list(right)
    if not isinstance(right, list) and operator in ('not in', 'in'):
        operator = swap[operator]
    elif isinstance(right, list) and operator in ('!=', '='):
        operator = swap[operator]
    sub, params = _name_subselect(comodel, operator, right)
    sql = '(%s IN (%s))' % (column, sub)
    if operator in NEGATIVE_TERM_OPERATORS:
        sql = '(%s OR %s IS NULL)' % (sql, column)
    return sql, params


def _leaf_to_sql(field, column, operator, right, leaf):
    if operator in ('in', 'not in'):
        return _in_to_sql(field, column, operator, right, leaf)
    is_bool = field.type == 'boolean'
    if is_bool and ((operator == '=' and right is False) or (operator == '!=' and right is True)):
        return '(%s IS NULL OR %s = 0)' % (column, column), []
    if (right is False or right is None) and operator == '=':
        return '%s IS NULL' % column, []
    if is_bool and operator == '!=' and right is False:
        return '(%s IS NOT NULL AND %s != 0)' % (column, column), []
    if (right is False or right is None) and operator == '!=':
        return '%s IS NOT NULL' % column, []
    if operator == '=?':
        if right is False or right is None:
            return 'TRUE', []
        return _leaf_to_sql(field, column, '=', right, leaf)

    need_wildcard = operator in ('like', 'ilike', 'not like', 'not ilike')
    sql_operator = {'=like': 'like', '=ilike': 'ilike'}.get(operator, operator)
    if sql_operator.endswith('like'):
        text = column if field.column_type == 'TEXT' else 'CAST(%s AS TEXT)' % column
        if sql_operator.endswith('ilike'):
            sql = "(lower_unicode(%s) %s lower_unicode(?) ESCAPE '\\')" % (
                text, sql_operator[:-5] + 'like')
        else:
            sql = "(%s %s ? ESCAPE '\\')" % (text, sql_operator)
    else:
        sql = '(%s %s ?)' % (column, sql_operator)
    if (need_wildcard and not right) or (right and operator in NEGATIVE_TERM_OPERATORS):
        sql = '(%s OR %s IS NULL)' % (sql, column)
    if need_wildcard:
        params = ['%%%s%%' % (right if isinstance(right, str) else str(right))]
    elif sql_operator.endswith('like'):
        params = [right if isinstance(right, str) else str(right)]
    else:
        params = [field.to_domain(right)]
    return sql, params


def _in_to_sql(field, column, operator, right, leaf):
    if isinstance(right, bool):
        if (operator == 'in' and right) or (operator == 'not in' and not right):
            return '(%s IS NOT NULL)' % column, []
        return '(%s IS NULL)' % column, []
    if not isinstance(right, (list, tuple)):
        raise ValueError("Invalid domain term %r" % (leaf,))
    if field.type == 'boolean':
        values = [it for it in (True, False) if it in right]
        check_null = False in right
    else:
        values = [it for it in right if it != False]  # noqa: E712 - 0 counts as False too
        check_null = len(values) < len(right)
    if values:
        # ids of a list reach the database as given: numbers as such, text parsed
        convert = pg_number if field.name == 'id' else field.to_domain
        params = [convert(value) for value in values]
        sql = '(%s %s (%s))' % (column, operator.upper(), ','.join('?' * len(params)))
    else:
        sql, params = ('FALSE' if operator == 'in' else 'TRUE'), []
    if (operator == 'in' and check_null) or (operator == 'not in' and not check_null):
        sql = '(%s OR %s IS NULL)' % (sql, column)
    elif operator == 'not in' and check_null:
        sql = '(%s AND %s IS NOT NULL)' % (sql, column)
    return sql, params
