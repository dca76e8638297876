"""A walk along the road of an order, for a person to watch: a running API server and its
sandbox, plain HTTP, one short line per step.

    ./dev walk [--api http://127.0.0.1:8069] [--sandbox http://127.0.0.1:8070]
    python tools/walk.py [...]                  # any Python with requests

The sandbox plays the people around the server: the customer consenting in WeChat, the payer
confirming a payment, the kitchen finishing or refusing a dish, the bank settling a refund.
Every step is a function of a `Road`, which carries what earlier steps brought back; a step
returns its line's text or raises `StepFailed` with the reply it did not expect.
"""
import argparse
import datetime
import json
import sys
import time

import requests

DEFAULT_API = 'http://127.0.0.1:8069'
DEFAULT_SANDBOX = 'http://127.0.0.1:8070'
TIMEOUT = (5, 30)

# Where the customer stands and what she looks for: a store of the demo catalogue.
POSITION = {'lat': '31.2364', 'lng': '121.4791'}
CITY = '上海市'
STORE_KEYWORD = '南京'
PHONE = '13800138000'
# Demo coupons, tried in turn: a server that walked before has redeemed the first ones.
DEMO_COUPONS = ('RW2024XL0001', 'RW2024ST0001', 'RW2024ST0002', 'RW2024KL0001',
                'RW2024JR0001', 'RW2024JK0001', 'RW2024HB0001', 'RW2024HB0002')
POLLS = 20


class StepFailed(Exception):
    """A step got a reply it cannot go on with; ``reply`` is what came back."""

    def __init__(self, message, reply=None):
        super().__init__(message)
        self.reply = reply

    def reply_text(self):
        reply = self.reply
        if isinstance(reply, requests.Response):
            return 'HTTP %s %s' % (reply.status_code, reply.text[:2000])
        if isinstance(reply, (dict, list)):
            return json.dumps(reply, ensure_ascii=False)[:2000]
        return '' if reply is None else str(reply)[:2000]


class Road:
    """The server, its sandbox and what the walk has learnt so far."""

    def __init__(self, api=DEFAULT_API, sandbox=DEFAULT_SANDBOX):
        self.api = api.rstrip('/')
        self.sandbox = sandbox.rstrip('/')
        self.http = requests.Session()
        self.token = self.openid = None
        self.place = self.city = self.store = self.paid_dish = None
        self.coupons = []          # the customer's redeemed coupons, as the server lists them
        self.orders = {}           # road name -> {'id', 'name', 'transaction_id', ...}
        self.last_reply = None     # the latest reply, shown when a step cannot read it

    # -- HTTP ---------------------------------------------------------------------------------

    def form(self, route, **form):
        """POST a form to /api/<route>; the reply's JSON."""
        return self._json(self.http.post('%s/api/%s' % (self.api, route), data=form, timeout=TIMEOUT))

    def body(self, route, body):
        """POST a JSON body to /api/<route>; the reply's JSON."""
        return self._json(self.http.post('%s/api/%s' % (self.api, route), json=body, timeout=TIMEOUT))

    def control(self, endpoint, **body):
        return self._json(self.http.post('%s/sandbox/%s' % (self.sandbox, endpoint), json=body,
                                         timeout=TIMEOUT))

    def inspect(self, path):
        return self._json(self.http.get('%s/sandbox/%s' % (self.sandbox, path), timeout=TIMEOUT))

    def _json(self, reply):
        self.last_reply = reply
        if reply.status_code != 200:
            raise StepFailed('HTTP %s' % reply.status_code, reply)
        try:
            self.last_reply = reply.json()
        except ValueError:
            raise StepFailed('not JSON', reply) from None
        return self.last_reply

    # -- the customer finds a store and a dish ------------------------------------------------

    def login(self):
        consent = self.control('wechat/authorize', nickname='路过的顾客')
        reply = self.form('post_user_login', code=consent['code'])
        _expect(reply.get('code') == 200 and reply.get('data', {}).get('token'), reply)
        self.token, self.openid = reply['data']['token'], consent['openid']
        return 'token %s…, openid %s…' % (self.token[:6], self.openid[:8])

    def wx_config(self):
        reply = self.form('post_wx_config')
        _expect(reply.get('code') == 200 and reply['data'].get('signature'), reply)
        return 'appid %s, signature %s…' % (reply['data']['appid'], reply['data']['signature'][:8])

    def city_name(self):
        reply = self.form('post_city_name', **POSITION)
        _expect(reply.get('code') == 200 and reply['data'].get('city') == CITY, reply)
        self.place = reply['data']['city']
        return '%s (%s)' % (reply['data']['city'], reply['address'])

    def cities(self):
        reply = self.form('post_kfc_getcity')
        groups = reply.get('data', {}).get('data', []) if isinstance(reply.get('data'), dict) else []
        cities = [city for group in groups for city in group['cities']]
        # The back-end names cities without the geocoder's "市".
        found = [city for city in cities if city['cityNameZh'] and city['cityNameZh'] in self.place]
        _expect(found, reply)
        self.city = found[0]
        return '%d cities under %d letters; %s is %s' % (
            len(cities), len(groups), self.city['cityNameZh'], self.city['gbCityCode'])

    def stores(self):
        reply = self.form('post_kfc_store', cityname=self.city['cityNameZh'],
                          gbcitycode=self.city['gbCityCode'],
                          keyword=STORE_KEYWORD, user_lat=POSITION['lat'], user_lng=POSITION['lng'])
        _expect(reply.get('code') == 200 and reply.get('data'), reply)
        self.store = reply['data'][0]
        return '%d found for "%s"; %s %s, %s km' % (len(reply['data']), STORE_KEYWORD,
                                                  self.store['storecode'], self.store['storename'],
                                                  self.store['distance'])

    def menu(self):
        reply = self.form('post_menu_list', date=datetime.date.today().isoformat(),
                          storecode=self.store['storecode'])
        categories = reply.get('data') or []
        dishes = [dish for category in categories for dish in category['children']]
        priced = [dish for dish in dishes if not dish['is_multiple'] and dish['unit_price'] > 0]
        _expect(reply.get('code') == 200 and priced, reply)
        self.paid_dish = priced[0]
        return '%d categories, %d dishes; %s at %.2f yuan' % (
            len(categories), len(dishes), self.paid_dish['name'], self.paid_dish['unit_price'])

    # -- coupons and the paid order -----------------------------------------------------------

    def redeem(self, wanted=2):
        """Redeem ``wanted`` demo coupons: one pays for a dish of the paid order, one for the
        coupon-only order."""
        redeemed, reply = [], None
        for code in DEMO_COUPONS:
            reply = self.form('post_exchange_coupon', token=self.token, code=code)
            if reply.get('code') == 200:
                redeemed.append(code)
                if len(redeemed) == wanted:
                    break
        if len(redeemed) < wanted:
            raise StepFailed('not enough demo coupons left to redeem (%d of %d); serve a fresh '
                             'database, e.g. ./dev serve --db var/walk.sqlite3' % (len(redeemed), wanted),
                             reply)
        listed = self.form('post_search_user_coupon', token=self.token)
        self.coupons = [coupon for coupon in listed.get('data', []) if coupon['code'] in redeemed]
        _expect(len(self.coupons) == wanted, listed)
        return 'redeemed %s; the customer holds %d' % (', '.join(redeemed), len(listed['data']))

    def create_order(self):
        coupon = self.coupons[0]
        reply = self._order('create_sale_order', [
            {'product_id': coupon['product_id'], 'num': 1, 'coupon_id': [coupon['coupon_id']]},
            {'product_id': self.paid_dish['product_id'], 'num': 1, 'coupon_id': []},
        ])
        self.orders['paid'] = {'id': reply['order_id'], 'name': reply['order_name']}
        return 'order %s: %s by coupon, %s paid' % (reply['order_name'], coupon['product_name'],
                                                   self.paid_dish['name'])

    def _order(self, route, items):
        body = {'token': self.token, 'phone': PHONE, 'type': '1', 'remark': '',
                'store_name': self.store['storename'], 'store_code': self.store['storecode'],
                'store_address': self.store['address'], 'store_phone': self.store['phone'],
                'city_name': self.place, 'city_code': self.city['gbCityCode'],
                'data': [dict(item, unit_price=0.01) for item in items]}
        reply = self.body(route, body)
        _expect(reply.get('code') == 200 and reply.get('order_id'), reply)
        return reply

    def payment(self, road='paid'):
        order = self.orders[road]
        reply = self.body('wechat_jsapi_payment', {'token': self.token, 'order_id': order['id'],
                                                   'description': '门店点餐'})
        _expect(reply.get('code') == 200 and reply['data'].get('prepay_id'), reply)
        return 'prepay id %s…, paySign %s…' % (reply['data']['prepay_id'][:12],
                                               reply['data']['paySign'][:8])

    def notification(self, road='paid'):
        """The payer confirms in WeChat; WeChat Pay posts its signed, encrypted notification."""
        order = self.orders[road]
        sent = self.control('wechatpay/confirm', out_trade_no=order['name'])
        [delivery] = sent['deliveries']
        _expect(delivery['status'] == 200 and delivery['received'], sent)
        order['transaction_id'] = sent['resource']['transaction_id']
        paid = self.form('post_order_is_paid', order_id=order['id'], token=self.token)
        _expect(paid.get('code') == 200, paid)
        answer = json.loads(delivery['body'])['code']
        return 'transaction %s, the server answered %s' % (order['transaction_id'], answer)

    def state_change(self, road='paid'):
        order = self.orders[road]
        reply = self.form('post_change_sale_order_state', order_id=order['id'], token=self.token)
        _expect(reply.get('state') == 'paid', reply)
        return 'paid; %d dishes handed to the kitchen' % len(self._kitchen(order))

    def _kitchen(self, order, seconds=20):
        """The back-end orders of the order's dishes, as the sandbox's kitchen holds them once
        the server's dispatcher has handed each over (waiting up to ``seconds``); held, so that
        the sandbox's own kitchen leaves them to the walk's finish and fail."""
        prefix = order['name'] + 'L'
        detail = self.form('post_sale_order_list_line', order_id=order['id'], token=self.token)
        dishes = len(detail.get('data', {}).get('detail') or [])
        deadline = time.monotonic() + seconds
        while True:
            # an order counts once its dishes are in it: the dispatcher opens the order and
            # sends its detail in two calls, and only a detail can be held
            entries = [entry for entry in self.inspect('coupon/orders')['orders']
                       if str(entry['entry'].get('orderno', '')).startswith(prefix)
                       and entry['items']]
            if len(entries) >= dishes or time.monotonic() > deadline:
                break
            time.sleep(0.1)
        for entry in entries:
            self.control('coupon/hold', uuid=entry['uuid'])
        return entries

    def poll(self, road='paid'):
        """Poll once while the kitchen cooks, let it finish, poll until the pick-up codes."""
        order = self.orders[road]
        first = self.form('post_pay_result', order_id=order['id'], token=self.token)['data']
        _expect(first.get('code') == 200 and first['state'] in ('paid', 'pick', 'done'), first)
        for entry in self._kitchen(order):
            self.control('coupon/finish', uuid=entry['uuid'])
        result = _poll_until(self, order, lambda data: data['state'] == 'done')
        order['codes'] = [line['pick_code'] for line in result['data']]
        return 'first "%s", then "%s" with pick-up codes %s' % (
            first['state'], result['state'], ', '.join(order['codes']))

    def pick_message(self, road='paid'):
        order = self.orders[road]
        messages = [message for message in self.inspect('wechat/messages')['messages']
                    if message['touser'] == self.openid
                    and message['data']['keyword2']['value'] == order['name']]
        _expect(len(messages) == len(order['codes']), messages)
        return '%d to %s…: %s, %s' % (
            len(messages), self.openid[:8], messages[0]['data']['keyword1']['value'],
            ' '.join(message['data']['keyword3']['value'] for message in messages))

    def order_list(self):
        reply = self.form('post_sale_order_list', token=self.token)
        _expect(reply.get('code') == 200 and reply.get('data'), reply)
        detail = self.form('post_sale_order_list_line', order_id=self.orders['paid']['id'],
                           token=self.token)
        _expect(detail.get('data', {}).get('detail'), detail)
        states = ', '.join('%s %s' % (entry['name'], entry['state']) for entry in reply['data'])
        return '%s (%s); detail of %s: %s' % (
            _count(len(reply['data']), 'order'), states, self.orders['paid']['name'],
            _count(len(detail['data']['detail']), 'line'))

    # -- the other roads ----------------------------------------------------------------------

    def coupon_only(self):
        coupon = self.coupons[1]
        reply = self._order('post_coupon_sale_order', [
            {'product_id': coupon['product_id'], 'num': 1, 'coupon_id': [coupon['coupon_id']]}])
        listed = self.form('post_sale_order_list_line', order_id=reply['order_id'], token=self.token)
        order = self.orders['coupon'] = {'id': reply['order_id'], 'name': listed['data']['name']}
        for entry in self._kitchen(order):
            self.control('coupon/finish', uuid=entry['uuid'])
        result = _poll_until(self, order, lambda data: data['state'] == 'done')
        order['codes'] = [line['pick_code'] for line in result['data']]
        return 'order %s for %s: "%s", pick-up code %s' % (
            order['name'], coupon['product_name'], result['state'], ', '.join(order['codes']))

    def refused_dish(self):
        """A paid dish the kitchen refuses: the order fails and the dish is refunded."""
        reply = self._order('create_sale_order', [
            {'product_id': self.paid_dish['product_id'], 'num': 1, 'coupon_id': []}])
        order = self.orders['refused'] = {'id': reply['order_id'], 'name': reply['order_name']}
        self.payment('refused')
        self.notification('refused')
        self.state_change('refused')
        for entry in self._kitchen(order):
            self.control('coupon/fail', uuid=entry['uuid'])
        result = _poll_until(self, order, lambda data: data['state'] == 'fail')
        refunds = self._refunds(order)
        _expect(len(refunds) == 1 and refunds[0]['status'] == 'PROCESSING', refunds)
        settled = self._settle(refunds[0]['out_refund_no'])
        return 'order %s "%s" (%s); refund of %d fen %s' % (
            order['name'], result['state'], result['data'][0]['show_remark'],
            refunds[0]['refund'], settled)

    def _settle(self, out_refund_no):
        """The bank settles the refund; WeChat Pay notifies the server. The refund's status."""
        sent = self.control('wechatpay/refund', out_refund_no=out_refund_no)
        [delivery] = sent['deliveries']
        _expect(delivery['status'] == 200 and delivery['received'], sent)
        return sent['resource']['refund_status']

    def _refunds(self, order):
        return [refund for refund in self.inspect('wechatpay/payments')['refunds']
                if refund['out_trade_no'] == order['name']]

    def refund(self):
        """The customer pays an order, then takes its dish back before the kitchen got it (a
        customer may refund only that); the bank settles it and nothing goes to the kitchen."""
        reply = self._order('create_sale_order', [
            {'product_id': self.paid_dish['product_id'], 'num': 1, 'coupon_id': []}])
        order = self.orders['changed mind'] = {'id': reply['order_id'], 'name': reply['order_name']}
        self.payment('changed mind')
        self.notification('changed mind')
        fen = str(int(round(self.paid_dish['unit_price'] * 100)))
        reply = self.form('wechat_jsapi_refund', token=self.token, id=str(order['id']),
                          transaction_id=order['transaction_id'], out_trade_no=order['name'],
                          amount=fen)
        _expect(reply.get('code') == 200 and reply['data'].get('out_refund_no'), reply)
        out_refund_no = reply['data']['out_refund_no']
        placed = self.form('post_change_sale_order_state', order_id=order['id'], token=self.token)
        _expect(placed == {} and not self._kitchen(order), placed)
        return '%s of %s fen on %s before the kitchen got it: %s' % (
            out_refund_no, fen, order['name'], self._settle(out_refund_no))

    STEPS = [
        ('login', login), ('JS-SDK config', wx_config), ('city name', city_name),
        ('cities', cities), ('stores', stores), ('menu', menu), ('coupons', redeem),
        ('order', create_order), ('payment', payment), ('notification', notification),
        ('state change', state_change), ('poll', poll), ('pick-up message', pick_message),
        ('order list', order_list), ('coupon-only order', coupon_only),
        ('refused dish', refused_dish), ('refund', refund),
    ]


def _count(number, noun):
    return '%d %s%s' % (number, noun, '' if number == 1 else 's')


def _expect(condition, reply):
    if not condition:
        raise StepFailed('unexpected reply', reply)


def _poll_until(road, order, settled):
    for _ in range(POLLS):
        data = road.form('post_pay_result', order_id=order['id'], token=road.token)['data']
        if settled(data):
            return data
        time.sleep(0.2)
    raise StepFailed('not settled after %d polls' % POLLS, data)


def walk(road, out=print):
    """Walk every step, one line each; returns True when the whole road was walked."""
    started = time.monotonic()
    width = max(len(name) for name, _ in Road.STEPS) + 4
    for name, step in Road.STEPS:
        label = (name + ' ').ljust(width, '.')
        try:
            try:
                line = step(road)
            except (LookupError, TypeError, AttributeError, ValueError) as error:
                # a reply of another shape than the road expects
                raise StepFailed('unexpected reply (%s: %s)' % (type(error).__name__, error),
                                 road.last_reply) from error
        except StepFailed as failure:
            out('%s FAILED: %s' % (label, failure))
            out('    reply: %s' % failure.reply_text())
            out('verdict: the road stops at "%s"' % name)
            return False
        except requests.RequestException as error:
            url = error.request.url if error.request is not None else ''
            out('%s FAILED: no answer from %s (%s)' % (label, url, type(error).__name__))
            out('verdict: the road stops at "%s": is the server running (./dev serve)?' % name)
            return False
        out('%s %s' % (label, line))
    codes = sum(len(order.get('codes', ())) for order in road.orders.values())
    out('verdict: the road walked, %d steps in %.1f s: %d orders, %d pick-up codes, 2 refunds'
        % (len(Road.STEPS), time.monotonic() - started, len(road.orders), codes))
    return True


def main(argv=None):
    parser = argparse.ArgumentParser(prog='walk',
                                     description=' '.join(__doc__.split('\n\n')[0].split()))
    parser.add_argument('--api', default=DEFAULT_API, help='the API server (default %(default)s)')
    parser.add_argument('--sandbox', default=DEFAULT_SANDBOX,
                        help='its sandbox (default %(default)s)')
    args = parser.parse_args(argv)
    return 0 if walk(Road(args.api, args.sandbox), out=lambda line: print(line, flush=True)) else 1


if __name__ == '__main__':
    sys.exit(main())
