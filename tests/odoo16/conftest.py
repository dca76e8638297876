import pytest

from odoo16harness.rpc import Connection, Environment

pytestmark = pytest.mark.odoo16_only


@pytest.fixture(scope='module')
def probe_template(odoo16):
    return odoo16.template(['rw_probe'])


@pytest.fixture(scope='module')
def probe_server(odoo16, probe_template):
    """One database copied from the template and a server tied to it, for the module."""
    name = odoo16.database(probe_template)
    with odoo16.server(name) as server:
        yield server
    odoo16.drop(name)


@pytest.fixture
def env(probe_server):
    connection = Connection(probe_server.url, probe_server.dbname)
    yield Environment(connection)
    connection.close()
