"""The add-on deployed as "Deploying the add-on on Odoo 16" in the README says: its folder,
copied alone out of the checkout after the build, on Odoo's add-ons path, the module in Odoo's
Python, the settings in Odoo's configuration file; installed into a fresh database, served, the
road walked. Then the same folder with a constant the module was not built with."""
import os
import re
import shutil
import subprocess
import sys

import pytest
import requests

from kfcsandbox.config import SandboxConfig
from kfcsandbox.server import SandboxServer
from odoo.addons.kfc_coupon_shop.services.deployment import read_deployment
from odoo16harness import runner
from odoo16harness.platform import free_port

pytestmark = pytest.mark.odoo16_only

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
ADDON = 'kfc_coupon_shop'
REFUSED = 'The API routes and the page are not loaded: '


@pytest.fixture(scope='module')
def shop(odoo16, tmp_path_factory):
    """(Odoo runner, database, sandbox, the copied add-on): the add-on's folder copied alone,
    nothing of the checkout around it, and Odoo run from that folder."""
    folder = tmp_path_factory.mktemp('shop')
    addon = folder / 'addons' / ADDON
    shutil.copytree(os.path.join(ROOT, ADDON), addon,
                    ignore=shutil.ignore_patterns('__pycache__'))
    constants = read_deployment(str(addon / 'deployment.ini'))   # what the build wrote there
    sandbox = SandboxServer(SandboxConfig.from_deployment(constants)).start()
    odoo = runner.Odoo(odoo16.source, odoo16.python, odoo16.cluster, [folder / 'addons'],
                       folder / 'odoo', http_port=free_port(), gevent_port=free_port(),
                       options={'log_level': 'warn', 'max_cron_threads': 1})   # the kitchen's dispatcher
    odoo.sections = {ADDON: sandbox.config.addon_section(folder / 'keys', odoo.url, sandbox.url)}
    here = os.getcwd()
    os.chdir(folder)
    try:
        odoo.install('rw_deployed', [ADDON], demo=True)
        yield odoo, 'rw_deployed', sandbox, addon
    finally:
        os.chdir(here)
        sandbox.stop()
        odoo16.drop('rw_deployed')


def test_the_copied_folder_installs_serves_and_walks_the_road(shop):
    odoo, db, sandbox, _ = shop
    with odoo.serve(db, workers=2) as server:
        walk = subprocess.run(
            [sys.executable, os.path.join(ROOT, 'tools', 'walk.py'), '--api', odoo.url,
             '--sandbox', sandbox.url], capture_output=True, text=True, timeout=300)
        assert walk.returncode == 0, walk.stdout + walk.stderr
        assert 'verdict: the road walked' in walk.stdout
    with open(server.log_file, encoding='utf-8') as handle:
        assert REFUSED not in handle.read()


def test_a_constant_the_module_was_not_built_with_is_one_line_and_no_api(shop):
    odoo, db, _, addon = shop
    built = (addon / 'deployment.ini').read_text(encoding='utf-8')
    (addon / 'deployment.ini').write_text(re.sub(
        r'(?m)^frontend_page_url = .*$', 'frontend_page_url = http://h5.shop.example/', built),
        encoding='utf-8')
    try:
        with odoo.serve(db, workers=2) as server:
            assert requests.post(odoo.url + '/api/post_user_login', data={'code': 'x'},
                                 timeout=30).status_code == 404
            assert requests.get(odoo.url + '/web/login', timeout=30).status_code == 200
    finally:
        (addon / 'deployment.ini').write_text(built, encoding='utf-8')
    with open(server.log_file, encoding='utf-8') as handle:
        refused = [line for line in handle if REFUSED in line]
    assert len(refused) == 1, refused
    assert ' ERROR ' in refused[0] and ' odoo.addons.kfc_coupon_shop.controllers: ' in refused[0]
    assert "frontend_page_url (here 'http://h5.shop.example/')" in refused[0]
