"""The host fixture's own helpers, which the controller suites build on, on either platform:
an order made with create_order, paid with pay, read back through host.env()."""


def test_an_order_made_paid_and_read_back(host):
    token = host.login(nickname='夹具')
    order_id = host.create_order(token, paid=[('D3001', 9.9), ('B1002', 19.9)],
                                 coupons=['RW2024ST0001'])
    with host.env() as env:
        order = env['sale.order'].browse(order_id)
        assert order.kfc_user_id.token == token
        assert (order.state, order.is_paid, order.number) == ('draft', False, 3)
        assert round(order.amount, 2) == 29.8          # computed by the model: coupon lines cost 0
        [coupon_line] = order.line_ids.filtered(lambda line: line.coupon_ids)
        assert coupon_line.coupon_ids.code == 'RW2024ST0001'
        assert coupon_line.coupon_ids.state == 'done'
        name = order.name
    assert name          # numbered by the model's sequence

    transaction_id = host.pay(order_id)
    with host.env() as env:
        order = env['sale.order'].search([('name', '=', name)])
        assert (order.id, order.state, order.is_paid, order.transaction_id) == (
            order_id, 'paid', True, transaction_id)
    [payment] = host.inspect('wechatpay/payments')['transactions']
    assert (payment['out_trade_no'], payment['total']) == (name, 2980)
    assert payment['notify_url'] == host.url + '/api/wechat_pay_notify'


def test_each_test_starts_from_the_demo_records(host):
    """Whatever an earlier test wrote is gone (on Odoo the database is renewed per test)."""
    with host.env() as env:
        assert not env['sale.order'].search([])
        assert not env['kfc.user'].search([('name', '=', '夹具')])
        assert env['ir.config_parameter'].sudo().get_param('rw.fixture.mark') is False
        env['ir.config_parameter'].sudo().set_param('rw.fixture.mark', 'set')
        env['kfc.user'].create({'name': '夹具', 'openid': 'o-fixture'})


def test_and_again(host):
    test_each_test_starts_from_the_demo_records(host)
