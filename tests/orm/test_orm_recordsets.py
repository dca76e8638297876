"""Recordsets read, combine and compare as Odoo 16's do."""
import datetime

import pytest

from kfchost.orm.api import Environment


def test_empty_set_reads_null_values_without_error(env):
    nobody = env['kfc.user'].search([('token', '=', 'no such token')])
    assert not nobody and len(nobody) == 0 and repr(nobody) == 'kfc.user()'
    assert nobody.id is False and nobody.ids == []
    assert nobody.name is False and nobody.token is False
    thing = env['test.orm.thing'].browse()
    assert thing.size == 0 and isinstance(thing.size, int)
    assert thing.weight == 0.0 and isinstance(thing.weight, float)
    assert thing.flag is False and thing.day is False and thing.moment is False
    assert repr(thing.label_id) == 'test.orm.label()' and repr(thing.label_ids) == 'test.orm.label()'
    order = env['sale.order'].browse()
    assert order.kfc_user_id.openid is False       # through an empty link as well
    assert order.amount == 0.0 and order.number == 0


def test_unset_values_of_a_record_read_as_null(env):
    thing = env['test.orm.thing'].create({})
    assert (thing.name, thing.size, thing.weight, thing.flag, thing.day) == (False, 0, 0.0, False, False)
    assert not thing.label_id and thing.label_id._name == 'test.orm.label'
    env.invalidate_all()                            # and so after a round trip through SQL
    assert (thing.name, thing.size, thing.weight, thing.flag, thing.label_id.id) == (False, 0, 0.0, False, False)


def test_scalar_field_of_several_records_is_a_singleton_error(env):
    users = env['kfc.user'].create([{'name': 'a'}, {'name': 'b'}])
    expected = 'Expected singleton: kfc.user(%d, %d)' % tuple(users.ids)
    for read in (lambda: users.name, lambda: users.id, lambda: users['token'], users.ensure_one):
        with pytest.raises(ValueError) as info:
            read()
        assert str(info.value) == expected
    with pytest.raises(ValueError, match=r'^Expected singleton: kfc.user\(\)$'):
        env['kfc.user'].ensure_one()


def test_relational_field_of_several_records_is_the_union(env, shop):
    order2 = env['sale.order'].create({'kfc_user_id': shop['user'].id})
    line = env['sale.order.line'].create({'sale_order_id': order2.id, 'product_id': shop['fries'].id})
    orders = shop['order'] | order2
    assert orders.line_ids == shop['order'].line_ids | line
    assert orders.kfc_user_id == shop['user']                # the same user once
    assert orders.line_ids.product_id.ids == [shop['cola'].id, shop['burger'].id, shop['fries'].id]
    assert orders.mapped('kfc_user_id.token') == ['tok-ann']
    assert orders.mapped('phone') == ['13800001234', False]


def test_indexing_slicing_and_iteration(env):
    users = env['kfc.user'].create([{'name': str(i)} for i in range(4)])
    assert users[-1].name == '3' and users[0].name == '0'
    assert users[1:3].mapped('name') == ['1', '2']
    assert [user.name for user in users] == ['0', '1', '2', '3']
    assert [user.name for user in reversed(users)] == ['3', '2', '1', '0']
    with pytest.raises(IndexError):
        env['kfc.user'].browse()[-1]


def test_set_operations_and_comparisons(env):
    a, b, c = env['kfc.user'].create([{'name': 'a'}, {'name': 'b'}, {'name': 'c'}])
    assert (a | b | a).ids == [a.id, b.id]
    assert ((a | b) & (b | c)) == b
    assert ((a | b | c) - b).ids == [a.id, c.id]
    assert (a + a).ids == [a.id, a.id]
    assert (b | a) == (a | b) and hash(b | a) == hash(a | b)
    assert a in (a | b) and c not in (a | b) and 'token' in a and 'nope' not in a
    assert a != env['kfc.coupon'].browse(a.id)
    with pytest.raises(TypeError):
        a | env['kfc.coupon']
    with pytest.raises(TypeError):
        env['kfc.coupon'] in a


def test_mapped_filtered_sorted_exists(env):
    users = env['kfc.user'].create([{'name': 'b', 'phone': '2'}, {'name': 'a'}, {'name': 'c', 'phone': '1'}])
    assert users.filtered('phone').mapped('name') == ['b', 'c']
    assert users.filtered(lambda u: u.name > 'a').mapped('name') == ['b', 'c']
    assert users.sorted('name').mapped('name') == ['a', 'b', 'c']
    assert users.sorted(key=lambda u: u.name, reverse=True).mapped('name') == ['c', 'b', 'a']
    assert users.sorted(reverse=True).ids == sorted(users.ids, reverse=True)
    users[1].unlink()
    assert users.exists().mapped('name') == ['b', 'c']
    assert users.mapped(lambda u: u) == users


def test_record_values_through_links_and_item_access(env, shop):
    order = env['sale.order'].search([('id', '=', shop['order'].id)])
    assert order.kfc_user_id.openid == 'o-ann'
    assert order['kfc_user_id']['token'] == 'tok-ann'
    assert order.line_ids[-1].product_id.name == 'Burger'
    assert order.line_ids.mapped('product_id.type_id.name') == ['Drinks', 'Burgers']


def test_read_gives_dicts_with_link_names(env, shop):
    [values] = shop['cola'].read(['name', 'unit_price', 'type_id', 'line_ids'])
    assert values == {'id': shop['cola'].id, 'name': 'Cola', 'unit_price': 6.5,
                      'type_id': (shop['drinks'].id, 'Drinks'), 'line_ids': []}


def test_fields_of_a_searched_recordset_are_fetched_in_one_query(env, registry):
    env['kfc.user'].create([{'name': str(i), 'token': 't%d' % i} for i in range(30)])
    env.cr.commit()
    with registry.cursor() as cr:
        statements = []
        execute = cr.sqlite_execute
        cr.sqlite_execute = lambda sql, params=(): statements.append(sql) or execute(sql, params)
        users = Environment(cr)['kfc.user'].search([('token', 'like', 't')])
        values = [(user.name, user.token) for user in users]
    assert values == [(str(i), 't%d' % i) for i in range(30)]
    assert len(statements) == 2         # the search, then every column of the 30 records


def test_datetime_values_are_naive_utc(env):
    before = datetime.datetime.utcnow()
    thing = env['test.orm.thing'].create({'moment': datetime.datetime(2024, 5, 6, 7, 8, 9, 123456)})
    after = datetime.datetime.utcnow()
    assert before <= thing.create_date <= after and thing.create_date.tzinfo is None
    env.invalidate_all()
    assert thing.moment == datetime.datetime(2024, 5, 6, 7, 8, 9, 123456)
    thing.write({'moment': '2024-01-02 03:04:05', 'day': '2024-01-31'})
    env.invalidate_all()
    assert thing.moment == datetime.datetime(2024, 1, 2, 3, 4, 5)
    assert thing.day == datetime.date(2024, 1, 31)
    thing.moment = '2024-02-03'
    assert thing.moment == datetime.datetime(2024, 2, 3)
    aware = datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc)
    with pytest.raises(ValueError, match='naive datetime'):
        thing.moment = aware
