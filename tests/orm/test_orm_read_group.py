"""read_group: the groups, their keys in order, their __domain and the order of the groups."""
import pytest

MENU_FIELDS = ['link_id', 'name', 'remark', 'unit_price', 'image']


def test_groups_of_the_menu_query(env, shop):
    Product = env['kfc.product']
    groups = Product.read_group([], MENU_FIELDS, groupby='type_id')
    drinks, burgers = shop['drinks'], shop['burgers']
    # the categories' _order is 'id': drinks (created first), burgers, then no category
    assert groups == [
        {'type_id_count': 1, 'unit_price': 6.5, 'type_id': (drinks.id, 'Drinks'),
         '__domain': [('type_id', '=', drinks.id)]},
        {'type_id_count': 1, 'unit_price': 19.9, 'type_id': (burgers.id, 'Burgers'),
         '__domain': [('type_id', '=', burgers.id)]},
        {'type_id_count': 1, 'unit_price': 9.0, 'type_id': False,
         '__domain': [('type_id', '=', False)]},
    ]
    assert [list(group) for group in groups] == [['type_id_count', 'unit_price', 'type_id', '__domain']] * 3
    # each group's domain finds exactly its products
    assert [Product.search(group['__domain']).mapped('name') for group in groups] == \
        [['Cola'], ['Burger'], ['Fries']]


def test_group_domain_combines_the_search_domain(env, shop):
    domain = [('unit_price', '>', 5), ('name', '!=', 'Cola')]
    groups = env['kfc.product'].read_group(domain, ['name'], ['type_id'])
    assert [group['__domain'] for group in groups] == [
        ['&', ('type_id', '=', shop['burgers'].id), '&', ('unit_price', '>', 5), ('name', '!=', 'Cola')],
        ['&', ('type_id', '=', False), '&', ('unit_price', '>', 5), ('name', '!=', 'Cola')],
    ]
    assert [group['type_id_count'] for group in groups] == [1, 1]


def test_many2one_groups_follow_the_comodel_order_with_no_value_last(env):
    blue, red = env['test.orm.label'].create([{'name': 'blue'}, {'name': 'red'}])
    env['test.orm.thing'].create([{'label_id': red.id, 'size': 1}, {'size': 2},
                                  {'label_id': blue.id, 'size': 4}, {'label_id': red.id, 'size': 8}])
    env['test.orm.label'].browse(blue.id).name = 'zebra'      # labels are ordered by name
    groups = env['test.orm.thing'].read_group([], ['size'], ['label_id'])
    assert [(g['label_id'], g['label_id_count'], g['size']) for g in groups] == [
        ((red.id, 'red'), 2, 9), ((blue.id, 'zebra'), 1, 4), (False, 1, 2)]
    reverse = env['test.orm.thing'].read_group([], ['size'], ['label_id'], orderby='label_id desc')
    assert [g['label_id'] for g in reverse] == [False, (blue.id, 'zebra'), (red.id, 'red')]


def test_not_lazy_and_several_groupbys(env):
    env['test.orm.thing'].create([{'name': 'a', 'flag': True, 'size': 1},
                                  {'name': 'a', 'size': 2}, {'name': 'b', 'size': 4}])
    lazy = env['test.orm.thing'].read_group([], ['size'], ['name', 'flag'])
    assert [(g['name'], g['name_count'], g['size'], g['__context']) for g in lazy] == [
        ('a', 2, 3, {'group_by': ['flag']}), ('b', 1, 4, {'group_by': ['flag']})]
    full = env['test.orm.thing'].read_group([], ['size'], ['name', 'flag'], lazy=False)
    # the unset boolean groups as False, which sorts before True
    assert [(g['name'], g['flag'], g['__count'], g['__domain']) for g in full] == [
        ('a', False, 1, ['&', ('name', '=', 'a'), ('flag', '=', False)]),
        ('a', True, 1, ['&', ('name', '=', 'a'), ('flag', '=', True)]),
        ('b', False, 1, ['&', ('name', '=', 'b'), ('flag', '=', False)]),
    ]
    assert all('__context' not in group for group in full)


def test_limit_offset_and_invalid_groupbys(env, shop):
    Product = env['kfc.product']
    assert [g['type_id'] for g in Product.read_group([], [], ['type_id'], offset=1, limit=1)] == \
        [(shop['burgers'].id, 'Burgers')]
    with pytest.raises(ValueError, match="Invalid field 'nope' on model 'kfc.product'"):
        Product.read_group([], [], ['nope'])
