"""`./dev serve --odoo` as a person runs it: started on free ports, the road walked against it,
stopped with SIGTERM leaving nothing running, started again on the same cluster with the first
run's orders."""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile

import pytest

from odoo16harness.platform import free_port
from odoo16harness.rpc import Connection

pytestmark = pytest.mark.odoo16_only

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
ORDER_NAME = re.compile(r'\bSO\d{14}[0-9A-F]{8}\b')


class Run:
    """One run of the command: its process and the lines it printed until it served."""

    def __init__(self, work, port, sandbox_port, *options):
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(ROOT, 'tools', 'odoo_serve.py'), '--work', str(work),
             '--port', str(port), '--sandbox-port', str(sandbox_port), *options],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.lines = []
        for line in self.process.stdout:
            self.lines.append(line.rstrip('\n'))
            if line.startswith('sandbox of the outside services listening on '):
                break
        else:
            raise AssertionError('it did not serve:\n' + '\n'.join(self.lines))

    def said(self, start):
        return next(line for line in self.lines if line.startswith(start))

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        out, _ = self.process.communicate(timeout=120)
        return self.process.returncode, out


def url_in(line):
    return re.search(r'http://127\.0\.0\.1:\d+', line).group(0)


def processes_naming(path):
    """The pids of processes whose command line names ``path`` (Odoo, its workers, PostgreSQL)."""
    found = []
    for pid in filter(str.isdigit, os.listdir('/proc')):
        try:
            with open('/proc/%s/cmdline' % pid, 'rb') as handle:
                if str(path).encode() in handle.read():
                    found.append(int(pid))
        except OSError:
            pass
    return found


def listening(port):
    with socket.socket() as probe:
        return probe.connect_ex(('127.0.0.1', port)) == 0


@pytest.fixture
def work():
    """A folder for the cluster that the postgres user can reach, as var/ of a checkout."""
    folder = tempfile.mkdtemp(prefix='rw-serve-')
    os.chmod(folder, 0o755)
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


def test_served_walked_stopped_and_started_again_with_its_orders(work):
    port, sandbox_port = free_port(), free_port()
    run = Run(work, port, sandbox_port)
    try:
        api = url_in(run.said('the API: '))
        walk = subprocess.run(
            [sys.executable, os.path.join(ROOT, 'tools', 'walk.py'), '--api', api,
             '--sandbox', url_in(run.said('sandbox of the outside services'))],
            capture_output=True, text=True, timeout=300)
        assert walk.returncode == 0, walk.stdout + walk.stderr
        orders = set(ORDER_NAME.findall(walk.stdout))
        assert len(orders) == 4, walk.stdout
        # the demo logins it printed open the back office with their groups
        back_office = run.said('the back office')
        for role in ('Manager', 'Staff'):
            login, password = re.search(role + r' (\S+) / (\S+?)[,;]', back_office).groups()
            staff = Connection(api, 'kfc_shop', login, password)
            assert staff.execute('res.users', 'has_group', 'kfc_coupon_shop.group_kfc_manager') \
                is (role == 'Manager')
            assert staff.execute('sale.order', 'search_count', []) == len(orders)
            staff.close()
    finally:
        status, out = run.stop()
    assert status == 0, out
    assert processes_naming(work) == []
    assert not os.path.exists(os.path.join(work, 'pg', 'data', 'postmaster.pid'))
    assert not listening(port) and not listening(sandbox_port)

    again = Run(work, port, sandbox_port)
    try:
        assert not any(line.startswith('installed ') for line in again.lines), again.lines
        admin = Connection(url_in(again.said('the API: ')), 'kfc_shop')
        kept = admin.execute('sale.order', 'search_read', [], ['name'])
        admin.close()
        assert orders <= {order['name'] for order in kept}
    finally:
        status, out = again.stop()
    assert status == 0, out
    assert processes_naming(work) == []
