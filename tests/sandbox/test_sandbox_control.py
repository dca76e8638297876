"""Fault injection and the control side's own contract."""
import json

import pytest
import requests


def _fault(sandbox, **fault):
    reply = requests.post(sandbox.url + '/sandbox/fault', json=fault)
    assert reply.status_code == 200, reply.text
    return reply.json()


def test_error_faults_answer_in_each_services_own_shape(sandbox):
    for service in ('wechat', 'wechatpay', 'tencent_map', 'coupon'):
        _fault(sandbox, service=service, mode='error')
    userinfo = requests.get(sandbox.url + '/sns/userinfo')
    assert userinfo.headers['Content-Type'] == 'text/plain'
    assert json.loads(userinfo.text)['errcode'] == -1
    pay = requests.post(sandbox.url + '/v3/pay/transactions/jsapi', data=b'{}')
    assert pay.status_code == 500 and pay.json()['code'] == 'SYSTEM_ERROR'
    geo = requests.get(sandbox.url + '/ws/geocoder/v1/', params={'location': '1,1', 'key': 'k'})
    assert geo.status_code == 200 and geo.json()['status'] == 120 and 'result' not in geo.json()
    city = requests.post(sandbox.url + '/KFCCore.asmx/KFC_GetCity', json={'token': 'x'})
    assert city.json()['d']['code'] == -1
    entry = requests.post(sandbox.url + '/kfcautoorder.aspx', json={})
    assert 'url' not in entry.json()


def test_limited_and_path_scoped_faults(sandbox):
    _fault(sandbox, service='coupon', mode='http', status=503, times=1, path='/Core.asmx/')
    catalogue = requests.post(sandbox.url + '/KFCCore.asmx/KFC_GetCity', json={'token': 'x'})
    assert catalogue.json()['d']['code'] == -2                    # other paths are untouched
    down = requests.post(sandbox.url + '/Core.asmx/KFC_Auto_GetDoneOrder', json={'uuid': 'u'})
    assert down.status_code == 503
    with pytest.raises(ValueError):
        down.json()
    again = requests.post(sandbox.url + '/Core.asmx/KFC_Auto_GetDoneOrder', json={'uuid': 'u'})
    assert again.status_code == 200 and again.json()['d']['code'] == -1
    assert requests.get(sandbox.url + '/sandbox/faults').json() == {'faults': {}}


def test_reply_fault_answers_the_given_json_once(sandbox):
    _fault(sandbox, service='coupon', mode='reply', body=['d'], status=201, times=1,
           path='/Core.asmx/')
    done = '/Core.asmx/KFC_Auto_GetDoneOrder'
    faked = requests.post(sandbox.url + done, json={'uuid': 'u'})
    assert (faked.status_code, faked.json()) == (201, ['d'])
    assert requests.post(sandbox.url + done, json={'uuid': 'u'}).json()['d']['code'] == -1


def test_placed_orders_report_one_item_per_dish(sandbox):
    control = sandbox.url + '/sandbox/coupon/'
    done = sandbox.url + '/Core.asmx/KFC_Auto_GetDoneOrder'
    two = requests.post(control + 'place', json={'units': 2}).json()['uuid']
    none = requests.post(control + 'place', json={'units': 0}).json()['uuid']
    requests.post(control + 'finish', json={'uuid': two, 'item': 1, 'order_number': 'A9'})
    items = json.loads(requests.post(done, json={'uuid': two}).json()['d']['data'])
    assert [item['code'] for item in items] == [0, 0]
    assert items[0]['result'] == '' and json.loads(items[1]['result'])['orderNumber'] == 'A9'
    assert requests.post(done, json={'uuid': none}).json()['d'] == {'code': 0, 'msg': '', 'data': '[]'}
    refused = requests.post(control + 'place', json={'units': -1})
    assert refused.status_code == 400


def test_clearing_a_fault(sandbox):
    _fault(sandbox, service='tencent_map', mode='error')
    cleared = requests.post(sandbox.url + '/sandbox/fault/clear', json={'service': 'tencent_map'})
    assert cleared.json() == {'faults': {}}
    geo = requests.get(sandbox.url + '/ws/geocoder/v1/', params={
        'location': '1,1', 'key': sandbox.config.tencent_map_key}).json()
    assert geo['status'] == 0


@pytest.mark.parametrize('path, body, status', [
    ('/sandbox/fault', {'service': 'mail', 'mode': 'error'}, 400),
    ('/sandbox/fault', {'service': 'wechat', 'mode': 'sulk'}, 400),
    ('/sandbox/wechatpay/confirm', {}, 400),
    ('/sandbox/wechatpay/confirm', {'out_trade_no': 'SO404'}, 404),
    ('/sandbox/wechatpay/refund', {'out_refund_no': 'RF404'}, 404),
    ('/sandbox/wechatpay/redeliver', {'id': 'nope'}, 404),
    ('/sandbox/coupon/fail', {'uuid': 7}, 400),
    ('/sandbox/coupon/kitchen', {'seconds': -1}, 400),
    ('/sandbox/coupon/hold', {'uuid': 'f' * 32}, 404),
])
def test_control_refusals(sandbox, path, body, status):
    reply = requests.post(sandbox.url + path, json=body)
    assert reply.status_code == status and reply.json()['error']


def test_request_log_keeps_each_query_as_sent(sandbox):
    _fault(sandbox, service='wechat', mode='error', times=1)
    requests.get(sandbox.url + '/sns/userinfo?openid=a%26b&access_token=x&lang=zh_CN')
    requests.post(sandbox.url + '/KFCCore.asmx/KFC_GetCity', json={'token': 'x'})
    requests.get(sandbox.url + '/sandbox/faults')                 # control calls are not logged
    logged = requests.get(sandbox.url + '/sandbox/requests').json()['requests']
    assert logged == [
        {'service': 'wechat', 'method': 'GET', 'path': '/sns/userinfo',
         'query': 'openid=a%26b&access_token=x&lang=zh_CN'},
        {'service': 'coupon', 'method': 'POST', 'path': '/KFCCore.asmx/KFC_GetCity', 'query': ''},
    ]
    requests.post(sandbox.url + '/sandbox/reset')
    assert requests.get(sandbox.url + '/sandbox/requests').json() == {'requests': []}


def test_config_and_reset(sandbox):
    settings = requests.get(sandbox.url + '/sandbox/config').json()
    assert settings['wechatpay']['apiv3_key'] == sandbox.config.apiv3_key
    assert settings['wechat']['app_id'] == sandbox.config.wechat_appid
    requests.post(sandbox.url + '/sandbox/wechat/authorize', json={})
    assert len(requests.get(sandbox.url + '/sandbox/wechat/users').json()['users']) == 1
    requests.post(sandbox.url + '/sandbox/reset')
    assert requests.get(sandbox.url + '/sandbox/wechat/users').json()['users'] == []
    index = requests.get(sandbox.url + '/sandbox/').json()
    assert {'path': '/sandbox/coupon/finish', 'methods': ['POST']} in index['endpoints']
