"""Chaos on Odoo 16: customers walk the shop's roads while faults are injected, then settlement
runs until the shop is quiet and the books are checked.

Odoo 16 serves the add-on with 2 workers and its cron on a private PostgreSQL 15, pointed at
the sandbox. For ``--seconds``, ``--customers`` customers walk the paid road (a coupon dish and
a paid dish), coupon-only orders, dishes the kitchen refuses and refunds of dishes the kitchen
never got, while the sandbox's kitchen cooks (or refuses) and its bank settles refunds, and a
script injects, each at least once: ``kill -9`` of the worker serving a state change, a payment
notification, a poll and a refund (the order's row held from psql catches the request in the
act; the master starts a new worker and WeChat Pay delivers again); a PostgreSQL restart; the
back-end hanging, then answering; WeChat Pay answering 5xx for a while; replies lost after the
work was done. Then settlement runs until quiet, from the cron, a process of its own and the
back office's "Settle now" at the same time, and the books are checked (``kfc.books``).

With ``--hosts 2``, two Odoo hosts (2 workers, the cron and proxy_mode each, one data folder)
serve behind nginx (the add-on's ``services/nginx.py``), the customers come through it, each
from a loopback address of its own (127.0.0.x: the door's per-address limits count each apart),
and one more fault is injected: one host SIGKILLed with its workers and started again, then the
other. Settlement then runs from both hosts' crons, and every request must have been answered
or refused cleanly (a JSON reply, from a host or the door), none cut off.

Exit status 0 when the books hold and every fault was injected.

    ODOO16_SRC=../shared/odoo16 python bench/chaos.py [--seconds 180] [--customers 20] [--hosts 2]
"""
import argparse
import collections
import contextlib
import json
import logging
import os
import random
import re
import signal
import subprocess
import tempfile
import threading
import time

import requests

from kfchost import addon

addon.import_addon()
from kfcsandbox.books import outside_facts  # noqa: E402
from kfcsandbox.config import SandboxConfig  # noqa: E402
from kfcsandbox.server import SandboxServer  # noqa: E402
from odoo.addons.kfc_coupon_shop.services import nginx  # noqa: E402
from odoo.addons.kfc_coupon_shop.services.deployment import read_deployment  # noqa: E402
from odoo16harness.nginx import Nginx, SourceAddress  # noqa: E402
from odoo16harness.platform import Odoo16Platform, free_port  # noqa: E402
from odoo16harness.rpc import Connection, Environment  # noqa: E402

ADDON = 'kfc_coupon_shop'
STORE = {'store_name': '南京东路店', 'store_code': 'SH3001', 'store_address': '南京东路16号',
         'store_phone': '', 'city_name': '上海', 'city_code': '310100', 'remark': ''}
QUIET_WITHIN = 600          # seconds settlement has to make the shop quiet
SETTLE = "env['sale.order']._kfc_settle()\nenv.cr.commit()\n"
# The books checked against what the sandbox holds (kfcsandbox.books), given as JSON.
BOOKS = ("import json\noutside = json.loads(%r)\n"
         "print('BOOKS ' + json.dumps({'breaches': env['kfc.books']._kfc_breaches(outside), "
         "'open': env['sale.refund.order'].search_count([('state', '=', 'draft')]) + "
         "len(env['sale.order.line'].search([('uuid', '=', False), ('detail_state', 'not in', "
         "('fail', 'cancel', 'success')), ('sale_order_id.is_paid', '=', True), "
         "('sale_order_id.state', 'in', ('draft', 'paid', 'pick'))]))}))\n")


class Shop:
    """The API and the sandbox as a customer's phone and the people around it reach them;
    counts what was asked and what failed."""

    def __init__(self, api, sandbox):
        self.api, self.sandbox = api, sandbox
        self.http = requests
        self.asked = collections.Counter()
        self.failed = collections.Counter()
        self.reasons = collections.Counter()
        self.unclean = collections.Counter()
        self.lock = threading.Lock()

    def from_address(self, address):
        """The same shop, reached from loopback ``address``: counted with this one."""
        other = Shop.__new__(Shop)
        other.__dict__.update(self.__dict__)
        other.http = requests.Session()
        other.http.mount('http://', SourceAddress(address))
        return other

    def post(self, route, **kwargs):
        with self.lock:
            self.asked[route] += 1
        try:
            reply = self.http.post('%s/api/%s' % (self.api, route), timeout=60, **kwargs)
            if reply.status_code < 500:
                return reply.json() if 'json' in reply.headers.get('Content-Type', '') else {}
            why = 'HTTP %d' % reply.status_code
            clean = 'json' in reply.headers.get('Content-Type', '')
        except (requests.RequestException, ValueError) as exc:
            why, clean = type(exc).__name__, False
        with self.lock:
            self.failed[route] += 1
            self.reasons[route, why] += 1
            self.unclean[route, why] += not clean
        return None

    def control(self, endpoint, **body):
        return requests.post('%s/sandbox/%s' % (self.sandbox, endpoint), json=body,
                             timeout=60).json()

    def inspect(self, path):
        return requests.get('%s/sandbox/%s' % (self.sandbox, path), timeout=60).json()



class Customer:
    def __init__(self, shop, token, coupons, dishes):
        self.shop, self.token, self.coupons, self.dishes = shop, token, coupons, dishes

    def order(self, items, route='create_sale_order'):
        body = dict(STORE, token=self.token, phone='13800138000', type='1', data=[
            {'product_id': product, 'num': 1, 'coupon_id': coupons} for product, coupons in items])
        reply = self.shop.post(route, json=body)
        return reply if reply and reply.get('code') == 200 else None

    def pay(self, order):
        reply = self.shop.post('wechat_jsapi_payment', json={'token': self.token,
                                                             'order_id': order['order_id']})
        if not reply or reply.get('code') != 200:
            return False
        name = self.name(order)
        self.shop.control('wechatpay/confirm', out_trade_no=name)
        return True

    def name(self, order):
        detail = self.shop.post('post_sale_order_list_line', data={
            'order_id': order['order_id'], 'token': self.token}) or {}
        return order.get('order_name') or (detail.get('data') or {}).get('name')

    def poll(self, order, settled=('done', 'fail'), seconds=60):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            reply = self.shop.post('post_pay_result', data={'order_id': order['order_id'],
                                                            'token': self.token})
            if reply and reply['data'].get('state') in settled:
                return True
            time.sleep(1)
        return False

    # -- the roads ---------------------------------------------------------------------------

    def paid_road(self, refused=None):
        order = self.order([(self.dishes['fries'], self.coupons.pop()),
                            (self.dishes['cola'], [])])
        if not order or not self.pay(order):
            return False
        if refused is not None:
            refused.add(order['order_name'])
        self.shop.post('post_change_sale_order_state', data={'order_id': order['order_id'],
                                                            'token': self.token})
        return self.poll(order)

    def coupon_only(self):
        order = self.order([(self.dishes['fries'], self.coupons.pop())],
                           route='post_coupon_sale_order')
        return bool(order) and self.poll(order)

    def refund_before_the_kitchen(self):
        order = self.order([(self.dishes['cola'], []), (self.dishes['cola'], [])])
        if not order or not self.pay(order):
            return False
        reply = self.shop.post('wechat_jsapi_refund', data={
            'token': self.token, 'id': str(order['order_id']), 'out_trade_no': order['order_name'],
            'transaction_id': self.transaction(order), 'amount': '900'})
        self.shop.post('post_change_sale_order_state', data={'order_id': order['order_id'],
                                                            'token': self.token})
        return bool(reply and reply.get('code') == 200) and self.poll(order)

    def transaction(self, order):
        for payment in self.shop.inspect('wechatpay/payments')['transactions']:
            if payment['out_trade_no'] == order['order_name']:
                return payment.get('transaction_id') or ''
        return ''


def walk(customer, deadline, refused, roads):
    while time.monotonic() < deadline and customer.coupons:
        kind = random.choice(['paid', 'paid', 'coupon only', 'refused', 'refund'])
        step = {'paid': customer.paid_road, 'coupon only': customer.coupon_only,
                'refused': lambda: customer.paid_road(refused),
                'refund': customer.refund_before_the_kitchen}[kind]
        try:
            finished = step()
        except Exception:           # a road the faults broke: counted unfinished
            logging.exception('road %s', kind)
            finished = False
        roads[kind, 'started'] += 1
        roads[kind, 'finished'] += finished


def people(shop, refused, stop):
    """The sandbox's kitchen cooks (or refuses the dishes of ``refused`` orders) and its bank
    settles refunds, a moment after each arrives."""
    while not stop.is_set():
        with contextlib.suppress(requests.RequestException, ValueError, KeyError):
            for order in shop.inspect('coupon/orders')['orders']:
                if order['status'] == 'submitted' and any(
                        item.get('state') == 'cooking' for item in order['items']):
                    number = str(order['entry'].get('orderno', ''))
                    act = 'coupon/fail' if any(number.startswith(name) for name in refused) \
                        else 'coupon/finish'
                    shop.control(act, uuid=order['uuid'])
            for refund in shop.inspect('wechatpay/payments')['refunds']:
                if refund['status'] == 'PROCESSING':
                    shop.control('wechatpay/refund', out_refund_no=refund['out_refund_no'])
        stop.wait(0.5)


# -- faults ------------------------------------------------------------------------------------

def peer_process(pid):
    """The process at the other end of process ``pid``'s Unix socket (``ss``, Debian's
    iproute2): an Odoo worker, for a PostgreSQL backend. Odoo names its connections after the
    process that loaded the database (the prefork master), not after the worker using them."""
    owners, peers = collections.defaultdict(set), {}
    for line in subprocess.run(['ss', '-xpH'], capture_output=True, text=True).stdout.splitlines():
        fields = line.split()
        if len(fields) >= 8:
            peers[fields[5]] = fields[7]
            owners[fields[5]].update(int(found) for found in re.findall(r'pid=(\d+)', line))
    for inode, pids in owners.items():
        if pid in pids and owners.get(peers[inode]):
            return min(owners[peers[inode]])
    return None


def parent_of(pid):
    with open('/proc/%d/stat' % pid) as stat:
        return int(stat.read().rsplit(')', 1)[1].split()[1])


class Faults:
    def __init__(self, shop, cluster, db, victim, hosts):
        self.shop, self.cluster, self.db, self.victim = shop, cluster, db, victim
        self.hosts = hosts
        self.injected = collections.Counter()
        self.last = None

    def _done(self, kind):
        self.injected[kind] += 1
        self.last = time.monotonic()

    @contextlib.contextmanager
    def holding(self, order_id):
        """The order's row held by a psql session until the block ends."""
        session = subprocess.Popen(
            [os.path.join(self.cluster.pg_bin, 'psql'), '-h', self.cluster.socket_dir, '-p',
             str(self.cluster.port), '-U', self.cluster.user, '-d', self.db, '-Xq'],
            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True)
        session.stdin.write('BEGIN;\nSELECT id FROM sale_order WHERE id = %d FOR UPDATE;\n'
                            % order_id)
        session.stdin.flush()
        try:
            yield
        finally:
            session.communicate('ROLLBACK;\n\\q\n', timeout=30)

    def kill_the_worker_serving(self, kind, order_id, request):
        """``request()`` in a thread; once a worker waits on the order's row, kill -9 it."""
        with self.holding(order_id):
            time.sleep(0.5)
            thread = threading.Thread(target=request, daemon=True)
            thread.start()
            for _ in range(100):
                waiting = self.cluster.psql(
                    "SELECT pid FROM pg_stat_activity WHERE datname = '%s' "
                    "AND wait_event_type = 'Lock'" % self.db, dbname=self.db).split()
                worker = peer_process(int(waiting[0])) if waiting else None
                if worker and parent_of(worker) in self.hosts.masters():
                    os.kill(worker, signal.SIGKILL)
                    self._done('kill -9 the worker serving ' + kind)
                    break
                time.sleep(0.1)
        thread.join(60)

    def kill_workers(self):
        victim, shop = self.victim, self.shop
        order = victim.order([(victim.dishes['cola'], [])])
        victim.pay(order)
        self.kill_the_worker_serving('a state change', order['order_id'], lambda: shop.post(
            'post_change_sale_order_state', data={'order_id': order['order_id'], 'token': victim.token}))
        order = victim.order([(victim.dishes['cola'], [])])
        shop.post('wechat_jsapi_payment', json={'token': victim.token, 'order_id': order['order_id']})
        self.kill_the_worker_serving('a payment notification', order['order_id'],
                                     lambda: shop.control('wechatpay/confirm',
                                                          out_trade_no=order['order_name']))
        order = victim.order([(victim.dishes['cola'], [])])
        victim.pay(order)
        shop.post('post_change_sale_order_state', data={'order_id': order['order_id'],
                                                       'token': victim.token})
        self.kill_the_worker_serving('a poll', order['order_id'], lambda: shop.post(
            'post_pay_result', data={'order_id': order['order_id'], 'token': victim.token}))
        order = victim.order([(victim.dishes['cola'], [])])
        victim.pay(order)
        self.kill_the_worker_serving('a refund', order['order_id'], lambda: shop.post(
            'wechat_jsapi_refund', data={'token': victim.token, 'id': str(order['order_id']),
                                         'out_trade_no': order['order_name'],
                                         'transaction_id': victim.transaction(order)}))

    def restart_postgresql(self):
        self.cluster.restart()
        self._done('PostgreSQL restart')

    def hang_the_kitchen(self):
        self.shop.control('fault', service='coupon', mode='hang', seconds=6, times=6)
        time.sleep(8)
        self.shop.control('fault/clear', service='coupon')
        self._done('back-end hanging, then answering')

    def wechat_pay_down(self):
        self.shop.control('fault', service='wechatpay', mode='error')
        time.sleep(8)
        self.shop.control('fault/clear', service='wechatpay')
        self._done('WeChat Pay answering 5xx')

    def lose_replies(self):
        self.shop.control('fault', service='wechatpay', mode='late_error', times=3)
        self.shop.control('fault', service='coupon', mode='late_error', times=3,
                          path='/Core.asmx/KFC_Auto_UpdateOrderDetail')
        time.sleep(8)
        self.shop.control('fault/clear')
        self._done('replies lost after the work was done')

    def kill_hosts(self):
        """Each host in turn SIGKILLed with its workers while customers walk, and started
        again on its port a few seconds later."""
        for n in range(len(self.hosts.servers)):
            self.hosts.kill(n)
            time.sleep(4)
            self.hosts.restart(n)
            self._done('SIGKILL of host %d, then its restart' % (n + 1))
            time.sleep(4)

    def run(self, deadline):
        faults = [self.kill_workers, self.hang_the_kitchen, self.restart_postgresql,
                  self.wechat_pay_down, self.lose_replies]
        if len(self.hosts.servers) > 1:
            faults.insert(1, self.kill_hosts)
        pause = max(1.0, (deadline - time.monotonic()) / (len(faults) + 1))
        for fault in faults:
            time.sleep(pause / 2)
            try:
                fault()
            except Exception:
                logging.exception('fault %s', fault.__name__)
            time.sleep(pause / 2)


# -- the run -----------------------------------------------------------------------------------

def customers(env, shop, count, addresses=False):
    """``count`` customers logged in through the sandbox's WeChat, each with redeemed coupons,
    and one more for the fault script's own orders; with ``addresses``, each comes from a
    loopback address of its own."""
    dishes = {name: env['kfc.product'].search([('link_id', '=', link)], limit=1).id
              for name, link in (('fries', 'S2001'), ('cola', 'D3001'))}
    made = []
    for n in range(count + 1):
        code = shop.control('wechat/authorize', nickname='混沌 %d' % n)['code']
        token = shop.post('post_user_login', data={'code': code})['data']['token']
        user = env['kfc.user'].search([('token', '=', token)])
        coupons = env['kfc.coupon'].create([{
            'name': '薯条兑换券', 'code': 'CHAOS%03d%02d' % (n, k), 'state': 'exchange',
            'kfc_user_id': user.id, 'product_id': dishes['fries']} for k in range(40)])
        own = shop.from_address('127.0.1.%d' % (n + 1)) if addresses else shop
        made.append(Customer(own, token, [[c] for c in coupons.ids], dishes))
    return made[:-1], made[-1]


def settle_until_quiet(server, since, url, sandbox_url):
    """Settlement from the cron, a process of its own and the back office's "Settle now" at
    once until nothing is open; the books then (with the sandbox's at ``sandbox_url``), and the
    seconds from ``since`` until quiet."""
    deadline = time.monotonic() + QUIET_WITHIN
    while True:
        threads = [threading.Thread(target=server.odoo.shell, args=(server.dbname, SETTLE)),
                   threading.Thread(target=settle_from_the_back_office, args=(server, url))]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        script = BOOKS % json.dumps(outside_facts(sandbox_url))
        books = json.loads(server.odoo.shell(server.dbname, script).split('BOOKS ', 1)[1])
        if not books['open'] or time.monotonic() > deadline:
            return books, time.monotonic() - since
        time.sleep(5)


def settle_from_the_back_office(server, url):
    """The manager's click on Settle now, through the web client's JSON-RPC at ``url``: a
    settlement run recorded and the scheduled settlement woken."""
    manager = Connection(url, server.dbname, login='shop_manager', password='shop_manager')
    wizard = manager.execute('sale.order.settle', 'create', {})
    manager.execute('sale.order.settle', 'action_settle', [wizard])
    manager.close()


class Hosts:
    """The Odoo hosts serving the shop, and the door in front of them when there are two or
    more: ``url`` is where customers go."""

    def __init__(self, odoo, database, sections, work, count):
        self.odoo, self.database, self.sections = odoo, database, sections
        self.options = {'max_cron_threads': 1}
        if count > 1:
            self.options['proxy_mode'] = True
            door_port = free_port()
            self.url = 'http://127.0.0.1:%d' % door_port
        self.servers = [self._start(None, self.url if count > 1 else None) for _ in range(count)]
        self.door = None
        if count > 1:
            prefix = os.path.join(work, 'nginx')
            site = nginx.site_config([('127.0.0.1:%d' % server.port,
                                       '127.0.0.1:%d' % server.odoo.gevent_port)
                                      for server in self.servers], listen='127.0.0.1:%d' % door_port)
            self.door = Nginx(prefix, nginx.main_config(site, prefix), door_port).start()
        else:
            self.url = self.servers[0].url

    def _start(self, port, public_url):
        sections = self.sections if public_url is None else (lambda url: self.sections(public_url))
        return self.odoo.server(self.database, workers=2, sections=sections, http_port=port,
                                options=self.options)

    def masters(self):
        return {server.process.pid for server in self.servers}

    def kill(self, n):
        os.killpg(self.servers[n].process.pid, signal.SIGKILL)
        self.servers[n].process.wait()

    def restart(self, n):
        self.servers[n] = self._start(self.servers[n].port, self.url)

    def stop(self):
        if self.door:
            self.door.stop()
        for server in self.servers:
            server.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--seconds', type=float, default=180)
    parser.add_argument('--customers', type=int, default=20)
    parser.add_argument('--hosts', type=int, default=1,
                        help='Odoo hosts; two or more serve behind nginx (default %(default)s)')
    parser.add_argument('--show-log', action='store_true', help="print the end of Odoo's log")
    args = parser.parse_args()
    logging.basicConfig(level=logging.WARNING)
    config = SandboxConfig.from_deployment(read_deployment(), notify_retry_scale=0.1)
    with tempfile.TemporaryDirectory() as work, SandboxServer(config) as sandbox:
        os.chmod(work, 0o755)       # nginx's workers run as another user
        odoo = Odoo16Platform.prepare().start()
        try:
            database = odoo.database(odoo.template([ADDON], demo=True))
            sections = lambda url: {ADDON: sandbox.config.addon_section(work, url, sandbox.url)}  # noqa: E731
            hosts = Hosts(odoo, database, sections, work, args.hosts)
            try:
                return run(odoo, hosts, sandbox, args)
            finally:
                hosts.stop()
        finally:
            odoo.stop()


def run(odoo, hosts, sandbox, args):
    server = hosts.servers[0]
    shop = Shop(hosts.url, sandbox.url)
    walkers, victim = customers(Environment(Connection(server.url, server.dbname)), shop,
                                args.customers, addresses=args.hosts > 1)
    refused, roads, stop = set(), collections.Counter(), threading.Event()
    faults = Faults(shop, odoo.cluster, server.dbname, victim, hosts)
    deadline = time.monotonic() + args.seconds
    helpers = [threading.Thread(target=people, args=(shop, refused, stop), daemon=True)]
    helpers += [threading.Thread(target=walk, args=(walker, deadline, refused, roads))
                for walker in walkers]
    for thread in helpers:
        thread.start()
    faults.run(deadline)
    for thread in helpers[1:]:
        thread.join()
    books, quiet_after = settle_until_quiet(hosts.servers[0], faults.last or time.monotonic(),
                                            hosts.url, sandbox.url)
    stop.set()
    report(roads, faults, shop, books, quiet_after)
    if args.show_log:
        for each in hosts.servers:
            with open(each.served.log_file, errors="replace") as log:
                print(log.read())
    every_fault = len(faults.injected) == 8 + (args.hosts if args.hosts > 1 else 0)
    clean = not args.hosts > 1 or not sum(shop.unclean.values())
    return 0 if not books['breaches'] and not books['open'] and every_fault and clean else 1


def report(roads, faults, shop, books, quiet_after):
    kinds = sorted({kind for kind, _ in roads})
    print('roads: ' + ', '.join('%s %d started, %d finished' % (
        kind, roads[kind, 'started'], roads[kind, 'finished']) for kind in kinds))
    print('faults injected: ' + ', '.join('%s x%d' % item for item in sorted(faults.injected.items())))
    print('requests: %d, failed: %d (%s)' % (
        sum(shop.asked.values()), sum(shop.failed.values()),
        ', '.join('%s %s %d' % (route, why, count)
                  for (route, why), count in sorted(shop.reasons.items()))))
    unclean = ['%s %s %d' % (route, why, count)
               for (route, why), count in sorted(shop.unclean.items()) if count]
    print('answered or refused cleanly: all but %d (%s)' % (sum(shop.unclean.values()),
                                                           ', '.join(unclean) or 'none'))
    print('settled %.0f s after the last fault; still open: %d' % (quiet_after, books['open']))
    print('breaches: %d' % len(books['breaches']))
    for breach in books['breaches']:
        print('  %s: %s' % (breach['rule'], ', '.join(breach['records'][:10])))


if __name__ == '__main__':
    raise SystemExit(main())
