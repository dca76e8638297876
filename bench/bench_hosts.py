"""One Odoo host against two behind nginx, measured in one run on Odoo 16 with PostgreSQL 15:
requests per second of the indexed read route ("/api/post_user_token") and orders per second of
the lunch-rush road (a coupon-only order, sent to the kitchen, then its poll), each through an
nginx with 1 host and through one with 2 hosts (2 workers each), with p50/p99 latency and the
CPU each kind of process used (on two cores the ratio is bounded by the cores: the figures show
where they went); then 200 connections at once through the 2 hosts' nginx, counting what was
reset, refused or answered.

The clients are threads of this process (each from a loopback address of its own, as customers
come from many: the door limits each address), with the sandbox; their CPU is shown too.

    ODOO16_SRC=../shared/odoo16 python bench/bench_hosts.py [--seconds 8] [--rounds 2]
"""
import argparse
import collections
import http.client
import json
import os
import re
import sys
import tempfile
import threading
import time
import urllib.parse

from kfchost import addon

addon.import_addon()
from kfcsandbox.config import SandboxConfig  # noqa: E402
from kfcsandbox.server import SandboxServer  # noqa: E402
from odoo.addons.kfc_coupon_shop.services import nginx  # noqa: E402
from odoo.addons.kfc_coupon_shop.services.deployment import read_deployment  # noqa: E402
from odoo16harness.nginx import Nginx, nginx_binary  # noqa: E402
from odoo16harness.platform import Odoo16Platform, free_port  # noqa: E402
from odoo16harness.rpc import Connection, Environment  # noqa: E402

ADDON = 'kfc_coupon_shop'
USERS = 5000
READ = '/api/post_user_token', 'token=token-%05d' % (USERS // 2)
STORE = {'store_name': '南京东路店', 'store_code': 'SH3001', 'store_address': '南京东路16号',
         'store_phone': '', 'city_name': '上海', 'city_code': '310100', 'remark': ''}
CLIENTS = 16            # requests in flight at once in the rate cases
WIDE = 200              # connections at once in the last case
COUPONS_EACH = 120


class Client:
    """A keep-alive HTTP connection to the door from one loopback address."""

    def __init__(self, port, address):
        self.port, self.address = port, address
        self.connection = None

    def post(self, path, body, content_type='application/x-www-form-urlencoded'):
        """(status, text, seconds); an exception's name as the status when none came."""
        started = time.perf_counter()
        try:
            if self.connection is None:
                self.connection = http.client.HTTPConnection(
                    '127.0.0.1', self.port, timeout=120, source_address=(self.address, 0))
            self.connection.request('POST', path, body, {'Content-Type': content_type})
            reply = self.connection.getresponse()
            text = reply.read().decode()
            if reply.getheader('Connection', '').lower() == 'close':
                self.close()
            return reply.status, text, time.perf_counter() - started
        except (OSError, http.client.HTTPException) as exc:
            self.close()
            return type(exc).__name__, '', time.perf_counter() - started

    def close(self):
        if self.connection is not None:
            self.connection.close()
            self.connection = None


def address(group, n):
    return '127.0.%d.%d' % (group, n + 1)


# -- CPU of the processes ---------------------------------------------------------------------

def cpu_seconds(groups):
    """{label: CPU seconds so far} of every process in the process groups of ``groups``
    ({label: [pgid]})."""
    tick = os.sysconf('SC_CLK_TCK')
    label_of = {pgid: label for label, pgids in groups.items() for pgid in pgids}
    used = collections.Counter()
    for pid in filter(str.isdigit, os.listdir('/proc')):
        try:
            with open('/proc/%s/stat' % pid) as stat:
                fields = stat.read().rsplit(')', 1)[1].split()
        except OSError:
            continue
        label = label_of.get(int(fields[2]))
        if label:
            used[label] += (int(fields[11]) + int(fields[12])) / tick
    return used


def cpu_line(before, after, seconds):
    return ', '.join('%s %.2f' % (label, (after[label] - before[label]) / seconds)
                     for label in after)


# -- the loads --------------------------------------------------------------------------------

def run_clients(clients, step, seconds):
    """Each client repeats ``step(client)`` for ``seconds``; [(status, seconds)] of every call."""
    results, lock = [], threading.Lock()
    deadline = time.monotonic() + seconds

    def loop(client):
        mine = []
        while time.monotonic() < deadline:
            mine.extend(step(client))
        with lock:
            results.extend(mine)

    threads = [threading.Thread(target=loop, args=(client,)) for client in clients]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for client in clients:
        client.close()
    return results


def read_step(client):
    status, _, took = client.post(*READ)
    return [(status, took)]


class Lunch:
    """Customers with redeemed coupons: each road a coupon-only order and its poll."""

    def __init__(self, env, count):
        dish = env['kfc.product'].search([('link_id', '=', 'S2001')], limit=1).id
        self.dish, self.customers = dish, {}
        for n in range(count):
            user = env['kfc.user'].create({'name': 'lunch %d' % n, 'openid': 'o-lunch-%03d' % n,
                                           'token': 'lunch-token-%03d' % n})
            coupons = env['kfc.coupon'].create([{
                'name': '薯条兑换券', 'code': 'LUNCH%03d%03d' % (n, k), 'state': 'exchange',
                'kfc_user_id': user.id, 'product_id': dish} for k in range(COUPONS_EACH)])
            self.customers[n] = ('lunch-token-%03d' % n, list(coupons.ids))

    def step(self, n):
        def road(client):
            token, coupons = self.customers[n]
            if not coupons:
                time.sleep(0.1)
                return []
            body = json.dumps(dict(STORE, token=token, phone='13800138000', type='1', data=[
                {'product_id': self.dish, 'num': 1, 'coupon_id': [coupons.pop()]}]))
            status, text, took = client.post('/api/post_coupon_sale_order', body,
                                             'application/json')
            if status != 200:
                return [(status, took)]
            order = json.loads(text).get('order_id')
            status, _, polled = client.post('/api/post_pay_result', urllib.parse.urlencode(
                {'order_id': order, 'token': token}))
            return [(status if status != 200 else 'road', took + polled)]
        return road


def figures(results, seconds, ok=(200, 'road')):
    done = sorted(took for status, took in results if status in ok)
    others = collections.Counter(status for status, _ in results if status not in ok)
    pick = lambda share: done[min(len(done) - 1, int(share * len(done)))] * 1000 if done else 0  # noqa: E731
    return {'rate': len(done) / seconds, 'p50': pick(0.5), 'p99': pick(0.99), 'others': others,
            'done': len(done)}


# -- the shop ---------------------------------------------------------------------------------

def start(args, work, sandbox, odoo):
    database = odoo.database(odoo.template([ADDON], demo=True))
    ports = [free_port(), free_port()]
    doors_urls = ['http://127.0.0.1:%d' % port for port in ports]
    sections = lambda url: {ADDON: sandbox.config.addon_section(work, doors_urls[1], sandbox.url)}  # noqa: E731
    options = {'max_cron_threads': 1, 'proxy_mode': True, 'log_level': 'warn'}
    hosts = [odoo.server(database, workers=2, sections=sections, options=options)
             for _ in range(2)]
    env = Environment(Connection(hosts[0].url, database))
    env['kfc.user'].create([{'name': 'user %d' % n, 'openid': 'openid-%05d' % n,
                             'token': 'token-%05d' % n} for n in range(USERS)])
    lunch = Lunch(env, CLIENTS)
    doors = []
    for port, served in zip(ports, (hosts[:1], hosts)):
        prefix = os.path.join(work, 'door-%d' % len(served))
        site = nginx.site_config([('127.0.0.1:%d' % host.port, '127.0.0.1:%d'
                                   % host.odoo.gevent_port) for host in served],
                                 listen='127.0.0.1:%d' % port)
        doors.append(Nginx(prefix, nginx.main_config(site, prefix), port).start())
    return hosts, doors, lunch


def groups_of(odoo, hosts, doors):
    with open(os.path.join(odoo.cluster.data_dir, 'postmaster.pid')) as pid_file:
        postmaster = int(pid_file.readline())
    return {'nginx': [door.process.pid for door in doors],
            'host 1': [hosts[0].process.pid], 'host 2': [hosts[1].process.pid],
            'PostgreSQL': [os.getpgid(postmaster)], 'clients and sandbox': [os.getpgid(0)]}


def measure(label, door, step_of, seconds, groups, group):
    clients = [Client(door.port, address(group, n)) for n in range(CLIENTS)]
    before = cpu_seconds(groups)
    results = run_clients(clients, lambda client: step_of(clients.index(client))(client)
                          if step_of else read_step(client), seconds)
    run = figures(results, seconds)
    run['cpu'] = cpu_line(before, cpu_seconds(groups), seconds)
    return run


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--seconds', type=float, default=8, help='per case and round')
    parser.add_argument('--rounds', type=int, default=2)
    args = parser.parse_args(argv)
    if not os.environ.get('ODOO16_SRC'):
        print('bench_hosts: skipped, set ODOO16_SRC (an Odoo 16 tree or its tarball)')
        return 0
    if not nginx_binary():
        print("bench_hosts: needs nginx (Debian's nginx)")
        return 1
    config = SandboxConfig.from_deployment(read_deployment())
    with tempfile.TemporaryDirectory() as work, SandboxServer(config) as sandbox:
        os.chmod(work, 0o755)       # nginx's workers run as another user
        odoo = Odoo16Platform.prepare().start()
        try:
            hosts, doors, lunch = start(args, work, sandbox, odoo)
            try:
                return report(args, odoo, hosts, doors, lunch)
            finally:
                for each in doors + hosts:
                    each.stop()
        finally:
            odoo.stop()


def report(args, odoo, hosts, doors, lunch):
    groups = groups_of(odoo, hosts, doors)
    cases = [('read, 1 host', doors[0], None), ('read, 2 hosts', doors[1], None),
             ('lunch road, 1 host', doors[0], lunch.step), ('lunch road, 2 hosts', doors[1],
                                                            lunch.step)]
    for _, door, _ in cases[:2]:            # warm every worker
        measure('warm', door, None, 2, groups, 9)
    best = {}
    for round_ in range(args.rounds):
        for n, (label, door, step_of) in enumerate(cases):
            run = measure(label, door, step_of, args.seconds, groups, 10 + n)
            if label not in best or run['rate'] > best[label]['rate']:
                best[label] = run
    print('%s: %d clients through nginx, %.0f s per case, best of %d rounds; CPU in cores'
          % (os.path.basename(__file__), CLIENTS, args.seconds, args.rounds))
    for label, run in best.items():
        print('  %-20s %7.1f /s  p50 %5.0f ms  p99 %5.0f ms  not answered 200: %s\n'
              '  %-20s CPU: %s' % (label, run['rate'], run['p50'], run['p99'],
                                   dict(run['others']) or 0, '', run['cpu']))
    print('  2 hosts / 1 host: read %.2f, lunch road %.2f'
          % (best['read, 2 hosts']['rate'] / best['read, 1 host']['rate'],
             best['lunch road, 2 hosts']['rate'] / best['lunch road, 1 host']['rate']))
    wide = wide_case(doors[1], args.seconds, groups)
    print('  %d connections at once, 2 hosts: %d answered 200 (%.1f /s, p50 %.0f ms, p99 %.0f '
          'ms), others %s\n  %-20s CPU: %s' % (WIDE, wide['done'], wide['rate'], wide['p50'],
                                               wide['p99'], dict(wide['others']) or 'none', '',
                                               wide['cpu']))
    print("  %-20s nginx's errors: %s" % ('', door_errors(doors[1]) or 'none'))
    resets = sum(count for status, count in wide['others'].items() if not isinstance(status, int))
    return 0 if not resets else 1


def door_errors(door):
    """What nginx logged as errors, by kind (the text before "while ...")."""
    kinds = collections.Counter()
    with open(door.error_log, errors='replace') as log:
        for line in log:
            found = re.search(r'\[error\] [\d#]+: \*\d+ (.*?)(?:, client:|$)', line)
            if found:
                kinds[re.sub(r'\d+', 'N', found.group(1))] += 1
    return ', '.join('%s: %d' % item for item in kinds.most_common())


def wide_case(door, seconds, groups):
    clients = [Client(door.port, address(20 + n // 250, n % 250)) for n in range(WIDE)]
    before = cpu_seconds(groups)
    run = figures(run_clients(clients, read_step, seconds), seconds)
    run['cpu'] = cpu_line(before, cpu_seconds(groups), seconds)
    return run


if __name__ == '__main__':
    sys.exit(main())
