"""The check at start that the module's controllers carry the add-on's deployment constants."""
import ast
import re
from pathlib import Path

import pytest

from kfchost import addon
from odoo.addons.kfc_coupon_shop.services import deployment

check = addon.submodule('controllers.deployment_check')
CONTROLLERS = Path(__file__).resolve().parents[2] / 'controllers'


def test_every_constant_the_build_substitutes_is_checked():
    """A literal of a controller source holding @NAME@ is where the check looks for NAME."""
    substituted = set()
    for source in CONTROLLERS.glob('*.py'):
        for node in ast.walk(ast.parse(source.read_text(encoding='utf-8'))):
            if isinstance(node, ast.Constant) and isinstance(node.value, str):
                for name in re.findall(r'@([A-Z_]+)@', node.value):
                    substituted.add((name.lower(), re.sub(r'@[A-Z_]+@', '{}', node.value)))
    checked = {(key, template) for key, templates in check.LITERALS.items()
               for template in templates}
    assert substituted == checked


def with_constant(key, value):
    constants = deployment.read_deployment()
    constants[key] = value
    return constants


@pytest.mark.parametrize('constants, says', [
    (with_constant('frontend_page_url', 'http://h5.shop.example/'),
     "frontend_page_url (here 'http://h5.shop.example/')"),
    (with_constant('coupon_fulfilment_base', 'https://coupon.shop.example'),
     "coupon_fulfilment_base (here 'https://coupon.shop.example', the module's "
     "'https://coupon.routeweave.example:809')"),
    (with_constant('tencent_map_key', ''), "tencent_map_key (here '')"),
])
def test_constants_other_than_the_modules_are_refused_in_one_line(monkeypatch, constants, says):
    assert check.refusal() is None          # the checkout's build
    monkeypatch.setattr(check, 'read_deployment', lambda: constants)
    refusal = check.refusal()
    assert refusal.startswith('the routeweave module 16.0.0.9 was built with other deployment '
                              'constants than this add-on holds in deployment.ini: ' + says)
    assert '\n' not in refusal


def test_an_addon_folder_without_constants_is_refused(monkeypatch, tmp_path):
    monkeypatch.setattr(check, 'read_deployment',
                        lambda: deployment.read_deployment(str(tmp_path / 'deployment.ini')))
    assert check.refusal() == (
        'no deployment constants in %s (No such file or directory): the build of the routeweave '
        'module writes them there; build it from the checkout that holds this add-on and deploy '
        'the folder with it' % (tmp_path / 'deployment.ini'))
