"""The Odoo 16 harness itself: databases copied from a template, servers tied to one database,
the records proxy that fixtures use, and the teardown."""
import datetime
import json
import os
import socket
import subprocess

import pytest
import requests

from odoo16harness.rpc import RpcError

pytestmark = pytest.mark.odoo16_only


@pytest.fixture
def shelf_and_items(env):
    shelf = env['rw.probe.shelf'].create({'name': 'A'})
    items = env['rw.probe.item'].create([
        {'code': 'c1', 'quantity': 3, 'price': 1.5, 'shelf_id': shelf.id,
         'seen_at': datetime.datetime(2024, 6, 1, 8, 30), 'tag_ids': [(6, 0, [shelf.id])]},
        {'code': 'c2'},
    ])
    yield shelf, items
    items.unlink()
    shelf.unlink()


class TestRecordsProxy:
    def test_create_search_and_read_as_in_odoo(self, env, shelf_and_items):
        shelf, items = shelf_and_items
        assert len(items) == 2 and bool(items)
        Item = env['rw.probe.item']
        assert Item.search([('code', 'in', ['c1', 'c2'])], order='id desc').ids == items.ids[::-1]
        assert Item.search_count([('shelf_id', '=', shelf.id)]) == 1
        first, second = items
        assert first.shelf_id == shelf and first.shelf_id.name == 'A'
        assert first.seen_at == datetime.datetime(2024, 6, 1, 8, 30)
        assert (first.quantity, first.price, first.tag_ids.ids) == (3, 1.5, [shelf.id])
        assert shelf.item_ids == first
        # Empty values read as Odoo gives them: 0 for numbers, False, empty recordsets.
        assert (second.quantity, second.price, second.seen_at) == (0, 0.0, False)
        assert not second.shelf_id and second.shelf_id.id is False
        assert items.read(['shelf_id']) == [{'id': first.id, 'shelf_id': (shelf.id, 'A')},
                                            {'id': second.id, 'shelf_id': False}]

    def test_singletons_links_and_writes(self, env, shelf_and_items):
        shelf, items = shelf_and_items
        with pytest.raises(ValueError, match='Expected singleton'):
            items.code
        assert items.shelf_id == shelf          # a link of several records is their union
        assert env['rw.probe.item'].browse([]).code is False
        items.write({'quantity': 7})
        assert [item.quantity for item in env['rw.probe.item'].browse(items.ids)] == [7, 7]
        with pytest.raises(RpcError) as raised:
            items[0].write({'seen_at': 'not a date'})
        assert raised.value.name == 'ValueError'

    def test_system_parameters(self, env):
        params = env['ir.config_parameter'].sudo()
        assert params.get_param('rw.missing', 'dflt') == 'dflt'
        assert params.set_param('rw.limit', 5) is False
        assert params.get_param('rw.limit') == '5'
        assert params.set_param('rw.limit', False) == '5'
        assert params.get_param('rw.limit') is False


class TestDatabases:
    def test_copies_of_a_template_are_independent(self, odoo16, probe_template):
        first, second = odoo16.database(probe_template), odoo16.database(probe_template)
        try:
            odoo16.cluster.psql("INSERT INTO rw_probe_item (code) VALUES ('only-here')", first)
            count = "SELECT count(*) FROM rw_probe_item WHERE code = 'only-here'"
            assert odoo16.cluster.psql(count, first) == '1'
            assert odoo16.cluster.psql(count, second) == '0'
            assert odoo16.cluster.psql(count, probe_template) == '0'
        finally:
            odoo16.drop(first)
            odoo16.drop(second)

    def test_a_server_serves_only_its_own_database(self, odoo16, probe_template, probe_server, env):
        env['rw.probe.item'].create({'code': 'mine', 'quantity': 4})
        reply = requests.get(probe_server.url + '/rw_probe/item', params={'code': 'mine'},
                             timeout=30)
        assert (reply.status_code, json.loads(reply.text)) == (200, {'code': 'mine', 'quantity': 4})
        other = odoo16.database(probe_template)
        try:
            odoo16.cluster.psql(
                "INSERT INTO rw_probe_item (code, quantity) VALUES ('theirs', 1)", other)
            reply = requests.get(probe_server.url + '/rw_probe/item', params={'code': 'theirs'},
                                 timeout=30)
            assert json.loads(reply.text) == {'code': False, 'quantity': 0}
        finally:
            odoo16.drop(other)


def test_a_stopped_server_leaves_nothing_behind(odoo16, probe_template):
    name = odoo16.database(probe_template)
    server = odoo16.server(name)
    assert requests.get(server.url + '/rw_probe/item', timeout=30).status_code == 200
    server.stop()
    with pytest.raises(ProcessLookupError):
        os.killpg(server.process.pid, 0)        # no worker, no long-polling process left
    with socket.socket() as probe:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        probe.bind(('127.0.0.1', server.port))  # the port is free again
    odoo16.drop(name)
    assert name not in odoo16.cluster.psql('SELECT datname FROM pg_database').split()


def test_paths_filters_and_external_ids(env, shelf_and_items):
    shelf, items = shelf_and_items
    assert items.mapped('shelf_id.name') == ['A']
    assert items.mapped('code') == ['c1', 'c2']
    assert items.filtered('shelf_id') == items[0]
    assert env['rw.probe.item'].browse([]).mapped('shelf_id') == env['rw.probe.shelf']
    [row] = env['rw.probe.item'].search_read([('code', '=', 'c1')], ['seen_at', 'shelf_id'])
    assert row['seen_at'] == datetime.datetime(2024, 6, 1, 8, 30)
    assert row['shelf_id'] == (shelf.id, 'A')
    assert env.ref('base.user_admin').login == 'admin'
    with pytest.raises(ValueError, match='Expected singleton'):
        items.ensure_one()


def test_odoo_python_gets_the_module_alone(odoo16, tmp_path):
    """The project installed as a shop installs it: the module, not the development packages."""
    probe = ('import importlib.util, routeweave; '
             'print([n for n in ("kfchost", "kfcsandbox", "odoo16harness") if importlib.util.find_spec(n)])')
    done = subprocess.run([odoo16.python, '-c', probe], cwd=tmp_path, capture_output=True,
                          text=True, timeout=60, check=True)
    assert done.stdout == '[]\n'
