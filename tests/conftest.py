"""The platform the integration suites run on: ``--platform standin`` (the default: the
stand-in host in the test process) or ``--platform odoo16`` (Odoo 16 servers on a private
PostgreSQL 15 cluster; needs ODOO16_ROOT and ODOO16_PYTHON, see odoo16host/prepare.sh).

Markers: ``standin_only(reason=...)`` for cases that need a hook inside the server process,
skipped on Odoo with that reason; ``odoo16_only`` for checks of the Odoo harness itself.
"""
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from odoo16host.platform import Odoo16Platform  # noqa: E402

PLATFORMS = ('standin', 'odoo16')


def pytest_addoption(parser):
    parser.addoption('--platform', choices=PLATFORMS, default='standin',
                     help='host platform of the integration suites (default: standin)')


def pytest_configure(config):
    config.addinivalue_line('markers', 'standin_only(reason): runs on the stand-in host only, '
                                       'because it needs a hook inside the server process')
    config.addinivalue_line('markers', 'odoo16_only: checks of the Odoo 16 harness itself')
    if config.getoption('--platform') == 'odoo16' and not os.environ.get('ODOO16_ROOT'):
        raise pytest.UsageError('--platform odoo16 needs ODOO16_ROOT and ODOO16_PYTHON '
                                '(./dev test sets them from ODOO16_SRC)')


def pytest_report_header(config):
    return 'host platform: %s' % config.getoption('--platform')


def pytest_collection_modifyitems(config, items):
    platform = config.getoption('--platform')
    for item in items:
        standin_only = item.get_closest_marker('standin_only')
        if platform == 'odoo16' and standin_only:
            reason = standin_only.kwargs.get('reason') or (standin_only.args or ['?'])[0]
            item.add_marker(pytest.mark.skip(reason='stand-in only: ' + reason))
        if platform == 'standin' and item.get_closest_marker('odoo16_only'):
            item.add_marker(pytest.mark.skip(reason='checks the Odoo 16 harness (--platform odoo16)'))


@pytest.fixture(scope='session')
def platform(request):
    return request.config.getoption('--platform')


@pytest.fixture(scope='session')
def odoo16(platform):
    """The Odoo 16 platform of the session: cluster started on first use, stopped at the end."""
    if platform != 'odoo16':
        pytest.skip('needs --platform odoo16')
    odoo = Odoo16Platform.from_environ(
        addons_paths=(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                      os.path.join(os.path.dirname(os.path.abspath(__file__)), 'odoo16', 'addons')))
    odoo.start()
    yield odoo
    odoo.stop()
