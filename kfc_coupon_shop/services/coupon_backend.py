"""The coupon back-end's ordering service, as the host talks to it: login for a fresh token, the
two steps that place one dish, and the query of what became of an order's dishes.

A dish is placed in two requests: the order entry (signed with the merchant's signing key)
answers the order's address, whose last segment is its uuid; the order's detail (store, pick-up
method, choices) is then submitted under that uuid. Either step may end unclear (no reply, a
time-out, a dropped connection, a 5xx, a reply that is not the back-end's answer): the kitchen
may have the dish. ``UnclearOutcome`` then carries the uuid when it is known (the detail's
outcome is lost: the caller waits for the done-order query) and None when the entry's answer was
lost (only entering the dish again under the same orderno, which the back-end answers with the
order it already has, tells). Only ``BackendRefusal``, an answer that says no, means that the
kitchen has nothing.
"""
import datetime
import hashlib
import json
import time

import requests

from .redaction import redact

LOGIN_PATH = '/KFCCore.asmx/KFC_Login'
MENU_PATH = '/KFCCore.asmx/KFCAPI_GetMenu'
ORDER_ENTRY_PATH = '/kfcautoorder.aspx'
ORDER_DETAIL_PATH = '/Core.asmx/KFC_Auto_UpdateOrderDetail'
DONE_ORDER_PATH = '/Core.asmx/KFC_Auto_GetDoneOrder'
# The back-end's answer to a detail it already has for that uuid: the order stands.
DETAIL_ALREADY_SUBMITTED = 1
# One dish per order entry, with one fixed choice list: the dish itself.
MUTILDATA = json.dumps([{'id': 0, 'data': [1], 'ismutil': 1, 'couponidx': 0}])


class BackendRefusal(Exception):
    """The back-end answered, but did not accept the request; ``reason`` is its own message."""

    def __init__(self, what, reply):
        self.reason = (reply.get('msg') or '') if isinstance(reply, dict) else ''
        super().__init__('%s refused: %s' % (what, self.reason or reply))


class UnclearOutcome(Exception):
    """The request may or may not have taken effect at the back-end; ``args[1]`` is the uuid
    of the back-end order concerned, None when the order entry's answer was lost."""


class CouponBackend:
    """One merchant account at the back-end.

    session: the host's outbound client (time-outs, sandbox redirection); catalogue_base and
    fulfilment_base: the deployment's two base addresses; userid and productid: the merchant's
    ids, sent with every order.
    """

    def __init__(self, session, catalogue_base, fulfilment_base, account, password,
                 order_signing_key, userid, productid):
        self.session = session
        self.catalogue_base = catalogue_base
        self.fulfilment_base = fulfilment_base
        self.account = account
        self.password = password
        self.order_signing_key = order_signing_key
        self.userid = userid
        self.productid = productid

    def login(self):
        """A fresh access token; BackendRefusal when the back-end refuses the account."""
        envelope = self._post(self.catalogue_base + LOGIN_PATH,
                              {'account': self.account, 'password': self.password})['d']
        if envelope.get('code') != 0:
            raise BackendRefusal('login', envelope)
        return json.loads(envelope['data'])['token']

    def menu(self, token, date, storecode):
        """The catalogue's reply to the menu of store ``storecode`` on ``date``, asked with the
        back-end token ``token`` ("d"."code" -2: the token expired)."""
        return self._post(self.catalogue_base + MENU_PATH,
                          {'token': token, 'date': date, 'storecode': storecode, 'linkid': ''})

    def place(self, orderno, sku, skuid, price_fen, detail):
        """Place one dish under the merchant's number ``orderno``; its back-end uuid.

        BackendRefusal when either step is refused, UnclearOutcome when the outcome of either
        is unknown."""
        uuid = self.enter_order(orderno, sku, skuid, price_fen)
        answer = self.submit_detail(uuid, detail)
        if answer.get('code') not in (0, DETAIL_ALREADY_SUBMITTED):
            raise BackendRefusal('order detail', answer)
        return uuid

    def enter_order(self, orderno, sku, skuid, price_fen):
        """The uuid of the back-end order entered under ``orderno``; BackendRefusal when the
        back-end answers without one, UnclearOutcome(text, None) when no answer of its came
        back (it may hold the order all the same)."""
        try:
            response = self.session.post(self.catalogue_base + ORDER_ENTRY_PATH,
                                         json=self._entry_body(orderno, sku, skuid, price_fen),
                                         headers=self._entry_headers(orderno))
            if response.status_code >= 500:
                raise UnclearOutcome('order entry: HTTP %d' % response.status_code, None)
            entry = response.json()
        except (requests.RequestException, ValueError) as exc:
            raise UnclearOutcome('order entry: %s: %s' % (type(exc).__name__, redact(exc)),
                                 None) from None
        if not isinstance(entry, dict):
            raise UnclearOutcome('order entry: the reply is not an object', None)
        url = entry.get('url')
        if not url:
            raise BackendRefusal('order entry', entry)
        uuid = url.rsplit('/', 1)[-1] if isinstance(url, str) else ''
        if not uuid:
            raise UnclearOutcome('order entry: no uuid in "url" %r' % (url,), None)
        return uuid

    def submit_detail(self, uuid, detail):
        """The back-end's "d" for the detail of order ``uuid``; UnclearOutcome(text, uuid) when
        no trustworthy answer came back."""
        try:
            response = self.session.post(self.fulfilment_base + ORDER_DETAIL_PATH, json={
                'mutildata': MUTILDATA, 'orderdetail': json.dumps(detail), 'uuid': uuid})
            if response.status_code >= 500:
                raise UnclearOutcome('order detail: HTTP %d' % response.status_code, uuid)
            answer = response.json()['d']
            if not isinstance(answer, dict):
                raise ValueError('"d" is not an object')
            return answer
        except (requests.RequestException, ValueError, KeyError, TypeError) as exc:
            raise UnclearOutcome('order detail: %s: %s' % (type(exc).__name__, redact(exc)),
                                 uuid) from None

    def done_order(self, uuid):
        """The back-end's "d" for order ``uuid`` (code 0: its items as "data"); UnclearOutcome
        when no answer of that shape came back."""
        try:
            response = self.session.post(self.fulfilment_base + DONE_ORDER_PATH,
                                         json={'uuid': uuid})
            answer = response.json()['d']
            if response.status_code != 200 or not isinstance(answer, dict) \
                    or type(answer.get('code')) is not int:
                raise ValueError('HTTP %d, "d" %r' % (response.status_code, answer))
            return answer
        except (requests.RequestException, ValueError, KeyError, TypeError) as exc:
            raise UnclearOutcome('done order: %s: %s' % (type(exc).__name__, redact(exc)),
                                 uuid) from None

    def _entry_body(self, orderno, sku, skuid, price_fen):
        return {
            'userid': self.userid,
            'productid': self.productid,
            'orderno': orderno,
            'sku': sku,
            'skuid': skuid,
            'num': 1,
            'price': price_fen,
            'indate': datetime.datetime.now().strftime('%Y-%m-%d %H:%M:%S'),
        }

    def _entry_headers(self, orderno):
        ts = str(int(time.time()))
        text = '%s#%s#%s#%s#%s' % (self.userid, ts, self.order_signing_key, self.productid,
                                   orderno)
        return {'token': hashlib.md5(text.encode('utf-8')).hexdigest(), 'ts': ts, 'sn': '1'}

    def _post(self, url, payload):
        return self.session.post(url, json=payload).json()
