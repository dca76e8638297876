"""Credentials and settings of the simulated outside services.

Every field has a default so that `SandboxConfig()` is a working sandbox. RSA key pairs and the
APIv3 key are generated at construction when not given, so no private key lives in the code.
`host_settings()` hands the host everything it must be configured with to talk to this sandbox;
`addon_section()` writes it as the host add-on reads its settings: a `[kfc_coupon_shop]` section
of the server's configuration file, with the keys in files.
"""
import argparse
import dataclasses
import os
import secrets
import string
from typing import Optional

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import rsa

_ALNUM = string.ascii_letters + string.digits


def _pem_private(key):
    return key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                             serialization.NoEncryption()).decode('ascii')


def _pem_public(key):
    return key.public_bytes(serialization.Encoding.PEM,
                            serialization.PublicFormat.SubjectPublicKeyInfo).decode('ascii')


def generate_rsa_pem():
    return _pem_private(rsa.generate_private_key(public_exponent=65537, key_size=2048))


def public_pem_of(private_pem):
    key = serialization.load_pem_private_key(private_pem.encode('ascii'), password=None)
    return _pem_public(key.public_key())


def generate_apiv3_key():
    return ''.join(secrets.choice(_ALNUM) for _ in range(32))


def _default_accounts():
    # Back-end accounts of the menu query: (ticket, deviceid) pairs the back-end recognises.
    return [
        {'ticket': 'TK-7F3A91C2D4E5', 'deviceid': 'DEV-RW-0001'},
        {'ticket': 'TK-2B8E4F60A1C3', 'deviceid': 'DEV-RW-0002'},
    ]


# How long the kitchen of `./dev serve` (with or without --odoo) takes over a dish.
SERVE_KITCHEN_SECONDS = '5'
KITCHEN_HELP = ("the sandbox's kitchen finishes each dish this many seconds after it arrives; "
                "'off': it waits for /sandbox/coupon/finish or fail (default: %(default)s)")


def kitchen_seconds(text):
    """The serve commands' --kitchen-seconds: seconds from 0 to 3600, or None for 'off'."""
    if text == 'off':
        return None
    try:
        seconds = float(text)
    except ValueError:
        seconds = -1.0
    if not 0 <= seconds <= 3600:
        raise argparse.ArgumentTypeError("give seconds from 0 to 3600, or 'off'")
    return seconds


@dataclasses.dataclass
class SandboxConfig:
    # WeChat official account (OAuth, access token, JS-SDK ticket, template messages).
    wechat_appid: str = 'wx7d3f5a9c2e1b4068'
    wechat_secret: str = 'a3f1c9e27b5d48f0a6c2e9b17d3f5a08'
    unionid_bound: bool = True            # the account is bound to an Open Platform account
    template_id: str = 'Rw7pQ2xLk9_TmPickUp-3vNcB8dZ4hY6sJ0aF5gE1iO'
    default_nickname: str = '张三🍔'      # the user of the browser authorize page
    browser_location: tuple = (31.2304, 121.4737)   # what wx.getLocation answers: Shanghai
    oauth_code_ttl: int = 300             # seconds an OAuth code stays usable
    token_ttl: int = 7200                 # access tokens and tickets

    # WeChat Pay APIv3 merchant.
    mchid: str = '1900012345'
    merchant_name: str = '兑换券点餐（沙箱商户）'     # whom the payment sheet says the payer pays
    merchant_serial: str = '5E7B0C2A9F4D1E83B6A05C7D9E2F1A4B3C8D6E01'
    merchant_private_key_pem: Optional[str] = None   # generated when neither PEM is given
    merchant_public_key_pem: Optional[str] = None    # what the simulator verifies with
    platform_private_key_pem: Optional[str] = None   # signs replies and notifications
    platform_serial: str = 'PUB_KEY_ID_0119000123452025010100318200000001'
    apiv3_key: Optional[str] = None                  # 32 characters; generated when not given
    notify_timeout: float = 5.0                      # WeChat Pay waits this long for an answer
    notify_retry_scale: float = 1.0                  # redelivery schedule factor (tests: small)

    # Tencent Map web service.
    tencent_map_key: str = 'K7QDM-PL3RA-ZX8NW-4TEUV-B9HCJ-6MYFS'

    # Coupon back-end.
    backend_account: str = 'rw-sandbox'
    backend_password: str = 'Sandbox#2024'
    backend_accounts: list = dataclasses.field(default_factory=_default_accounts)
    backend_token_ttl: int = 7200
    order_signing_key: Optional[str] = None         # generated when not given
    order_ts_window: int = 300            # seconds an order-entry "ts" may be off
    pickup_phone: str = '13912345678'     # phone reported with a finished dish
    # The kitchen finishes each dish this many seconds after it arrives; None: it holds every
    # dish until the control side finishes or refuses it (the tests' and benches' kitchen).
    kitchen_seconds: Optional[float] = None

    def __post_init__(self):
        if self.merchant_private_key_pem is None and self.merchant_public_key_pem is None:
            self.merchant_private_key_pem = generate_rsa_pem()
        if self.merchant_public_key_pem is None:
            self.merchant_public_key_pem = public_pem_of(self.merchant_private_key_pem)
        if self.platform_private_key_pem is None:
            self.platform_private_key_pem = generate_rsa_pem()
        if self.apiv3_key is None:
            self.apiv3_key = generate_apiv3_key()
        if self.order_signing_key is None:
            self.order_signing_key = secrets.token_urlsafe(12)
        if len(self.apiv3_key.encode('utf-8')) != 32:
            raise ValueError('the APIv3 key must be 32 bytes')

    @property
    def platform_public_key_pem(self):
        return public_pem_of(self.platform_private_key_pem)

    @classmethod
    def from_deployment(cls, deployment, **overrides):
        """Defaults aligned with the deployment constants the controllers were built with."""
        fields = {}
        if deployment.get('tencent_map_key'):
            fields['tencent_map_key'] = deployment['tencent_map_key']
        if deployment.get('pickup_template_id'):
            fields['template_id'] = deployment['pickup_template_id']
        fields.update(overrides)
        return cls(**fields)

    def host_settings(self):
        """What the host must be configured with to use this sandbox as its outside world."""
        return {
            'wechat': {'app_id': self.wechat_appid, 'secret': self.wechat_secret},
            'wechatpay': {
                'mchid': self.mchid,
                'appid': self.wechat_appid,
                'merchant_serial': self.merchant_serial,
                'merchant_private_key': self.merchant_private_key_pem,
                'apiv3_key': self.apiv3_key,
                'platform_public_key': self.platform_public_key_pem,
                'platform_serial': self.platform_serial,
            },
            'coupon_backend': {
                'account': self.backend_account,
                'password': self.backend_password,
                'accounts': [dict(account) for account in self.backend_accounts],
                'order_signing_key': self.order_signing_key,
            },
            'template_id': self.template_id,
            'tencent_map_key': self.tencent_map_key,
        }

    def addon_section(self, key_dir, public_url, sandbox_url):
        """See ``addon_section``."""
        return addon_section(self.host_settings(), key_dir, public_url, sandbox_url)


def addon_section(host_settings, key_dir, public_url, sandbox_url):
    """The [kfc_coupon_shop] section of a host's configuration file that makes the sandbox
    listening at ``sandbox_url`` its outside world, the host reachable at ``public_url``.

    ``host_settings`` is what the sandbox hands out (``SandboxConfig.host_settings()``, or its
    control endpoint ``GET /sandbox/config``). The two PEM keys are written into ``key_dir``,
    readable by the owner only."""
    wechat, pay, backend = (host_settings['wechat'], host_settings['wechatpay'],
                            host_settings['coupon_backend'])
    os.makedirs(key_dir, exist_ok=True)
    files = {}
    for name, pem in (('merchant_key.pem', pay['merchant_private_key']),
                      ('platform_key.pem', pay['platform_public_key'])):
        files[name] = os.path.join(os.path.abspath(key_dir), name)
        with open(os.open(files[name], os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600),
                  'w', encoding='ascii') as handle:
            handle.write(pem)
    return {
        'public_url': public_url,
        'sandbox_url': sandbox_url,
        'outbound_timeout': '5, 15',
        'wechat_appid': wechat['app_id'],
        'wechat_secret': wechat['secret'],
        'wechatpay_mchid': pay['mchid'],
        'wechatpay_appid': pay['appid'],
        'wechatpay_merchant_serial': pay['merchant_serial'],
        'wechatpay_private_key_file': files['merchant_key.pem'],
        'wechatpay_apiv3_key': pay['apiv3_key'],
        'wechatpay_platform_public_key_file': files['platform_key.pem'],
        'wechatpay_platform_serial': pay['platform_serial'],
        'coupon_backend_account': backend['account'],
        'coupon_backend_password': backend['password'],
        'coupon_backend_order_signing_key': backend['order_signing_key'],
    }
