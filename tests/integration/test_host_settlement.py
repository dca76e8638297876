"""The stand-in's settle command: the settlement a cron runs on the stand-in, as Odoo runs its
scheduled action. The rules of settlement are the add-on's own tests (kfc_coupon_shop/tests)."""
import subprocess
import sys

import pytest

pytestmark = pytest.mark.standin_only(reason='runs the stand-in\'s own settle command')


def test_the_command_line_settles(host, paid_order):
    with host.env() as env:
        env['sale.order'].browse(paid_order).state = 'cancel'
    done = subprocess.run(
        [sys.executable, '-m', 'kfchost', 'settle', '--sandbox-url', host.sandbox.url,
         '--db', host.registry.db_path],
        capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert 'cancelled_refunded=1' in done.stdout
    assert len(host.inspect('wechatpay/payments')['refunds']) == 1
