"""Cost of the order list ("/api/post_sale_order_list") as a customer's orders grow.

One database holds two customers, one with 100 orders and one with 1,000 orders of 3 lines
each; the host serves the loaded OrderController on a threaded server on 127.0.0.1 and the
list of each customer is posted over HTTP, alternately, keeping the best time of each. The goal
is that ten times the orders costs at most 11 times the time: nothing may run a query per order
line that grows with the list. The SQL statements of one list of each size are counted too.

    .venv/bin/python bench/bench_order_list.py [--rounds N]
"""
import argparse
import logging
import os
import tempfile
import time

import requests

from kfchost import http
from kfchost import addon
from kfchost.app import create_app
from kfchost.orm import api, sql_db

GOAL = 11.0
SIZES = (100, 1000)
LINES_PER_ORDER = 3
DISHES = ('B1001', 'S2001', 'D3001')


def fill(registry):
    """Customers "orders-N" with N paid orders each; returns nothing."""
    with registry.cursor() as cr:
        env = api.Environment(cr)
        products = [env['kfc.product'].search([('link_id', '=', link)], limit=1) for link in DISHES]
        for size in SIZES:
            user = env['kfc.user'].create({'name': 'bench', 'openid': 'o-%d' % size,
                                           'token': 'orders-%d' % size})
            orders = env['sale.order'].create([{
                'kfc_user_id': user.id, 'phone': '13800138000', 'type': '1', 'state': 'paid',
                'store_name': '南京东路店', 'store_code': 'SH3001', 'remark': '',
            } for _ in range(size)])
            env['sale.order.line'].create([{
                'sale_order_id': order.id, 'product_id': product.id, 'quantity': 1,
                'unit_price': product.unit_price,
            } for order in orders for product in products[:LINES_PER_ORDER]])


def list_orders(url, size):
    reply = requests.post(url, data={'token': 'orders-%d' % size}, timeout=60)
    data = reply.json()['data']
    if len(data) != size or any(order['quantity'] != LINES_PER_ORDER for order in data):
        raise AssertionError('unexpected list for %d orders' % size)


def timed(url, size):
    start = time.perf_counter()
    list_orders(url, size)
    return time.perf_counter() - start


def count_statements(url, size):
    """SQL statements run while serving one list."""
    count = [0]
    run = sql_db.Cursor._run      # every statement, the records layer's and raw SQL alike

    def counting(self, *args):
        count[0] += 1
        return run(self, *args)
    sql_db.Cursor._run = counting
    try:
        list_orders(url, size)
    finally:
        sql_db.Cursor._run = run
    return count[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--rounds', type=int, default=5)
    args = parser.parse_args()
    logging.getLogger('werkzeug').setLevel(logging.WARNING)

    with tempfile.TemporaryDirectory() as tmp:
        app = create_app(os.path.join(tmp, 'bench.sqlite3'), demo=True)
        fill(app.registry)
        server = http.start_server(app)
        url = 'http://127.0.0.1:%d/api/post_sale_order_list' % server.server_port
        try:
            for size in SIZES:      # warm up
                list_orders(url, size)
            best = {size: float('inf') for size in SIZES}
            for round_no in range(1, args.rounds + 1):
                times = {size: timed(url, size) for size in SIZES}
                for size in SIZES:
                    best[size] = min(best[size], times[size])
                print('round %d: %s' % (round_no, ', '.join(
                    '%d orders %.1f ms' % (size, times[size] * 1000) for size in SIZES)))
            statements = {size: count_statements(url, size) for size in SIZES}
        finally:
            http.stop_server(server)
            app.registry.close()

    small, large = SIZES
    ratio = best[large] / best[small]
    for size in SIZES:
        print('%5d orders x %d lines: best %.1f ms, %d SQL statements'
              % (size, LINES_PER_ORDER, best[size] * 1000, statements[size]))
    print('ratio %.2f for %dx the orders (goal <= %.0f): %s'
          % (ratio, large // small, GOAL, 'met' if ratio <= GOAL else 'NOT met'))


if __name__ == '__main__':
    main()
