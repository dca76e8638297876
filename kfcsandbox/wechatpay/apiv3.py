"""What every WeChat Pay APIv3 exchange shares: the merchant's signature checked over the raw
bytes received (401 SIGN_ERROR otherwise), bodies checked as the real service checks them (400
PARAM_ERROR for a missing field or a value of the wrong type), 2xx replies signed with the
platform key, errors in WeChat Pay's shape.
"""
import datetime
import json
import secrets

from .. import crypto
from ..replies import compact_json, json_response, request_id

CHINA = datetime.timezone(datetime.timedelta(hours=8))
SIGNATURE_WINDOW = 300


def rfc3339(seconds):
    return datetime.datetime.fromtimestamp(seconds, CHINA).isoformat(timespec='seconds')


class ApiError(Exception):
    def __init__(self, status, code, message, detail=None):
        super().__init__(message)
        self.status, self.code, self.message, self.detail = status, code, message, detail

    def response(self):
        body = {'code': self.code, 'message': self.message}
        if self.detail is not None:
            body['detail'] = self.detail
        return json_response(body, self.status, headers={'Request-ID': request_id()})


def param_error(field, issue, value=None):
    detail = {'field': field, 'location': 'body', 'issue': issue}
    if value is not None:
        detail['value'] = value
    return ApiError(400, 'PARAM_ERROR', '输入源“/body%s”映射到值字段失败：%s' % (field, issue), detail)


def required(body, path, kind=str):
    """body's value at a "/a/b" path, checked for presence and type."""
    value = body
    for key in path.strip('/').split('/'):
        value = value.get(key) if isinstance(value, dict) else None
        if value is None:
            raise param_error(path, '此字段为必填项')
    if kind is int and (not isinstance(value, int) or isinstance(value, bool)):
        raise param_error(path, '必须为整数', value)
    if kind is str and (not isinstance(value, str) or not value):
        raise param_error(path, '必须为非空字符串', value)
    if kind is dict and not isinstance(value, dict):
        raise param_error(path, '必须为对象', value)
    return value


def json_body(request):
    try:
        body = json.loads(request.get_data())
    except ValueError:
        raise ApiError(400, 'PARAM_ERROR', '请求体不是合法的JSON') from None
    if not isinstance(body, dict):
        raise ApiError(400, 'PARAM_ERROR', '请求体必须是JSON对象')
    return body


def _truncated(message):
    """The signed text as WeChat Pay echoes it: four header lines and the body's start."""
    lines = message.split(b'\n', 4)
    return (b'\n'.join(lines[:4]) + b'\n' + lines[4][:8] + b'\n').decode('utf-8', 'replace')


class Apiv3:
    """The merchant's key to check requests with, the platform's to sign replies and
    notifications with."""

    def __init__(self, state):
        self.state = state
        self.config = state.config
        self._merchant_key = crypto.load_public(self.config.merchant_public_key_pem)
        self._platform_key = crypto.load_private(self.config.platform_private_key_pem)

    def handle(self, request, action, **values):
        """The signed reply of ``action(request, **values)`` to an authenticated request."""
        try:
            self.authenticate(request)
            return self.signed(action(request, **values))
        except ApiError as error:
            return error.response()

    def authenticate(self, request):
        """Checks the Authorization header against the exact bytes received."""
        params = crypto.parse_authorization(request.headers.get('Authorization'))
        if params is None:
            raise ApiError(401, 'SIGN_ERROR', 'Http头Authorization值格式错误，请参考《微信支付商户'
                                              'REST API签名规则》')
        if params['mchid'] != self.config.mchid:
            raise ApiError(401, 'SIGN_ERROR', '商户号与Authorization中的mchid不符')
        if params['serial_no'].upper() != self.config.merchant_serial.upper():
            raise ApiError(401, 'SIGN_ERROR', '商户证书序列号有误。请使用签名私钥匹配的证书序列号')
        if not params['timestamp'].isdigit() or abs(
                self.state.clock() - int(params['timestamp'])) > SIGNATURE_WINDOW:
            raise ApiError(401, 'SIGN_ERROR', 'Authorization中的timestamp已过期')
        path = request.environ.get('RAW_URI') or request.full_path.rstrip('?')
        message = crypto.signed_request_text(request.method, path, params['timestamp'],
                                             params['nonce_str'], request.get_data())
        if not crypto.verify(self._merchant_key, message, params['signature']):
            raise ApiError(401, 'SIGN_ERROR', '签名错误，请检查后再试', {
                'field': 'signature', 'location': 'authorization',
                'detail': {'issue': 'sign not match'},
                'sign_information': {
                    'method': request.method, 'url': path,
                    'sign_message_length': len(message),
                    'truncated_sign_message': _truncated(message)}})

    def signed(self, payload, status=200):
        body = compact_json(payload).encode('utf-8')
        return json_response(payload, status, headers=self.signature_headers(body))

    def signature_headers(self, body, probe=False, timestamp=None):
        """WeChat Pay's signature headers over ``body``; a ``probe`` carries the unverifiable
        signature WeChat Pay sends now and then to see that merchants check it."""
        timestamp = timestamp or str(int(self.state.clock()))
        nonce = crypto.random_nonce()
        if probe:
            signature = 'WECHATPAY/SIGNTEST/' + secrets.token_urlsafe(64)
        else:
            message = b'%s\n%s\n%s\n' % (timestamp.encode(), nonce.encode(), body)
            signature = crypto.sign(self._platform_key, message)
        return {
            'Request-ID': request_id(),
            'Wechatpay-Nonce': nonce,
            'Wechatpay-Signature': signature,
            'Wechatpay-Timestamp': timestamp,
            'Wechatpay-Serial': self.config.platform_serial,
            'Wechatpay-Signature-Type': crypto.AUTH_SCHEME,
        }


class Part:
    """One job of the service: the sandbox's state, the exchange every job shares and, for the
    jobs that tell the merchant of a change, the notifications."""

    def __init__(self, state, apiv3, notifications=None):
        self.state = state
        self.config = state.config
        self.apiv3 = apiv3
        self.notifications = notifications
