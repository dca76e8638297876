"""The coupon back-end: catalogue (cities, stores, menus, login), order entry and fulfilment.

Its ".asmx" endpoints are ASP.NET script services: JSON in, the envelope
{"d": {"code", "msg", "data"}} out, where "data" is itself JSON text; code 0 is success and -2 an
unknown or expired token. A web-method exception (bad JSON, a missing parameter, an account the
back-end does not recognise) is answered the ASP.NET way: HTTP 500, a "jsonerror" header and a
body with "Message" and no "d".

Login (this sandbox's design): POST /KFCCore.asmx/KFC_Login {"account", "password"} answers
{"d": {"code": 0, "msg": "", "data": "{\\"token\\":\\"...\\",\\"expires_in\\":7200}"}}, or
code -1 for wrong credentials; the new token is valid on every catalogue endpoint for
`backend_token_ttl` seconds or until the control side expires all tokens.

Order entry: POST /kfcautoorder.aspx with headers token/ts/sn, where token is the MD5 hex of
"{userid}#{ts}#{signing key}#{productid}#{orderno}". It answers a plain JSON object (no
envelope, served as text/html like the .aspx page it is) whose "url" ends in the order's uuid;
an orderno entered before is answered with the uuid it was given then (the entry is idempotent).
The order is then completed with KFC_Auto_UpdateOrderDetail and reported, one item per unit,
by KFC_Auto_GetDoneOrder (an empty list while the order is newer than the control side's
done-order delay); a kitchen (the control side) finishes or fails each item. With
`kitchen_seconds` set, the kitchen also works by itself: an order's items still cooking that
many seconds after its detail arrived are finished, unless the order is held (left to the
control side).
"""
import copy
import hashlib
import json
import secrets
import uuid

from geopy.distance import geodesic

from .data import CITIES, MENU, STORES, city_by_code, menu_dishes, store_by_code
from .replies import compact_json, json_response

LBS_RADIUS_KM = 20.0
ASPX_TYPE = 'text/html; charset=utf-8'


class WebMethodError(Exception):
    """An exception escaping an ASP.NET web method."""

    def __init__(self, message, exception_type='System.InvalidOperationException'):
        super().__init__(message)
        self.exception_type = exception_type

    def response(self):
        return json_response({'Message': str(self), 'StackTrace': '',
                              'ExceptionType': self.exception_type},
                             status=500, headers={'jsonerror': 'true'})


def envelope(code, data='', msg=''):
    """data: a Python value sent as JSON text, or text sent as is."""
    text = data if isinstance(data, str) else compact_json(data)
    return json_response({'d': {'code': code, 'msg': msg, 'data': text}})


def order_token(userid, ts, key, productid, orderno):
    text = '%s#%s#%s#%s#%s' % (userid, ts, key, productid, orderno)
    return hashlib.md5(text.encode('utf-8')).hexdigest()


def _params(request, *names):
    """The posted JSON object's values for names, all required (as a web method's arguments)."""
    try:
        body = json.loads(request.get_data() or b'')
    except ValueError:
        raise WebMethodError('Invalid JSON primitive: .', 'System.ArgumentException') from None
    if not isinstance(body, dict):
        raise WebMethodError('Invalid object passed in, \'{\' expected.',
                             'System.ArgumentException')
    for name in names:
        if name not in body:
            raise WebMethodError('Invalid web service call, missing value for parameter: '
                                 '\'%s\'.' % name)
    return body


def _coordinate(value):
    try:
        number = float(value)
    except (TypeError, ValueError):
        return None
    return number if number == number else None


class CouponBackendService:
    name = 'coupon'

    def __init__(self, state):
        self.state = state
        self.config = state.config
        self._order_numbers = 1000

    def routes(self):
        return [(path, methods, self.web_method(handler)) for path, methods, handler in [
            ('/KFCCore.asmx/KFC_Login', ['POST'], self.login),
            ('/KFCCore.asmx/KFC_GetCity', ['POST'], self.get_city),
            ('/KFCCore.asmx/KFC_GetStoreByCityAndKeyWord', ['POST'], self.stores_by_keyword),
            ('/KFCCore.asmx/KFC_GetStoreByLbs', ['POST'], self.stores_by_position),
            ('/KFCCore.asmx/KFCAPI_GetMenu', ['POST'], self.get_menu),
            ('/kfcautoorder.aspx', ['POST'], self.order_entry),
            ('/Core.asmx/KFC_Auto_UpdateOrderDetail', ['POST'], self.update_order_detail),
            ('/Core.asmx/KFC_Auto_GetDoneOrder', ['POST'], self.done_order),
        ]]

    def web_method(self, handler):
        def call(request, **values):
            scripted = self._take_script(request)
            if scripted is not None:
                return json_response(scripted)
            try:
                return handler(request, **values)
            except WebMethodError as error:
                return error.response()
        call.__name__ = handler.__name__
        return call

    def _take_script(self, request):
        """Log the request's body; the reply the control side queued for its path, if any."""
        with self.state.lock:
            self.state.coupon_payloads.append({'path': request.path,
                                               'body': request.get_data(as_text=True)})
            queue = self.state.coupon_scripts.get(request.path)
            return queue.pop(0) if queue else None

    def script(self, path, replies):
        """Answer the next requests to ``path`` with ``replies`` (JSON values, sent as the body
        with HTTP 200), one each, in order; a None in the list is served as usual."""
        with self.state.lock:
            queue = self.state.coupon_scripts.setdefault(path, [])
            queue.extend(replies)
            return len(queue)

    # -- tokens ----------------------------------------------------------------------------

    def login(self, request):
        body = _params(request, 'account', 'password')
        if (body['account'], body['password']) != (self.config.backend_account,
                                                    self.config.backend_password):
            return envelope(-1, msg='账号或密码错误')
        return envelope(0, {'token': self.issue_token(),
                            'expires_in': self.config.backend_token_ttl})

    def issue_token(self):
        token = secrets.token_hex(16).upper()
        with self.state.lock:
            self.state.backend_tokens[token] = self.state.clock() + self.config.backend_token_ttl
        return token

    def expire_tokens(self):
        with self.state.lock:
            count = len(self.state.backend_tokens)
            self.state.backend_tokens.clear()
        return count

    def _token_valid(self, token):
        with self.state.lock:
            expiry = self.state.backend_tokens.get(token) if isinstance(token, str) else None
            return expiry is not None and expiry >= self.state.clock()

    def _expired(self):
        return envelope(-2, msg='token已失效，请重新登录')

    # -- catalogue -------------------------------------------------------------------------

    def get_city(self, request):
        body = _params(request, 'token')
        if not self._token_valid(body['token']):
            return self._expired()
        cities = [{key: value for key, value in city.items() if key != 'geo'} for city in CITIES]
        return envelope(0, cities)

    def stores_by_keyword(self, request):
        body = _params(request, 'token', 'cityname', 'gbcitycode', 'keyword')
        if not self._token_valid(body['token']):
            return self._expired()
        code, name = str(body['gbcitycode'] or ''), body['cityname'] or ''
        city = city_by_code(code)
        codes = {code} if city else {c['gbCityCode'] for c in CITIES if c['cityNameZh'] == name}
        keyword = str(body['keyword'] or '')
        stores = [store for store in STORES if store['gbcitycode'] in codes
                  and (keyword in store['storename'] or keyword in store['address'])]
        return envelope(0, stores)

    def stores_by_position(self, request):
        body = _params(request, 'token', 'lat', 'lng')
        if not self._token_valid(body['token']):
            return self._expired()
        lat, lng = _coordinate(body['lat']), _coordinate(body['lng'])
        if lat is None or lng is None or not (-90 <= lat <= 90 and -180 <= lng <= 180):
            return envelope(-1, msg='经纬度格式错误')
        nearby = []
        for store in STORES:
            km = geodesic((lat, lng), (float(store['lat']), float(store['lng']))).km
            if km <= LBS_RADIUS_KM:
                nearby.append((km, store))
        nearby.sort(key=lambda pair: pair[0])
        return envelope(0, {'stores': [store for _, store in nearby], 'total': len(nearby)})

    def get_menu(self, request):
        body = _params(request, 'token', 'date', 'storecode')
        if not self._token_valid(body['token']):
            return self._expired()
        if ('ticket' in body or 'deviceid' in body) and not self._known_account(body):
            raise WebMethodError('设备未授权或票据已失效', 'System.UnauthorizedAccessException')
        store = store_by_code(body['storecode'])
        if store is None:
            return envelope(-1, msg='门店不存在')
        return envelope(0, self.menu_for(store['storecode']))

    def _known_account(self, body):
        pair = {'ticket': body.get('ticket'), 'deviceid': body.get('deviceid')}
        return any(pair == {'ticket': a['ticket'], 'deviceid': a['deviceid']}
                   for a in self.config.backend_accounts)

    def menu_for(self, storecode):
        menu = copy.deepcopy(MENU)
        with self.state.lock:
            flags = dict(self.state.sale_flags)
        for dish in menu_dishes(menu):
            for scope in ('*', storecode):
                if (scope, dish['linkId']) in flags:
                    dish['saleFlag'] = flags[(scope, dish['linkId'])]
        return menu

    def set_sale_flag(self, link_id, on_sale, storecode='*'):
        if not any(d['linkId'] == link_id for d in menu_dishes(MENU)):
            raise LookupError('no dish with linkId %r' % link_id)
        with self.state.lock:
            self.state.sale_flags[(storecode or '*', link_id)] = 'Y' if on_sale else 'N'

    # -- order entry and fulfilment ----------------------------------------------------------

    def order_entry(self, request):
        headers = request.headers
        token, ts, sn = headers.get('token'), headers.get('ts'), headers.get('sn')
        if not (token and ts and sn):
            return self._aspx({'code': 1000, 'msg': '缺少签名参数'})
        try:
            body = json.loads(request.get_data())
        except ValueError:
            body = None
        fields = ('userid', 'productid', 'orderno', 'sku', 'skuid', 'num', 'price', 'indate')
        if not isinstance(body, dict) or any(body.get(f) in (None, '') for f in fields):
            return self._aspx({'code': 1003, 'msg': '参数错误'})
        if not ts.isdigit() or abs(self.state.clock() - int(ts)) > self.config.order_ts_window:
            return self._aspx({'code': 1002, 'msg': '请求已过期'})
        expected = order_token(body['userid'], ts, self.config.order_signing_key,
                               body['productid'], body['orderno'])
        if token.lower() != expected:
            return self._aspx({'code': 1001, 'msg': '签名校验失败'})
        with self.state.lock:
            known = self._order_by_number(body['orderno'])
            if known is not None:
                if any(known['entry'][f] != body[f] for f in ('userid', 'productid', 'skuid', 'num')):
                    return self._aspx({'code': 1004, 'msg': '订单号重复'})
                return self._aspx({'code': 0, 'msg': '下单成功',
                                   'url': '%skfcorder/%s' % (request.host_url, known['uuid'])})
            number = uuid.uuid4().hex
            self.state.orders[number] = {
                'uuid': number, 'entry': {f: body[f] for f in fields}, 'sn': sn,
                'placed_at': self.state.clock(), 'status': 'placed', 'detail': None, 'items': []}
        return self._aspx({'code': 0, 'msg': '下单成功',
                           'url': '%skfcorder/%s' % (request.host_url, number)})

    def _order_by_number(self, orderno):
        """The order already entered under the merchant's ``orderno``: the entry is idempotent,
        a repeated orderno gets the uuid it got the first time."""
        for order in self.state.orders.values():
            if order['entry']['orderno'] == orderno:
                return order
        return None

    def _aspx(self, value):
        return json_response(value, content_type=ASPX_TYPE)

    def update_order_detail(self, request):
        body = _params(request, 'mutildata', 'orderdetail', 'uuid')
        try:
            choices = json.loads(body['mutildata'])
            detail = json.loads(body['orderdetail'])
        except (TypeError, ValueError):
            return envelope(-1, msg='参数格式错误')
        if not isinstance(choices, list) or not isinstance(detail, dict):
            return envelope(-1, msg='参数格式错误')
        if store_by_code(detail.get('storecode')) is None:
            return envelope(-1, msg='门店不存在')
        with self.state.lock:
            order = self.state.orders.get(body['uuid'])
            if order is None:
                return envelope(-1, msg='订单不存在')
            if order['status'] != 'placed':
                return envelope(1, msg='订单已提交，请勿重复提交')
            units = order['entry']['num']
            units = int(units) if str(units).isdigit() and int(units) > 0 else 1
            order.update(status='submitted', detail=detail, choices=choices,
                         items=[{'state': 'cooking'} for _ in range(units)])
            seconds = self.state.kitchen_seconds
        if seconds is not None:
            self.state.start_timer(seconds, lambda: self._cooked(body['uuid']))
        return envelope(0, msg='提交成功')

    def _cooked(self, number):
        """The kitchen working by itself hands out what is still cooking of the order, unless it
        was told meanwhile to hold every dish or this order's."""
        with self.state.lock:
            order = self.state.orders.get(number)
            if self.state.kitchen_seconds is None or order is None or order.get('held'):
                return
            self.finish(number)

    def hold(self, number):
        """The order's dishes wait for the control side's finish or fail."""
        with self.state.lock:
            if number not in self.state.orders:
                raise LookupError('no order with uuid %r' % number)
            self.state.orders[number]['held'] = True

    def done_order(self, request):
        body = _params(request, 'uuid')
        with self.state.lock:
            order = self.state.orders.get(body['uuid'])
            if order is None:
                return envelope(-1, msg='订单不存在')
            if self.state.clock() - order['placed_at'] < self.state.done_order_delay:
                return envelope(0, [])      # entered, not listed yet
            return envelope(0, [self._item_view(item) for item in order['items']])

    def set_done_order_delay(self, seconds):
        with self.state.lock:
            self.state.done_order_delay = float(seconds)

    @staticmethod
    def _item_view(item):
        if item['state'] == 'done':
            return {'code': 0, 'result': compact_json(
                {'phone': item['phone'], 'orderNumber': item['orderNumber']})}
        if item['state'] == 'failed':
            return {'code': item['code'], 'result': '', 'msg': item['msg']}
        return {'code': 0, 'result': ''}

    # -- the kitchen (used by the control endpoints) ----------------------------------------

    def _items(self, number, index):
        order = self.state.orders.get(number)
        if order is None:
            raise LookupError('no order with uuid %r' % number)
        if not order['items']:
            raise ValueError('order %r has no submitted detail yet' % number)
        if index is None:
            return [item for item in order['items'] if item['state'] == 'cooking']
        if not 0 <= index < len(order['items']):
            raise LookupError('order %r has no item %r' % (number, index))
        return [order['items'][index]]

    def finish(self, number, index=None, order_number=None, phone=None):
        """The kitchen hands out dishes: each gets a pick-up code."""
        with self.state.lock:
            items = self._items(number, index)
            for item in items:
                if not order_number:
                    self._order_numbers += 1
                item.update(state='done', phone=phone or self.config.pickup_phone,
                            orderNumber=order_number or 'A%d' % self._order_numbers)
            return [self._item_view(item) for item in items]

    def place(self, units, number=None):
        """An order of ``units`` dishes in the kitchen, as if placed and detailed by a client
        (0: detailed without dishes), under ``number`` or a new uuid; returns its uuid."""
        number = number or uuid.uuid4().hex
        with self.state.lock:
            self.state.orders[number] = {
                'uuid': number, 'entry': {'num': units}, 'sn': '1', 'placed_at': self.state.clock(),
                'status': 'submitted', 'detail': {},
                'items': [{'state': 'cooking'} for _ in range(units)]}
        return number

    def fail(self, number, index=None, code=2, message='门店繁忙，出餐失败'):
        with self.state.lock:
            items = self._items(number, index)
            for item in items:
                item.update(state='failed', code=code, msg=message)
            return [self._item_view(item) for item in items]
