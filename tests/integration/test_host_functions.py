"""Host functions that keep records and talk to WeChat's official account: the API log, login
tokens, the line remarks of the page and the pick-up message."""
import datetime
import json

import pytest

from kfchost import http
from odoo.addons.kfc_coupon_shop.functions import (create_api_log, generate_token, get_error_message,
                               post_pick_message, validate_token)
from odoo.addons.kfc_coupon_shop.models import kfc_user
from odoo.addons.kfc_coupon_shop.services.deployment import read_deployment

pytestmark = pytest.mark.standin_only(
    reason='runs host functions in the test process (request_env); Odoo runs them in its workers')


def _logs(host, title):
    with host.env() as env:
        return env['api.log'].search([('name', '=', title)]).read(
            ['role', 'log', 'exception_type', 'exception_message'])


class TestApiLog:
    def test_entry_survives_the_rollback_of_its_request(self, host):
        with pytest.raises(ZeroDivisionError):
            with host.request_env() as env:
                create_api_log(log_title='下单', log_role='前端', log={'order_id': 7, 'note': '中文'})
                env['kfc.user'].create({'name': 'rolled back'})
                1 / 0
        [entry] = _logs(host, '下单')
        assert entry['role'] == '前端'
        assert json.loads(entry['log']) == {'order_id': 7, 'note': '中文'}
        assert '中文' in entry['log']          # readable text, not \u escapes
        with host.env() as env:
            assert not env['kfc.user'].search([('name', '=', 'rolled back')])

    def test_entries_of_a_committed_request(self, host):
        with host.request_env():
            create_api_log(log_title='一', log_role='微信', log=[1, 2])
            create_api_log(log_title='二', log_role='微信', log=None)
            create_api_log(log_title='三', log_role='卡券', log='plain text')
        assert _logs(host, '一')[0]['log'] == '[1, 2]'
        assert _logs(host, '二')[0]['log'] == 'null'
        assert _logs(host, '三')[0]['log'] == '"plain text"'

    def test_exception_and_values_json_cannot_hold(self, host):
        with host.request_env() as env:
            create_api_log(log_title='异常', log_role='卡券下单失败', log=KeyError('uuid'))
            create_api_log(log_title='日期', log_role='前端', log=datetime.date(2024, 6, 1))
            create_api_log(log_title='记录', log_role='前端', log=env['kfc.user'].browse(3))
        [error] = _logs(host, '异常')
        assert (error['exception_type'], error['exception_message']) == ('KeyError', "'uuid'")
        assert 'KeyError' in error['log'] and 'uuid' in error['log']
        assert _logs(host, '日期')[0]['log'] == '2024-06-01'
        assert _logs(host, '记录')[0]['log'] == 'kfc.user(3,)'


class TestTokens:
    def test_tokens_are_long_and_distinct(self, host):
        with host.request_env():
            made = {generate_token() for _ in range(200)}
        assert len(made) == 200
        assert min(len(token) for token in made) >= 22     # at least 128 bits in base64

    def test_a_token_already_held_by_a_user_is_drawn_again(self, host, monkeypatch):
        taken = host.login(nickname='甲')
        draws = iter([taken, taken, 'fresh-token'])
        monkeypatch.setattr(kfc_user.secrets, 'token_urlsafe', lambda n: next(draws))
        with host.request_env():
            assert generate_token() == 'fresh-token'

    def test_empty_token_never_matches_a_user_without_token(self, host):
        with host.env() as env:
            env['kfc.user'].create({'name': 'no token yet', 'openid': 'o-none'})
        route = validate_token(lambda self, **post: http.request.kfc_user_id.name)
        with host.request_env():
            for token in ('', None):
                reply = route(None, token=token)
                assert json.loads(reply.get_data())['code'] == 400
        token = host.login(nickname='乙')
        with host.request_env():
            assert route(None, token=token) == '乙'


class TestErrorMessage:
    def test_each_state(self, host):
        token = host.login()
        order_id = host.create_order(token, paid=[('B1001', 9.9), ('D3001', 0)],
                                     coupons=['RW2024XL0001'])
        with host.request_env() as env:
            paid, free, coupon = env['sale.order'].browse(order_id).line_ids
            shown = {}
            for state in (False, 'wait', 'success', 'cancel'):
                paid.detail_state = state
                shown[state] = get_error_message(paid)
            for line in (paid, free, coupon):
                line.detail_state = 'fail'
            paid.result = [{'code': 2, 'result': '', 'msg': '门店繁忙，出餐失败'}]
            failed = [get_error_message(line) for line in (paid, free, coupon)]
            refund = env['sale.refund.order'].create({'sale_order_id': order_id, 'line_ids': [(6, 0, paid.ids)]})
            by_refund = {}
            for refund_state in ('draft', 'done'):
                refund.state = refund_state
                by_refund[refund_state] = get_error_message(paid)
        assert len(set(shown.values())) == 4
        assert all(isinstance(text, str) and text for text in shown.values())
        assert failed[0] == '出餐失败，退款未成功，请联系客服（门店繁忙，出餐失败）'
        assert failed[1] == '出餐失败'
        assert failed[2] == '出餐失败，兑换券已退回'
        assert by_refund == {'draft': '出餐失败，退款处理中（门店繁忙，出餐失败）',
                             'done': '出餐失败，已退款（门店繁忙，出餐失败）'}
        json.dumps(failed)


class TestPickMessage:
    ARGS = dict(store_name='南京东路店', out_trade_no='SO1', pick_code="['A1024', 'A1025']",
                pick_type='外带', create_date='2024-06-01 12:00:00', phone='5678')

    def test_the_message_the_user_receives(self, host):
        openid = host.control('wechat/authorize', nickname='丙')['openid']
        with host.request_env():
            post_pick_message(openid=openid, **self.ARGS)
            # sent once the request's work is committed, not before
            assert not host.inspect('wechat/messages')['messages']
        [message] = host.inspect('wechat/messages')['messages']
        assert message['touser'] == openid
        assert message['template_id'] == read_deployment()['pickup_template_id']
        values = {key: item['value'] for key, item in message['data'].items()}
        assert values['keyword1'] == '南京东路店'
        assert values['keyword2'] == 'SO1'
        assert values['keyword3'] == '[A1024, A1025]'
        assert values['keyword4'] == '外带'
        assert values['keyword5'] == '2024-06-01 12:00:00'
        assert '5678' in values['remark']
        assert _logs(host, '取餐通知')

    @pytest.mark.parametrize('fault', [None, 'error', 'http'])
    def test_a_wechat_failure_does_not_raise(self, host, fault):
        if fault:
            host.control('fault', service='wechat', mode=fault)
        with host.request_env():    # unknown openid without fault: WeChat refuses the message
            post_pick_message(openid='o-unknown', **self.ARGS)
        assert not host.inspect('wechat/messages')['messages']
        assert _logs(host, '取餐通知')
