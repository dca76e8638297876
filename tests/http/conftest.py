"""A real database file and real threaded servers on loopback for the HTTP layer's tests."""
import logging

import pytest

from kfchost.http import Application, start_server, stop_server
from kfchost.orm.registry import Registry

logging.getLogger('werkzeug').setLevel(logging.WARNING)  # no request lines in test output


@pytest.fixture
def registry(tmp_path):
    registry = Registry(tmp_path / 'http.sqlite')
    registry.init_db()      # the platform's models: public routes run as the public user
    with registry.cursor() as cr:
        cr.execute("CREATE TABLE item (id INTEGER PRIMARY KEY, name TEXT NOT NULL, "
                   "value INTEGER NOT NULL DEFAULT 0)")
    yield registry
    registry.close()


@pytest.fixture
def serve(registry):
    """serve(*controller_classes) -> base URL of a server running them on ``registry``."""
    servers = []

    def start(*controllers):
        server = start_server(Application(registry, controllers))
        servers.append(server)
        return f'http://127.0.0.1:{server.server_port}'

    yield start
    for server in servers:
        stop_server(server)


@pytest.fixture
def query(registry):
    """query(sql, params) -> all rows, read in a transaction of its own."""
    def run(sql, params=()):
        with registry.cursor() as cr:
            cr.execute(sql, params)
            return cr.fetchall()
    return run
