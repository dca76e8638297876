"""Host functions facing the coupon back-end: login, placing an order's dishes, and making the
customer whole when a dish fails."""
import pytest

from odoo.addons.kfc_coupon_shop.services import runtime
from odoo.addons.kfc_coupon_shop.functions import create_kfc_order, get_error_message, kfc_login, order_fail_push
from odoo.addons.kfc_coupon_shop.services.coupon_backend import BackendRefusal

pytestmark = pytest.mark.standin_only(
    reason='runs host functions in the test process (request_env); Odoo runs them in its workers')

GET_CITY = '/KFCCore.asmx/KFC_GetCity'


def _catalogue(path, payload):
    url = runtime.deployment['coupon_catalogue_base'] + path
    return runtime.requests.post(url, json=payload).json()['d']


def _sandbox_orders(host):
    return {order['uuid']: order for order in host.inspect('coupon/orders')['orders']}


def _refunds(host):
    return host.inspect('wechatpay/payments')['refunds']


class TestLogin:
    def test_renewed_token_is_stored_and_accepted(self, host):
        payload = {'token': 'EXPIRED', 'ticket': 'TK-7F3A91C2D4E5', 'deviceID': 'DEV-RW-0001'}
        assert _catalogue(GET_CITY, payload)['code'] == -2
        with host.request_env():
            renewed = kfc_login(payload)
        assert list(renewed) == ['token', 'ticket', 'deviceID']
        assert renewed['token'] != 'EXPIRED' and payload['token'] == 'EXPIRED'
        assert renewed['ticket'] == payload['ticket']
        with host.env() as env:
            assert env['ir.config_parameter'].get_param('token') == renewed['token']
        assert _catalogue(GET_CITY, renewed)['code'] == 0

    def test_refused_credentials_raise_and_keep_the_old_token(self, host, monkeypatch):
        with host.env() as env:
            env['ir.config_parameter'].set_param('token', 'OLD')
        monkeypatch.setattr(runtime.settings.coupon_backend, 'password', 'wrong')
        with pytest.raises(BackendRefusal):
            with host.request_env():
                kfc_login({'token': 'OLD'})
        with host.env() as env:
            assert env['ir.config_parameter'].get_param('token') == 'OLD'


class TestCreateOrder:
    def test_every_line_waits_on_its_own_backend_order(self, host, paid_order):
        with host.request_env() as env:
            create_kfc_order(env['sale.order'].browse(paid_order))
        with host.env() as env:
            lines = env['sale.order'].browse(paid_order).line_ids
            placed = [(line.uuid, line.detail_state, line.product_id.link_id, line.product_id.name)
                      for line in lines]
        orders = _sandbox_orders(host)
        assert len({uuid for uuid, _, _, _ in placed}) == 3
        for uuid, state, link_id, name in placed:
            assert state == 'wait'
            order = orders[uuid]
            assert order['status'] == 'submitted'
            assert (order['entry']['skuid'], order['entry']['sku']) == (link_id, name)
            assert order['entry']['num'] == 1
            assert order['detail']['storecode'] == 'SH3001'
            assert order['detail']['storename'] == '南京东路店'
            assert order['detail']['pickupmethod'] == 2      # type "1": take-away

    def test_lines_already_handed_over_are_not_placed_again(self, host, paid_order):
        for _ in range(2):
            with host.request_env() as env:
                create_kfc_order(sale_order_id=env['sale.order'].browse(paid_order))
        assert len(_sandbox_orders(host)) == 3
        assert not _refunds(host)

    def test_a_dine_in_order_is_placed_as_dine_in(self, host):
        token = host.login()
        order_id = host.create_order(token, coupons=['RW2024ST0001'], type='0')
        with host.request_env() as env:
            create_kfc_order(env['sale.order'].browse(order_id))
        [order] = _sandbox_orders(host).values()
        assert order['detail']['pickupmethod'] == 1

    @pytest.mark.parametrize('cause', ['unknown store', 'back-end error'])
    def test_refused_lines_fail_and_the_customer_is_made_whole(self, host, paid_order, cause):
        with host.env() as env:
            if cause == 'unknown store':
                env['sale.order'].browse(paid_order).store_code = 'ZZ0000'
        if cause == 'back-end error':
            host.control('fault', service='coupon', mode='error')
        with host.request_env() as env:
            create_kfc_order(env['sale.order'].browse(paid_order))
        with host.env() as env:
            lines = env['sale.order'].browse(paid_order).line_ids
            assert set(lines.mapped('detail_state')) == {'fail'}
            assert not any(lines.mapped('uuid'))
            assert lines.coupon_ids.state == 'exchange'
            assert env['api.log'].search_count([('name', '=', '卡券下单失败')]) == 3
            reason = '门店不存在' if cause == 'unknown store' else '系统繁忙，请稍后再试'
            assert get_error_message(lines[0]) == '出餐失败，退款处理中（%s）' % reason
            assert get_error_message(lines[2]) == '出餐失败，兑换券已退回（%s）' % reason
        refunds = sorted((r['refund'], r['total']) for r in _refunds(host))
        assert refunds == [(990, 2980), (1990, 2980)]


class TestOrderFailPush:
    def test_a_paid_line_is_refunded_once_for_its_price(self, host, paid_order):
        with host.request_env() as env:
            order = env['sale.order'].browse(paid_order)
            cola = order.line_ids[0]
            order_fail_push(rec=cola, sale_order_id=order)
            order_fail_push(rec=cola, sale_order_id=order)
        with host.request_env() as env:       # a later poll
            order = env['sale.order'].browse(paid_order)
            order_fail_push(rec=order.line_ids[0], sale_order_id=order)
            refund_names = env['sale.refund.order'].search([]).mapped('name')
            assert order.line_ids.mapped('detail_state') == ['fail', False, False]
            assert '百事可乐(中)' in order.remark and '退款' in order.remark
        [refund] = _refunds(host)
        assert (refund['refund'], refund['total']) == (990, 2980)
        assert refund_names == [refund['out_refund_no']]

    def test_a_refund_wechat_pay_refuses_is_not_told_as_done(self, host, paid_order):
        host.control('fault', service='wechatpay', mode='http', status=403)
        with host.request_env() as env:         # WeChat Pay is asked once this commits
            order = env['sale.order'].browse(paid_order)
            order_fail_push(rec=order.line_ids[0], sale_order_id=order)
        with host.request_env() as env:         # a later poll
            order = env['sale.order'].browse(paid_order)
            refund = env['sale.refund.order'].search([('line_ids', 'in', order.line_ids[0].id)])
            assert refund.state == 'fail'
            assert get_error_message(order.line_ids[0]) == '出餐失败，退款未成功，请联系客服'
            assert '已退款' not in order.remark

    def test_a_refund_met_by_a_5xx_stays_in_progress(self, host, paid_order):
        host.control('fault', service='wechatpay', mode='error')
        with host.request_env() as env:
            order = env['sale.order'].browse(paid_order)
            order_fail_push(rec=order.line_ids[0], sale_order_id=order)
            refund = env['sale.refund.order'].search([('line_ids', 'in', order.line_ids[0].id)])
            assert (refund.state, refund.amount) == ('draft', 9.9)
            assert get_error_message(order.line_ids[0]) == '出餐失败，退款处理中'
            assert '退款处理中' in order.remark

    def test_a_coupon_line_gives_its_coupon_back(self, host, paid_order):
        with host.env() as env:
            env['sale.order'].browse(paid_order).remark = '少冰'
        with host.request_env() as env:
            order = env['sale.order'].browse(paid_order)
            coupon_line = order.line_ids[2]
            order_fail_push(rec=coupon_line, sale_order_id=order)
            assert coupon_line.detail_state == 'fail'
            assert coupon_line.coupon_ids.state == 'exchange'
            assert order.remark.startswith('少冰；香辣鸡腿堡') and '兑换券已退回' in order.remark
        assert not _refunds(host)
