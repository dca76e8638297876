"""The add-on's upgrade to 16.0.1.1.0 masks the login tokens that earlier versions wrote to the
API log: on the stand-in its step runs on the test's database, on Odoo through ``-u``."""
import importlib.util
import json
import os
import subprocess

from kfchost import addon

ADDON = 'kfc_coupon_shop'
TOKEN = 'Qx7vT2pLmN4rS8wZ0aBcDeFgHiJkLmNoPqRsTuV-k9Yz'
OTHER = 'q' * 43          # a text of a token's shape that is nobody's token
LEGACY = [
    ('兑换优惠券', '前端', json.dumps({'token': TOKEN, 'code': 'RW2024ST0001'})),
    ('页面错误', '前端异常', 'request of %s failed: %s' % (TOKEN, OTHER)),
    ('查询菜单开始', '卡券', 'post_menu_list'),
]
MASKED = [
    json.dumps({'token': '***' + TOKEN[-4:], 'code': 'RW2024ST0001'}),
    'request of ***%s failed: %s' % (TOKEN[-4:], OTHER),
    'post_menu_list',
]
STEP = os.path.join(addon.addon_path(), 'migrations', '16.0.1.1.0', 'post-migrate.py')


def legacy_sql():
    """A customer and the entries an earlier version wrote, as SQL statements."""
    def text(value):
        return "'%s'" % value.replace("'", "''")
    rows = ', '.join('(%s, %s, %s)' % tuple(map(text, row)) for row in LEGACY)
    return ["INSERT INTO kfc_user (name, token) VALUES ('老顾客', %s)" % text(TOKEN),
            "INSERT INTO api_log (name, role, log) VALUES %s" % rows]


def upgrade_on_standin(host):
    found = importlib.util.spec_from_file_location('kfc_post_migrate', STEP)
    step = importlib.util.module_from_spec(found)
    found.loader.exec_module(step)
    with host.env() as env:
        for statement in legacy_sql():
            env.cr.execute(statement)
    with host.env() as env:
        step.migrate(env.cr, '16.0.1.0.0')
    with host.env() as env:
        return env['api.log'].search([], order='id').mapped('log')


def upgrade_on_odoo(site):
    odoo16 = site.odoo16
    name = odoo16.database(site.template)
    try:
        odoo16.cluster.psql('; '.join(legacy_sql() + [
            "UPDATE ir_module_module SET latest_version = '16.0.1.0.0' WHERE name = '%s'"
            % ADDON]), name)
        runner = odoo16.odoo('upgrade-' + name)
        subprocess.run(runner.command('-d', name, '-u', ADDON, '--stop-after-init'),
                       check=True, timeout=600, stdout=subprocess.DEVNULL)
        return odoo16.cluster.psql('SELECT log FROM api_log ORDER BY id', name).split('\n')
    finally:
        odoo16.drop(name)


def test_the_upgrade_masks_the_tokens_logged_before(host, platform, odoo_site):
    logs = upgrade_on_odoo(odoo_site) if platform == 'odoo16' else upgrade_on_standin(host)
    assert logs[-len(LEGACY):] == MASKED
