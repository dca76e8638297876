"""The add-on's demo records agree with the sandbox they are meant to run against."""
import re

import pytest

from kfchost import addon
from kfchost.orm import api
from kfchost.orm.registry import Registry
from kfcsandbox.config import SandboxConfig
from kfcsandbox.data import MENU, menu_dishes
from odoo.addons.kfc_coupon_shop.services import runtime
from odoo.addons.kfc_coupon_shop.services.settings import Settings

LINK_SEPARATORS = re.compile('[,，]')


@pytest.fixture(scope='module')
def env(tmp_path_factory):
    """The demo records, as the stand-in loads them from the add-on's demo files (with no
    settings that would replace their official account)."""
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(runtime, 'settings', Settings())
        registry = addon.install(Registry(tmp_path_factory.mktemp('demo') / 'demo.sqlite3'),
                                 demo=True)
    with registry.cursor() as cr:
        yield api.Environment(cr)
    registry.close()


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
    return all(part in saleable for part in LINK_SEPARATORS.split(product.link_id))


def test_credentials_match_the_sandbox_defaults(env):
    config = SandboxConfig()
    [wxapi] = env['api.config'].search([])
    assert (wxapi.name, wxapi.app_id, wxapi.secret) == (
        'wxapi', config.wechat_appid, config.wechat_secret)
    known = [(a['ticket'], a['deviceid']) for a in config.backend_accounts]
    demo = [(a.ticket, a.deviceid) for a in env['account.config'].search([('effective', '=', True)])]
    assert set(known) <= set(demo)


def test_every_link_id_is_a_dish_of_the_sandbox_menu(env):
    menu_ids = {dish['linkId'] for dish in menu_dishes(MENU)}
    for product in env['kfc.product'].search([('is_multiple', '=', False)]):
        assert set(LINK_SEPARATORS.split(product.link_id)) <= menu_ids, product.name
    assert env['kfc.product.line'].search([])


def test_the_demo_menu_shows_a_mix(env):
    saleable = _saleable()
    singles = env['kfc.product'].search([('is_multiple', '=', False)])
    assert any(_on_sale(p, saleable) for p in singles)
    assert any(not _on_sale(p, saleable) for p in singles)
    assert any('，' in p.link_id for p in singles) and any(',' in p.link_id for p in singles)
    choices = env['kfc.product.line'].search([]).mapped('product_id')
    assert any(_on_sale(c, saleable) for c in choices)
    assert any(not _on_sale(c, saleable) for c in choices)


def test_every_coupon_is_unredeemed_with_a_code_of_its_own(env):
    coupons = env['kfc.coupon'].search([])
    assert coupons and all(c.product_id and c.state == 'draft' for c in coupons)
    codes = coupons.mapped('code')
    assert len(codes) == len(set(codes))
    for keywords in env['keyword.config'].search([]):
        assert '，' in keywords.keyword and ',' not in keywords.keyword
