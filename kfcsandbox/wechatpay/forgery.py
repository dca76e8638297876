"""What a merchant must not trust, made on request: signed replies altered after signing (the
"forge" fault) and notifications as a test or the chaos run wants them (the control side's
``/sandbox/wechatpay/notify``).
"""
import json

from .. import crypto
from ..replies import compact_json, json_response
from .apiv3 import Part
from .payments import transaction_view


class Forgery(Part):
    def __init__(self, state, apiv3, notifications, payments):
        super().__init__(state, apiv3, notifications)
        self.payments = payments

    def forge(self, response, alter):
        """The signed 2xx reply ``response``, altered as the fault says."""
        if not 200 <= response.status_code < 300:
            return response
        payload = json.loads(response.get_data())
        timestamp = None
        if alter == 'field' and payload:      # a refund's status, a prepay's prepay_id
            payload.pop('status' if 'status' in payload else next(iter(payload)))
        body = compact_json(payload).encode('utf-8')
        if alter == 'charset':
            body = compact_json(dict(payload, note='支付')).encode('gbk')
        if alter == 'stale':
            timestamp = str(int(self.state.clock()) - 600)
        headers = self.apiv3.signature_headers(body, timestamp=timestamp)
        if alter == 'signature':
            headers['Wechatpay-Signature'] = \
                self.apiv3.signature_headers(body + b' ')['Wechatpay-Signature']
        forged = json_response({}, response.status_code, headers=headers)
        forged.set_data(body)
        return forged

    def made_notification(self, out_trade_no=None, out_refund_no=None, resource=None,
                          algorithm=None, tamper=None, headers=None, url=None, deliver=True):
        """A payment (``out_trade_no``) or refund (``out_refund_no``) notification, sealed and
        signed as WeChat Pay does, with what a test wants changed: ``resource`` fields over
        the sandbox's own (or all of them, for a number it does not know), the envelope's
        ``algorithm``, one part of the sealed resource spoilt before signing (``tamper``:
        ciphertext, nonce or associated_data), signature ``headers`` replaced (a null value
        drops one). A SUCCESS payment is recorded as paid, so that it can be refunded.

        Returns {url, headers, body} and, when ``deliver``, the answer: {status, body,
        received}."""
        kind = 'transaction' if out_trade_no else 'refund'
        with self.state.lock:
            resource = dict(self._resource(kind, out_trade_no or out_refund_no),
                            **(resource or {}))
            record = (self.state.transactions.get(out_trade_no) if out_trade_no
                      else self.state.refunds.get(out_refund_no)) or {}
            url = url or record.get('notify_url')
            if not url:
                raise ValueError('no notify_url is known for it: give "url"')
            if kind == 'transaction' and resource.get('trade_state') == 'SUCCESS':
                self.payments.record_paid(resource)
        event = ('TRANSACTION.SUCCESS' if kind == 'transaction'
                 else 'REFUND.' + str(resource.get('refund_status', 'SUCCESS')))
        envelope = self.notifications.envelope(
            kind, event, '支付成功' if kind == 'transaction' else '退款成功', resource)
        if algorithm is not None:
            envelope['resource']['algorithm'] = algorithm
        if tamper:
            envelope['resource'] = crypto.tampered(envelope['resource'], tamper)
        body = compact_json(envelope).encode('utf-8')
        signed = self.apiv3.signature_headers(body)
        for name, value in (headers or {}).items():
            if value is None:
                signed.pop(name, None)
            else:
                signed[name] = value
        made = {'url': url, 'headers': signed, 'body': body.decode('utf-8')}
        if deliver:
            made['answer'] = self.notifications.post(url, body, signed)
        return made

    def _resource(self, kind, number):
        """What the sandbox would notify of payment or refund ``number`` once it succeeded."""
        if kind == 'transaction':
            order = self.state.transactions.get(number)
            if order is None:
                return {'appid': self.config.wechat_appid, 'mchid': self.config.mchid,
                        'out_trade_no': number, 'transaction_id': crypto.new_id('4200002', 21),
                        'trade_type': 'JSAPI', 'trade_state': 'SUCCESS',
                        'amount': {'total': 1, 'payer_total': 1, 'currency': 'CNY',
                                   'payer_currency': 'CNY'}}
            view = transaction_view(order)
            view.setdefault('transaction_id', crypto.new_id('4200002', 21))
            view['trade_state'] = 'SUCCESS'
            return view
        record = self.state.refunds.get(number) or {}
        return {'mchid': self.config.mchid, 'out_trade_no': record.get('out_trade_no', ''),
                'transaction_id': record.get('transaction_id', ''), 'out_refund_no': number,
                'refund_id': record.get('refund_id', crypto.new_id('5030000', 19)),
                'refund_status': 'SUCCESS', 'user_received_account': '支付用户零钱',
                'amount': {'total': record.get('total', 1), 'refund': record.get('refund', 1),
                           'payer_total': record.get('total', 1),
                           'payer_refund': record.get('refund', 1)}}
