"""`./dev serve --odoo --hosts 2`: two Odoo hosts on one PostgreSQL behind nginx. The door
limits one address and not the next, and refuses an oversized body itself; a host killed
leaves the road to the other, and the books hold."""
import concurrent.futures
import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading

import pytest
import requests

from kfcsandbox.books import outside_facts
from odoo.addons.kfc_coupon_shop.services import limits
from odoo16harness import runner
from odoo16harness.nginx import SourceAddress, nginx_binary
from odoo16harness.platform import free_port
from test_odoo_serve import ROOT, Run, processes_naming, url_in

pytestmark = [pytest.mark.odoo16_only,
              pytest.mark.skipif(not nginx_binary(), reason="needs nginx (Debian's nginx)")]

# The books checked against what the sandbox holds, given as JSON.
BOOKS = ("import json\noutside = json.loads(%r)\n"
         "print('BOOKS ' + json.dumps(env['kfc.books']._kfc_breaches(outside)))\n")


@pytest.fixture(scope='module')
def module_work():
    """A folder that the cluster and nginx's workers (other users) can reach."""
    folder = tempfile.mkdtemp(prefix='rw-two-hosts-')
    os.chmod(folder, 0o755)
    yield pathlib.Path(folder)
    shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture(scope='module')
def shop(module_work):
    run = Run(module_work, free_port(), free_port(), '--hosts', '2', '--kitchen-seconds', '1')
    run.door = url_in(run.said('the API: '))
    run.sandbox = url_in(run.said('sandbox of the outside services'))
    yield run
    if run.process.poll() is None:
        run.stop()



def post_from(address, url, data):
    with requests.Session() as session:
        session.mount('http://', SourceAddress(address))
        return session.post(url, data=data, timeout=60)


def test_the_door_limits_a_flooding_address_alone_and_bounds_bodies(shop):
    """More requests at once from 127.0.0.2 than the door lets one address have in progress:
    the excess is refused at once, while a request from 127.0.0.1 among them is served."""
    url = shop.door + '/api/post_user_token'
    flood = limits.DOOR_CONNECTIONS + 50
    start = threading.Barrier(flood + 1)

    def post(address):
        start.wait()
        return post_from(address, url, {'token': 'x'})

    with concurrent.futures.ThreadPoolExecutor(flood + 1) as pool:
        flooding = [pool.submit(post, '127.0.0.2') for _ in range(flood)]
        other = pool.submit(post, '127.0.0.1')
        replies = [each.result() for each in flooding]
    refused = [reply for reply in replies if reply.status_code == 429]
    assert len(refused) + sum(reply.status_code == 200 for reply in replies) == flood
    assert refused and json.loads(refused[0].text) == {'code': 429,
                                                       'message': limits.TOO_MANY_REQUESTS}
    assert other.result().json()['data'] == {'state': False}
    # a body past the route's limit never reaches a host
    too_large = post_from('127.0.0.1', url, {'token': 'x' * limits.FORM_BODY_LIMIT})
    assert (too_large.status_code, too_large.json()['code']) == (413, 413)


def test_a_host_killed_leaves_the_road_to_the_other_and_the_books_hold(shop, module_work):
    walk(shop)
    host = re.search(r'Odoo host 2: \S+ \(process group (\d+)\)', '\n'.join(shop.lines))
    os.killpg(int(host.group(1)), signal.SIGKILL)
    walk(shop)
    source = runner.odoo_source()
    shell = subprocess.run(
        [os.path.join(ROOT, 'var', 'odoo-venv', 'bin', 'python'), source.odoo_bin, 'shell',
         '-c', str(module_work / 'odoo' / 'odoo.conf'), '-d', 'kfc_shop', '--no-http'],
        input=BOOKS % json.dumps(outside_facts(shop.sandbox)), capture_output=True, text=True,
        timeout=300)
    assert json.loads(shell.stdout.split('BOOKS ', 1)[1]) == [], shell.stdout + shell.stderr
    status, out = shop.stop()
    assert status == 0 and 'Odoo host 2 stopped by itself' in out, out
    assert processes_naming(module_work) == []


def walk(shop):
    walked = subprocess.run([sys.executable, os.path.join(ROOT, 'tools', 'walk.py'), '--api',
                             shop.door, '--sandbox', shop.sandbox],
                            capture_output=True, text=True, timeout=300)
    assert walked.returncode == 0, walked.stdout + walked.stderr
