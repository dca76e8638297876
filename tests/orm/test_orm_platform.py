"""System parameters, sequences, row locks across transactions, and the schema."""
import contextlib
import re
import sqlite3
import threading
import time

import pytest

from kfchost import addon
from kfchost.orm import fields, models
from kfchost.orm.api import Environment
from kfchost.orm.registry import Registry
from kfchost.orm.sql_db import ConcurrencyFailure

MERCHANT_NUMBER = re.compile(r'^(SO|RF)\d{8}\d{6}[0-9A-F]{8}$')


def test_get_param_and_set_param(env):
    params = env['ir.config_parameter'].sudo()
    assert params.get_param('token') is False
    assert params.get_param('token', 'fallback') == 'fallback'
    assert params.set_param('token', 5) is False                # new key: returns False
    assert params.get_param('token') == '5'                      # stored as text
    assert params.set_param('token', 'abc') == '5'               # returns the previous text
    assert params.set_param('token', '') == 'abc'
    assert params.get_param('token', 'fallback') == 'fallback'   # empty text reads as missing
    assert params.set_param('token', False) == ''                # False deletes the key
    assert not params.search([('key', '=', 'token')])
    assert params.set_param('token', None) is False              # deleting a missing key
    with pytest.raises(sqlite3.IntegrityError):
        params.create([{'key': 'k', 'value': '1'}, {'key': 'k', 'value': '2'}])


def test_sequences_number_orders_and_refunds(env):
    assert env['ir.sequence'].next_by_code('no.such.code') is False
    orders = env['sale.order'].create([{}, {}, {}])
    refund = env['sale.refund.order'].create({'sale_order_id': orders[0].id})
    for name in orders.mapped('name') + [refund.name]:
        assert MERCHANT_NUMBER.match(name) and len(name) <= 32, name
    numbers = [int(name[10:16]) for name in orders.mapped('name')]
    assert numbers == [numbers[0], numbers[0] + 1, numbers[0] + 2]
    env['ir.sequence'].create({'name': 'x', 'code': 'x', 'prefix': 'X-%(year)s-', 'padding': 3,
                               'number_next': 7})
    assert env['ir.sequence'].next_by_code('x') == 'X-%s-007' % time.gmtime().tm_year
    assert env['ir.sequence'].next_by_code('x').endswith('-008')


def test_order_numbers_differ_between_databases_created_again(tmp_path):
    names = []
    for name in ('a.sqlite', 'b.sqlite'):
        registry = addon.install(Registry(tmp_path / name))
        with registry.cursor() as cr:
            names.append(Environment(cr)['sale.order'].create({}).name)
        registry.close()
    assert names[0][:16] == names[1][:16] and names[0] != names[1]


def run_threads(*targets):
    threads = [threading.Thread(target=target) for target in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(30)


def test_for_update_serialises_two_transactions(registry):
    with registry.cursor() as cr:
        order_id = Environment(cr)['sale.order'].create({}).id
    locked = threading.Event()
    events = []

    def first():
        with registry.cursor() as cr:
            cr.execute("SELECT id FROM sale_order WHERE id = %s FOR UPDATE", [order_id])
            events.append('first locked')
            locked.set()
            time.sleep(0.2)
            Environment(cr)['sale.order'].browse(order_id).write({'state': 'paid'})
            events.append('first commits')

    def second():
        locked.wait(10)
        with registry.cursor() as cr:
            cr.execute("SELECT id FROM sale_order WHERE id = %s FOR UPDATE", [order_id])
            events.append('second locked')
            events.append(Environment(cr)['sale.order'].browse(order_id).state)

    run_threads(first, second)
    assert events == ['first locked', 'first commits', 'second locked', 'paid']


def test_a_stale_snapshot_cannot_take_the_lock(registry):
    with registry.cursor() as cr:
        order_id = Environment(cr)['sale.order'].create({}).id
    with registry.cursor() as stale:
        assert Environment(stale)['sale.order'].browse(order_id).state == 'draft'  # snapshot taken
        with registry.cursor() as other:
            Environment(other)['sale.order'].browse(order_id).write({'state': 'paid'})
        with pytest.raises(ConcurrencyFailure):
            stale.execute("SELECT id FROM sale_order WHERE id = %s FOR UPDATE", [order_id])
        stale.rollback()
        assert Environment(stale)['sale.order'].browse(order_id).state == 'paid'


def test_concurrent_transactions_draw_distinct_numbers(registry):
    drawn = []
    start = threading.Barrier(4)

    def draw():
        start.wait(10)
        for _attempt in range(50):      # after losing the race, run again as a request would
            with contextlib.closing(registry.cursor()) as cr:
                try:
                    name = Environment(cr)['sale.order'].create({}).name
                    cr.commit()
                except ConcurrencyFailure:
                    cr.rollback()
                    time.sleep(0.01)
                    continue
            drawn.append(name)
            return

    run_threads(*[draw] * 4)
    with registry.cursor() as cr:
        stored = Environment(cr)['sale.order'].search([]).mapped('name')
    assert sorted(drawn) == sorted(stored) and len(stored) == 4
    assert len({name[10:16] for name in stored}) == 4


def test_init_db_is_idempotent_and_adds_new_columns(registry):
    with registry.cursor() as cr:
        Environment(cr)['kfc.user'].create({'name': 'kept'})
    registry.init_db()

    class Growing(models.Model):
        _name = 'test.orm.growing'
        name = fields.Char()

    registry.init_db()
    with registry.cursor() as cr:
        Environment(cr)['test.orm.growing'].create({'name': 'old'})

    class GrowingMore(models.Model):            # the same model declared again with a new field
        _name = 'test.orm.growing'
        name = fields.Char()
        size = fields.Integer(index=True)

    registry.init_db()
    with registry.cursor() as cr:
        env = Environment(cr)
        assert env['kfc.user'].search([]).mapped('name') == ['kept']
        record = env['test.orm.growing'].search([])
        assert (record.name, record.size) == ('old', 0)
        cr.execute("SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = 'test_orm_growing'")
        assert ('test_orm_growing_size_index',) in cr.fetchall()
