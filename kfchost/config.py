"""Run-time settings of the host: database, public address, credentials of the outside services.

Credentials never live in code. In production they come from an INI file (``kfchost.ini``, see
``Settings.from_ini``); in sandbox mode from the sandbox, which generated them.
"""
import configparser
import dataclasses
import os
from typing import Optional

from kfchost import outbound
from kfchost.wechatpay import PRODUCTION_BASE_URL as WECHATPAY_ORIGIN


@dataclasses.dataclass
class WechatPaySettings:
    mchid: str
    appid: str
    merchant_serial: str
    merchant_private_key: str          # PEM text
    apiv3_key: str                     # 32 characters
    platform_public_key: Optional[str] = None
    platform_serial: Optional[str] = None
    base_url: str = WECHATPAY_ORIGIN


@dataclasses.dataclass
class CouponBackendSettings:
    account: str
    password: str
    order_signing_key: str
    userid: int = 2024050              # the merchant's user id at the back-end
    productid: int = 2                 # the back-end's product line for meal orders


@dataclasses.dataclass
class Settings:
    db_path: str = 'var/kfchost.sqlite3'
    # Address at which WeChat Pay reaches this host (notification URLs are built from it).
    public_url: str = 'http://127.0.0.1:8069'
    wechatpay: Optional[WechatPaySettings] = None
    coupon_backend: Optional[CouponBackendSettings] = None
    origin_map: dict = dataclasses.field(default_factory=dict)   # sandbox: origin -> simulator
    sandbox: bool = False              # the outside world is the local sandbox
    outbound_timeout: tuple = outbound.DEFAULT_TIMEOUT

    @property
    def apiv3_key(self):
        return self.wechatpay.apiv3_key if self.wechatpay else ''

    @classmethod
    def for_sandbox(cls, sandbox_url, sandbox_settings, db_path, public_url):
        """Settings that use the sandbox at ``sandbox_url`` as every outside service.

        ``sandbox_settings`` is what the sandbox's ``host_settings()`` hands out."""
        pay = dict(sandbox_settings['wechatpay'])
        backend = sandbox_settings['coupon_backend']
        origins = outbound.deployment_origins(outbound.read_deployment()) + [WECHATPAY_ORIGIN]
        return cls(
            db_path=db_path,
            public_url=public_url,
            wechatpay=WechatPaySettings(**pay),
            coupon_backend=CouponBackendSettings(
                account=backend['account'], password=backend['password'],
                order_signing_key=backend['order_signing_key']),
            origin_map=outbound.sandbox_origin_map(sandbox_url, origins),
            sandbox=True,
        )

    @classmethod
    def from_ini(cls, path):
        """Production settings. Sections and keys:

        [host]            db_path, public_url (the https address at which WeChat Pay reaches
                          this host; it stands whatever address the server listens on)
        [wechatpay]       mchid, appid, merchant_serial, merchant_private_key_file,
                          apiv3_key (or the environment variable KFCHOST_APIV3_KEY),
                          platform_public_key_file, platform_serial
        [coupon_backend]  account, password, order_signing_key, userid, productid
        """
        parser = configparser.ConfigParser(interpolation=None)
        with open(path, encoding='utf-8') as handle:
            parser.read_file(handle)
        host = parser['host'] if parser.has_section('host') else {}
        settings = cls(db_path=host.get('db_path', cls.db_path),
                       public_url=host.get('public_url', cls.public_url))
        if parser.has_section('wechatpay'):
            settings.wechatpay = _wechatpay_from(parser['wechatpay'], os.path.dirname(path))
        if parser.has_section('coupon_backend'):
            section = parser['coupon_backend']
            settings.coupon_backend = CouponBackendSettings(
                account=section['account'], password=section['password'],
                order_signing_key=section['order_signing_key'],
                userid=section.getint('userid', 2024050), productid=section.getint('productid', 2))
        return settings


def _read_text(path, base):
    with open(os.path.join(base, path), encoding='ascii') as handle:
        return handle.read()


def _wechatpay_from(section, base):
    public_key_file = section.get('platform_public_key_file')
    return WechatPaySettings(
        mchid=section['mchid'],
        appid=section['appid'],
        merchant_serial=section['merchant_serial'],
        merchant_private_key=_read_text(section['merchant_private_key_file'], base),
        apiv3_key=os.environ.get('KFCHOST_APIV3_KEY') or section['apiv3_key'],
        platform_public_key=_read_text(public_key_file, base) if public_key_file else None,
        platform_serial=section.get('platform_serial'),
        base_url=section.get('base_url', WECHATPAY_ORIGIN),
    )
