"""Soak: the stand-in server under steady mixed load, on loopback, for a bounded time.

Starts `python -m kfchost serve --sandbox --demo` in a subprocess on free ports (its resident
size is read from /proc), and runs a few client threads, each walking the road of an order
again and again: login, menu, store search, order, order list, payment (prepay, and the
sandbox's signed notification to the server), state change, poll, order list. Every request
must be answered with the route's JSON reply. At the end it prints the request counts, the
latency percentiles and the resident size after warm-up and at the end.

    .venv/bin/python bench/soak.py                 # three minutes
    .venv/bin/python bench/soak.py --seconds 30
    .venv/bin/python bench/soak.py --sandbox-apart   # the sandbox's memory left out
"""
import argparse
import collections
import datetime
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

import requests

from odoo16harness.nginx import SourceAddress

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MEMORY_TOLERANCE = 0.10


def free_port():
    with socket.socket() as sock:
        sock.bind(('127.0.0.1', 0))
        return sock.getsockname()[1]


def rss_kib(pid):
    with open('/proc/%d/status' % pid) as status:
        for line in status:
            if line.startswith('VmRSS:'):
                return int(line.split()[1])
    raise RuntimeError('no VmRSS for process %d' % pid)


class Server:
    """`python -m kfchost serve --sandbox --demo` in a subprocess, as `./dev serve` runs it.

    apart: the sandbox in a process of its own instead, so that the server's resident size
    leaves out what the sandbox keeps by design (every order, payment and notification)."""

    def __init__(self, workdir, apart=False):
        self.port, self.sandbox_port = free_port(), free_port()
        self.log = open(os.path.join(workdir, 'serve.log'), 'w+')
        self.errors = open(os.path.join(workdir, 'serve.err'), 'w+')
        self.url = 'http://127.0.0.1:%d' % self.port
        self.sandbox = 'http://127.0.0.1:%d/sandbox/' % self.sandbox_port
        db = os.path.join(workdir, 'soak.sqlite3')
        self.sandbox_process = None
        if apart:
            self.sandbox_process = subprocess.Popen(
                [sys.executable, __file__, '--role', 'sandbox', '--port', str(self.sandbox_port)],
                cwd=ROOT, stdout=subprocess.DEVNULL)
            self._wait(lambda: requests.get(self.sandbox + 'config', timeout=5).ok,
                       self.sandbox_process)
            command = [__file__, '--role', 'server', '--port', str(self.port),
                       '--sandbox-url', self.sandbox[:-len('/sandbox/')], '--db', db]
        else:
            command = ['-m', 'kfchost', 'serve', '--sandbox', '--demo', '--port', str(self.port),
                       '--sandbox-port', str(self.sandbox_port), '--db', db]
        self.process = subprocess.Popen([sys.executable] + command, cwd=ROOT, stdout=self.log,
                                        stderr=self.errors)
        self._wait(self._listening, self.process)

    def _listening(self):
        self.log.seek(0)
        return 'kfchost API listening on' in self.log.read()

    @staticmethod
    def _wait(ready, process, seconds=60):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if process.poll() is not None:
                raise RuntimeError('%s exited with status %s' % (process.args, process.returncode))
            try:
                if ready():
                    return
            except requests.ConnectionError:
                pass
            time.sleep(0.2)
        raise RuntimeError('%s did not start within %d s' % (process.args, seconds))

    def rss_kib(self):
        return rss_kib(self.process.pid)

    def stop(self):
        self.process.terminate()
        status = self.process.wait(60)
        if self.sandbox_process:
            self.sandbox_process.terminate()
            self.sandbox_process.wait(60)
        self.log.close()
        self.errors.seek(0)
        failures = [line for line in self.errors if ' ERROR ' in line or line.startswith('Traceback')
                    or (line[:1].isalpha() and ('Error' in line or 'Exception' in line))]
        self.errors.close()
        return status, failures


class Stats:
    def __init__(self):
        self.lock = threading.Lock()
        self.latencies = collections.defaultdict(list)     # route: [seconds]
        self.failures = collections.Counter()               # route: count
        self.examples = []

    def record(self, route, seconds, failure=None):
        with self.lock:
            self.latencies[route].append(seconds)
            if failure:
                self.failures[route] += 1
                if len(self.examples) < 5:
                    self.examples.append('%s: %s' % (route, failure))



class Customer:
    """One client thread's customer: walks the road of an order again and again, each visit
    from a loopback address of its own, as visitors come from their own addresses (the
    server limits the menu and store searches per address)."""

    def __init__(self, server, stats, number):
        self.server = server
        self.stats = stats
        self.number = number
        self.session = requests.Session()
        self.rounds = 0

    def visit_from_own_address(self):
        address = '127.%d.%d.%d' % (1 + self.number % 250, self.rounds // 250 % 250,
                                    1 + self.rounds % 250)
        self.session.close()
        self.session = requests.Session()
        self.session.mount('http://', SourceAddress(address))

    def post(self, route, **kwargs):
        started = time.perf_counter()
        try:
            reply = self.session.post('%s/api/%s' % (self.server.url, route), timeout=30, **kwargs)
            body = reply.json() if reply.headers.get('Content-Type') == 'application/json' else None
            failure = None if reply.status_code == 200 and isinstance(body, dict) else \
                'HTTP %s %s' % (reply.status_code, reply.text[:120])
        except (requests.RequestException, ValueError) as exc:
            body, failure = None, repr(exc)
        self.stats.record(route, time.perf_counter() - started, failure)
        return body or {}

    def control(self, endpoint, **body):
        return self.session.post(self.server.sandbox + endpoint, json=body, timeout=30).json()

    def round(self):
        """One customer's visit. A new customer every fifth visit, so users accumulate too."""
        if self.rounds % 5 == 0:
            code = self.control('wechat/authorize', openid='soak-%d-%d' % (self.number, self.rounds),
                                nickname='压测%d' % self.number)['code']
            self.token = self.post('post_user_login', data={'code': code}).get('data', {}).get('token')
        self.visit_from_own_address()
        self.rounds += 1
        today = datetime.date.today().isoformat()
        menu = self.post('post_menu_list', data={'date': today, 'storecode': 'SH3001'})
        dishes = [child['product_id'] for group in menu.get('data', [])
                  for child in group.get('children', []) if not child.get('grandchild')]
        self.post('post_kfc_store', data={'cityname': '上海', 'gbcitycode': '310100', 'keyword': '南京',
                                          'user_lat': '31.2304', 'user_lng': '121.4737'})
        order = self.post('create_sale_order', json={
            'token': self.token, 'phone': '13800138000', 'type': '1', 'store_name': '南京东路店',
            'store_code': 'SH3001', 'store_address': '上海市黄浦区南京东路588号',
            'store_phone': '021-63225127', 'city_name': '上海', 'city_code': '310100',
            'remark': '', 'data': [{'product_id': dish, 'num': 1, 'coupon_id': [], 'unit_price': 0}
                                   for dish in dishes[:2]]})
        self.post('post_sale_order_list', data={'token': self.token})
        if 'order_id' not in order:
            return
        order_id = order['order_id']
        prepay = self.post('wechat_jsapi_payment', json={'token': self.token, 'order_id': order_id})
        if prepay.get('code') == 200:
            # WeChat Pay confirms and posts its signed notification to wechat_pay_notify.
            started = time.perf_counter()
            notification = self.control('wechatpay/confirm', out_trade_no=order['order_name'])
            delivered = [d for d in notification.get('deliveries', []) if d.get('received')]
            self.stats.record('wechat_pay_notify', time.perf_counter() - started,
                              None if delivered else 'notification not received: %s' % notification)
        self.post('post_change_sale_order_state', data={'order_id': order_id, 'token': self.token})
        self.post('post_pay_result', data={'order_id': order_id, 'token': self.token})
        self.post('post_sale_order_list', data={'token': self.token})


def run_sandbox(port):
    """The sandbox alone, configured as `kfchost serve --sandbox` configures it."""
    from kfchost import addon
    from kfcsandbox.config import SandboxConfig
    from kfcsandbox.server import SandboxServer
    deployment = addon.submodule('services.deployment').read_deployment()
    sandbox = SandboxServer(SandboxConfig.from_deployment(deployment), port=port).start()
    stop = threading.Event()
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, lambda *_: stop.set())
    while not stop.wait(1):
        pass
    sandbox.stop()


def run_server(port, sandbox_url, db):
    """The API served as `kfchost serve --sandbox --demo` serves it, on a sandbox elsewhere."""
    from kfchost import addon, http
    from kfchost.app import create_app
    from kfcsandbox.config import addon_section
    host_settings = requests.get(sandbox_url + '/sandbox/config', timeout=10).json()
    public_url = 'http://127.0.0.1:%d' % port
    server = http.make_server(None, '127.0.0.1', port)
    keys = os.path.join(os.path.dirname(os.path.abspath(db)), 'keys')
    server.app = create_app(db, addon_section(host_settings, keys, public_url, sandbox_url), demo=True)
    print('kfchost API listening on %s/api/' % public_url, flush=True)
    http.serve_until_stopped(server)


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))] if ordered else float('nan')


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--seconds', type=float, default=180, help='length of the load (default 180)')
    parser.add_argument('--clients', type=int, default=3, help='client threads (default 3)')
    parser.add_argument('--warm-up', type=float, help='seconds before the first memory reading '
                        '(default: a sixth of the run, at most 30)')
    parser.add_argument('--keep-log', metavar='PATH', help='copy the server\'s log (stderr) here')
    parser.add_argument('--sandbox-apart', action='store_true', help='run the sandbox in a '
                        'process of its own, so that the resident size is the server\'s alone')
    parser.add_argument('--role', choices=['sandbox', 'server'], help=argparse.SUPPRESS)
    parser.add_argument('--port', type=int, help=argparse.SUPPRESS)
    parser.add_argument('--sandbox-url', help=argparse.SUPPRESS)
    parser.add_argument('--db', help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.role == 'sandbox':
        return run_sandbox(args.port)
    if args.role == 'server':
        return run_server(args.port, args.sandbox_url, args.db)
    warm_up = args.warm_up if args.warm_up is not None else min(30.0, args.seconds / 6)

    with tempfile.TemporaryDirectory(prefix='kfchost-soak-') as workdir:
        server = Server(workdir, apart=args.sandbox_apart)
        stats = Stats()
        started = time.monotonic()
        deadline = started + args.seconds
        readings = {'start': server.rss_kib()}

        def client(number):
            customer = Customer(server, stats, number)
            while time.monotonic() < deadline:
                customer.round()

        threads = [threading.Thread(target=client, args=(n,)) for n in range(args.clients)]
        for thread in threads:
            thread.start()
        time.sleep(warm_up)
        readings['after warm-up'] = server.rss_kib()
        counted_from = sum(len(v) for v in stats.latencies.values())
        samples = []                    # (seconds since start, MiB) every tenth of the load
        while time.monotonic() < deadline:
            time.sleep(max(0.0, min(args.seconds / 10, deadline - time.monotonic())))
            samples.append((time.monotonic() - started, server.rss_kib() / 1024))
        for thread in threads:
            thread.join()
        elapsed = time.monotonic() - started
        readings['end'] = server.rss_kib()
        status, server_errors = server.stop()
        if args.keep_log:
            shutil.copy(os.path.join(workdir, 'serve.err'), args.keep_log)

    report(stats, readings, elapsed, warm_up, counted_from, status)
    print('resident size over time: ' + ', '.join('%.0fs %.1f' % sample for sample in samples))
    for line in collections.Counter(server_errors).most_common(8):
        print('  server log: %dx %s' % (line[1], line[0].rstrip()[:200]))
    growth = readings['end'] / readings['after warm-up'] - 1
    ok = not stats.failures and abs(growth) <= MEMORY_TOLERANCE and status == 0
    print('verdict: %s' % ('PASS' if ok else 'FAIL'))
    return 0 if ok else 1


def report(stats, readings, elapsed, warm_up, counted_from, status):
    every = [seconds for values in stats.latencies.values() for seconds in values]
    total = len(every)
    print('soak: %.0f s of load (warm-up %.0f s), %d requests, %.1f requests/s, %d failed'
          % (elapsed, warm_up, total, total / elapsed, sum(stats.failures.values())))
    print('%-30s %8s %8s %9s %9s %9s' % ('route', 'requests', 'failed', 'p50 ms', 'p99 ms', 'max ms'))
    for route in sorted(stats.latencies):
        values = stats.latencies[route]
        print('%-30s %8d %8d %9.1f %9.1f %9.1f' % (
            route, len(values), stats.failures[route], percentile(values, 0.5) * 1000,
            percentile(values, 0.99) * 1000, max(values) * 1000))
    print('%-30s %8d %8d %9.1f %9.1f %9.1f' % (
        'all', total, sum(stats.failures.values()), percentile(every, 0.5) * 1000,
        percentile(every, 0.99) * 1000, max(every) * 1000))
    for example in stats.examples:
        print('  failure: %s' % example)
    growth = readings['end'] / readings['after warm-up'] - 1
    print('resident size: start %.1f MiB, after warm-up %.1f MiB (%d requests in), end %.1f MiB: '
          '%+.1f%% since warm-up (limit %d%%)' % (
              readings['start'] / 1024, readings['after warm-up'] / 1024, counted_from,
              readings['end'] / 1024, growth * 100, MEMORY_TOLERANCE * 100))
    print('server stopped on SIGTERM with status %s' % status)


if __name__ == '__main__':
    sys.exit(main())
