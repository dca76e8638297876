"""The WeChat Pay side of APIv3 cryptography: checking merchant signatures, signing replies and
notifications with the platform key, encrypting notification resources.

Written independently of the host's client so that a mistake shared by both sides cannot pass
unnoticed.
"""
import base64
import os
import secrets
import string

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

AUTH_SCHEME = 'WECHATPAY2-SHA256-RSA2048'
AUTH_KEYS = ('mchid', 'nonce_str', 'signature', 'timestamp', 'serial_no')
_NONCE_CHARS = string.ascii_letters + string.digits


def load_private(pem):
    return serialization.load_pem_private_key(pem.encode('ascii'), password=None)


def load_public(pem):
    return serialization.load_pem_public_key(pem.encode('ascii'))


def parse_authorization(header):
    """The five key="value" parameters of an APIv3 Authorization header, in any order.

    Returns None when the header is not of that form. Base64 holds no commas, so splitting on
    "," and then on the first "=" is safe.
    """
    scheme, _, rest = (header or '').strip().partition(' ')
    if scheme != AUTH_SCHEME:
        return None
    params = {}
    for item in rest.split(','):
        key, sep, value = item.strip().partition('=')
        if not sep or len(value) < 2 or value[0] != '"' or value[-1] != '"':
            return None
        params[key] = value[1:-1]
    if set(params) != set(AUTH_KEYS):
        return None
    return params


def signed_request_text(method, path_with_query, timestamp, nonce, body):
    return b'%s\n%s\n%s\n%s\n%s\n' % (method.encode(), path_with_query.encode('utf-8'),
                                      timestamp.encode(), nonce.encode(), body)


def verify(public_key, message, signature_b64):
    try:
        public_key.verify(base64.b64decode(signature_b64, validate=True), message,
                          padding.PKCS1v15(), hashes.SHA256())
    except (InvalidSignature, ValueError):
        return False
    return True


def sign(private_key, message):
    signature = private_key.sign(message, padding.PKCS1v15(), hashes.SHA256())
    return base64.b64encode(signature).decode('ascii')


def random_nonce(length=32):
    return ''.join(secrets.choice(_NONCE_CHARS) for _ in range(length))


def encrypt_resource(apiv3_key, plaintext, associated_data):
    """AEAD_AES_256_GCM as WeChat Pay sends it: a 12-character nonce, base64(ciphertext || tag)."""
    nonce = random_nonce(12)
    sealed = AESGCM(apiv3_key.encode('utf-8')).encrypt(
        nonce.encode('ascii'), plaintext, associated_data.encode('utf-8'))
    return nonce, base64.b64encode(sealed).decode('ascii')


def tampered(resource, part):
    """The sealed ``resource`` of a notification with one part spoilt (ciphertext, nonce or
    associated_data), so that its tag no longer opens."""
    value = resource[part]
    if part == 'ciphertext':
        raw = bytearray(base64.b64decode(value))
        raw[-1] ^= 1
        value = base64.b64encode(bytes(raw)).decode('ascii')
    else:
        value = value[:-1] + ('0' if value[-1:] != '0' else '1')
    return dict(resource, **{part: value})


def new_id(prefix, digits):
    return prefix + ''.join(str(b % 10) for b in os.urandom(digits))
