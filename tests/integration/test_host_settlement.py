"""The stand-in's settle and check commands: the settlement a cron runs on the stand-in, as Odoo
runs its scheduled action, and the books checked after. The rules of settlement are the add-on's
own tests (kfc_coupon_shop/tests)."""
import subprocess
import sys

import pytest

pytestmark = pytest.mark.standin_only(reason='runs the stand-in\'s own commands')


def _command(host, name):
    return subprocess.run(
        [sys.executable, '-m', 'kfchost', name, '--sandbox-url', host.sandbox.url,
         '--db', host.registry.db_path],
        capture_output=True, text=True, timeout=60)


def test_the_command_line_settles_and_checks_the_books(host, paid_order):
    with host.env() as env:         # paid after the page cancelled it: coupons back, dishes off
        order = env['sale.order'].browse(paid_order)
        order.write({'state': 'cancel'})
        order.line_ids.coupon_ids.write({'state': 'exchange'})
        order.line_ids.write({'detail_state': 'cancel'})
    unsettled = _command(host, 'check')
    assert unsettled.returncode == 1
    assert unsettled.stdout.startswith('paid dishes neither with the kitchen nor refunded: ')
    done = _command(host, 'settle')
    assert done.returncode == 0, done.stderr
    assert 'cancelled_refunded=1' in done.stdout
    assert len(host.inspect('wechatpay/payments')['refunds']) == 1
    checked = _command(host, 'check')
    assert (checked.returncode, checked.stdout) == (0, 'the books hold\n'), checked.stderr
