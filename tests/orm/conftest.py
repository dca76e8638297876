"""Real SQLite databases in tmp_path with the shop's models and a few models of the tests."""
import pytest

from kfchost import addon
from kfchost.orm import api, fields, models
from kfchost.orm.registry import Registry


class Label(models.Model):
    """A comodel ordered by name, to see many2one ordering follow the comodel's _order."""
    _name = 'test.orm.label'
    _order = 'name'

    name = fields.Char()


class Thing(models.Model):
    _name = 'test.orm.thing'

    name = fields.Char()
    size = fields.Integer()
    weight = fields.Float()
    active = fields.Boolean()
    day = fields.Date()
    moment = fields.Datetime()
    label_id = fields.Many2one('test.orm.label')
    label_ids = fields.Many2many('test.orm.label')


@pytest.fixture
def registry(tmp_path):
    registry = addon.install(Registry(tmp_path / 'orm.sqlite'))   # the shop's models and data
    yield registry
    registry.close()


@pytest.fixture
def env(registry):
    cr = registry.cursor()
    yield api.Environment(cr)
    cr.close()


@pytest.fixture
def shop(env):
    """A user, two categories, three dishes and an order with three paid lines."""
    user = env['kfc.user'].create({'name': 'Ann', 'openid': 'o-ann', 'token': 'tok-ann'})
    drinks, burgers = env['kfc.product.type'].create([{'name': 'Drinks', 'number': 2},
                                                       {'name': 'Burgers', 'number': 1}])
    cola, burger, fries = env['kfc.product'].create([
        {'name': 'Cola', 'unit_price': 6.5, 'type_id': drinks.id, 'link_id': 'L-cola'},
        {'name': 'Burger', 'unit_price': 19.9, 'type_id': burgers.id, 'link_id': 'L-burger'},
        {'name': 'Fries', 'unit_price': 9.0, 'link_id': 'L-fries'},
    ])
    order = env['sale.order'].create({'kfc_user_id': user.id, 'phone': '13800001234', 'type': '1'})
    env['sale.order.line'].create([
        {'sale_order_id': order.id, 'product_id': product.id, 'quantity': 1,
         'unit_price': product.unit_price} for product in (cola, burger, burger)])
    return {'user': user, 'drinks': drinks, 'burgers': burgers, 'cola': cola,
            'burger': burger, 'fries': fries, 'order': order}
