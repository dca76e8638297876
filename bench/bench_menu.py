"""Cost of "/api/post_menu_list" against the size of the catalogue, through the whole stack.

Two hosts serve the menu route on 127.0.0.1 with the sandbox as the coupon back-end: one with
a catalogue of 500 dishes, one with 2,000; each has 40 categories and a tenth of its dishes are
multi-choice dishes offering three child dishes each. The back-end menu of each request puts
about nine tenths of the catalogue's link ids on sale. Both are timed in this run, alternately,
and the best round of each is compared, with the SQL statements one menu costs. Goals: four
times the dishes costs at most 4.5 times the time, and the 2,000-dish menu well under a second.

    .venv/bin/python bench/bench_menu.py [--rounds N]
"""
import argparse
import json
import logging
import tempfile
import time
from pathlib import Path

import requests

from kfchost import addon, http
from kfchost.app import create_app, runtime
from kfchost.orm import api, sql_db
from kfcsandbox.config import SandboxConfig
from kfcsandbox.server import SandboxServer

SIZES = (500, 2000)
CATEGORIES = 40
CHOICES = 3                     # child dishes of each multi-choice dish
RATIO_GOAL = 4.5
SECONDS_GOAL = 1.0
MENU_PATH = '/KFCCore.asmx/KFCAPI_GetMenu'
FORM = {'date': '2024-06-01', 'storecode': 'SH3001'}


def link_id(size, number):
    return 'L%d-%05d' % (size, number)


def build_catalogue(env, size):
    """``size`` dishes in CATEGORIES categories; returns the back-end menu for them."""
    types = env['kfc.product.type'].create([
        {'number': n % 17, 'name': 'Category %d' % n, 'image': 'https://img/type/%d.png' % n}
        for n in range(CATEGORIES)])
    singles = size - size // 10
    values = []
    for n in range(singles):
        # Every seventh dish is two back-end dishes sold together.
        link = link_id(size, n) if n % 7 else '%s，%s' % (link_id(size, n), link_id(size, n + 1))
        values.append({'name': 'Dish %d' % n, 'link_id': link, 'unit_price': 9.9 + n % 20,
                       'type_id': types[n % CATEGORIES].id, 'remark': 'Dish %d, freshly made' % n,
                       'image': 'https://img/menu/%d.png' % n})
    dishes = env['kfc.product'].create(values)
    multiples = env['kfc.product'].create([
        {'name': 'Choice %d' % n, 'link_id': 'M%d-%d' % (size, n), 'unit_price': 19.9,
         'type_id': types[n % CATEGORIES].id, 'is_multiple': True, 'remark': 'Pick one',
         'image': 'https://img/menu/m%d.png' % n}
        for n in range(size // 10)])
    env['kfc.product.line'].create([
        {'parent_product_id': parent.id, 'product_id': dishes[(n * CHOICES + k) % singles].id}
        for n, parent in enumerate(multiples) for k in range(CHOICES)])
    on_sale = [{'linkId': link_id(size, n), 'saleFlag': 'N' if n % 10 == 3 else 'Y',
                'nameCn': 'Dish %d' % n, 'price': 990} for n in range(singles + 1)]
    return [{'classId': 'C%d' % k, 'menuList': on_sale[k::CATEGORIES]} for k in range(CATEGORIES)]


read_deployment = addon.submodule('services.deployment').read_deployment


class Host:
    def __init__(self, sandbox, size, tmp):
        section = sandbox.config.addon_section(str(Path(tmp) / 'keys'), 'http://127.0.0.1',
                                               sandbox.url)
        self.app = create_app(str(Path(tmp) / ('menu-%d.sqlite3' % size)), section)
        self.sandbox_url = sandbox.url
        token = requests.post(sandbox.url + '/sandbox/coupon/login', json={}).json()['token']
        account = sandbox.config.backend_accounts[0]
        with self.app.registry.cursor() as cr:
            env = api.Environment(cr)
            env['ir.config_parameter'].set_param('token', token)
            env['account.config'].create({'effective': True, 'ticket': account['ticket'],
                                          'deviceid': account['deviceid']})
            menu = build_catalogue(env, size)
        self.reply = {'d': {'code': 0, 'msg': '', 'data': json.dumps(menu, ensure_ascii=False)}}
        self.server = http.start_server(self.app)
        self.url = 'http://127.0.0.1:%d/api/post_menu_list' % self.server.server_port

    def menu_seconds(self):
        """One menu request, timed; the back-end's reply is queued before the clock starts.
        One client asks again and again: its budget of the route is renewed each time."""
        with self.app.registry.cursor() as cr:
            api.Environment(cr)['kfc.rate.bucket'].search([]).unlink()
        requests.post(self.sandbox_url + '/sandbox/coupon/script',
                      json={'path': MENU_PATH, 'replies': [self.reply]}).raise_for_status()
        start = time.perf_counter()
        reply = requests.post(self.url, data=FORM, timeout=60)
        seconds = time.perf_counter() - start
        if reply.status_code != 200 or not reply.json()['data']:
            raise AssertionError('unexpected reply: %s' % reply.text[:300])
        return seconds, reply.json()['data']

    def close(self):
        http.stop_server(self.server)
        self.app.registry.close()


class StatementCounter:
    """Counts the SQL statements the records layer runs (in every thread of this process)."""

    def __init__(self):
        self.count = 0
        self._run = sql_db.Cursor._run     # every statement, the records layer's and raw SQL

    def __enter__(self):
        counter = self

        def run(cursor, *args):
            counter.count += 1
            return counter._run(cursor, *args)
        sql_db.Cursor._run = run
        return self

    def __exit__(self, *exc):
        sql_db.Cursor._run = self._run


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--rounds', type=int, default=5)
    args = parser.parse_args()
    logging.getLogger('werkzeug').setLevel(logging.WARNING)

    with tempfile.TemporaryDirectory() as tmp, \
            SandboxServer(SandboxConfig.from_deployment(read_deployment())) as sandbox:
        hosts = {size: Host(sandbox, size, tmp) for size in SIZES}
        try:
            best, statements = {}, {}
            for size, host in hosts.items():          # warm up, and count the statements
                host.menu_seconds()
                with StatementCounter() as counter:
                    _, data = host.menu_seconds()
                statements[size] = counter.count
                listed = sum(len(category['children']) for category in data)
                print(f'{size:5} dishes: {len(data)} categories, {listed} dishes listed, '
                      f'{statements[size]} SQL statements')
            for round_no in range(1, args.rounds + 1):
                for size, host in hosts.items():
                    seconds, _ = host.menu_seconds()
                    best[size] = min(best.get(size, seconds), seconds)
                    print(f'round {round_no}: {size:5} dishes {seconds * 1000:8.1f} ms')
        finally:
            for host in hosts.values():
                host.close()
            runtime().requests.close()

    small, large = SIZES
    ratio = best[large] / best[small]
    print(f'best: {small} dishes {best[small] * 1000:.1f} ms, {large} dishes '
          f'{best[large] * 1000:.1f} ms')
    print(f'ratio {ratio:.2f} for {large // small}x the dishes (goal <= {RATIO_GOAL}): '
          f'{"met" if ratio <= RATIO_GOAL else "NOT met"}')
    print(f'{large} dishes in {best[large]:.3f} s (goal well under {SECONDS_GOAL} s): '
          f'{"met" if best[large] < SECONDS_GOAL / 2 else "NOT met"}')
    print(f'SQL statements per menu: {statements[small]} and {statements[large]}')


if __name__ == '__main__':
    main()
