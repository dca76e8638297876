"""Who may call what: the back-office routes take no request from another site's page, a token
matches a customer only as a non-empty text, and only an order's owner sends it to the kitchen."""
import pytest

from test_backoffice_doors import BACKOFFICE_ROUTES
from test_coupon_controller import REFUND_REFUSED

NOT_CREATED = '{"code": 200, "message": "\\u672a\\u521b\\u5efa\\u8ba2\\u5355"}'
FOREIGN = 'https://evil.example'
CROSS_SITE = {
    'a foreign Origin': {'Origin': FOREIGN},
    'Origin null': {'Origin': 'null'},
    'a foreign Referer': {'Referer': FOREIGN + '/page.html'},
    'Sec-Fetch-Site cross-site': {'Sec-Fetch-Site': 'cross-site'},
}
FORM = {'openid': 'o-any', 'date': '2024-06-01', 'storecode': 'SH3001'}


@pytest.mark.parametrize('label', sorted(CROSS_SITE))
def test_back_office_routes_refuse_other_sites_pages(host, label):
    for route in sorted(BACKOFFICE_ROUTES):
        assert host.post(route, data=FORM, headers=CROSS_SITE[label]).status_code == 403, route
    assert host.inspect('requests')['requests'] == []       # nothing asked of the outside


def test_back_office_routes_take_scripts_and_the_shops_own_pages(host):
    with host.env() as env:
        base = env['ir.config_parameter'].sudo().get_param('web.base.url').rstrip('/')
    assert host.post('post_local_menu_list', data=FORM).status_code == 200
    reply = host.post('post_local_menu_list', data=FORM,
                      headers={'Origin': base, 'Referer': base + '/web', 'Sec-Fetch-Site': 'same-origin'})
    assert reply.status_code == 200


@pytest.fixture
def tokenless(host):
    """A customer who lost the token, with a draft order and a paid one: (draft id, paid id,
    paid order's number and transaction)."""
    token = host.login(nickname='无令牌')
    draft = host.create_order(token, paid=[('D3001', 9.9)])
    paid = host.create_order(token, paid=[('D3001', 9.9)])
    transaction_id = host.pay(paid, state='draft')
    with host.env() as env:
        env['kfc.user'].search([('token', '=', token)]).token = False
        return draft, paid, env['sale.order'].browse(paid).name, transaction_id


@pytest.mark.parametrize('token', [None, '', [], ['x'], 'missing'])
def test_no_token_matches_a_customer_without_one(host, tokenless, token):
    draft, paid, name, transaction_id = tokenless
    given = {} if token == 'missing' else {'token': token}
    assert host.post('wechat_jsapi_payment', json=dict(given, order_id=draft)).text == NOT_CREATED
    if isinstance(token, list):
        return                  # a form holds texts only
    form = {'id': str(paid), 'transaction_id': transaction_id, 'out_trade_no': name, **given}
    assert host.post('wechat_jsapi_refund', data=form).text == REFUND_REFUSED
    assert host.post('post_user_token', data=given).json()['data'] == {'state': False}
    with host.env() as env:
        assert not env['sale.order'].browse(draft).prepay_id
        assert not env['sale.refund.order'].search_count([])


def test_only_the_owner_sends_a_paid_order_to_the_kitchen(host):
    owner, other = host.login(nickname='主人'), host.login(nickname='旁人')
    order_id = host.create_order(owner, paid=[('D3001', 9.9)])
    host.pay(order_id, state='draft')
    for token in (other, None):
        form = {'order_id': order_id} if token is None else {'order_id': order_id, 'token': token}
        assert host.post('post_change_sale_order_state', data=form).text == '{}'
    assert host.inspect('coupon/orders')['orders'] == []
    reply = host.post('post_change_sale_order_state', data={'order_id': order_id, 'token': owner})
    assert reply.json()['state'] == 'paid' and host.inspect('coupon/orders')['orders']
