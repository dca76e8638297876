"""Orders per second while the coupon back-end is slow: 20 customers post a coupon-only order at
once (each placed with the back-end: an order entry and its detail), with every back-end call
answering at once and then taking 2 s, on the stand-in and on Odoo 16 with 2 workers, all in
this run. A dish is placed after its order's transaction has committed, so a slow back-end
holds no lock that the other customers' orders need: what it costs is the time each request
itself waits for the back-end.

    ODOO16_SRC=../shared/odoo16 python bench/bench_slow_kitchen.py [--customers 20] [--delay 2]
"""
import argparse
import concurrent.futures
import contextlib
import logging
import os
import tempfile
import threading
import time

import requests

from kfchost import addon, http

addon.import_addon()    # the stand-in answers the add-on's imports from odoo
from kfchost.app import create_app  # noqa: E402
from kfchost.orm import api  # noqa: E402
from kfcsandbox.config import SandboxConfig  # noqa: E402
from kfcsandbox.server import SandboxServer  # noqa: E402
from odoo.addons.kfc_coupon_shop.services.deployment import read_deployment  # noqa: E402

ADDON = 'kfc_coupon_shop'
STORE = {'store_name': '南京东路店', 'store_code': 'SH3001', 'store_address': '南京东路16号',
         'store_phone': '', 'city_name': '上海', 'city_code': '310100', 'remark': ''}


def fill(env, customers, rounds):
    """A dish, and per customer a user with one redeemed coupon per round: {token: [coupon ids]}."""
    dish = env['kfc.product'].create({'name': '薯条(中)', 'link_id': 'S2001', 'unit_price': 12.0})
    coupons = {}
    for n in range(customers):
        user = env['kfc.user'].create({'name': 'bench %d' % n, 'openid': 'o-bench-%03d' % n,
                                       'token': 'tok-bench-%03d' % n})
        coupons['tok-bench-%03d' % n] = [env['kfc.coupon'].create({
            'name': '薯条兑换券', 'code': 'BENCH%03d%d' % (n, r), 'state': 'exchange',
            'kfc_user_id': user.id, 'product_id': dish.id}).id for r in range(rounds)]
    return dish.id, coupons


def orders_per_second(url, dish, coupons, round_no):
    """Every customer posts a coupon-only order at the same moment; (orders/s, failures)."""
    barrier = threading.Barrier(len(coupons))

    def order(token):
        body = dict(STORE, token=token, phone='13800138000', type='1', data=[
            {'product_id': dish, 'num': 1, 'coupon_id': [coupons[token][round_no]]}])
        barrier.wait()
        reply = requests.post(url + '/api/post_coupon_sale_order', json=body, timeout=120)
        return reply.status_code == 200 and reply.json().get('code') == 200
    with concurrent.futures.ThreadPoolExecutor(len(coupons)) as pool:
        started = time.monotonic()
        answered = list(pool.map(order, coupons))
        seconds = time.monotonic() - started
    return len(coupons) / seconds, answered.count(False)


def measure(label, url, sandbox, dish, coupons, delay):
    results = {}
    for round_no, seconds in enumerate((0, delay)):
        requests.post(sandbox.url + '/sandbox/fault/clear', json={}, timeout=10)
        if seconds:
            requests.post(sandbox.url + '/sandbox/fault', json={
                'service': 'coupon', 'mode': 'hang', 'seconds': seconds}, timeout=10)
        results[seconds] = orders_per_second(url, dish, coupons, round_no)
    requests.post(sandbox.url + '/sandbox/fault/clear', json={}, timeout=10)
    (fast, fast_failed), (slow, slow_failed) = results[0], results[delay]
    print('%-22s %6.2f orders/s with a 0 s back-end, %6.2f with %g s: ratio %.2f; failed %d'
          % (label, fast, slow, delay, slow / fast, fast_failed + slow_failed), flush=True)


@contextlib.contextmanager
def stand_in(sandbox, work, customers):
    section = sandbox.config.addon_section(os.path.join(work, 'keys'), 'http://127.0.0.1',
                                           sandbox.url)
    app = create_app(os.path.join(work, 'bench.sqlite3'), section)
    with app.registry.cursor() as cr:
        filled = fill(api.Environment(cr), customers, 2)
    server = http.start_server(app)
    try:
        yield 'http://127.0.0.1:%d' % server.server_port, filled
    finally:
        http.stop_server(server)
        app.registry.close()


@contextlib.contextmanager
def on_odoo(sandbox, work, customers):
    from odoo16harness.platform import Odoo16Platform
    from odoo16harness.rpc import Connection, Environment
    odoo = Odoo16Platform.prepare().start()
    try:
        database = odoo.database(odoo.template([ADDON]))
        sections = lambda url: {ADDON: sandbox.config.addon_section(work, url, sandbox.url)}  # noqa: E731
        with odoo.server(database, workers=2, sections=sections) as server:
            filled = fill(Environment(Connection(server.url, database)), customers, 2)
            yield server.url, filled
    finally:
        odoo.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--customers', type=int, default=20)
    parser.add_argument('--delay', type=float, default=2.0)
    args = parser.parse_args()
    logging.getLogger('werkzeug').setLevel(logging.WARNING)
    with tempfile.TemporaryDirectory() as work, \
            SandboxServer(SandboxConfig.from_deployment(read_deployment())) as sandbox:
        with stand_in(sandbox, work, args.customers) as (url, (dish, coupons)):
            measure('stand-in', url, sandbox, dish, coupons, args.delay)
        if os.environ.get('ODOO16_SRC'):
            with on_odoo(sandbox, work, args.customers) as (url, (dish, coupons)):
                measure('Odoo 16, 2 workers', url, sandbox, dish, coupons, args.delay)
        else:
            print('Odoo 16 not measured: set ODOO16_SRC (../shared/odoo16)')


if __name__ == '__main__':
    main()
