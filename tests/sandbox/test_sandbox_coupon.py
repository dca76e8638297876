"""The coupon back-end simulator: catalogue, token expiry and login, order entry, fulfilment."""
import hashlib
import json
import time

import pytest
import requests

from odoo.addons.kfc_coupon_shop.services.coupon_backend import (BackendRefusal, CouponBackend,
                                                                 UnclearOutcome)
from odoo.addons.kfc_coupon_shop.services.deployment import read_deployment
from odoo.addons.kfc_coupon_shop.services.outbound import Outbound
from odoo.addons.kfc_coupon_shop.services.settings import (DEFAULT_PRODUCTID, DEFAULT_USERID,
                                                           sandbox_origin_map)

TEST_DETAIL = {
    'mutildata': json.dumps([{'id': 0, 'data': [1], 'ismutil': 1, 'couponidx': 0}]),
    'orderdetail': json.dumps({'storename': '王家港大润发',
                               'storeaddr': '长江西路345号城发悦邻广场负一层大润发超市',
                               'storetel': 'QG1298', 'storecode': 'QG1298', 'pickupmethod': 2,
                               'ordermono': '', 'booking': ''}),
}


def _post(sandbox, path, payload, **kwargs):
    return requests.post(sandbox.url + path, json=payload, **kwargs)


def _envelope(reply):
    assert reply.status_code == 200
    return reply.json()['d']


def _login(sandbox):
    config = sandbox.config
    d = _envelope(_post(sandbox, '/KFCCore.asmx/KFC_Login',
                        {'account': config.backend_account, 'password': config.backend_password}))
    assert d['code'] == 0
    return json.loads(d['data'])['token']


@pytest.fixture
def token(sandbox):
    return _login(sandbox)


def _place(sandbox, num=1, key=None, ts=None, **changes):
    """The order-entry request as the back-office test order sends it."""
    ts = str(int(time.time())) if ts is None else ts
    body = {'userid': 2024050, 'productid': 2, 'orderno': '2024050', 'sku': '汉堡三选一',
            'skuid': '汉堡三选一', 'num': num, 'price': 1, 'indate': '2024-05-20 12:00:00'}
    body.update(changes)
    text = '%s#%s#%s#%s#%s' % (body['userid'], ts, key or sandbox.config.order_signing_key,
                               body['productid'], body['orderno'])
    headers = {'token': hashlib.md5(text.encode()).hexdigest(), 'ts': ts, 'sn': '1'}
    return requests.post(sandbox.url + '/kfcautoorder.aspx', json=body, headers=headers)


def _done_items(sandbox, uuid):
    d = _envelope(_post(sandbox, '/Core.asmx/KFC_Auto_GetDoneOrder', {'uuid': uuid}))
    assert d['code'] == 0
    return json.loads(d['data'])


class TestTokens:
    def test_expired_token_answers_minus_two_until_a_login(self, sandbox, token):
        payload = {'token': token, 'ticket': '', 'deviceID': ''}
        assert _envelope(_post(sandbox, '/KFCCore.asmx/KFC_GetCity', payload))['code'] == 0
        assert requests.post(sandbox.url + '/sandbox/coupon/expire_tokens').json() == {'expired': 1}
        expired = _envelope(_post(sandbox, '/KFCCore.asmx/KFC_GetCity', payload))
        assert expired['code'] == -2 and expired['data'] == ''
        fresh = _login(sandbox)
        assert fresh != token
        renewed = _envelope(_post(sandbox, '/KFCCore.asmx/KFC_GetCity', dict(payload, token=fresh)))
        assert renewed['code'] == 0 and json.loads(renewed['data'])

    def test_time_runs_out_and_false_is_no_token(self, sandbox, token):
        real_clock = sandbox.state.clock
        sandbox.state.clock = lambda: real_clock() + sandbox.config.backend_token_ttl + 1
        payload = {'token': token, 'lat': '31.23', 'lng': '121.47'}
        assert _envelope(_post(sandbox, '/KFCCore.asmx/KFC_GetStoreByLbs', payload))['code'] == -2
        payload['token'] = False     # an unset system parameter reads as False
        assert _envelope(_post(sandbox, '/KFCCore.asmx/KFC_GetStoreByLbs', payload))['code'] == -2

    def test_wrong_password(self, sandbox):
        d = _envelope(_post(sandbox, '/KFCCore.asmx/KFC_Login',
                            {'account': sandbox.config.backend_account, 'password': 'guess'}))
        assert d['code'] == -1 and d['data'] == ''


class TestCatalogue:
    def test_city_list_has_the_real_irregularities(self, sandbox, token):
        d = _envelope(_post(sandbox, '/KFCCore.asmx/KFC_GetCity',
                            {'token': token, 'ticket': '', 'deviceID': ''}))
        cities = json.loads(d['data'])
        names = [city['cityNameZh'] for city in cities]
        assert len(names) > len(set(names))                       # one name listed twice
        initials = {city['cityNameEn'][0] for city in cities}
        assert initials & set('ABCDEFGHIJKLMNOPQRSTUVWXYZ')
        assert initials & set('abcdefghijklmnopqrstuvwxyz')
        for city in cities:
            assert set(city) == {'cityNameZh', 'cityNameEn', 'gbCityCode', 'latitude', 'longitude'}

    def test_stores_by_keyword(self, sandbox, token):
        def stores(**query):
            payload = {'token': token, 'cityname': '', 'gbcitycode': '', 'keyword': ''}
            payload.update(query)
            d = _envelope(_post(sandbox, '/KFCCore.asmx/KFC_GetStoreByCityAndKeyWord', payload))
            return json.loads(d['data'])

        shanghai = stores(cityname='上海', gbcitycode='310100')
        assert [s['storecode'] for s in shanghai] == ['SH3001', 'SH3002']
        assert [s['storecode'] for s in stores(gbcitycode='310100', keyword='徐家汇')] == ['SH3002']
        beijing = stores(cityname='北京', gbcitycode='110100')
        assert any(store['phone'] is None for store in beijing)
        store = beijing[0]
        for key in ('storecode', 'storename', 'address', 'phone', 'starttime', 'endtime', 'lat',
                    'lng'):
            assert key in store
        assert isinstance(store['bookingMerge']['boolOpenTime'], bool)
        assert stores(cityname='火星', gbcitycode='999999') == []
        missing = _post(sandbox, '/KFCCore.asmx/KFC_GetStoreByCityAndKeyWord', {'token': token})
        assert missing.status_code == 500 and 'd' not in missing.json()

    def test_stores_by_position(self, sandbox, token):
        d = _envelope(_post(sandbox, '/KFCCore.asmx/KFC_GetStoreByLbs',
                            {'token': token, 'lat': 31.8743, 'lng': '120.5402'}))
        nearby = json.loads(d['data'])['stores']
        assert nearby[0]['storecode'] == 'QG1298'
        far = _envelope(_post(sandbox, '/KFCCore.asmx/KFC_GetStoreByLbs',
                              {'token': token, 'lat': '0', 'lng': '0'}))
        assert json.loads(far['data'])['stores'] == []
        bad = _envelope(_post(sandbox, '/KFCCore.asmx/KFC_GetStoreByLbs',
                              {'token': token, 'lat': 'north', 'lng': '120'}))
        assert bad['code'] == -1


class TestMenu:
    def _menu(self, sandbox, token, storecode='SH3001', **account):
        payload = {'token': token, 'date': '2024-05-20', 'storecode': storecode}
        payload.update(account)
        payload['linkid'] = ''
        return _post(sandbox, '/KFCCore.asmx/KFCAPI_GetMenu', payload)

    def test_menu_shape(self, sandbox, token):
        account = sandbox.config.backend_accounts[0]
        d = _envelope(self._menu(sandbox, token, **account))
        menu = json.loads(d['data'])
        with_children = [c for c in menu if 'childClassList' in c]
        assert with_children and [c for c in menu if 'childClassList' not in c]
        dishes = [dish for c in menu for dish in c.get('menuList', [])]
        dishes += [dish for c in with_children for sub in c['childClassList']
                   for dish in sub['menuList']]
        assert {'Y', 'N'} <= {dish['saleFlag'] for dish in dishes}
        assert {int, str} == {type(dish['price']) for dish in dishes}
        for dish in dishes:
            assert {'saleFlag', 'linkId', 'nameCn', 'imageUrl', 'price', 'descCn'} <= set(dish)

    def test_unknown_account_gets_no_envelope(self, sandbox, token):
        reply = self._menu(sandbox, token, ticket='TK-0REVOKED000', deviceid='DEV-RW-0000')
        assert 'd' not in reply.json() and reply.json()['Message']
        # The synchronisation sends no account at all, and is served.
        assert _envelope(self._menu(sandbox, token))['code'] == 0
        assert _envelope(self._menu(sandbox, token, storecode='XX0000'))['code'] == -1

    def test_sale_flag_per_store(self, sandbox, token):
        def flag(storecode):
            menu = json.loads(_envelope(self._menu(sandbox, token, storecode))['data'])
            return menu[0]['menuList'][0]['saleFlag']

        requests.post(sandbox.url + '/sandbox/coupon/sale_flag',
                      json={'link_id': 'B1001', 'on_sale': False, 'storecode': 'SH3001'})
        assert (flag('SH3001'), flag('SH3002')) == ('N', 'Y')
        unknown = requests.post(sandbox.url + '/sandbox/coupon/sale_flag',
                                json={'link_id': 'ZZ9999', 'on_sale': True})
        assert unknown.status_code == 404


class TestOrderEntry:
    def test_signed_entry_gets_an_order_url(self, sandbox):
        reply = _place(sandbox)
        assert reply.headers['Content-Type'] == 'text/html; charset=utf-8'
        placed = reply.json()
        assert 'd' not in placed
        uuid = placed['url'].rsplit('/', 1)[-1]
        assert len(uuid) == 32 and uuid in sandbox.state.orders

    def test_signature_is_checked(self, sandbox):
        forged = _place(sandbox, key='Xx0000xX').json()
        assert forged['code'] == 1001 and 'url' not in forged
        old = _place(sandbox, ts=str(int(time.time()) - 3600)).json()
        assert old['code'] == 1002 and 'url' not in old
        unsigned = requests.post(sandbox.url + '/kfcautoorder.aspx', json={'userid': 1}).json()
        assert unsigned['code'] == 1000
        assert sandbox.state.orders == {}


class TestFulfilment:
    def test_place_detail_wait_finish(self, sandbox):
        uuid = _place(sandbox).json()['url'].rsplit('/', 1)[-1]
        assert _done_items(sandbox, uuid) == []                   # no detail submitted yet
        submitted = _envelope(_post(sandbox, '/Core.asmx/KFC_Auto_UpdateOrderDetail',
                                    dict(TEST_DETAIL, uuid=uuid)))
        assert submitted['code'] == 0
        again = _envelope(_post(sandbox, '/Core.asmx/KFC_Auto_UpdateOrderDetail',
                                dict(TEST_DETAIL, uuid=uuid)))
        assert again['code'] != 0
        assert _done_items(sandbox, uuid) == [{'code': 0, 'result': ''}]
        finished = requests.post(sandbox.url + '/sandbox/coupon/finish',
                                 json={'uuid': uuid, 'order_number': 'A1024'})
        assert finished.status_code == 200
        [item] = _done_items(sandbox, uuid)
        assert item['code'] == 0
        assert json.loads(item['result']) == {'phone': sandbox.config.pickup_phone,
                                              'orderNumber': 'A1024'}

    def test_each_unit_is_its_own_item(self, sandbox):
        uuid = _place(sandbox, num=2).json()['url'].rsplit('/', 1)[-1]
        _post(sandbox, '/Core.asmx/KFC_Auto_UpdateOrderDetail', dict(TEST_DETAIL, uuid=uuid))
        requests.post(sandbox.url + '/sandbox/coupon/fail', json={'uuid': uuid, 'item': 0})
        requests.post(sandbox.url + '/sandbox/coupon/finish', json={'uuid': uuid})
        failed, done = _done_items(sandbox, uuid)
        assert failed['code'] != 0 and failed['result'] == ''
        assert done['code'] == 0 and json.loads(done['result'])['orderNumber'].startswith('A')

    def test_the_kitchen_finishes_by_itself_what_is_not_held(self, sandbox):
        control = sandbox.url + '/sandbox/coupon/'
        assert requests.post(control + 'kitchen', json={'seconds': 0.3}).json() == {'seconds': 0.3}
        uuids = []
        for orderno in ('2024051', '2024052'):
            uuids.append(_place(sandbox, orderno=orderno).json()['url'].rsplit('/', 1)[-1])
            _post(sandbox, '/Core.asmx/KFC_Auto_UpdateOrderDetail', dict(TEST_DETAIL, uuid=uuids[-1]))
        cooked, held = uuids
        requests.post(control + 'hold', json={'uuid': held})
        time.sleep(1.0)
        [done] = _done_items(sandbox, cooked)
        assert json.loads(done['result'])['orderNumber'].startswith('A')
        assert _done_items(sandbox, held) == [{'code': 0, 'result': ''}]
        requests.post(control + 'kitchen', json={})         # holds every dish from now on
        last = _place(sandbox, orderno='2024053').json()['url'].rsplit('/', 1)[-1]
        _post(sandbox, '/Core.asmx/KFC_Auto_UpdateOrderDetail', dict(TEST_DETAIL, uuid=last))
        time.sleep(0.6)
        assert _done_items(sandbox, last) == [{'code': 0, 'result': ''}]

    def test_bad_details_are_refused(self, sandbox):
        uuid = _place(sandbox).json()['url'].rsplit('/', 1)[-1]
        not_json = dict(TEST_DETAIL, uuid=uuid, orderdetail='{storecode: QG1298')
        assert _envelope(_post(sandbox, '/Core.asmx/KFC_Auto_UpdateOrderDetail',
                               not_json))['code'] == -1
        elsewhere = dict(TEST_DETAIL, uuid=uuid, orderdetail=json.dumps({'storecode': 'XX0000'}))
        assert _envelope(_post(sandbox, '/Core.asmx/KFC_Auto_UpdateOrderDetail',
                               elsewhere))['code'] == -1
        unknown = _envelope(_post(sandbox, '/Core.asmx/KFC_Auto_GetDoneOrder', {'uuid': 'f' * 32}))
        assert unknown['code'] == -1
        finish_unknown = requests.post(sandbox.url + '/sandbox/coupon/finish',
                                       json={'uuid': 'f' * 32})
        assert finish_unknown.status_code == 404


class TestRepeatedOrderNumber:
    def test_a_repeated_orderno_gets_its_first_uuid(self, sandbox):
        first = _place(sandbox).json()
        again = _place(sandbox).json()
        assert again['code'] == 0 and again['url'] == first['url']
        assert len(sandbox.state.orders) == 1

    def test_late_error_places_the_order_and_loses_the_reply(self, sandbox):
        requests.post(sandbox.url + '/sandbox/fault',
                      json={'service': 'coupon', 'mode': 'late_error', 'status': 503, 'times': 1})
        lost = _place(sandbox)
        assert lost.status_code == 503
        [order] = sandbox.state.orders.values()
        assert _place(sandbox).json()['url'].endswith(order['uuid'])


class TestHostClient:
    """The host's CouponBackend: a failed placement is no order unless the kitchen may have it."""

    DETAIL = {'storename': '南京东路店', 'storeaddr': '', 'storetel': '', 'storecode': 'SH3001',
              'pickupmethod': 2, 'ordermono': '', 'booking': ''}

    @pytest.fixture
    def backend(self, sandbox):
        deployment, config = read_deployment(), sandbox.config
        outbound = Outbound(sandbox_origin_map(sandbox.url), timeout=(2, 0.5))
        yield CouponBackend(outbound, deployment['coupon_catalogue_base'],
                            deployment['coupon_fulfilment_base'], config.backend_account,
                            config.backend_password, config.order_signing_key, DEFAULT_USERID,
                            DEFAULT_PRODUCTID)
        outbound.close()

    def _place(self, backend, **detail):
        return backend.place('SO1L1', '薯条(中)', 'S2001', 1150, dict(self.DETAIL, **detail))

    @pytest.mark.parametrize('mode', ['late_error', 'late_hang'])
    def test_a_lost_detail_reply_is_unclear_and_names_the_order_the_kitchen_has(
            self, sandbox, backend, mode):
        _post(sandbox, '/sandbox/fault', {'service': 'coupon', 'mode': mode, 'seconds': 1.5,
                                          'path': '/Core.asmx/KFC_Auto_UpdateOrderDetail'})
        with pytest.raises(UnclearOutcome) as lost:
            self._place(backend)
        assert sandbox.state.orders[lost.value.args[1]]['status'] == 'submitted'

    @pytest.mark.parametrize('fault', [
        {'mode': 'http', 'status': 502},                # before the entry: none was made
        {'mode': 'late_error'}, {'mode': 'late_hang', 'seconds': 1.5}, {'mode': 'late_drop'},
    ])
    def test_an_order_entry_without_an_answer_is_unclear_and_the_same_number_places_it_once(
            self, sandbox, backend, fault):
        _post(sandbox, '/sandbox/fault', dict(fault, service='coupon', path='/kfcautoorder',
                                              times=1))
        with pytest.raises(UnclearOutcome) as lost:
            self._place(backend)
        assert lost.value.args[1] is None
        uuid = self._place(backend)
        assert list(sandbox.state.orders) == [uuid]
        assert sandbox.state.orders[uuid]['status'] == 'submitted'

    def test_an_order_entry_answered_without_an_order_is_a_refusal(self, sandbox, backend):
        _post(sandbox, '/sandbox/fault', {'service': 'coupon', 'mode': 'error',
                                          'path': '/kfcautoorder'})
        with pytest.raises(BackendRefusal) as refused:
            self._place(backend)
        assert refused.value.reason == '系统繁忙，请稍后再试' and not sandbox.state.orders

    def test_a_refused_detail_is_a_refusal_in_the_back_ends_words(self, backend):
        with pytest.raises(BackendRefusal) as refused:
            self._place(backend, storecode='ZZ0000')
        assert refused.value.reason == '门店不存在'
