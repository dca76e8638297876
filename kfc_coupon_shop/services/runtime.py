"""The shop's process-wide services, configured from the server's configuration file.

Settings flow one way: the configuration file (``odoo.tools.config``) -> ``Settings`` ->
``configure`` -> the outbound client, the WeChat Pay client, the redaction of secrets, and the
listeners that subscribed (the host modules, which bind ``requests`` and ``APIV3_KEY`` for
their controllers). ``configure`` can point every service elsewhere later, e.g. a stand-in host
at its sandbox.

Nothing is read at import, so that the add-on loads whatever its settings: ``settings`` and
``deployment`` are read when first asked for (``runtime.settings``, ``ensure_configured()``),
the WeChat Pay client and its key files when first used (``runtime.wechatpay``); what is
missing then raises an error that names it.

The business rules do not reach for these globals: they take a ``Services`` from their caller
(``services(env)`` for the process's own), so that a test can hand them scripted ones.
"""
import dataclasses
import logging
from typing import Callable, Optional

from odoo import SUPERUSER_ID, api, http
from odoo.service.model import MAX_TRIES_ON_CONCURRENCY_FAILURE, PG_CONCURRENCY_ERRORS_TO_RETRY
from odoo.tools import config as server_config

from . import redaction
from .coupon_backend import CouponBackend
from .deployment import read_deployment
from .official_account import OfficialAccountApi
from .outbound import Outbound, OriginMap
from .settings import DEFAULT_PRODUCTID, DEFAULT_USERID, Settings
from .wechatpay import WechatPayClient

_logger = logging.getLogger(__name__)

PARAM_USERID = 'kfc_coupon_shop.coupon_backend_userid'
PARAM_PRODUCTID = 'kfc_coupon_shop.coupon_backend_productid'

requests = Outbound()
_listeners = []
_wechatpay = []     # the WeChat Pay client once made, for the settings of the moment


def __getattr__(name):
    """``settings``, ``deployment`` and ``wechatpay``, read or made when first asked for."""
    if name == 'settings':
        return ensure_configured()
    if name == 'deployment':
        return deployment_constants()
    if name == 'wechatpay':
        return wechatpay_client()
    raise AttributeError('module %r has no attribute %r' % (__name__, name))


def ensure_configured():
    """The settings, read from the server's configuration file the first time."""
    if 'settings' not in globals():
        configure(Settings.from_config(server_config))
    return globals()['settings']


def deployment_constants():
    """The constants the controllers were built with (the add-on's deployment.ini)."""
    if 'deployment' not in globals():
        globals()['deployment'] = read_deployment()
    return globals()['deployment']


def is_configured():
    return 'settings' in globals()


def configure(new_settings):
    globals()['settings'] = new_settings
    requests.timeout = new_settings.outbound_timeout
    requests.origins = OriginMap(new_settings.origin_map)
    _wechatpay.clear()
    redaction.set_secrets(_secrets_of(new_settings))
    for listener in _listeners:
        listener(new_settings)


def wechatpay_client():
    """The WeChat Pay client (None: not configured), made at its first use: its key files are
    read then, and a setting it lacks raises SettingError."""
    if not _wechatpay:
        pay = ensure_configured().wechatpay
        _wechatpay.append(None if pay is None else
                          WechatPayClient(session=requests, **pay.client_arguments()))
    return _wechatpay[0]


def subscribe(listener):
    """Call ``listener(settings)`` whenever the settings change, and now if they are read."""
    _listeners.append(listener)
    if is_configured():
        listener(globals()['settings'])


def _secrets_of(settings):
    values = []
    if settings.wechat is not None:
        values.append(settings.wechat.secret)
    if settings.wechatpay is not None:
        values.append(settings.wechatpay.apiv3_key)
    if settings.coupon_backend is not None:
        values += [settings.coupon_backend.password, settings.coupon_backend.order_signing_key]
    return values


def notify_url(path, env=None):
    """The URL at which WeChat Pay reaches ``path`` of this host: the configured public
    address, else the database's "web.base.url" (read through ``env``, else the request's)."""
    base = ensure_configured().public_url
    if not base:
        env = http.request.env if env is None else env
        base = env['ir.config_parameter'].sudo().get_param('web.base.url') or ''
    return base.rstrip('/') + path


def official_account():
    """The official account's API, through the outbound client."""
    return OfficialAccountApi(requests, deployment_constants()['wechat_api_origin'])


def coupon_backend(env):
    """The back-end account of the settings, with the merchant's ids of the database's system
    parameters (data/ir_config_parameter_data.xml); None when no account is configured."""
    account = ensure_configured().coupon_backend
    if account is None:
        return None
    params = env['ir.config_parameter'].sudo()
    constants = deployment_constants()
    return CouponBackend(
        requests, constants['coupon_catalogue_base'], constants['coupon_fulfilment_base'],
        account.account, account.password, account.order_signing_key,
        userid=int(params.get_param(PARAM_USERID) or DEFAULT_USERID),
        productid=int(params.get_param(PARAM_PRODUCTID) or DEFAULT_PRODUCTID))


def commit_now(env):
    """Commit the transaction of ``env``: what it wrote, the numbers it drew and its locks go
    out with it, so that no outside call that follows holds them."""
    env.cr.commit()


def record_now(env, write):
    """Run ``write()`` in a transaction of its own and commit it; when another transaction got
    there first (the failures and the number of tries Odoo retries a call on), run it again on
    what that one committed. For what an outside call answered: the call is not made again,
    only its outcome is written."""
    for tries_left in reversed(range(MAX_TRIES_ON_CONCURRENCY_FAILURE)):
        env.cr.commit()
        try:
            write()
            env.cr.commit()
            return
        except Exception as exc:
            if getattr(exc, 'pgcode', None) not in PG_CONCURRENCY_ERRORS_TO_RETRY \
                    or not tries_left:
                raise
            env.cr.rollback()


def rollback_now(env):
    """Roll the transaction of ``env`` back."""
    env.cr.rollback()


def run_after_commit(env, job):
    """Run ``job(env)`` once the transaction of ``env`` has committed, in a transaction of its
    own; a failure is logged (what it left open, settlement takes up)."""
    registry = env.registry

    def run():
        try:
            with registry.cursor() as cr:
                # kept in a variable: Odoo flushes at commit the environments still alive
                job_env = api.Environment(cr, SUPERUSER_ID, {})
                job(job_env)
        except Exception:
            _logger.exception('work after commit failed; settlement takes it up')
    env.cr.postcommit.add(run)


class NotConfigured(LookupError):
    """A service the shop has no settings for. The text stays English whatever the language:
    the customers' routes answer it as it is; the back office words it for the staff."""


@dataclasses.dataclass
class Services:
    """What a business rule talks to, and where its work is committed around outside calls.

    wechatpay: the WeChat Pay client (None: not configured); backend: the coupon back-end
    (None: no account configured); commit(env): commit before an outside call;
    record(env, write): write what an outside call answered, in a transaction of its own;
    rollback(env): give up an item of work that failed; after_commit(env, job): run
    ``job(env)`` once the transaction has committed; sandbox: the outside world is the local
    sandbox (a plain http notification address will do). A test of the rules in one
    transaction gives a commit that flushes, a record that writes, a rollback that raises and
    an after_commit that runs the job at once.
    """
    wechatpay: Optional[WechatPayClient] = None
    backend: Optional[CouponBackend] = None
    commit: Callable = commit_now
    record: Callable = record_now
    rollback: Callable = rollback_now
    after_commit: Callable = run_after_commit
    sandbox: bool = False

    def wechatpay_client(self):
        if self.wechatpay is None:
            raise NotConfigured('WeChat Pay is not configured')
        return self.wechatpay

    def notify_url(self, path, env):
        """Where WeChat Pay is to post its result; outside the sandbox only an https address
        will do (WeChat Pay requires it, and a plain address would show the notifications to
        anyone). LookupError otherwise."""
        url = notify_url(path, env)
        if not self.sandbox and not url.startswith('https://'):
            raise LookupError('通知地址必须是 https 地址：%s（请配置 public_url）' % url)
        return url


def services(env):
    """The process's own services, for the database of ``env``."""
    return Services(wechatpay=wechatpay_client(), backend=coupon_backend(env),
                    sandbox=ensure_configured().sandbox)
