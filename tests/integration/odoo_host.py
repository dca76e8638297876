"""The host of the integration suites on Odoo 16: the add-on with its demo data on a copy
of the session's template database, served by Odoo with two workers, pointed at the sandbox.

One server per test module, tied to its database, with one cron worker for the kitchen's
dispatcher; before each test the database is replaced
by a fresh copy of the template, so that every test starts from the same records, as on the
stand-in. The stand-in's Host API is kept: records are read and written through Odoo's
external API as the administrator (``env()``), everything else goes over HTTP.
"""
import contextlib
import os

import pytest

from odoo.addons.kfc_coupon_shop.services import runtime
from kfchost.app import configure
from odoo16harness.rpc import Connection, Environment

ADDON = 'kfc_coupon_shop'
PAY_NOTIFY = '/api/wechat_pay_notify'
# The one scheduled action the suites' servers run by themselves: the others (settlement, the
# reconciliation...) run when a test calls them, so that what they do is deterministic.
RUNNING_CRON = 'ir_cron_hand_over'


def demo_template(odoo16, sandbox):
    """The session's template: the add-on installed with its demo data, by a server whose
    settings are the sandbox's (its official account written onto the demo's)."""
    section = sandbox.config.addon_section(os.path.join(odoo16.work_dir, 'keys-template'),
                                           'http://127.0.0.1', sandbox.url)
    template = odoo16.template([ADDON], demo=True, sections={ADDON: section})
    odoo16.cluster.psql(
        "UPDATE ir_cron SET active = (id IN (SELECT res_id FROM ir_model_data WHERE model = "
        "'ir.cron' AND module = '%s' AND name = '%s'))" % (ADDON, RUNNING_CRON), template)
    return template


class Site:
    """A database and the server tied to it, for one test module."""

    def __init__(self, odoo16, sandbox, settings=None):
        self.odoo16 = odoo16
        self.sandbox = sandbox
        self.settings = settings or {}      # keys added to the sandbox's section
        self.template = demo_template(odoo16, sandbox)
        self.database = odoo16.database(self.template)
        self.keys = os.path.join(odoo16.work_dir, 'keys-' + self.database)
        self.server = odoo16.server(self.database, sections=lambda url: {
            ADDON: self.section(url)}, options={'max_cron_threads': 1})
        self.fresh = True

    def section(self, url):
        """The server's [kfc_coupon_shop] section: the sandbox is its outside world."""
        return dict(self.sandbox.config.addon_section(self.keys, url, self.sandbox.url),
                    **self.settings)

    def renew(self):
        if not self.fresh:
            self.odoo16.renew(self.database, self.template)
        self.fresh = False

    def close(self):
        self.server.stop()
        self.odoo16.drop(self.database)


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
            pytest.skip('stand-in only: runs host functions in the test process')
            yield

        def prepay(self, order_id):
            """Open the payment from the test process, with the add-on's own WeChat Pay client
            and the server's settings; no request is bound here."""
            with self.env() as env:
                order = env['sale.order'].browse(order_id)
                amount, openid, name = order.amount, order.kfc_user_id.openid, order.name
            reply = runtime.wechatpay.jsapi_prepay(
                '测试订单', name, round(amount * 100), openid, runtime.notify_url(PAY_NOTIFY, None))
            assert reply.ok, reply
            return name

        def close(self):
            self._connection.close()
    return OdooHost


def odoo_host(host_class, site):
    """The body of the ``host`` fixture on Odoo: a fresh database under the module's server."""
    site.renew()
    # The test process acts for the server where a fixture needs it (pay): same settings.
    configure(site.section(site.server.url))
    host = make_host_class(host_class)(site.server, site.sandbox)
    try:
        yield host
    finally:
        host.close()
