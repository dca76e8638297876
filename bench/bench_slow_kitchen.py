"""The lunch rush with a slow kitchen, on the stand-in and on Odoo 16 with 2 workers and one
cron worker, all in this run, the coupon back-end answering every call at once or after 2 s:

1. order acceptance: 20 customers post a coupon-only order at once (no polls), orders per
   second with a 0 s and a 2 s back-end, and the ratio. The hand-over of the dishes leaves
   the request (the kitchen's dispatcher), so a slow back-end costs the order's answer little;
2. the dispatcher's rate: dishes handed over per second with a 2 s back-end (an order entry
   and its detail: 4 s a dish), against the bound of its pool, pool / (2 x latency);
3. the whole road: 40 customers order at once and follow their dish with the page's poll at
   its cadence (2 s after the order, then 1.5 times longer each time, up to 15 s), the
   kitchen cooking 5 s: order to pick-up code p50 and p95, requests failed, dishes whose
   order entry the back-end received twice (must be 0). The poll asks the back-end inside its
   request, so with a 2 s back-end each poll holds a worker 2 s.

    ODOO16_SRC=../shared/odoo16 python bench/bench_slow_kitchen.py [--customers 20] [--delay 2]
        [--dishes 3] [--road-customers 40]
"""
import argparse
import collections
import concurrent.futures
import contextlib
import json
import logging
import os
import statistics
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
from odoo.addons.kfc_coupon_shop.services.settings import DEFAULT_KITCHEN_POOL  # noqa: E402
from odoo.addons.kfc_coupon_shop.tools.kitchen import STANDIN_POOL  # noqa: E402

ADDON = 'kfc_coupon_shop'
STORE = {'store_name': '南京东路店', 'store_code': 'SH3001', 'store_address': '南京东路16号',
         'store_phone': '', 'city_name': '上海', 'city_code': '310100', 'remark': ''}


def fill(env, customers, rounds):
    """A dish, and per customer a user with ``rounds`` redeemed coupons: {token: [coupon ids]}."""
    dish = env['kfc.product'].create({'name': '薯条(中)', 'link_id': 'S2001', 'unit_price': 12.0})
    coupons = {}
    for n in range(customers):
        user = env['kfc.user'].create({'name': 'bench %d' % n, 'openid': 'o-bench-%03d' % n,
                                       'token': 'tok-bench-%03d' % n})
        coupons['tok-bench-%03d' % n] = [env['kfc.coupon'].create({
            'name': '薯条兑换券', 'code': 'BENCH%03d%d' % (n, r), 'state': 'exchange',
            'kfc_user_id': user.id, 'product_id': dish.id}).id for r in range(rounds)]
    return dish.id, coupons


class Shop:
    """The shop under measure: its API, the sandbox, the coupons of its customers and a way to
    count the dishes still queued for the kitchen."""

    def __init__(self, label, url, sandbox, dish, coupons, queued, pool):
        self.label, self.url, self.sandbox = label, url, sandbox
        self.dish, self.coupons, self.queued, self.pool = dish, coupons, queued, pool
        self.slot = 0       # the next unspent coupon of each customer

    def control(self, endpoint, **body):
        reply = requests.post(self.sandbox.url + '/sandbox/' + endpoint, json=body, timeout=10)
        reply.raise_for_status()
        return reply.json()

    def control_get(self, endpoint):
        return requests.get(self.sandbox.url + '/sandbox/' + endpoint, timeout=10).json()

    def back_end_takes(self, seconds):
        self.control('fault/clear')
        if seconds:
            self.control('fault', service='coupon', mode='hang', seconds=seconds)

    def order(self, token, dishes=1):
        """A coupon-only order of ``dishes`` of the customer's next coupons; the reply."""
        spent = self.coupons[token][self.slot:self.slot + dishes]
        body = dict(STORE, token=token, phone='13800138000', type='1', data=[
            {'product_id': self.dish, 'num': 1, 'coupon_id': [coupon]} for coupon in spent])
        return requests.post(self.url + '/api/post_coupon_sale_order', json=body, timeout=120)

    def at_once(self, work, customers):
        """``work(token)`` for each of the first ``customers`` at the same moment; the results
        and the seconds all took."""
        tokens = list(self.coupons)[:customers]
        barrier = threading.Barrier(len(tokens))

        def start(token):
            barrier.wait()
            return work(token)
        with concurrent.futures.ThreadPoolExecutor(len(tokens)) as pool:
            started = time.monotonic()
            results = list(pool.map(start, tokens))
            return results, time.monotonic() - started

    def drained(self, timeout=600):
        """Wait until the kitchen's dispatcher has handed every queued dish over."""
        deadline = time.monotonic() + timeout
        while self.queued():
            if time.monotonic() > deadline:
                raise TimeoutError('dishes still queued for the kitchen')
            time.sleep(0.1)


def accepted(reply):
    return reply.status_code == 200 and reply.json().get('code') == 200


def acceptance(shop, customers, delay):
    """(1) orders per second with a 0 s and a ``delay`` s back-end."""
    rates, failed = [], 0
    for seconds in (0, delay):
        shop.back_end_takes(seconds)
        replies, took = shop.at_once(shop.order, customers)
        shop.slot += 1
        rates.append(customers / took)
        failed += sum(not accepted(reply) for reply in replies)
        shop.drained()
    print('%-22s (1) %6.2f orders/s with a 0 s back-end, %6.2f with %g s: ratio %.2f; failed %d'
          % (shop.label, rates[0], rates[1], delay, rates[1] / rates[0], failed), flush=True)


def hand_over_rate(shop, customers, delay, dishes):
    """(2) dishes handed over per second with a ``delay`` s back-end, against the bound."""
    shop.back_end_takes(delay)
    started = time.monotonic()
    replies, _took = shop.at_once(lambda token: shop.order(token, dishes), customers)
    shop.slot += dishes
    shop.drained()
    rate = customers * dishes / (time.monotonic() - started)
    bound = shop.pool / (2 * delay)
    print('%-22s (2) %6.2f dishes handed over a second with a %g s back-end (%d dishes), bound '
          '%d / (2 x %g) = %.2f: %.0f %%; failed %d' % (
              shop.label, rate, delay, customers * dishes, shop.pool, delay, bound,
              100 * rate / bound, sum(not accepted(reply) for reply in replies)), flush=True)


# The page's poll (static/src/poll.js): 2 s after the order, then 1.5 times longer, up to 15 s.
POLL_FIRST, POLL_GROWTH, POLL_LONGEST = 2.0, 1.5, 15.0
KITCHEN_SECONDS = 5
ROAD_LIMIT = 300


def road(shop, token):
    """One customer's road: (seconds from the order to the pick-up code or None, [what failed])."""
    failed = []
    started = time.monotonic()
    try:
        reply = shop.order(token)
    except requests.RequestException as exc:
        return None, ['order: %s' % type(exc).__name__]
    if not accepted(reply):
        return None, ['order: HTTP %d' % reply.status_code]
    order_id = reply.json()['order_id']
    wait = POLL_FIRST
    while time.monotonic() - started < ROAD_LIMIT:
        time.sleep(wait)
        try:
            polled = requests.post(shop.url + '/api/post_pay_result',
                                   data={'order_id': order_id, 'token': token}, timeout=120)
        except requests.RequestException as exc:
            failed.append('poll: %s' % type(exc).__name__)
        else:
            result = polled.json()['data'] if polled.status_code == 200 else None
            if not result or result.get('code') != 200:
                failed.append('poll: HTTP %d' % polled.status_code)
            elif all(line['pick_code'] for line in result['data']):
                return time.monotonic() - started, failed
        wait = min(wait * POLL_GROWTH, POLL_LONGEST)
    return None, failed


def whole_road(shop, customers, delay):
    """(3) the road from the order to the pick-up code with the page's poll."""
    shop.control('reset')           # the back-end's log of entries: this road's alone
    shop.control('coupon/kitchen', seconds=KITCHEN_SECONDS)
    shop.back_end_takes(delay)
    results, _took = shop.at_once(lambda token: road(shop, token), customers)
    shop.slot += 1
    shop.control('coupon/kitchen')
    shop.back_end_takes(0)
    payloads = shop.control_get('coupon/payloads')['payloads']
    entries = collections.Counter(json.loads(payload['body'])['orderno'] for payload in payloads
                                  if payload['path'] == '/kfcautoorder.aspx')
    times = sorted(seconds for seconds, _failed in results if seconds is not None)
    p50, p95 = (statistics.quantiles(times, n=20)[9], statistics.quantiles(times, n=20)[18]) \
        if len(times) > 1 else (float('nan'),) * 2
    print('%-22s (3) %d customers, %g s back-end, kitchen %d s: order to pick-up code p50 %.1f s, '
          'p95 %.1f s; %d without a code within %d s; requests failed %s; dishes entered twice %d%s'
          % (shop.label, customers, delay, KITCHEN_SECONDS, p50, p95, customers - len(times),
              ROAD_LIMIT, failures(results),
              sum(count > 1 for count in entries.values()),
              '' if len(payloads) < 500 else ' (back-end log full: not all counted)'), flush=True)


def failures(results):
    kinds = collections.Counter(kind for _seconds, failed in results for kind in failed)
    return '%d%s' % (sum(kinds.values()), ' (%s)' % ', '.join(
        '%s %d' % item for item in sorted(kinds.items())) if kinds else '')


def measure(shop, args):
    acceptance(shop, args.customers, args.delay)
    hand_over_rate(shop, args.customers, args.delay, args.dishes)
    whole_road(shop, args.road_customers, args.delay)


QUEUED = [('queued_for_kitchen', '=', True)]


@contextlib.contextmanager
def stand_in(sandbox, work, customers, coupons):
    section = sandbox.config.addon_section(os.path.join(work, 'keys'), 'http://127.0.0.1',
                                           sandbox.url)
    app = create_app(os.path.join(work, 'bench.sqlite3'), section)
    with app.registry.cursor() as cr:
        dish, filled = fill(api.Environment(cr), customers, coupons)

    def queued():
        with app.registry.cursor() as cr:
            return api.Environment(cr)['sale.order.line'].search_count(QUEUED)
    server = http.start_server(app)
    try:
        yield Shop('stand-in', 'http://127.0.0.1:%d' % server.server_port, sandbox, dish, filled,
                   queued, min(DEFAULT_KITCHEN_POOL, STANDIN_POOL))
    finally:
        http.stop_server(server)
        app.registry.close()


@contextlib.contextmanager
def on_odoo(sandbox, work, customers, coupons):
    from odoo16harness.platform import Odoo16Platform
    from odoo16harness.rpc import Connection, Environment
    odoo = Odoo16Platform.prepare().start()
    try:
        database = odoo.database(odoo.template([ADDON]))
        sections = lambda url: {ADDON: sandbox.config.addon_section(work, url, sandbox.url)}  # noqa: E731
        with odoo.server(database, workers=2, sections=sections,
                         options={'max_cron_threads': 1}) as server:
            env = Environment(Connection(server.url, database))
            dish, filled = fill(env, customers, coupons)
            yield Shop('Odoo 16, 2 workers', server.url, sandbox, dish, filled,
                       lambda: env['sale.order.line'].search_count(QUEUED), DEFAULT_KITCHEN_POOL)
    finally:
        odoo.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--customers', type=int, default=20)
    parser.add_argument('--delay', type=float, default=2.0)
    parser.add_argument('--dishes', type=int, default=3, help='dishes per order in (2)')
    parser.add_argument('--road-customers', type=int, default=40)
    args = parser.parse_args()
    logging.getLogger('werkzeug').setLevel(logging.WARNING)
    customers = max(args.customers, args.road_customers)
    coupons = 2 + args.dishes + 1
    with tempfile.TemporaryDirectory() as work, \
            SandboxServer(SandboxConfig.from_deployment(read_deployment())) as sandbox:
        with stand_in(sandbox, work, customers, coupons) as shop:
            measure(shop, args)
        if os.environ.get('ODOO16_SRC'):
            with on_odoo(sandbox, work, customers, coupons) as shop:
                measure(shop, args)
        else:
            print('Odoo 16 not measured: set ODOO16_SRC (../shared/odoo16)')


if __name__ == '__main__':
    main()
