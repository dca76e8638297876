"""Field features as Odoo has them, or refused: no silent stand-in behaviour for related=,
search=, archiving by x_active or date grouping; booleans grouped as Odoo groups them; selection and
date-time values validated as Odoo validates them."""
import datetime

import pytest

from kfchost.orm import api, fields, models


class Pick(models.Model):
    """A model whose selection is computed, as Odoo's dynamic selections are."""
    _name = 'test.orm.pick'

    colour = fields.Selection('_colours')
    size = fields.Selection(lambda model: [('s', 'Small'), ('l', 'Large')])

    @api.model
    def _colours(self):
        return [('red', 'Red'), ('blue', 'Blue')]


@pytest.mark.parametrize('extra', [{'related': 'label_id.name'}, {'search': '_search_x'},
                                   {'inverse': '_inverse_x'}])
def test_field_parameters_not_implemented_are_refused(extra):
    with pytest.raises(NotImplementedError):
        fields.Char(**extra)


def test_archived_records_are_left_out_unless_asked_for(env):
    """As Odoo: searches and one2many fields leave out active=False records unless the
    domain names active or the context has active_test=False; browsing still reads them."""
    coupons = env['kfc.coupon']
    kept, archived = coupons.create([{'code': 'KEPT'}, {'code': 'GONE', 'active': False}])
    mine = [('id', 'in', [kept.id, archived.id])]
    assert coupons.search(mine) == kept
    assert coupons.search(mine + [('active', '=', False)]) == archived
    assert coupons.with_context(active_test=False).search_count(mine) == 2
    assert archived.code == 'GONE'


def test_archiving_by_x_active_is_refused_where_declared():
    with pytest.raises(NotImplementedError, match='x_active'):
        class Archived(models.Model):   # noqa: F841
            _name = 'test.orm.archived'
            x_active = fields.Boolean(default=True)
    assert 'test.orm.archived' not in models.MODEL_CLASSES


def test_grouping_by_dates_is_refused(env):
    env['test.orm.thing'].create({'day': '2024-01-05', 'moment': '2024-01-05 10:00:00'})
    for groupby in ('day', 'moment', 'day:month', 'moment:day'):
        with pytest.raises(NotImplementedError):
            env['test.orm.thing'].read_group([], ['size'], [groupby])


def test_boolean_groups_unset_with_false(env):
    env['test.orm.thing'].create([{'name': 'unset'}, {'name': 'no', 'flag': False},
                                  {'name': 'yes', 'flag': True}, {'name': 'yes too', 'flag': True}])
    groups = env['test.orm.thing'].read_group([], ['flag'], ['flag'])
    assert [(g['flag'], g['flag_count'], g['__domain']) for g in groups] == [
        (False, 2, [('flag', '=', False)]), (True, 2, [('flag', '=', True)])]


def test_dynamic_selections_are_validated(env):
    pick = env['test.orm.pick'].create({'colour': 'red', 'size': 'l'})
    assert (pick.colour, pick.size) == ('red', 'l')
    with pytest.raises(ValueError, match="Wrong value for test.orm.pick.colour: 'green'"):
        pick.write({'colour': 'green'})
    with pytest.raises(ValueError, match="Wrong value for test.orm.pick.size"):
        env['test.orm.pick'].create({'size': 'xl'})
    with pytest.raises(ValueError, match='Wrong value for res.users.tz'):
        env.ref('base.user_admin').tz = 'Mars/Olympus_Mons'
    pick.write({'colour': ''})          # an empty value is no value
    assert pick.colour is False


def test_datetime_text_is_parsed_as_odoo_parses_it(env):
    thing = env['test.orm.thing'].create({'moment': '2024-01-05 10:30'})
    assert thing.moment == datetime.datetime(2024, 1, 5, 10, 30)
    thing.moment = '2024-01-06'
    assert thing.moment == datetime.datetime(2024, 1, 6)
    for text in ('2024-01-05 10:30:00.123456', '2024-01-05T10:30:00', '2024-01-05 10:30:00+08:00'):
        with pytest.raises(ValueError):
            thing.moment = text
    assert thing.moment == datetime.datetime(2024, 1, 6)


def test_monetary_amounts_are_rounded_in_their_currency(env):
    yuan = env.ref('base.CNY')
    assert (yuan.name, yuan.decimal_places, yuan.active) == ('CNY', 2, True)   # the add-on's data
    order = env['sale.order'].create({})
    line = env['sale.order.line'].create({'sale_order_id': order.id, 'unit_price': 1})
    line.unit_price = 16.505
    assert (order.currency_id, line.currency_id) == (yuan, yuan)
    assert (line.unit_price, order.amount) == (16.51, 16.51)
