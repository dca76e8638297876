"""The host modules: what each binds for its controller, and the class it loads."""
import datetime
import importlib
import inspect
import logging
import subprocess
import sys
import time

import pytest

from kfchost import http
from odoo.addons.kfc_coupon_shop.services import runtime
from odoo.addons.kfc_coupon_shop.controllers import CLASS_NAMES, controller_classes
from odoo.addons.kfc_coupon_shop.controllers.namespace import HOST_FUNCTIONS, LIBRARY_NAMES

pytestmark = pytest.mark.standin_only(
    reason="inspects the host modules and the stand-in's application in the test process")

MODULES = sorted(CLASS_NAMES)


@pytest.mark.parametrize('name', MODULES)
def test_each_module_binds_the_host_names_and_owns_its_class(name):
    module = importlib.import_module('odoo.addons.kfc_coupon_shop.controllers.' + name)
    namespace = vars(module)
    for bound in (*LIBRARY_NAMES, *HOST_FUNCTIONS, 'requests', 'APIV3_KEY', 'datetime', 'time'):
        assert bound in namespace, bound
    assert namespace['requests'] is runtime.requests
    cls = namespace[CLASS_NAMES[name]]
    assert issubclass(cls, http.Controller)
    assert cls.__module__ == module.__name__
    for attr in vars(cls).values():
        if callable(attr):     # route decorators wrap the methods the source defines
            assert inspect.unwrap(attr).__globals__ is namespace


@pytest.mark.parametrize('name', MODULES)
def test_only_the_store_catalogue_gets_the_clock_classes(name):
    namespace = vars(importlib.import_module('odoo.addons.kfc_coupon_shop.controllers.' + name))
    if name == 'kfc':
        assert (namespace['datetime'], namespace['time']) == (datetime.datetime, datetime.time)
    else:
        assert (namespace['datetime'], namespace['time']) == (datetime, time)


def test_configure_repoints_the_names_bound_at_import(host):
    wx_api = importlib.import_module('odoo.addons.kfc_coupon_shop.controllers.wx_api')
    assert wx_api.APIV3_KEY == host.sandbox.config.apiv3_key
    assert len(wx_api.APIV3_KEY.encode('utf-8')) == 32


def test_the_application_serves_every_route_of_the_loaded_classes(host):
    served = {rule.rule for rule in http.Application(host.registry, controller_classes())
              .routing_map.iter_rules()}
    declared = {path for cls in controller_classes() for attr in vars(cls).values()
                for path in getattr(attr, 'original_routing', {}).get('routes', ())}
    assert '/api/post_user_info' in declared and declared <= served


def test_a_controller_print_goes_to_the_addon_log_at_debug_level(host, caplog, capfd):
    caplog.set_level(logging.DEBUG, logger='odoo.addons.kfc_coupon_shop')
    token = host.login()
    order_id = host.create_order(token, paid=[('D3001', 9.9)])
    reply = host.post('post_order_is_paid', data={'order_id': order_id, 'token': token})
    assert reply.json()['message'] == 'fail'
    assert ('odoo.addons.kfc_coupon_shop.controllers.order', logging.DEBUG,
            'sale.order(%d,)' % order_id) in caplog.record_tuples
    assert 'sale.order(' not in capfd.readouterr().out


def test_an_out_of_range_latitude_raises_without_a_geopy_warning():
    # In a process of its own: pytest puts back the warning filters of before each collection.
    code = ('from kfchost import addon\n'
            'try:\n'
            '    addon.submodule("controllers.kfc").geodesic((95, 121.47), (31.23, 121.47))\n'
            'except ValueError as error:\n'
            '    print(error)\n')
    done = subprocess.run([sys.executable, '-c', code], capture_output=True, text=True, timeout=60)
    assert (done.stdout, done.stderr) == ('Latitude must be in the [-90; 90] range.\n', '')
