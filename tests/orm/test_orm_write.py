"""Creating, writing and deleting records: defaults, x2many commands, computed fields, rollback."""
import pytest

from kfchost.orm.api import Environment
from kfchost.orm.exceptions import MissingError


def test_create_with_a_dict_or_a_list(env):
    user = env['kfc.user'].create({'name': 'one'})
    assert repr(user) == 'kfc.user(%d,)' % user.id
    users = env['kfc.user'].create([{'name': 'two'}, {'name': 'three'}])
    assert users.mapped('name') == ['two', 'three'] and users.ids == [user.id + 1, user.id + 2]
    assert env['kfc.user'].create([]) == env['kfc.user'].browse()


def test_defaults_and_initial_states(env, shop):
    coupon = env['kfc.coupon'].create({'code': 'C1'})
    assert coupon.state == 'draft'
    assert shop['order'].state == 'draft' and shop['order'].is_paid is False
    assert env['account.config'].create({}).effective is True
    assert env['sale.refund.order'].create({'sale_order_id': shop['order'].id}).state == 'draft'
    line = shop['order'].line_ids[0]
    assert line.detail_state is False and line.quantity == 1
    assert env['account.config'].with_context(default_effective=False).create({}).effective is False


def test_invalid_values_are_refused(env):
    with pytest.raises(ValueError, match="Invalid field 'nope' on model 'kfc.user'"):
        env['kfc.user'].create({'nope': 1})
    coupon = env['kfc.coupon'].create({'code': 'C1'})
    with pytest.raises(ValueError, match="Wrong value for kfc.coupon.state: 'lost'"):
        coupon.write({'state': 'lost'})
    with pytest.raises(ValueError, match="Invalid field 'nope'"):
        coupon.write({'nope': 1})


def test_write_returns_true_and_updates_every_record(env):
    users = env['kfc.user'].create([{'name': 'a'}, {'name': 'b'}])
    assert users.write({'phone': '123'}) is True
    env.invalidate_all()
    assert users.mapped('phone') == ['123', '123']
    users[0].phone = False
    assert users[0].phone is False and users[1].phone == '123'


def test_writing_a_deleted_record_fails(env):
    user = env['kfc.user'].create({'name': 'gone'})
    user.unlink()
    assert not user.exists()
    with pytest.raises(MissingError):
        user.write({'name': 'back'})
    env.invalidate_all()
    with pytest.raises(MissingError):
        user.name


def test_one2many_commands(env, shop):
    order, cola, fries = shop['order'], shop['cola'], shop['fries']
    Line = env['sale.order.line']
    first, second, third = order.line_ids
    order.write({'line_ids': [(0, 0, {'product_id': fries.id, 'unit_price': 1.0}),
                              (1, first.id, {'unit_price': 2.0}),
                              (2, second.id, 0)]})
    new = order.line_ids[-1]
    assert new.product_id == fries and first.unit_price == 2.0
    assert order.line_ids == first | third | new and not second.exists()
    order.write({'line_ids': [(3, third.id, 0)]})          # lines die with their order: deleted
    assert not third.exists()
    spare = Line.create({'product_id': cola.id, 'sale_order_id': env['sale.order'].create({}).id})
    order.write({'line_ids': [(4, spare.id, 0)]})           # linked: moved to this order
    assert spare.sale_order_id == order and spare in order.line_ids
    order.write({'line_ids': [(6, 0, [spare.id])]})
    assert order.line_ids == spare and not (first | new).exists()
    order.write({'line_ids': [(5, 0, 0)]})
    assert not order.line_ids and not spare.exists()


def test_many2many_commands(env, shop):
    c1, c2, c3 = env['kfc.coupon'].create([{'code': 'A'}, {'code': 'B'}, {'code': 'C'}])
    line = shop['order'].line_ids[0]
    line.write({'coupon_ids': [(6, 0, [c1.id])]})
    assert line.coupon_ids == c1
    line.write({'coupon_ids': [(4, c2.id, 0), (4, c2.id, 0)]})
    assert line.coupon_ids.ids == [c1.id, c2.id]
    line.write({'coupon_ids': [(3, c1.id, 0)]})
    assert line.coupon_ids == c2 and c1.exists()
    line.write({'coupon_ids': [c3.id, c1.id]})              # a plain id list replaces the set
    assert line.coupon_ids.ids == [c1.id, c3.id]             # read in the comodel's order
    line.write({'coupon_ids': [(5, 0, 0)]})
    assert not line.coupon_ids
    new = env['sale.order.line'].create({'sale_order_id': shop['order'].id,
                                         'coupon_ids': [(6, 0, [c2.id])]})
    c2.unlink()
    assert not new.coupon_ids


def test_computed_totals_follow_the_lines(env, shop):
    order, burger = shop['order'], shop['burger']
    assert order.amount == 46.3 and order.number == 3
    line = order.line_ids[0]
    assert line.total_price == 6.5
    line.write({'quantity': 3})
    assert line.total_price == 19.5 and order.amount == 59.3 and order.number == 5
    env['sale.order.line'].create({'sale_order_id': order.id, 'product_id': burger.id,
                                   'quantity': 1, 'unit_price': 0})
    assert order.amount == 59.3 and order.number == 6
    line.unlink()
    assert order.amount == 39.8 and order.number == 3
    other = env['sale.order'].create({})
    order.line_ids[0].sale_order_id = other.id              # a line moves to another order
    assert (order.amount, order.number, other.amount, other.number) == (19.9, 2, 19.9, 1)
    env.invalidate_all()
    assert (order.amount, other.amount) == (19.9, 19.9)     # the stored values, too


def test_amount_is_rounded_to_cents(env):
    order = env['sale.order'].create({'line_ids': [(0, 0, {'quantity': 1, 'unit_price': 0.1}),
                                                   (0, 0, {'quantity': 1, 'unit_price': 0.2})]})
    assert order.amount == 0.3


def test_result_of_a_line_keeps_lists_and_dicts_as_json(env, shop):
    line = shop['order'].line_ids[0]
    line.result = [{'code': 1, 'msg': '失败'}]
    env.invalidate_all()
    assert line.result == '[{"code": 1, "msg": "失败"}]'
    line.result = 5
    assert line.result == '5'


def test_rollback_leaves_nothing(env, registry):
    env['kfc.user'].create({'name': 'kept'})
    env.cr.commit()
    user = env['kfc.user'].create({'name': 'dropped'})
    env['kfc.user'].search([('name', '=', 'kept')]).write({'phone': '1'})
    env.cr.rollback()
    assert not user.exists()
    assert env['kfc.user'].search([]).mapped('name') == ['kept']
    assert env['kfc.user'].search([]).phone is False          # not the rolled-back cached value
    with registry.cursor() as cr:
        assert Environment(cr)['kfc.user'].search([]).mapped('name') == ['kept']
