"""WeChat Pay APIv3 merchant client: JSAPI prepay, payment and refund queries, refunds, the daily
trade bill, page payment parameters, notifications.

Requests are signed as APIv3 requires: an Authorization header carrying an RSA-SHA256
(PKCS#1 v1.5) signature of "METHOD\\nPATH?QUERY\\nTIMESTAMP\\nNONCE\\nBODY\\n" made with the
merchant's API private key, where BODY is exactly the bytes sent. Replies fail closed: a 2xx reply
counts only with a valid Wechatpay-Signature over "TIMESTAMP\\nNONCE\\nBODY\\n" made with the
configured platform key and serial, a Wechatpay-Timestamp within five minutes of our clock and a
UTF-8 body; without a configured platform key and serial no call is made at all. The one reply
WeChat Pay does not sign, the trade bill's file, counts only when its SHA-1 is the one the signed
reply named.

Business and transport failures come back as a `PayReply` value, never as an exception; only
programming errors (an amount that is not a whole number of fen, a missing argument) raise.
Amounts are integers of fen throughout.
"""
import base64
import datetime
import decimal
import hashlib
import json
import math
import secrets
import string
import time
from urllib.parse import quote, urlencode, urlsplit

import requests
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

from .origins import normalize_origin
from .redaction import redact

PRODUCTION_BASE_URL = 'https://api.mch.weixin.qq.com'
SIGNATURE_TYPE = 'WECHATPAY2-SHA256-RSA2048'
JSAPI_PATH = '/v3/pay/transactions/jsapi'
REFUND_PATH = '/v3/refund/domestic/refunds'
REFUND_QUERY_PATH = '/v3/refund/domestic/refunds/%s'
TRANSACTION_QUERY_PATH = '/v3/pay/transactions/out-trade-no/%s'
TRADE_BILL_PATH = '/v3/bill/tradebill'
TIMESTAMP_WINDOW = 300          # seconds a signed reply's timestamp may be off our clock
MAX_FEN = 2 ** 63 - 1           # WeChat Pay amounts are int64
_NONCE_ALPHABET = string.ascii_uppercase + string.digits


class PayReply:
    """The outcome of one APIv3 call.

    status: the HTTP status, 0 when no reply arrived; data: the parsed JSON body (or its text);
    message: "" on success, else a readable account of the failure.
    """

    def __init__(self, status, data, message=''):
        self.status = status
        self.data = data
        self.message = message

    @property
    def ok(self):
        return not self.message and 200 <= self.status < 300

    def get(self, key, default=None):
        return self.data.get(key, default) if isinstance(self.data, dict) else default

    def __repr__(self):
        return 'PayReply(status=%r, data=%r, message=%r)' % (self.status, self.data, self.message)

    def as_failure(self):
        """The failed call as the host's callers see it: an unverified or incomplete 2xx reply
        and a reply that never came are 502, never a success code; what an untrusted reply
        says is not passed on."""
        if self.status >= 300:
            return failure(self.status, self.message, self.data)
        return failure(502, self.message)


def failure(code, message, data=None):
    """A failure as the host's WeChat Pay functions answer it: a code and a readable message."""
    reply = {'code': code, 'message': message}
    if data is not None:
        reply['data'] = data
    return reply


def to_fen(amount):
    """A whole number of fen from an int, an integral float (990.0), a Decimal or numeric text.

    Raises ValueError for a fractional, non-finite or out-of-range amount and TypeError for
    other types: both are bugs of the caller, which must never become a silently rounded charge.
    """
    fen = _whole_fen(amount)
    if not -MAX_FEN <= fen <= MAX_FEN:
        raise ValueError('amount %r is out of range' % amount)
    return fen


def _whole_fen(amount):
    if isinstance(amount, bool):
        raise TypeError('amount must be a number of fen, not a boolean')
    if isinstance(amount, int):
        return amount
    if isinstance(amount, str):
        amount = amount.strip()
        try:
            amount = decimal.Decimal(amount)
        except decimal.InvalidOperation:
            raise ValueError('amount %r is not a number of fen' % amount) from None
    if isinstance(amount, float):
        if not math.isfinite(amount):
            raise ValueError('amount %r is not a number of fen' % amount)
        nearest = round(amount)
        if abs(amount - nearest) > 1e-6:
            raise ValueError('amount %r is not a whole number of fen' % amount)
        return int(nearest)
    if isinstance(amount, decimal.Decimal):
        if not amount.is_finite():
            raise ValueError('amount %s is not a number of fen' % amount)
        if amount != amount.to_integral_value():
            raise ValueError('amount %s is not a whole number of fen' % amount)
        return int(amount)
    raise TypeError('amount must be a number of fen, got %s' % type(amount).__name__)


def parse_time(text):
    """The moment an rfc3339 text of WeChat Pay names ("2018-06-08T10:34:56+08:00"), timezone
    aware; None when it is not one."""
    try:
        moment = datetime.datetime.fromisoformat(text)
    except (TypeError, ValueError):
        return None
    return moment if moment.tzinfo else None


def make_nonce(length=32):
    return ''.join(secrets.choice(_NONCE_ALPHABET) for _ in range(length))


def load_private_key(pem):
    return serialization.load_pem_private_key(_as_bytes(pem), password=None)


def load_public_key(pem):
    return serialization.load_pem_public_key(_as_bytes(pem))


def rsa_sign(private_key, message):
    """base64 of SHA256withRSA (PKCS#1 v1.5) over the UTF-8 message."""
    signature = private_key.sign(_as_bytes(message), padding.PKCS1v15(), hashes.SHA256())
    return base64.b64encode(signature).decode('ascii')


def rsa_verify(public_key, message, signature_b64):
    try:
        signature = base64.b64decode(signature_b64, validate=True)
        public_key.verify(signature, _as_bytes(message), padding.PKCS1v15(), hashes.SHA256())
    except (InvalidSignature, ValueError, TypeError):
        return False
    return True


def request_message(method, path_with_query, timestamp, nonce, body):
    """The text an APIv3 request signature covers; body is the exact bytes (or text) sent."""
    body = body.decode('utf-8') if isinstance(body, bytes) else (body or '')
    return '%s\n%s\n%s\n%s\n%s\n' % (method.upper(), path_with_query, timestamp, nonce, body)


def reply_message(timestamp, nonce, body):
    """The bytes a Wechatpay-Signature (reply or notification) covers: the body as received."""
    body = _as_bytes(body or b'')
    return b'%s\n%s\n%s\n' % (_as_bytes(timestamp), _as_bytes(nonce), body)


def decrypt_resource(resource, apiv3_key):
    """The decrypted JSON object of a notification's "resource" (AEAD_AES_256_GCM).

    Raises cryptography's InvalidTag when the key, nonce, associated data or ciphertext is wrong.
    """
    aesgcm = AESGCM(_as_bytes(apiv3_key))
    plaintext = aesgcm.decrypt(
        resource['nonce'].encode('utf-8'),
        base64.b64decode(resource['ciphertext']),
        (resource.get('associated_data') or '').encode('utf-8'),
    )
    return json.loads(plaintext.decode('utf-8'))


def _as_bytes(value):
    return value.encode('utf-8') if isinstance(value, str) else value


def _path_with_query(url):
    parts = urlsplit(url)
    return parts.path + ('?' + parts.query if parts.query else '')


def _header(headers, name):
    """Case-insensitive header lookup over any mapping."""
    value = headers.get(name)
    if value is None:
        lowered = name.lower()
        for key, candidate in headers.items():
            if key.lower() == lowered:
                return candidate
    return value


class WechatPayClient:
    """One merchant's APIv3 client.

    session: an object with `request(method, url, **kwargs)` returning requests.Response objects,
    normally the host's Outbound (time-outs, sandbox redirection) or a requests.Session.
    platform_public_key/platform_serial: when given, replies and notifications are verified.
    """

    def __init__(self, mchid, appid, merchant_serial, merchant_private_key, apiv3_key,
                 platform_public_key=None, platform_serial=None,
                 base_url=PRODUCTION_BASE_URL, session=None):
        self.mchid = mchid
        self.appid = appid
        self.merchant_serial = merchant_serial
        self._private_key = load_private_key(merchant_private_key)
        self.apiv3_key = apiv3_key
        self._platform_key = load_public_key(platform_public_key) if platform_public_key else None
        self.platform_serial = platform_serial
        self.base_url = base_url.rstrip('/')
        self.session = session if session is not None else requests.Session()

    # -- signing helpers -------------------------------------------------------------------

    def authorization(self, method, path_with_query, body, timestamp=None, nonce=None):
        """The Authorization header value for one request."""
        timestamp = str(int(time.time())) if timestamp is None else str(timestamp)
        nonce = nonce or make_nonce()
        message = request_message(method, path_with_query, timestamp, nonce, body)
        signature = rsa_sign(self._private_key, message)
        return '%s mchid="%s",nonce_str="%s",signature="%s",timestamp="%s",serial_no="%s"' % (
            SIGNATURE_TYPE, self.mchid, nonce, signature, timestamp, self.merchant_serial)

    def jsapi_pay_params(self, prepay_id, timestamp=None, nonce=None):
        """The parameters the page hands to WeixinJSBridge getBrandWCPayRequest."""
        timestamp = str(int(time.time())) if timestamp is None else str(timestamp)
        nonce = nonce or make_nonce()
        package = 'prepay_id=%s' % prepay_id
        message = '%s\n%s\n%s\n%s\n' % (self.appid, timestamp, nonce, package)
        return {
            'appId': self.appid,
            'timeStamp': timestamp,
            'nonceStr': nonce,
            'package': package,
            'signType': 'RSA',
            'paySign': rsa_sign(self._private_key, message),
        }

    @property
    def verifies(self):
        """Whether replies can be verified: without the platform key and serial nothing is."""
        return self._platform_key is not None and bool(self.platform_serial)

    def verify_signed(self, headers, body):
        """True when headers carry a valid, fresh platform signature of body (reply or
        notification); always False when no platform key and serial are configured."""
        return not self._signature_problem(headers, body)

    def _signature_problem(self, headers, body):
        """Why a signed message is not to be trusted; "" when it is."""
        if not self.verifies:
            return 'the WeChat Pay platform key or serial is not configured'
        signature = _header(headers, 'Wechatpay-Signature') or ''
        timestamp = _header(headers, 'Wechatpay-Timestamp') or ''
        nonce = _header(headers, 'Wechatpay-Nonce') or ''
        serial = _header(headers, 'Wechatpay-Serial')
        if not (signature and timestamp and nonce) or signature.startswith('WECHATPAY/SIGNTEST/'):
            return 'the signature is missing'
        if serial != self.platform_serial:
            return 'the signature names another platform serial'
        if not timestamp.isdigit() or abs(time.time() - int(timestamp)) > TIMESTAMP_WINDOW:
            return 'the signature timestamp is more than five minutes off'
        if not rsa_verify(self._platform_key, reply_message(timestamp, nonce, body), signature):
            return 'the signature is invalid'
        return 

    def decrypt_notification(self, headers, body):
        """The decrypted resource of a notification, or None when it fails verification."""
        if not self.verify_signed(headers, body):
            return None
        try:
            envelope = json.loads(body)
            return decrypt_resource(envelope['resource'], self.apiv3_key)
        except Exception:  # any malformed or forged body is simply not a notification
            return None

    # -- API calls -------------------------------------------------------------------------

    def jsapi_prepay(self, description, out_trade_no, total, openid, notify_url, time_expire=None):
        """Open a JSAPI payment; on success reply.data["prepay_id"] holds the prepay id.

        time_expire: rfc3339 text after which the payment can no longer be made."""
        payload = {
            'appid': self.appid,
            'mchid': self.mchid,
            'description': description,
            'out_trade_no': out_trade_no,
            'notify_url': notify_url,
            'amount': {'total': to_fen(total), 'currency': 'CNY'},
            'payer': {'openid': openid},
        }
        if time_expire:
            payload['time_expire'] = time_expire
        reply = self.call('POST', JSAPI_PATH, payload)
        if reply.ok and not reply.get('prepay_id'):
            reply.message = 'WeChat Pay answered without a prepay_id'
        return reply

    def refund(self, out_refund_no, refund, total, transaction_id=None, out_trade_no=None,
               notify_url=None, reason=None):
        """Ask for a refund of `refund` fen out of a payment of `total` fen."""
        if not (transaction_id or out_trade_no):
            raise ValueError('a refund needs transaction_id or out_trade_no')
        payload = {}
        if transaction_id:
            payload['transaction_id'] = transaction_id
        else:
            payload['out_trade_no'] = out_trade_no
        payload['out_refund_no'] = out_refund_no
        if reason:
            payload['reason'] = reason
        if notify_url:
            payload['notify_url'] = notify_url
        payload['amount'] = {'refund': to_fen(refund), 'total': to_fen(total), 'currency': 'CNY'}
        reply = self.call('POST', REFUND_PATH, payload)
        if reply.ok and not reply.get('status'):
            reply.message = 'WeChat Pay answered without a refund status'
        return reply

    def query_refund(self, out_refund_no):
        """The refund WeChat Pay has under ``out_refund_no`` (its "status" says how far it got)."""
        reply = self.call('GET', REFUND_QUERY_PATH % quote(out_refund_no, safe=''))
        if reply.ok and not reply.get('status'):
            reply.message = 'WeChat Pay answered without a refund status'
        return reply

    def query_transaction(self, out_trade_no):
        """The payment WeChat Pay has under ``out_trade_no`` ("trade_state" says how far it
        got)."""
        reply = self.call('GET', '%s?%s' % (TRANSACTION_QUERY_PATH % quote(out_trade_no, safe=''),
                                            urlencode({'mchid': self.mchid})))
        if reply.ok and not reply.get('trade_state'):
            reply.message = 'WeChat Pay answered without a trade state'
        return reply

    def trade_bill(self, bill_date):
        """The trade bill of every payment and refund of ``bill_date`` (a date, China's day):
        reply.data is the file's text once its SHA-1 matched the signed reply's."""
        reply = self.call('GET', '%s?%s' % (TRADE_BILL_PATH, urlencode(
            {'bill_date': bill_date.isoformat(), 'bill_type': 'ALL'})))
        if not reply.ok:
            return reply
        url, digest = reply.get('download_url'), reply.get('hash_value')
        if reply.get('hash_type') != 'SHA1' or not isinstance(digest, str) or not url:
            return PayReply(reply.status, reply.data, 'WeChat Pay named no SHA-1 bill to download')
        # The request is signed: it goes nowhere but to WeChat Pay itself.
        named = normalize_origin(url) if isinstance(url, str) else None
        if named is None or named != normalize_origin(self.base_url):
            return PayReply(reply.status, reply.data, 'the bill\'s address is not WeChat Pay\'s')
        response = self._send('GET', url)
        if isinstance(response, PayReply):
            return response
        if response.status_code != 200:
            return self._reply(response)
        if hashlib.sha1(response.content).hexdigest() != digest.lower():
            return PayReply(200, None, 'the bill was refused: its SHA-1 is not the one WeChat '
                                       'Pay named')
        try:
            return PayReply(200, response.content.decode('utf-8'))
        except UnicodeDecodeError:
            return PayReply(200, None, 'the bill was refused: it is not UTF-8')

    def call(self, method, path, payload=None):
        """Send one signed request; every failure comes back as a PayReply."""
        body = b'' if payload is None else json.dumps(
            payload, ensure_ascii=False, separators=(',', ':')).encode('utf-8')
        response = self._send(method, self.base_url + path, body)
        return response if isinstance(response, PayReply) else self._reply(response)

    def _send(self, method, url, body=b''):
        """The response to one signed request, or a PayReply when none may be sent or came."""
        if not self.verifies:
            return PayReply(0, None, 'WeChat Pay is not usable: the platform key or serial is '
                                     'not configured, so no reply could be trusted')
        headers = {
            'Authorization': self.authorization(method, _path_with_query(url), body),
            'Accept': 'application/json',
            'User-Agent': 'routeweave-wechatpay/1',
        }
        if body:
            headers['Content-Type'] = 'application/json'
        try:
            return self.session.request(method, url, data=body or None, headers=headers)
        except requests.RequestException as exc:
            return PayReply(0, None, redact('WeChat Pay unreachable: %s: %s'
                                            % (type(exc).__name__, exc)))

    def _reply(self, response):
        status = response.status_code
        try:
            text = response.content.decode('utf-8')
        except UnicodeDecodeError:
            return PayReply(status, None, 'WeChat Pay reply refused: the body is not UTF-8')
        try:
            data = json.loads(text) if text else {}
        except ValueError:
            data = text
        if 200 <= status < 300:
            problem = self._signature_problem(response.headers, response.content)
            if problem:
                return PayReply(status, data, 'WeChat Pay reply refused: %s' % problem)
            if not isinstance(data, dict):
                return PayReply(status, data, 'WeChat Pay reply refused: the body is not a '
                                              'JSON object')
            return PayReply(status, data)
        if isinstance(data, dict) and data.get('code'):
            return PayReply(status, data, '%s: %s' % (data['code'], data.get('message', '')))
        return PayReply(status, data, 'WeChat Pay answered HTTP %d' % status)
