"""The suites run the shop's add-on on a host platform: ``--platform standin`` (the default:
the stand-in host, which answers the add-on's imports from ``odoo``; ``odoo.addons.kfc_coupon_shop``
is the add-on folder at the project root) or ``--platform odoo16`` (Odoo 16 servers on a private
PostgreSQL 15 cluster, from ODOO16_SRC: an Odoo 16 tree, a folder holding its tarball, or the
tarball).

Markers: ``standin_only(reason=...)`` for cases that need a hook inside the server process,
skipped on Odoo with that reason; ``odoo16_only`` for cases that need what only Odoo 16
has (the stand-in is frozen) and checks of its harness.
"""

import os

import pytest

from kfchost import odoo_shim
from odoo16harness.platform import Odoo16Platform
from odoo16harness.runner import SourceNotFound, odoo_source

HERE = os.path.dirname(os.path.abspath(__file__))

odoo_shim.install()

PLATFORMS = ('standin', 'odoo16')

# Fixtures that reach into the process serving the routes; a test using one is stand-in only.
HOOK_FIXTURES = {
    'outbound_calls': 'records the time-outs of outgoing calls inside the server process',
    'clock': 'freezes the clock inside the server process',
    'issued_tokens': 'records the tokens generated inside the server process',
}


def pytest_addoption(parser):
    parser.addoption('--platform', choices=PLATFORMS, default='standin',
                     help='host platform of the integration suites (default: standin)')


def pytest_configure(config):
    config.addinivalue_line('markers', 'standin_only(reason): runs on the stand-in host only, '
                                       'because it needs a hook inside the server process')
    config.addinivalue_line('markers', 'odoo16_only: needs what only Odoo 16 has, or checks its harness')
    if config.getoption('--platform') == 'odoo16':
        try:        # a wrong ODOO16_SRC is one line before any test runs
            odoo_source()
        except SourceNotFound as exc:
            raise pytest.UsageError(str(exc)) from None


def pytest_report_header(config):
    return 'host platform: %s' % config.getoption('--platform')


def pytest_collection_modifyitems(config, items):
    platform = config.getoption('--platform')
    for item in items:
        for name in HOOK_FIXTURES.keys() & set(getattr(item, 'fixturenames', ())):
            item.add_marker(pytest.mark.standin_only(reason=HOOK_FIXTURES[name]))
        standin_only = item.get_closest_marker('standin_only')
        if platform == 'odoo16' and standin_only:
            reason = standin_only.kwargs.get('reason') or (standin_only.args or ['?'])[0]
            item.add_marker(pytest.mark.skip(reason='stand-in only: ' + reason))
        if platform == 'standin' and item.get_closest_marker('odoo16_only'):
            item.add_marker(pytest.mark.skip(
                reason='needs Odoo 16 (--platform odoo16)'))


@pytest.fixture(scope='session')
def platform(request):
    return request.config.getoption('--platform')


@pytest.fixture(scope='session')
def odoo16(platform):
    """The Odoo 16 platform of the session: cluster started on first use, stopped at the end."""
    if platform != 'odoo16':
        pytest.skip('needs --platform odoo16')
    odoo = Odoo16Platform.prepare(
        addons=(os.path.dirname(HERE), os.path.join(HERE, 'odoo16', 'addons')))
    odoo.start()
    yield odoo
    odoo.stop()
