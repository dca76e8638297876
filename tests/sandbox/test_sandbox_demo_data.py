"""The host's demo records agree with the sandbox they are meant to run against."""
import re

from kfchost import demo_data
from kfcsandbox.config import SandboxConfig
from kfcsandbox.data import MENU, menu_dishes

LINK_SEPARATORS = re.compile('[,，]')


def _saleable():
    """Link ids on sale, by the menu rule: sub-classes replace their class's own list."""
    saleable = set()
    for menu_class in MENU:
        lists = [sub['menuList'] for sub in menu_class['childClassList']] \
            if 'childClassList' in menu_class else [menu_class['menuList']]
        saleable |= {dish['linkId'] for dishes in lists for dish in dishes
                     if dish['saleFlag'] == 'Y'}
    return saleable


def _on_sale(product, saleable):
    return all(part in saleable for part in LINK_SEPARATORS.split(product['link_id']))


def test_credentials_match_the_sandbox_defaults():
    config = SandboxConfig()
    [wxapi] = demo_data.API_CONFIGS
    assert (wxapi['name'], wxapi['app_id'], wxapi['secret']) == (
        'wxapi', config.wechat_appid, config.wechat_secret)
    known = [(a['ticket'], a['deviceid']) for a in config.backend_accounts]
    demo = [(a['ticket'], a['deviceid']) for a in demo_data.ACCOUNT_CONFIGS if a['effective']]
    assert set(known) <= set(demo)


def test_every_link_id_is_a_dish_of_the_sandbox_menu():
    menu_ids = {dish['linkId'] for dish in menu_dishes(MENU)}
    children = {line['product'] for line in demo_data.PRODUCT_LINES}
    for product in demo_data.PRODUCTS:
        if product['is_multiple']:
            continue
        parts = LINK_SEPARATORS.split(product['link_id'])
        assert set(parts) <= menu_ids, product['name']
    assert children


def test_the_demo_menu_shows_a_mix():
    saleable = _saleable()
    products = {p['ref']: p for p in demo_data.PRODUCTS}
    singles = [p for p in demo_data.PRODUCTS if not p['is_multiple']]
    assert any(_on_sale(p, saleable) for p in singles)
    assert any(not _on_sale(p, saleable) for p in singles)
    assert any('，' in p['link_id'] for p in singles) and any(',' in p['link_id'] for p in singles)
    choices = [products[line['product']] for line in demo_data.PRODUCT_LINES]
    assert any(_on_sale(c, saleable) for c in choices)
    assert any(not _on_sale(c, saleable) for c in choices)


def test_references_resolve_and_codes_are_unique():
    types = {t['ref'] for t in demo_data.PRODUCT_TYPES}
    products = {p['ref'] for p in demo_data.PRODUCTS}
    assert all(p['type'] in types for p in demo_data.PRODUCTS)
    assert all({l['parent'], l['product']} <= products for l in demo_data.PRODUCT_LINES)
    assert all(c['product'] in products and c['state'] == 'draft' for c in demo_data.COUPONS)
    codes = [c['code'] for c in demo_data.COUPONS]
    assert len(codes) == len(set(codes))
    loaded = []
    for model, records in demo_data.MODELS:
        loaded.append(model)
        assert records
    assert loaded.index('kfc.product') > loaded.index('kfc.product.type')
    assert loaded.index('kfc.coupon') > loaded.index('kfc.product')
    for keywords in demo_data.KEYWORD_CONFIGS:
        assert '，' in keywords['keyword'] and ',' not in keywords['keyword']
