"""Search domains, orders, limits and counts with Odoo's rules (NULL handling included)."""
import datetime

import pytest

from kfchost.orm.exceptions import UserError


@pytest.fixture
def things(env):
    red, blue = env['test.orm.label'].create([{'name': 'red'}, {'name': 'blue'}])
    records = env['test.orm.thing'].create([
        {'name': 'Apple', 'size': 1, 'flag': True, 'label_id': red.id, 'label_ids': [(6, 0, [red.id])],
         'moment': datetime.datetime(2024, 1, 1, 12, 0)},
        {'name': 'apricot', 'size': 2, 'flag': False, 'label_id': blue.id,
         'moment': datetime.datetime(2024, 1, 2, 0, 0)},
        {'name': 'Banana', 'size': 3, 'label_ids': [(6, 0, [red.id, blue.id])]},
        {'size': 4},
    ])
    return records, red, blue


def names(records):
    return [record.name for record in records]


def test_comparison_operators(env, things):
    records, _red, _blue = things
    Thing = env['test.orm.thing']
    assert names(Thing.search([('name', '=', 'Banana')])) == ['Banana']
    assert names(Thing.search([('size', '>', 2)])) == ['Banana', False]
    assert names(Thing.search([('size', '>=', 2), ('size', '<', 4)])) == ['apricot', 'Banana']
    assert names(Thing.search([('size', '<=', 1)])) == ['Apple']
    assert names(Thing.search([('size', 'in', [1, 3])])) == ['Apple', 'Banana']
    assert Thing.search([('size', 'in', [])]) == Thing.browse()
    assert Thing.search([('id', 'in', records[1:3].ids)]) == records[1:3]


def test_negative_operators_keep_records_without_a_value(env, things):
    Thing = env['test.orm.thing']
    assert names(Thing.search([('name', '!=', 'Banana')])) == ['Apple', 'apricot', False]
    assert names(Thing.search([('name', 'not in', ['Apple', 'Banana'])])) == ['apricot', False]
    assert names(Thing.search([('name', 'not in', ['Apple', False])])) == ['apricot', 'Banana']
    assert names(Thing.search([('name', 'in', ['Apple', False])])) == ['Apple', False]


def test_false_compares_as_no_value(env, things):
    Thing = env['test.orm.thing']
    assert names(Thing.search([('name', '=', False)])) == [False]
    assert names(Thing.search([('name', '!=', False)])) == ['Apple', 'apricot', 'Banana']
    assert names(Thing.search([('label_id', '=', False)])) == ['Banana', False]
    # an unset boolean is False
    assert names(Thing.search([('flag', '=', False)])) == ['apricot', 'Banana', False]
    assert names(Thing.search([('flag', '=', True)])) == ['Apple']


def test_logical_operators(env, things):
    Thing = env['test.orm.thing']
    assert names(Thing.search(['|', ('size', '=', 1), ('size', '=', 4)])) == ['Apple', False]
    assert names(Thing.search(['&', ('size', '>', 1), ('size', '<', 4)])) == ['apricot', 'Banana']
    assert names(Thing.search(['|', ('size', '=', 1), '&', ('size', '>', 2), ('name', '!=', False)])) \
        == ['Apple', 'Banana']
    # '!' is pushed into the leaf: the record without a name matches "not Apple"
    assert names(Thing.search(['!', ('name', '=', 'Apple')])) == ['apricot', 'Banana', False]


def test_like_operators_are_case_sensitive_and_ilike_is_not(env, things):
    Thing = env['test.orm.thing']
    assert names(Thing.search([('name', 'like', 'ap')])) == ['apricot']
    assert names(Thing.search([('name', 'ilike', 'ap')])) == ['Apple', 'apricot']
    assert names(Thing.search([('name', '=like', 'A%')])) == ['Apple']
    assert names(Thing.search([('name', 'not ilike', 'an')])) == ['Apple', 'apricot', False]


def test_paths_through_links(env, shop):
    Order = env['sale.order']
    assert Order.search([('kfc_user_id.token', '=', 'tok-ann')]) == shop['order']
    assert not Order.search([('kfc_user_id.token', '=', 'other')])
    assert Order.search([('line_ids.product_id', '=', shop['cola'].id)]) == shop['order']
    assert not Order.search([('line_ids.product_id', '=', shop['fries'].id)])
    assert env['kfc.product'].search([('type_id.name', '=', 'Drinks')]) == shop['cola']


def test_many2many_leaves(env, things):
    _records, red, blue = things
    Thing = env['test.orm.thing']
    assert names(Thing.search([('label_ids', 'in', [blue.id])])) == ['Banana']
    assert names(Thing.search([('label_ids', '=', False)])) == ['apricot', False]
    assert not Thing.search([('label_ids', 'in', [])])
    assert len(Thing.search([('label_ids', 'not in', [])])) == 4
    # text compared with a link is a name search on the comodel
    assert names(Thing.search([('label_id', '=', 'red')])) == ['Apple']
    assert names(Thing.search([('label_id', '!=', 'red')])) == ['apricot', 'Banana', False]
    assert names(Thing.search([('label_ids.name', '=', 'red')])) == ['Apple', 'Banana']


def test_ids_as_text_are_read_as_the_database_reads_them(env, things):
    records, _red, _blue = things
    Thing = env['test.orm.thing']
    assert Thing.search([('id', '=', str(records[1].id))]) == records[1]
    assert Thing.search([('id', '=', ' %d ' % records[1].id)]) == records[1]
    assert Thing.search([('id', 'in', [str(records[0].id), float(records[2].id)])]) == records[0] | records[2]
    for leaf in [('id', '=', 'abc'), ('id', '=', '1.0'), ('id', '=', ''), ('id', 'in', ['x'])]:
        with pytest.raises(ValueError, match='invalid input syntax for type integer'):
            Thing.search([leaf])


def test_datetime_compared_with_dates_and_text(env, things):
    Thing = env['test.orm.thing']
    assert names(Thing.search([('moment', '<', '2024-01-02')])) == ['Apple']
    assert names(Thing.search([('moment', '<=', '2024-01-01')])) == ['Apple']
    assert names(Thing.search([('moment', '>=', datetime.date(2024, 1, 2))])) == ['apricot']
    assert names(Thing.search([('moment', '>', '2024-01-01T12:00:00')])) == ['apricot']


def test_order_limit_and_count(env, things):
    Thing = env['test.orm.thing']
    assert names(Thing.search([])) == ['Apple', 'apricot', 'Banana', False]       # by id
    assert names(Thing.search([], order='size desc', limit=2)) == [False, 'Banana']
    assert names(Thing.search([], order='name')) == ['Apple', 'Banana', 'apricot', False]
    assert names(Thing.search([], order='name desc')) == [False, 'apricot', 'Banana', 'Apple']
    assert Thing.search_count([('size', '>', 1)]) == 3


def test_many2one_orders_by_the_comodel_order_with_no_link_last(env, things):
    # labels are ordered by name: blue (created second) before red
    assert names(env['test.orm.thing'].search([], order='label_id')) == ['apricot', 'Apple', 'Banana', False]
    # as on PostgreSQL, no value sorts first in descending order
    assert names(env['test.orm.thing'].search([], order='label_id desc')) == ['Banana', False, 'Apple', 'apricot']


def test_invalid_orders_and_fields_are_refused(env):
    Thing = env['test.orm.thing']
    with pytest.raises(UserError, match='Invalid "order" specified'):
        Thing.search([], order='name; DROP TABLE x')
    with pytest.raises(ValueError, match="Invalid field 'nope' on model 'test.orm.thing'"):
        Thing.search([], order='nope')
    with pytest.raises(ValueError, match='Invalid field test.orm.thing.nope'):
        Thing.search([('nope', '=', 1)])
    with pytest.raises(ValueError, match='Invalid leaf'):
        Thing.search([('size', 'between', 1)])
