"""The hand-over to the kitchen leaves the request: the routes that send an order to the
kitchen answer while the back-end's order entry hangs, and the kitchen's dispatcher places each
dish once, also after a run killed in its middle. Runs on any host behind `host`."""
import collections
import json
import os
import signal
import time

import pytest

from test_order_controller import STORE, Customer, product_id
from test_wx_payment import backend_orders, change_state

ORDER_ENTRY = '/kfcautoorder.aspx'


def entries(host):
    """How many order entries the back-end received, by orderno."""
    return collections.Counter(json.loads(payload['body'])['orderno']
                               for payload in host.inspect('coupon/payloads')['payloads']
                               if payload['path'] == ORDER_ENTRY)


def entries_arrived(host):
    """The order entries the back-end received, answered or not."""
    return [entry for entry in host.inspect('requests')['requests'] if entry['path'] == ORDER_ENTRY]


def paid_order(host):
    """A paid order of a cola and a burger by coupon, not yet sent to the kitchen: its id."""
    order_id = host.create_order(host.login(nickname='顾客'), paid=[('D3001', 9.9)],
                                 coupons=['RW2024XL0001'])
    host.pay(order_id, state='draft')
    return order_id


def paid_sender(host):
    """The state change of a paid order, ready to post: (order id, post)."""
    order_id = paid_order(host)
    return order_id, lambda: change_state(host, order_id, await_kitchen=False)


def coupon_only_sender(host):
    """A coupon-only order of a burger and fries, ready to post: (None, post)."""
    customer = Customer(host)
    coupons = customer.redeem('RW2024XL0001', 'RW2024ST0001')
    items = [{'product_id': product_id(host, link_id), 'num': 1, 'coupon_id': [coupon]}
             for link_id, coupon in zip(('B1001', 'S2001'), coupons)]
    return None, lambda: host.post('post_coupon_sale_order', json=dict(
        STORE, token=customer.token, type='1', data=items), await_kitchen=False)


def placed_once(host, order_id, entered=(1,)):
    """Each dish of the order has its one back-end order, entered under its own number as
    many times as ``entered`` allows."""
    with host.env() as env:
        order = env['sale.order'].browse(order_id)
        numbers = ['%sL%d' % (order.name, line.id) for line in order.line_ids]
        uuids = order.line_ids.mapped('uuid')
    by_number = {entry['entry']['orderno']: entry['uuid'] for entry in backend_orders(host)}
    return [by_number.get(number) for number in numbers] == uuids and all(uuids) \
        and all(entries(host)[number] in entered for number in numbers)


@pytest.mark.parametrize('sender', [coupon_only_sender, paid_sender],
                         ids=['post_coupon_sale_order', 'post_change_sale_order_state'])
def test_the_routes_answer_while_the_order_entry_hangs(host, sender):
    order_id, post = sender(host)
    host.control('fault', service='coupon', path=ORDER_ENTRY, mode='hang', seconds=8)
    started = time.monotonic()
    reply = post()
    assert time.monotonic() - started < 1 and reply.json()['code'] == 200, reply.text
    order_id = order_id or reply.json()['order_id']
    assert host.await_kitchen() > 6
    assert placed_once(host, order_id)


def odoo_pids(host, where):
    """The processes of Odoo's connections ``where`` (Odoo names a connection after its
    process: "odoo-PID")."""
    rows = host.server.odoo.pg.psql(
        "SELECT application_name FROM pg_stat_activity WHERE application_name LIKE 'odoo-%%' "
        "AND %s" % where)
    return {int(name.split('-')[1]) for name in rows.split()}


def running_dispatcher(host):
    """The process running a job: its job's row held, its transaction open meanwhile."""
    return odoo_pids(host, "state = 'idle in transaction' AND query LIKE '%SKIP LOCKED%'")


def listening_cron_workers(host):
    """The server's processes connected to listen for wake-ups, as cron workers are."""
    pid = host.server.process.pid
    with open('/proc/%d/task/%d/children' % (pid, pid)) as handle:
        children = {int(child) for child in handle.read().split()}
    return odoo_pids(host, "datname = 'postgres'") & children


def test_a_dispatcher_killed_mid_run_leaves_its_dishes_to_the_next_run(host, platform):
    if platform != 'odoo16':
        pytest.skip("the stand-in's dispatcher is a thread of the process serving the test")
    host.control('fault', service='coupon', path=ORDER_ENTRY, mode='hang', seconds=10)
    order_id, post = paid_sender(host)
    post()
    while len(entries_arrived(host)) < 2 or not running_dispatcher(host):
        time.sleep(0.05)            # the run waits on the back-end for both dishes
    [killed] = running_dispatcher(host)
    os.kill(killed, signal.SIGKILL)
    host.control('fault/clear')     # the entries go through: the kitchen has the dishes
    while not listening_cron_workers(host) - {killed}:      # Odoo starts another cron worker
        time.sleep(0.1)
    later, post = paid_sender(host)
    post()                          # whose run takes the killed run's dishes too
    host.await_kitchen()
    assert placed_once(host, later)
    assert placed_once(host, order_id, entered=(2,)) and len(backend_orders(host)) == 4


def test_a_wake_up_dropped_during_a_run_leaves_its_dishes_to_that_run(host, platform):
    host.control('fault', service='coupon', path=ORDER_ENTRY, mode='hang', seconds=2, times=2)
    first, post_first = paid_sender(host)
    later, post_later = paid_sender(host)
    post_first()
    while not entries_arrived(host):        # the run is under way
        time.sleep(0.05)
    post_later()
    if platform == 'odoo16':        # as Odoo drops a wake-up posted in a run's first second
        with host.env() as env:
            env['ir.cron.trigger'].search([]).unlink()
    assert host.await_kitchen(timeout=20) < 20      # the next minute's run did not do it
    assert placed_once(host, first) and placed_once(host, later)
