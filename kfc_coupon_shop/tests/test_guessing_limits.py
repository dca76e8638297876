"""What guessing and flooding cost: the cooldown of coupon redemption, the per-address budgets
of the metered routes, and the codes the shop makes."""
import datetime
import types

from odoo.tests import TransactionCase, tagged

from ..models.kfc_coupon import CODE_ALPHABET
from ..services.limits import Limit

T0 = datetime.datetime(2026, 12, 9, 8, 0, 0)


def client(address):
    return types.SimpleNamespace(remote_addr=address)


def minutes(n):
    return T0 + datetime.timedelta(minutes=n)


@tagged('post_install', '-at_install')
class TestRedeemCooldown(TransactionCase):

    def setUp(self):
        super().setUp()
        self.cooldown = self.env['kfc.redeem.cooldown']
        users = self.env['kfc.user']
        self.guesser = users.create({'openid': 'o-guesser', 'token': 'guesser-token'})
        self.other = users.create({'openid': 'o-other', 'token': 'other-token'})
        self.env['ir.config_parameter'].set_param('kfc_coupon_shop.redeem_cooldown_after', 3)
        self.env['ir.config_parameter'].set_param(
            'kfc_coupon_shop.redeem_cooldown_after_address', 5)

    def fail(self, user, address, at):
        self.cooldown._kfc_count_failure(user, client(address), now=at)

    def cooling(self, user, address, at):
        return self.cooldown._kfc_cooling(user, client(address), now=at)

    def test_the_customer_cools_down_for_the_duration_after_the_allowed_failures(self):
        for n in range(2):
            self.fail(self.guesser, '10.0.0.1', minutes(n))
        self.assertFalse(self.cooling(self.guesser, '10.0.0.1', minutes(2)))
        self.fail(self.guesser, '10.0.0.1', minutes(2))
        # from any address, until 15 minutes after the failure that reached the number
        self.assertTrue(self.cooling(self.guesser, '10.9.9.9', minutes(16)))
        self.assertFalse(self.cooling(self.guesser, '10.9.9.9', minutes(17.5)))
        self.assertFalse(self.cooling(self.other, '10.0.0.2', minutes(3)))

    def test_failures_older_than_the_window_no_longer_count(self):
        for at in (minutes(0), minutes(10), minutes(16), minutes(20)):
            self.fail(self.guesser, '10.0.0.1', at)
        self.assertFalse(self.cooling(self.guesser, '10.0.0.1', minutes(21)))
        self.fail(self.guesser, '10.0.0.1', minutes(22))    # the third of the window from 16
        self.assertTrue(self.cooling(self.guesser, '10.0.0.1', minutes(23)))

    def test_an_address_cools_down_after_its_own_higher_number(self):
        nobody = self.env['kfc.user']
        for n in range(4):
            self.fail(nobody, '10.0.0.1', minutes(n))
        self.assertFalse(self.cooling(self.other, '10.0.0.1', minutes(4)))
        self.fail(nobody, '10.0.0.1', minutes(4))       # tokens of nobody count for the address
        self.assertTrue(self.cooling(self.other, '10.0.0.1', minutes(5)))
        self.assertFalse(self.cooling(self.other, '10.0.0.2', minutes(5)))
        # IPv6 customers pick addresses from their /64: it counts as one
        self.assertEqual(self.cooldown._kfc_keys(nobody, client('2001:db8:1:2::9'))[0][0],
                         'address 2001:db8:1:2::/64')


@tagged('post_install', '-at_install')
class TestRateBucket(TransactionCase):

    LIMIT = Limit('test', 6, 2, ('/api/test',))     # 3 at once, then one every 10 s

    def spend(self, address, at):
        return self.env['kfc.rate.bucket']._kfc_spend(self.LIMIT, address, now=at)

    def test_a_burst_then_one_request_per_interval(self):
        self.assertEqual([self.spend('10.0.0.1', 1000.0) for _ in range(3)], [0, 0, 0])
        self.assertAlmostEqual(self.spend('10.0.0.1', 1000.0), 10.0)
        self.assertAlmostEqual(self.spend('10.0.0.1', 1004.0), 6.0)      # a refusal costs nothing
        self.assertEqual(self.spend('10.0.0.2', 1004.0), 0)
        self.assertEqual(self.spend('10.0.0.1', 1010.0), 0)
        self.assertTrue(self.spend('10.0.0.1', 1010.0))
        # after a quiet minute the whole burst again, never more
        self.assertEqual([self.spend('10.0.0.1', 1100.0) for _ in range(3)], [0, 0, 0])
        self.assertTrue(self.spend('10.0.0.1', 1100.0))


@tagged('post_install', '-at_install')
class TestCouponCodes(TransactionCase):

    def test_made_codes_carry_80_random_bits_without_look_alikes(self):
        coupons = self.env['kfc.coupon'].create([{'name': '薯条兑换券'} for _ in range(50)])
        codes = coupons.mapped('code')
        self.assertEqual(len(set(codes)), 50)
        self.assertTrue(all(len(code) == 16 and set(code) <= set(CODE_ALPHABET) for code in codes))
        self.assertFalse(set('01IO') & set(CODE_ALPHABET))
        self.assertNotEqual(coupons[0].copy().code, coupons[0].code)
