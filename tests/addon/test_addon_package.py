"""The add-on folder as Odoo reads it (manifest, access rights, data) and as the stand-in serves it."""
import csv
import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

import pytest

from kfchost import addon, odoo_shim
from kfchost.orm import models as orm_models
from kfchost.orm.registry import Registry

ADDON_DIR = addon.addon_path()
MANIFEST = addon.manifest()


def addon_models():
    """The models with records the add-on defines (not the platform's it extends, not the
    tests', not an abstract model's)."""
    return sorted(name for name, cls in orm_models.MODEL_CLASSES.items()
                  if cls.__module__.startswith('odoo.addons.kfc_coupon_shop.')
                  and cls._inherit != name and cls._auto)


def addon_wizards():
    """The transient models the add-on defines (the stand-in declares them and serves none)."""
    return sorted(name for name, cls in orm_models.TRANSIENT_CLASSES.items()
                  if cls.__module__.startswith('odoo.addons.kfc_coupon_shop.')
                  and '_name' in cls.__dict__)


def access_rows():
    with open(os.path.join(ADDON_DIR, 'security', 'ir.model.access.csv'), newline='') as handle:
        return list(csv.DictReader(handle))


def test_manifest_is_an_odoo_16_addon_on_base_and_web():
    assert MANIFEST['depends'] == ['base', 'web']    # web: its Home serves the page at "/"
    assert re.fullmatch(r'16\.0\.\d+\.\d+\.\d+', MANIFEST['version'])
    assert MANIFEST['license'] in ('LGPL-3', 'OPL-1', 'GPL-3', 'AGPL-3', 'Other proprietary')
    assert MANIFEST['installable'] is True
    assert 'routeweave' in MANIFEST['external_dependencies']['python']
    for path in MANIFEST['data']:
        assert os.path.isfile(os.path.join(ADDON_DIR, path)), path


CONFIGURATION = {'api.config', 'account.config', 'keyword.config'}
# Money records: managers change them, nobody deletes one (the models refuse too).
KEPT = {'sale.order.line', 'sale.refund.order', 'api.log'}
# What was done: written by the shop's own code only.
RECORDED = {'kfc.staff.event', 'kfc.settlement.run'}
# Figures computed as they are read: nothing to write.
COMPUTED = {'kfc.dashboard'}


def test_staff_read_the_shop_and_managers_change_it_and_nobody_else_has_a_right():
    rights = {}
    for row in access_rows():
        key = (row['model_id:id'], row['group_id:id'])
        assert key not in rights, row       # one row per model and group
        rights[key] = ''.join(row['perm_' + p] for p in ('read', 'write', 'create', 'unlink'))
    expected = {}
    for name in addon_models():
        model = 'model_' + name.replace('.', '_')
        expected[model, 'group_kfc_manager'] = ('1000' if name in RECORDED | COMPUTED else
                                                '1110' if name in KEPT else '1111')
        if name not in CONFIGURATION:
            expected[model, 'group_kfc_staff'] = '1000'
    for name in addon_wizards():        # a manager's tools
        expected['model_' + name.replace('.', '_'), 'group_kfc_manager'] = '1111'
    assert rights == expected       # never the public user, never everyone


def test_scheduled_actions_run_model_methods():
    root = ElementTree.parse(os.path.join(ADDON_DIR, 'data', 'ir_cron_data.xml')).getroot()
    scheduled = {}
    for cron in root.iter('record'):
        fields = {field.attrib['name']: field for field in cron.iter('field')}
        assert cron.attrib['model'] == 'ir.cron'
        model = fields['model_id'].attrib['ref']
        scheduled[model] = re.fullmatch(r'model\.(\w+)\(\)', fields['code'].text).group(1)
    names = ('sale.order', 'sale.order.line', 'kfc.reconciliation', 'api.log',
             'kfc.coupon.batch')
    assert set(scheduled) == {'model_' + name.replace('.', '_') for name in names}
    for name in names:
        method = scheduled['model_' + name.replace('.', '_')]
        assert callable(getattr(orm_models.MODEL_CLASSES[name], method))


@pytest.fixture
def registry(tmp_path):
    registry = addon.install(Registry(tmp_path / 'addon.sqlite3'), demo=True)
    yield registry
    registry.close()


@pytest.fixture
def env(registry):
    from kfchost.orm import api
    with registry.cursor() as cr:
        yield api.Environment(cr)


def test_the_stand_in_loads_sequences_and_parameters_once(env):
    assert addon.load_data(env, demo=True) == 0          # already there: install loaded them
    codes = env['ir.sequence'].search([]).mapped('code')
    assert sorted(codes) == ['sale.order', 'sale.refund.order']
    params = env['ir.config_parameter']
    assert params.get_param('kfc_coupon_shop.coupon_backend_userid') == '2024050'
    assert params.get_param('kfc_coupon_shop.coupon_backend_productid') == '2'
    order = env['sale.order'].create({})
    refund = env['sale.refund.order'].create({'sale_order_id': order.id})
    assert re.fullmatch(r'SO\d{8}000001[0-9A-F]{8}', order.name)
    assert re.fullmatch(r'RF\d{8}000001[0-9A-F]{8}', refund.name)


def test_the_stand_in_links_demo_records_by_ref_and_makes_a_deleted_one_again(env):
    choice = env.ref('kfc_coupon_shop.product_burger_choice')
    assert choice.line_ids.mapped('product_id.link_id') == ['B1001', 'B1002', 'B1003']
    assert choice.type_id == env.ref('kfc_coupon_shop.product_type_burger')
    assert env.ref('kfc_coupon_shop.user_demo_manager', raise_if_not_found=False) is None
    env.ref('kfc_coupon_shop.coupon_rw2024kl0001').unlink()      # never spent: not kept
    assert addon.load_data(env, demo=True) == 1
    assert env['kfc.coupon'].search_count([('code', '=', 'RW2024KL0001')]) == 1


def test_demo_data_goes_into_a_new_database_only(tmp_path):
    """As Odoo loads demo data when it installs an add-on: a shop's database gets none."""
    from kfchost.app import open_registry
    from kfchost.orm import api
    open_registry(str(tmp_path / 'shop.sqlite3')).close()
    registry = open_registry(str(tmp_path / 'shop.sqlite3'), demo=True)
    with registry.cursor() as cr:
        assert api.Environment(cr)['kfc.coupon'].search_count([]) == 0
    registry.close()


def test_a_column_added_to_a_database_gets_its_default_or_computed_values(registry):
    """As Odoo upgrades a database: the demo coupons stay usable when active and code_key come."""
    from kfchost.orm import api
    with registry.cursor() as cr:
        for sql in ('DROP INDEX "kfc_coupon_code_key_index"',
                    'ALTER TABLE "kfc_coupon" DROP COLUMN "code_key"',
                    'ALTER TABLE "kfc_coupon" DROP COLUMN "active"'):
            cr.sqlite_execute(sql)
    registry.init_db()
    with registry.cursor() as cr:
        coupons = api.Environment(cr)['kfc.coupon']
        assert coupons.search([('code_key', '=', 'RW2024KL0001')]).code == 'RW2024KL0001'
        assert coupons.search_count([('code_key', '=', False)]) == 0


def test_the_stand_in_serves_no_wizard_and_no_settings_page(registry):
    """The web client's models: left out, so that nothing reaches them here."""
    from kfchost.orm import api
    names = addon_wizards() + ['res.config.settings']
    assert 'sale.order.staff.refund' in names
    with registry.cursor() as cr:
        env = api.Environment(cr)
        for name in names:
            assert name not in env
            with pytest.raises(KeyError):
                env[name]


@pytest.mark.parametrize('model', ['res.partner', 'ir.rule'])
def test_the_stand_in_refuses_data_it_cannot_load(env, tmp_path, model):
    """A record rule left out would make the stand-in more permissive than Odoo."""
    path = tmp_path / 'records.xml'
    path.write_text('<odoo><record id="r" model="%s"><field name="name">A</field>'
                    '</record></odoo>' % model)
    with pytest.raises(ValueError, match=model.replace('.', r'\.')):
        addon.load_file(env, str(path))


def test_the_addon_imports_odoo_names_served_by_the_stand_in():
    import odoo
    from odoo import fields, http
    from odoo.addons.kfc_coupon_shop.models import sale_order_line
    assert odoo_shim.is_installed()
    assert odoo.http is http and http.Controller.__module__.startswith('kfchost.http')
    assert sale_order_line.JsonText.__mro__[1] is fields.Text
    assert addon.import_addon().__name__ == 'odoo.addons.kfc_coupon_shop'


def test_the_shim_never_replaces_a_real_odoo(tmp_path):
    real = tmp_path / 'odoo'
    real.mkdir()
    (real / '__init__.py').write_text('REAL = True\n')
    script = ('import odoo\nfrom kfchost import odoo_shim\n'
              'try:\n    odoo_shim.install()\nexcept RuntimeError as exc:\n    print("refused:", exc)\n'
              'print(odoo.REAL)\n')
    result = subprocess.run([sys.executable, '-c', script], capture_output=True, text=True,
                            env=dict(os.environ, PYTHONPATH=str(tmp_path)), timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith('refused: the real odoo package') and 'True' in result.stdout
