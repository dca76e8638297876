"""States move only along their lifecycles: every move the routes and the rules make is taken,
every other one is refused and logged, whoever writes it."""
from odoo.exceptions import UserError
from odoo.tests import tagged

from .common import ShopCase

GUARD_LOGGER = 'odoo.addons.kfc_coupon_shop.tools.lifecycle'

# (model, state field, states, the moves made, each with what makes it)
LIFECYCLES = [
    ('sale.order', 'state', ('draft', 'paid', 'pick', 'done', 'fail', 'cancel'), {
        ('draft', 'paid'): 'the state change after payment, a coupon-only order, settlement',
        ('paid', 'pick'): 'the poll, at the first pick-up code',
        ('paid', 'done'): 'the poll', ('pick', 'done'): 'the poll',
        ('cancel', 'done'): 'the poll, whatever the state',
        ('draft', 'fail'): 'the poll', ('paid', 'fail'): 'the poll', ('pick', 'fail'): 'the poll',
        ('done', 'fail'): 'the poll', ('cancel', 'fail'): 'the poll',
        ('draft', 'cancel'): 'the order list, a spent coupon, a refund',
        ('paid', 'cancel'): 'a refund', ('pick', 'cancel'): 'a refund',
        ('done', 'cancel'): 'a refund', ('fail', 'cancel'): 'a refund',
        ('cancel', 'draft'): 'a refused refund', ('cancel', 'paid'): 'a refused refund',
        ('cancel', 'pick'): 'a refused refund',
    }),
    ('sale.order.line', 'detail_state', (False, 'wait', 'success', 'fail', 'cancel'), {
        (False, 'wait'): 'the hand-over', ('wait', 'success'): 'the poll',
        (False, 'fail'): 'a refused hand-over, a manager giving it back',
        ('wait', 'fail'): 'the poll', ('success', 'fail'): 'the poll',
        (False, 'cancel'): 'the order list, a refund', ('wait', 'cancel'): 'a refund',
        ('cancel', False): 'a refused refund',
    }),
    ('sale.refund.order', 'state', ('draft', 'fail', 'done'), {
        ('draft', 'done'): "WeChat Pay's answer or notification",
        ('fail', 'done'): "WeChat Pay's notification of a refund given up",
        ('draft', 'fail'): "WeChat Pay's refusal, giving up",
    }),
]


@tagged('post_install', '-at_install')
class TestLifecycles(ShopCase):

    def record(self, model, field, state):
        values = {field: state}
        if model != 'sale.order':
            values['sale_order_id'] = self.env['sale.order'].create({}).id
        return self.env[model].create(values)

    def test_each_move_made_is_taken_and_every_other_refused(self):
        for model, field, states, moves in LIFECYCLES:
            for source in states:
                for target in states:
                    if source == target:
                        continue
                    record = self.record(model, field, source)
                    with self.subTest(model=model, source=source, target=target):
                        if (source, target) in moves:
                            record.write({field: target})
                            self.assertEqual(record[field], target)
                            continue
                        with self.assertRaises(UserError), \
                                self.assertLogs(GUARD_LOGGER, 'WARNING'):
                            record.write({field: target})
                        self.assertEqual(record[field], source)

    def test_writing_the_state_a_record_has_is_no_move(self):
        done = self.record('sale.order', 'state', 'done')
        done.write({'state': 'done', 'remark': '已出餐'})
        self.assertEqual((done.state, done.remark), ('done', '已出餐'))
