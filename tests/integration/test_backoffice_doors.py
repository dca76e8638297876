"""Doors of the back office: its routes answer only the networks of the setting
``backoffice_networks``, refused before the route runs; the page's error log takes no large body.

This module's host lets in a network that excludes loopback, where the tests connect from."""
import pytest

from odoo.addons.kfc_coupon_shop.controllers import controller_classes

BACKOFFICE_ROUTES = {'kfc_auto_order', 'post_pick_message', 'kfc_test', 'post_local_menu_list'}


@pytest.fixture(scope='module')
def addon_settings():
    return {'backoffice_networks': '192.0.2.0/24, 2001:db8::/32'}


def routes():
    return sorted(path.rsplit('/', 1)[-1] for cls in controller_classes()
                  for attr in vars(cls).values()
                  for path in getattr(attr, 'original_routing', {}).get('routes', ()))


def test_backoffice_routes_refuse_other_networks_before_they_run(host):
    form = {'openid': 'o-any', 'date': '2024-06-01', 'storecode': 'SH3001'}
    for route in sorted(BACKOFFICE_ROUTES):
        assert host.post(route, data=form).status_code == 403, route
    # Refused before the route ran: nothing was asked of the outside services.
    assert host.inspect('requests')['requests'] == []


def test_every_other_route_still_answers(host):
    others = [route for route in routes() if route not in BACKOFFICE_ROUTES]
    assert {'wechat_jsapi_refund', 'post_wx_config', 'post_menu_list'} <= set(others)
    for route in others:
        assert host.post(route).status_code != 403, route
    reply = host.post('post_menu_list', data={'date': '2024-06-01', 'storecode': 'SH3001'})
    assert reply.status_code == 200 and reply.json()['data']


@pytest.mark.parametrize('size, status', [(64 * 1024, 200), (65 * 1024, 413)])
def test_the_error_log_takes_at_most_64_kb(host, size, status):
    head = b'{"title": "t", "log": "'
    body = head + b'x' * (size - len(head) - 2) + b'"}'
    reply = host.post('post_front_error_log', data=body,
                      headers={'Content-Type': 'application/json'})
    assert reply.status_code == status
    with host.env() as env:
        assert env['api.log'].search_count([('role', '=', '前端异常')]) == (status == 200)
