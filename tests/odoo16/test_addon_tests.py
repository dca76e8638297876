"""The add-on's own tests (kfc_coupon_shop/tests: the rules on the models against scripted
outside services, back office, access rights, constraints), run by Odoo's runner on the
session's cluster; a failure shows Odoo's summary and what failed."""
import pytest

pytestmark = pytest.mark.odoo16_only


def test_the_addons_own_tests_pass_under_odoos_runner(odoo16):
    run = odoo16.addon_tests(['kfc_coupon_shop'])
    assert run.ok, run.report()
