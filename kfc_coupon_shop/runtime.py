"""The host's process-wide services, configured once at start from the Settings.

Controllers look the names `requests` and `APIV3_KEY` up in their host module at call time,
and the host functions use the WeChat Pay client and the back-end account from here, so
``configure`` can (re)point all of them, e.g. at a sandbox, after the modules are imported.
"""
import dataclasses

from kfchost import outbound as _outbound
from kfchost.config import Settings
from kfchost.wechatpay import WechatPayClient

deployment = _outbound.read_deployment()   # the constants the controllers were built with
settings = Settings()
requests = _outbound.Outbound()
wechatpay = None
registry = None     # the records of the application being served
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


def notify_url(path):
    return settings.public_url.rstrip('/') + path
