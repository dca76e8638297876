"""The shop's process-wide services, configured from the server's configuration file.

Controllers look the names `requests` and `APIV3_KEY` up in their host module at call time,
and the host functions use the WeChat Pay client and the back-end account from here. At import
the settings are read from ``odoo.tools.config`` (the configuration file Odoo was started with);
``configure`` can (re)point every service later, e.g. a stand-in host at its sandbox.
"""
import dataclasses

from odoo import http
from odoo.tools import config as server_config

from . import outbound as _outbound
from .config import DEFAULT_PRODUCTID, DEFAULT_USERID, Settings
from .wechatpay import WechatPayClient

PARAM_USERID = 'kfc_coupon_shop.coupon_backend_userid'
PARAM_PRODUCTID = 'kfc_coupon_shop.coupon_backend_productid'

deployment = _outbound.read_deployment()   # the constants the controllers were built with
settings = Settings()
requests = _outbound.Outbound()
wechatpay = None
registry = None     # a stand-in host's records, for host functions called outside a request
_namespaces = []   # globals of the host modules, whose bound names follow the settings


def configure(new_settings):
    global settings, wechatpay
    settings = new_settings
    requests.timeout = new_settings.outbound_timeout
    requests.origins = _outbound.OriginMap(new_settings.origin_map)
    pay = new_settings.wechatpay
    wechatpay = None if pay is None else WechatPayClient(session=requests, **dataclasses.asdict(pay))
    for namespace in _namespaces:
        namespace['APIV3_KEY'] = settings.apiv3_key


def register_namespace(namespace):
    """Keep a host module's globals in step with the settings."""
    namespace['requests'] = requests
    namespace['APIV3_KEY'] = settings.apiv3_key
    _namespaces.append(namespace)


def notify_url(path, env=None):
    """The URL at which WeChat Pay reaches ``path`` of this host: the configured public
    address, else the database's "web.base.url" (read through ``env``, else the request's)."""
    base = settings.public_url
    if not base:
        env = http.request.env if env is None else env
        base = env['ir.config_parameter'].sudo().get_param('web.base.url') or ''
    return base.rstrip('/') + path


def coupon_backend(env):
    """The back-end account of the settings, with the merchant's ids of the database's system
    parameters (data/ir_config_parameter_data.xml)."""
    backend = settings.coupon_backend
    params = env['ir.config_parameter'].sudo()
    return dataclasses.replace(
        backend,
        userid=int(params.get_param(PARAM_USERID) or DEFAULT_USERID),
        productid=int(params.get_param(PARAM_PRODUCTID) or DEFAULT_PRODUCTID))


configure(Settings.from_config(server_config))
