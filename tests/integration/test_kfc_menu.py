"""KfcController's menu routes served by the host, with the sandbox as the coupon back-end: the
menu of a store (which account answers, which dishes are on sale, how the catalogue is grouped)
and the synchronisation of the local catalogue from a back-end menu."""
import json

import pytest

from catalogue_support import (EXPIRED, IMAGE_PREFIX, LOGIN_PATH, MENU_PATH, Backend, envelope,
                               reply_text)

MENU_OBTAINED = '获取菜单信息成功'
EMPTY_MENU = ('{"code": 200, "message": "\\u83b7\\u53d6\\u83dc\\u5355\\u4fe1\\u606f\\u6210'
              '\\u529f", "data": []}')       # 获取菜单信息成功
SYNCED = '{"code": 200, "message": "\\u540c\\u6b65\\u83dc\\u5355\\u4fe1\\u606f\\u6210\\u529f"}'
FORM = {'date': '2024-06-01', 'storecode': 'SH3001'}
DEMO_TICKETS = ['TK-0REVOKED000', 'TK-7F3A91C2D4E5', 'TK-2B8E4F60A1C3']


@pytest.fixture
def backend(host):
    return Backend(host)


def assert_framework_failure(reply):
    assert reply.status_code == 500
    assert not reply.headers['Content-Type'].startswith('application/json')


def menu(host, **form):
    reply = host.post('post_menu_list', data=dict(FORM, **form))
    assert reply.status_code == 200, reply.text
    assert reply.headers['Content-Type'] == 'application/json'
    return reply


def sync(host, **form):
    return host.post('post_local_menu_list', data=dict(FORM, **form))


def on_sale(*link_ids, off=()):
    """A back-end menu of one class: ``link_ids`` on sale, ``off`` not."""
    dishes = [{'linkId': link_id, 'saleFlag': 'Y'} for link_id in link_ids]
    dishes += [{'linkId': link_id, 'saleFlag': 'N'} for link_id in off]
    return [{'classId': 'T', 'className': '测试', 'menuList': dishes}]


def serve_menu(backend, menu_classes):
    backend.valid_token()
    backend.script(MENU_PATH, envelope(menu_classes))


def listed(reply):
    """[(category name, [dish product ids, ...]), ...] of a menu reply."""
    return [(category['name'], [dish['product_id'] for dish in category['children']])
            for category in reply.json()['data']]


# -- the catalogue a test works with -----------------------------------------------------------

def add_type(host, name, number=10):
    with host.env() as env:
        return env['kfc.product.type'].create({'name': name, 'number': number,
                                               'image': IMAGE_PREFIX + '/type/t.png'}).id


def add_product(host, name, link_id, type_id=False, children=(), multiple=None):
    """A dish; with ``children`` (product ids) a multi-choice dish offering them in that order."""
    with host.env() as env:
        product = env['kfc.product'].create({
            'name': name, 'link_id': link_id, 'type_id': type_id, 'unit_price': 9.5,
            'remark': name + '的描述', 'image': IMAGE_PREFIX + '/menu/x.png',
            'is_multiple': bool(children) if multiple is None else multiple})
        for child_id in children:
            env['kfc.product.line'].create({'parent_product_id': product.id,
                                            'product_id': child_id})
        return product.id


def dish_object(product, grandchild=None, top=True):
    value = {'num': 0, 'product_id': product.id, 'link_id': product.id, 'coupon_id': [],
             'type': '2', 'name': product.name, 'remark': product.remark,
             'unit_price': product.unit_price, 'image': product.image}
    if grandchild is not None:
        value['grandchild'] = [dish_object(child, top=False) for child in grandchild]
    if top:
        value['is_multiple'] = product.is_multiple
    return value


def category_object(product_type, dishes):
    return {'number': product_type.number, 'name': product_type.name, 'icon': product_type.image,
            'children': dishes}


def effective_flags(host):
    with host.env() as env:
        return env['account.config'].search([], order='id').mapped('effective')


# -- the menu of the demo shop -------------------------------------------------------------------

def test_demo_menu(host, backend):
    reply = menu(host)
    with host.env() as env:
        def product(name):
            return env['kfc.product'].search([('name', '=', name)])

        def category(name):
            return env['kfc.product.type'].search([('name', '=', name)])
        # On sale at the back-end: B1001 B1002 B1004 S2001 S2002 S2003 D3001 D3004. The burgers
        # B1001-B1003 are child dishes of the multi-choice dish; B1003 is off, so it offers two.
        expected = [
            category_object(category('超值汉堡'), [
                dish_object(product('汉堡三选一'), [product('香辣鸡腿堡'), product('劲脆鸡腿堡')]),
                dish_object(product('老北京鸡肉卷'))]),
            category_object(category('小食'), [
                dish_object(product(name)) for name in ('薯条(中)', '上校鸡块(5块)', '鸡块双拼', '薯条可乐组合')]),
            category_object(category('饮品'), [dish_object(product('百事可乐(中)')),
                                              dish_object(product('热豆浆'))]),
        ]
    assert reply.text == reply_text({'code': 200, 'message': MENU_OBTAINED, 'data': expected})


def test_demo_accounts_token_renewals_and_revoked_account(host, backend):
    # No token is stored yet, and the first account is one the back-end no longer knows.
    menu(host)
    payloads = backend.payloads()
    assert [path for path, _ in payloads] == [MENU_PATH, LOGIN_PATH, MENU_PATH,
                                              MENU_PATH, LOGIN_PATH, MENU_PATH]
    menus = [payload for path, payload in payloads if path == MENU_PATH]
    tokens = [dict(payload)['token'] for payload in menus]
    assert [dict(payload)['ticket'] for payload in menus] == [DEMO_TICKETS[0]] * 2 + [
        DEMO_TICKETS[1]] * 2
    # Each account starts with the token read at the start, also after a renewal.
    assert tokens[0] is False and tokens[2] is False and tokens[1] and tokens[3]
    assert menus[3] == [('token', tokens[3]), ('date', '2024-06-01'), ('storecode', 'SH3001'),
                        ('ticket', 'TK-7F3A91C2D4E5'), ('deviceid', 'DEV-RW-0001'), ('linkid', '')]
    assert effective_flags(host) == [False, True, True]
    # The revoked account is not asked again; the stored token is now a valid one.
    first = menu(host).text
    assert [dict(p)['ticket'] for _path, p in backend.payloads()[6:]] == DEMO_TICKETS[1:2]
    assert menu(host).text == first


@pytest.mark.parametrize('form', [FORM, {}], ids=['with date and store', 'without'])
def test_no_effective_account_gives_an_empty_menu(host, backend, form):
    with host.env() as env:
        env['account.config'].search([]).write({'effective': False})
    reply = host.post('post_menu_list', data=form)
    assert reply.status_code == 200 and reply.text == EMPTY_MENU
    assert backend.payloads() == []


@pytest.mark.parametrize('missing', ['date', 'storecode'])
def test_menu_without_date_or_store_fails_the_route(host, missing):
    form = dict(FORM)
    del form[missing]
    assert_framework_failure(host.post('post_menu_list', data=form))


# -- which account's menu ------------------------------------------------------------------------

NO_ENVELOPE = {'Message': '设备未授权或票据已失效'}
OTHER_CODE = envelope('', code=5)


@pytest.mark.parametrize('replies, asked, fresh, flags', [
    ([NO_ENVELOPE], [0, 1], [], [False, True, True]),
    ([OTHER_CODE], [0, 1], [], [True, True, True]),
    ([EXPIRED], [0, 0], [1], [True, True, True]),
    ([EXPIRED, EXPIRED], [0, 0, 1], [1], [True, True, True]),
    ([EXPIRED, NO_ENVELOPE], [0, 0, 1], [1], [False, True, True]),
    ([envelope('{not json')], [0, 1], [], [True, True, True]),
    ([{'d': 'not an object'}], [0, 1], [], [True, True, True]),
    ([{'d': {'msg': 'no code'}}], [0, 1], [], [True, True, True]),
    ([OTHER_CODE, NO_ENVELOPE], [0, 1, 2], [], [True, False, True]),
], ids=['no envelope', 'other code', 'expired then menu', 'expired twice',
        'expired then no envelope', 'data not JSON', 'd not an object', 'no code',
        'third account'])
def test_account_decisions(host, backend, replies, asked, fresh, flags):
    type_id = add_type(host, '测试')
    product_id = add_product(host, '甲', 'A1', type_id)
    start_token = backend.valid_token()
    backend.script(MENU_PATH, *replies, envelope(on_sale('A1')))
    reply = menu(host)
    assert listed(reply) == [('测试', [product_id])]
    menus = [dict(payload) for path, payload in backend.payloads() if path == MENU_PATH]
    assert [payload['ticket'] for payload in menus] == [DEMO_TICKETS[i] for i in asked]
    # Only a resend after an expiry carries the fresh token; the next account starts over
    # with the token read at the start.
    assert [i for i, payload in enumerate(menus) if payload['token'] != start_token] == fresh
    assert effective_flags(host) == flags


def test_no_account_yields_a_menu(host, backend):
    type_id = add_type(host, '测试')
    add_product(host, '甲', 'A1', type_id)
    backend.valid_token()
    backend.script(MENU_PATH, OTHER_CODE, EXPIRED, EXPIRED, OTHER_CODE)
    assert menu(host).text == EMPTY_MENU
    assert effective_flags(host) == [True, True, True]


# What an ASP.NET service answers on any exception of its own: no envelope, as for an account
# it refuses.
ASMX_EXCEPTION = {'Message': 'The operation has timed out.', 'StackTrace': '',
                  'ExceptionType': 'System.TimeoutException'}


@pytest.mark.parametrize('fault', [dict(mode='reply', status=500, body=ASMX_EXCEPTION),
                                   dict(mode='http', status=502)], ids=['asmx exception', '502'])
def test_an_outage_switches_no_account_off(host, backend, fault):
    backend.valid_token()
    host.control('fault', service='coupon', path=MENU_PATH, **fault)
    assert menu(host).text == EMPTY_MENU
    assert effective_flags(host) == [True, True, True]


def test_a_timed_out_account_is_no_answer(host, backend):
    backend.valid_token()
    # The first account's request outlasts the read time-out; the second one gets the menu.
    host.control('fault', service='coupon', path=MENU_PATH, mode='hang', seconds=30, times=1)
    assert listed(menu(host))
    # That account never answered: nothing says the back-end no longer knows it.
    assert effective_flags(host) == [True, True, True]


# -- which dishes are on sale ----------------------------------------------------------------------

@pytest.mark.parametrize('link_id, sold, is_listed', [
    ('A1，A2', ['A1', 'A2'], True),
    ('A1,A2', ['A1', 'A2'], True),
    ('A1,A2', ['A1'], False),
    ('A1，A2,A3', ['A1', 'A2', 'A3'], True),
    ('A1, A2', ['A1', 'A2'], False),            # the blank stays part of the second id
    ('A1, A2', ['A1', ' A2'], True),
    ('A1,', ['A1'], False),                     # an empty last part
    ('A1,', ['A1', ''], True),
    ('，A1', ['A1', ''], True),
    ('A1,,A2', ['A1', 'A2'], False),
    ('A1,,A2', ['A1', 'A2', ''], True),
    ('a1', ['A1'], False),
    ('A1 ', ['A1'], False),
    (False, ['A1', ''], False),                 # no link id: not on sale, and no failure
])
def test_link_ids_split_on_both_commas(host, backend, link_id, sold, is_listed):
    type_id = add_type(host, '测试')
    product_id = add_product(host, '甲', link_id, type_id)
    # A dish on sale without "linkId" stands for the empty link id.
    dishes = [{'linkId': x, 'saleFlag': 'Y'} if x else {'saleFlag': 'Y'} for x in sold]
    serve_menu(backend, [{'menuList': dishes}])
    assert listed(menu(host)) == ([('测试', [product_id])] if is_listed else [])


def test_sale_flags_and_sub_classes(host, backend):
    type_id = add_type(host, '测试')
    ids = {link: add_product(host, link, link, type_id)
           for link in ('OWN', 'SUB1', 'SUB2', 'LOW', 'OFF', 'NOFLAG', 'PLAIN')}
    serve_menu(backend, [
        # A class with sub-classes sells only what they list, not its own list.
        {'menuList': [{'linkId': 'OWN', 'saleFlag': 'Y'}], 'childClassList': [
            {'menuList': [{'linkId': 'SUB1', 'saleFlag': 'Y'}]},
            {'className': 'no list'},
            {'menuList': [{'linkId': 'SUB2', 'saleFlag': 'Y'}, {'linkId': 'LOW', 'saleFlag': 'y'}]},
        ]},
        {'className': 'no list'},
        {'menuList': [{'linkId': 'OFF', 'saleFlag': 'N'}, {'linkId': 'NOFLAG'},
                      {'linkId': 'PLAIN', 'saleFlag': 'Y'}]},
    ])
    assert listed(menu(host)) == [('测试', [ids['SUB1'], ids['SUB2'], ids['PLAIN']])]


# -- multi-choice dishes -------------------------------------------------------------------------

def test_multi_choice_dish_lists_its_saleable_children(host, backend):
    type_id = add_type(host, '套餐')
    children = [add_product(host, name, link, type_id)
                for name, link in (('子一', 'C1'), ('子二', 'C2'), ('子三', 'C3'), ('子四', False))]
    parent_id = add_product(host, '任选', 'NOT-SOLD', type_id, children=children)
    with host.env() as env:         # an entry without a child dish offers nothing
        env['kfc.product.line'].create({'parent_product_id': parent_id})
    serve_menu(backend, on_sale('C2', '', off=['C1', 'C3']))
    reply = menu(host)
    with host.env() as env:
        products = env['kfc.product']
        parent = products.browse(parent_id)
        expected = [category_object(env['kfc.product.type'].browse(type_id), [
            dish_object(parent, [products.browse(children[1])])])]
    # Its own link id plays no part; its children never appear at top level.
    assert reply.text == reply_text({'code': 200, 'message': MENU_OBTAINED, 'data': expected})
    assert list(json.loads(reply.text)['data'][0]['children'][0]) == [
        'num', 'product_id', 'link_id', 'coupon_id', 'type', 'name', 'remark', 'unit_price',
        'image', 'grandchild', 'is_multiple']


def test_multi_choice_dish_without_saleable_children_is_left_out(host, backend):
    type_id = add_type(host, '套餐')
    child_id = add_product(host, '子', 'C1', type_id)
    add_product(host, '无子', 'M1', type_id, multiple=True)
    add_product(host, '全停', 'M2', type_id, children=[child_id])
    single_id = add_product(host, '单品', 'S1', type_id)
    serve_menu(backend, on_sale('M1', 'M2', 'S1', off=['C1']))
    assert listed(menu(host)) == [('套餐', [single_id])]


def test_child_dish_never_at_top_level(host, backend):
    type_id = add_type(host, '套餐')
    child_id = add_product(host, '子', 'C1', type_id)
    single_id = add_product(host, '单品', 'S1', type_id)
    other_type = add_type(host, '别类', number=20)
    parent_id = add_product(host, '任选', 'M1', other_type, children=[child_id])
    serve_menu(backend, on_sale('C1', 'S1'))
    # Listed inside its multi-choice dish, in that dish's category, and nowhere else.
    reply = menu(host)
    assert listed(reply) == [('套餐', [single_id]), ('别类', [parent_id])]
    assert [c['product_id'] for c in reply.json()['data'][1]['children'][0]['grandchild']] == [
        child_id]
    # Also when its multi-choice dish is not listed (a dish without a category is not).
    with host.env() as env:
        env['kfc.product'].browse(parent_id).write({'type_id': False})
    serve_menu(backend, on_sale('C1', 'S1'))
    assert listed(menu(host)) == [('套餐', [single_id])]


def test_multi_choice_dish_that_is_also_a_child(host, backend):
    type_id = add_type(host, '套餐')
    leaf_id = add_product(host, '叶', 'L1', type_id)
    inner_id = add_product(host, '内层', 'I1', type_id, children=[leaf_id])
    outer_id = add_product(host, '外层', 'O1', type_id, children=[inner_id])
    serve_menu(backend, on_sale('L1', 'I1'))
    data = menu(host).json()['data']
    # The inner dish is listed for its own saleable child, and inside the outer one as a child
    # by its own link id.
    assert [dish['product_id'] for dish in data[0]['children']] == [inner_id, outer_id]
    assert [c['product_id'] for c in data[0]['children'][1]['grandchild']] == [inner_id]
    assert 'is_multiple' not in data[0]['children'][1]['grandchild'][0]


# -- categories ----------------------------------------------------------------------------------

def test_categories_ordered_stably_by_number(host, backend):
    names = [('五', 5), ('三甲', 3), ('空', 1), ('三乙', 3), ('一', 1)]
    type_ids = {name: add_type(host, name, number) for name, number in names}
    products = {name: add_product(host, name + '菜', 'X-' + name, type_ids[name])
                for name, _number in names if name != '空'}
    late = add_product(host, '五菜二', 'X-五', type_ids['五'])
    add_product(host, '空菜', 'X-none', type_ids['空'])
    add_product(host, '无类', 'X-五')     # no category: left out
    serve_menu(backend, on_sale(*('X-' + name for name in products)))
    reply = menu(host)
    assert listed(reply) == [('一', [products['一']]), ('三甲', [products['三甲']]),
                             ('三乙', [products['三乙']]), ('五', [products['五'], late])]
    first = reply.json()['data'][0]
    assert list(first) == ['number', 'name', 'icon', 'children']
    assert (first['number'], first['name'], first['icon']) == (1, '一', IMAGE_PREFIX + '/type/t.png')


def test_uncategorised_products_are_left_out(host, backend):
    lone = add_product(host, '无类', 'U1')
    serve_menu(backend, on_sale('U1'))
    assert menu(host).text == EMPTY_MENU
    with host.env() as env:
        assert not env['kfc.product'].browse(lone).type_id


# -- synchronisation of the local catalogue ------------------------------------------------------

def products_by_link(host):
    with host.env() as env:
        return {p.link_id: p.read(['name', 'image', 'unit_price', 'remark', 'type_id',
                                   'is_multiple', 'line_ids'])[0]
                for p in env['kfc.product'].search([])}


def product_count(host):
    with host.env() as env:
        return env['kfc.product'].search_count([])


def test_sync_adds_only_unknown_link_ids_from_the_back_end(host, backend):
    before = products_by_link(host)
    reply = sync(host)
    assert reply.status_code == 200 and reply.text == SYNCED
    after = products_by_link(host)
    # The demo catalogue holds every own-list dish but S2003 (only inside "S2002，S2003") and
    # D3009; dishes of sub-classes are not read.
    added = {link: after[link] for link in set(after) - set(before)}
    assert sorted(added) == ['D3009', 'S2003']
    assert {key: added['S2003'][key] for key in ('name', 'image', 'unit_price', 'remark')} == {
        'name': '黄金鸡块(5块)', 'image': IMAGE_PREFIX + '/menu/s2003.png', 'unit_price': 13.0,
        'remark': ''}
    assert added['D3009']['image'] == IMAGE_PREFIX       # the back-end sends an empty path
    assert all(not p['type_id'] and not p['is_multiple'] and not p['line_ids']
               for p in added.values())
    # The back-end token expired: renewed through the login, then the menu asked once more.
    payloads = backend.payloads()
    assert [path for path, _ in payloads] == [MENU_PATH, LOGIN_PATH, MENU_PATH]
    assert payloads[2][1] == [('token', backend.stored_token()), ('date', '2024-06-01'),
                              ('storecode', 'SH3001'), ('linkid', '')]
    # A repeated synchronisation creates nothing.
    count = product_count(host)
    assert sync(host).text == SYNCED and product_count(host) == count


def test_sync_values_and_duplicates(host, backend):
    add_product(host, '组合', 'N1,N2')
    add_product(host, '已有', 'N3')
    backend.valid_token()
    backend.script(MENU_PATH, envelope([
        {'menuList': [
            {'linkId': 'N1', 'nameCn': '新一', 'price': 1290, 'imageUrl': '/m/n1.png',
             'descCn': '描述'},
            {'linkId': 'N1', 'nameCn': '重复', 'price': 100},
            {'linkId': 'N2', 'nameCn': '新二', 'price': '1290', 'saleFlag': 'N'},
            {'linkId': 'N3', 'nameCn': '已有', 'price': 100},
            {'linkId': 'N4', 'price': 1290.7},
        ], 'childClassList': [{'menuList': [{'linkId': 'SUB', 'nameCn': '子类', 'price': 1}]}]},
        {'className': 'no list'},
        {'menuList': [{'nameCn': '无编号', 'price': 0}, {'nameCn': '无编号二', 'price': 5}]},
    ]))
    before = product_count(host)
    assert sync(host).text == SYNCED
    after = products_by_link(host)
    assert product_count(host) == before + 4
    assert 'SUB' not in after
    assert {key: after['N1'][key] for key in ('name', 'image', 'unit_price', 'remark')} == {
        'name': '新一', 'image': IMAGE_PREFIX + '/m/n1.png', 'unit_price': 12.9, 'remark': '描述'}
    assert (after['N2']['name'], after['N2']['unit_price']) == ('新二', 12.9)
    assert (after['N4']['name'], after['N4']['unit_price'], after['N4']['image']) == (
        '', 12.9, IMAGE_PREFIX)
    assert (after['']['name'], after['']['unit_price']) == ('无编号', 0.0)
    assert after['N3']['name'] == '已有'


@pytest.mark.parametrize('reply', [
    envelope([{'menuList': [{'linkId': 'Z1', 'price': '12.50'}]}]),
    envelope([{'menuList': [{'linkId': 'Z1'}]}]),
    envelope('not json'),
    {'Message': 'no envelope'},
], ids=['fractional price text', 'no price', 'data not JSON', 'no envelope'])
def test_sync_failures_fail_the_route(host, backend, reply):
    backend.valid_token()
    backend.script(MENU_PATH, reply)
    before = product_count(host)
    assert_framework_failure(sync(host))
    assert product_count(host) == before


def test_sync_after_a_second_expiry_fails_the_route(host, backend):
    backend.valid_token()
    backend.script(MENU_PATH, EXPIRED, EXPIRED)
    assert_framework_failure(sync(host))
    assert [path for path, _ in backend.payloads()] == [MENU_PATH, LOGIN_PATH, MENU_PATH]
