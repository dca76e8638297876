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


def test_invalid_groupbys_are_refused(env):
    with pytest.raises(ValueError, match="Invalid field 'nope' on model 'kfc.product'"):
        env['kfc.product'].read_group([], [], ['nope'])
