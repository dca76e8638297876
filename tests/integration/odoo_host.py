"""The host of the integration suites on Odoo 16: a fresh copy of a database with the add-on
and the demo records, served by Odoo with two workers, pointed at the sandbox.

It keeps the stand-in's Host API: records are read and written through Odoo's external API as
the administrator (``env()``), everything else goes over HTTP as on the stand-in.
"""
import contextlib

import pytest

from kfchost.demo import load_demo
from odoo.addons.kfc_coupon_shop import runtime
from odoo.addons.kfc_coupon_shop.config import Settings
from odoo.addons.kfc_coupon_shop.functions import wx_api_payment
from odoo16_rpc import Connection, Environment
from odoo_proof import addon_settings

ADDON = 'kfc_coupon_shop'
IN_PROCESS = 'runs host functions in the test process (request_env), which Odoo serves in its workers'


def demo_template(odoo16, sandbox):
    """The session's template: the add-on installed, the demo records loaded through a server."""
    def load(server):
        connection = Connection(server.url, server.dbname)
        load_demo(Environment(connection), sandbox.config.host_settings()['wechat'])
        connection.close()
    return odoo16.template([ADDON], prepare=load)


def make_host_class(base):
    class OdooHost(base):
        """The stand-in's Host, with its records and its server on Odoo."""

        def __init__(self, server, sandbox):
            super().__init__(server.url, None, sandbox)
            self.server = server
            self._connection = Connection(server.url, server.dbname)

        @contextlib.contextmanager
        def env(self):
            """The records as the administrator; every call commits on its own."""
            yield Environment(self._connection)

        @contextlib.contextmanager
        def request_env(self, **form):
            pytest.skip('stand-in only: ' + IN_PROCESS)
            yield

        def pay(self, order_id):
            """Pay as the stand-in's Host does, the prepay sent from the test process with the
            add-on's own WeChat Pay client and the server's settings."""
            with self.env() as env:
                order = env['sale.order'].browse(order_id)
                amount, openid, name = order.amount, order.kfc_user_id.openid, order.name
            reply = wx_api_payment(description='测试订单', amount=round(amount * 100, 2),
                                   openid=openid, order=name)
            assert reply['code'] == 200, reply
            notification = self.control('wechatpay/confirm', out_trade_no=name)
            transaction_id = notification['resource']['transaction_id']
            with self.env() as env:
                env['sale.order'].browse(order_id).write({'transaction_id': transaction_id,
                                                          'is_paid': True, 'state': 'paid'})
            return transaction_id

        def close(self):
            self._connection.close()
    return OdooHost


def odoo_host(host_class, odoo16, sandbox):
    """A generator fixture body: yields the host, then stops its server and drops its database."""
    database = odoo16.database(demo_template(odoo16, sandbox))
    server = odoo16.server(database, sections=lambda url: {
        ADDON: addon_settings(sandbox, odoo16.work_dir + '/keys-' + database, url)})
    # The test process acts for the server where a fixture needs it (pay): same settings.
    runtime.configure(Settings.for_sandbox(sandbox.url, sandbox.config.host_settings(), server.url))
    host = make_host_class(host_class)(server, sandbox)
    try:
        yield host
    finally:
        host.close()
        server.stop()
        odoo16.drop(database)
