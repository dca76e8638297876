"""Settings of the shop: public address, credentials of the outside services, outbound client.

Credentials never live in code or in the database. They come from the server's configuration
file, section ``[kfc_coupon_shop]`` (Odoo keeps the sections of its configuration file other
than ``[options]`` in ``odoo.tools.config.misc``); see ``Settings.from_config`` and the README.
That section is the only way in, in sandbox mode too: the sandbox writes one for its host.
Key files are read, and the WeChat Pay settings checked, when the WeChat Pay client is made
(``WechatPaySettings.client_arguments``), not when the settings are read.
"""
import dataclasses
import ipaddress
import os
import re
from typing import Optional

from . import deployment, outbound
from .wechatpay import PRODUCTION_BASE_URL as WECHATPAY_ORIGIN

SECTION = 'kfc_coupon_shop'
APIV3_KEY_VARIABLE = 'KFC_COUPON_SHOP_APIV3_KEY'
DEFAULT_USERID = 2024050            # the merchant's user id at the back-end
DEFAULT_PRODUCTID = 2               # the back-end's product line for meal orders
DEFAULT_BACKOFFICE_NETWORKS = '127.0.0.0/8, ::1/128'
DEFAULT_KITCHEN_POOL = 16           # dishes a run of the kitchen's dispatcher hands over at once


@dataclasses.dataclass
class WechatAccountSettings:
    """The official account (OAuth, access token, JS-SDK, template messages)."""
    app_id: str
    secret: str


class SettingError(ValueError):
    """A setting of the [kfc_coupon_shop] section that is missing or cannot be used; the
    message names it."""


@dataclasses.dataclass
class WechatPaySettings:
    mchid: str
    appid: str
    merchant_serial: str
    merchant_private_key: Optional[str]     # PEM text, else read from the file below
    apiv3_key: str                          # 32 characters
    platform_public_key: Optional[str] = None
    platform_serial: Optional[str] = None
    base_url: str = WECHATPAY_ORIGIN
    merchant_private_key_file: Optional[str] = None
    platform_public_key_file: Optional[str] = None

    REQUIRED = (('appid', 'wechatpay_appid'), ('merchant_serial', 'wechatpay_merchant_serial'),
                ('apiv3_key', 'wechatpay_apiv3_key'))

    def client_arguments(self):
        """The WeChat Pay client's arguments, the key files read now; SettingError names the
        setting that is missing or whose file cannot be read."""
        for field, key in self.REQUIRED:
            if not getattr(self, field):
                raise SettingError('[%s] %s is not set: WeChat Pay (wechatpay_mchid) needs it'
                                   % (SECTION, key))
        private_key = self.merchant_private_key or _read_key(
            self.merchant_private_key_file, 'wechatpay_private_key_file')
        public_key = self.platform_public_key or (
            _read_key(self.platform_public_key_file, 'wechatpay_platform_public_key_file')
            if self.platform_public_key_file else None)
        return dict(mchid=self.mchid, appid=self.appid, merchant_serial=self.merchant_serial,
                    merchant_private_key=private_key, apiv3_key=self.apiv3_key,
                    platform_public_key=public_key, platform_serial=self.platform_serial,
                    base_url=self.base_url)


@dataclasses.dataclass
class CouponBackendSettings:
    account: str
    password: str
    order_signing_key: str
    userid: int = DEFAULT_USERID
    productid: int = DEFAULT_PRODUCTID


@dataclasses.dataclass
class Settings:
    # Address at which WeChat Pay reaches this host (notification URLs are built from it);
    # empty: the database's "web.base.url".
    public_url: str = ''
    # The official account; when given, it is the "wxapi" record's (api.config).
    wechat: Optional[WechatAccountSettings] = None
    wechatpay: Optional[WechatPaySettings] = None
    coupon_backend: Optional[CouponBackendSettings] = None
    origin_map: dict = dataclasses.field(default_factory=dict)   # sandbox: origin -> simulator
    sandbox: bool = False              # the outside world is the local sandbox
    outbound_timeout: tuple = outbound.DEFAULT_TIMEOUT
    # The networks whose clients may call the back-office routes.
    backoffice_networks: tuple = dataclasses.field(
        default_factory=lambda: parse_networks(DEFAULT_BACKOFFICE_NETWORKS))
    kitchen_pool: int = DEFAULT_KITCHEN_POOL

    @property
    def apiv3_key(self):
        return self.wechatpay.apiv3_key if self.wechatpay else ''

    @classmethod
    def from_config(cls, config):
        """Settings from the section ``[kfc_coupon_shop]`` of the server's configuration file
        (``config`` is ``odoo.tools.config``). Keys, all optional:

        public_url                       address WeChat Pay notifies (else web.base.url)
        wechat_appid, wechat_secret      the official account, both or neither: written onto
                                         the "wxapi" record at each start
        wechatpay_mchid, wechatpay_appid, wechatpay_merchant_serial,
        wechatpay_private_key_file       PEM file of the merchant's API key
        wechatpay_apiv3_key              or the environment variable KFC_COUPON_SHOP_APIV3_KEY
        wechatpay_platform_public_key_file, wechatpay_platform_serial, wechatpay_base_url
        coupon_backend_account, coupon_backend_password, coupon_backend_order_signing_key
        outbound_timeout                 connect and read time-outs in seconds: "5, 15"
        backoffice_networks              networks (CIDR, separated by commas or blanks) whose
                                         clients may call the back-office routes; loopback
        kitchen_pool                     dishes the kitchen's dispatcher hands over at once
                                         (16; at most 2 on the stand-in)
        sandbox_url                      send every outside call to this simulator (which
                                         also lets WeChat Pay notify a plain http address)
        outbound_origins                 or map origins one by one: "https://a.example=http://..."
                                         pairs separated by commas or new lines

        Relative file names are read beside the configuration file.
        """
        section = dict(config.misc.get(SECTION, {}))
        base = os.path.dirname(getattr(config, 'rcfile', None) or '') or os.getcwd()
        settings = cls(public_url=section.get('public_url', ''))
        if section.get('wechat_appid') or section.get('wechat_secret'):
            settings.wechat = _wechat_from(section)
        if section.get('wechatpay_mchid'):
            settings.wechatpay = _wechatpay_from(section, base)
        if section.get('coupon_backend_account'):
            settings.coupon_backend = CouponBackendSettings(
                account=section['coupon_backend_account'],
                password=section.get('coupon_backend_password', ''),
                order_signing_key=section.get('coupon_backend_order_signing_key', ''))
        if section.get('outbound_timeout'):
            settings.outbound_timeout = parse_timeout(section['outbound_timeout'])
        if section.get('backoffice_networks'):
            settings.backoffice_networks = parse_networks(section['backoffice_networks'])
        if section.get('kitchen_pool'):
            settings.kitchen_pool = parse_pool(section['kitchen_pool'])
        if section.get('sandbox_url'):
            settings.origin_map = sandbox_origin_map(section['sandbox_url'])
            settings.sandbox = True
        settings.origin_map.update(parse_origin_map(section.get('outbound_origins', '')))
        return settings


def sandbox_origin_map(sandbox_url):
    """Every production origin the shop calls (deployment constants, WeChat Pay) -> the sandbox."""
    origins = deployment.deployment_origins(deployment.read_deployment()) + [WECHATPAY_ORIGIN]
    return outbound.sandbox_origin_map(sandbox_url, origins)


def parse_timeout(text):
    """"5, 15" -> (5.0, 15.0); one number -> the same for the connect and the read."""
    parts = [float(part) for part in re.split(r'[,\s]+', text.strip()) if part]
    if len(parts) == 1:
        parts *= 2
    if len(parts) != 2 or not all(0 < part < float('inf') for part in parts):
        raise ValueError('outbound_timeout: give one or two positive numbers of seconds, not %r'
                         % text)
    return tuple(parts)


def parse_pool(text):
    """"16" -> 16: a whole number from 1 to 256."""
    try:
        size = int(text)
    except ValueError:
        size = 0
    if not 1 <= size <= 256:
        raise ValueError('kitchen_pool: give a whole number from 1 to 256, not %r' % text)
    return size


def parse_networks(text):
    """"10.1.0.0/16, 127.0.0.1" -> (IPv4Network('10.1.0.0/16'), IPv4Network('127.0.0.1/32'))."""
    try:
        return tuple(ipaddress.ip_network(part) for part in re.split(r'[,\s]+', text.strip())
                     if part)
    except ValueError as exc:
        raise ValueError('backoffice_networks: %s' % exc) from None


def parse_origin_map(text):
    """"https://a.example=http://127.0.0.1:8070, ..." -> {origin: base}."""
    mapping = {}
    for item in re.split(r'[,\n]', text):
        item = item.strip()
        if not item:
            continue
        origin, sep, base = item.partition('=')
        if not sep or not origin.strip() or not base.strip():
            raise ValueError('outbound_origins: expected origin=base, not %r' % item)
        mapping[origin.strip()] = base.strip()
    return mapping


def _read_key(path, key):
    if not path:
        raise SettingError('[%s] %s is not set: WeChat Pay (wechatpay_mchid) needs it'
                           % (SECTION, key))
    try:
        with open(path, encoding='ascii') as handle:
            return handle.read()
    except (OSError, UnicodeDecodeError) as exc:
        raise SettingError('[%s] %s: cannot read %s (%s)' % (
            SECTION, key, path, getattr(exc, 'strerror', None) or exc)) from None


def _wechat_from(section):
    if not (section.get('wechat_appid') and section.get('wechat_secret')):
        raise ValueError('wechat_appid and wechat_secret: give both, or neither to keep the '
                         'credentials of the "wxapi" record')
    return WechatAccountSettings(app_id=section['wechat_appid'], secret=section['wechat_secret'])


def _wechatpay_from(section, base):
    """The WeChat Pay settings as given; checked, and their key files read, at first use."""
    def file_of(key):
        return os.path.join(base, section[key]) if section.get(key) else None
    return WechatPaySettings(
        mchid=section['wechatpay_mchid'],
        appid=section.get('wechatpay_appid', ''),
        merchant_serial=section.get('wechatpay_merchant_serial', ''),
        merchant_private_key=None,
        merchant_private_key_file=file_of('wechatpay_private_key_file'),
        apiv3_key=os.environ.get(APIV3_KEY_VARIABLE) or section.get('wechatpay_apiv3_key', ''),
        platform_public_key_file=file_of('wechatpay_platform_public_key_file'),
        platform_serial=section.get('wechatpay_platform_serial'),
        base_url=section.get('wechatpay_base_url') or WECHATPAY_ORIGIN,
    )
