"""Configuration records: outside API credentials, back-end accounts, front-end keyword lists;
the official account's access token, kept on its credentials record for its lifetime, and its
pick-up message; the coupon back-end's catalogue token."""
import datetime
import functools
import logging

from odoo import SUPERUSER_ID, _, api, fields, models
from odoo.service.model import PG_CONCURRENCY_ERRORS_TO_RETRY

from ..services import runtime
from ..services.redaction import redact
from ..tools.locking import lock_rows

_logger = logging.getLogger(__name__)

WECHAT_ACCOUNT = 'wxapi'
# WeChat's errcodes for an access token it no longer takes: invalid (a newer one was fetched
# elsewhere), expired.
STALE_TOKEN_CODES = (40001, 42001)
TOKEN_LIFETIME = 7200           # seconds, when WeChat's reply does not say
RENEWAL_MARGIN = 300            # renewed this long before WeChat retires it
TOKEN_TRIES = 3


class ApiConfig(models.Model):
    _name = 'api.config'
    _description = 'Outside API credentials'

    name = fields.Char(required=True, index=True)      # "wxapi": the WeChat official account
    app_id = fields.Char(string='AppID')
    # Administrators only (the routes read it in superuser mode); masked in the form.
    secret = fields.Char(groups='base.group_system', copy=False)
    # WeChat allows about 2,000 token fetches a day, and each retires the token before: the
    # token is kept here and fetched again only near its end or once WeChat refuses it.
    access_token = fields.Char(string='Access token', groups='base.group_system', copy=False)
    access_token_expiry = fields.Datetime(string='Access token renewed from', copy=False)  # renewed from this moment on

    def write(self, vals):
        if {'app_id', 'secret'} & set(vals):
            vals = dict(vals, access_token=False, access_token_expiry=False)
        return super().write(vals)

    def _register_hook(self):
        super()._register_hook()
        self._kfc_apply_settings()

    @api.model
    def _kfc_apply_settings(self):
        """The official account of the settings (wechat_appid, wechat_secret), when they name
        one, is the "wxapi" record's: the configuration file stands over the database, as for
        every other credential. Run as the server loads the database (install, update, each
        start); the record is written only when it differs, which drops the token it kept.

        Servers starting together write the same values: one that lost the race leaves the
        record to the other."""
        account = runtime.settings.wechat
        if account is None:
            return
        values = {'app_id': account.app_id, 'secret': account.secret}
        try:
            with self.env.cr.savepoint():
                record = self.sudo().search([('name', '=', WECHAT_ACCOUNT)], limit=1)
                if not record:
                    record.create(dict(values, name=WECHAT_ACCOUNT))
                elif (record.app_id, record.secret) != (account.app_id, account.secret):
                    record.write(values)
        except Exception as exc:
            if getattr(exc, 'pgcode', None) not in PG_CONCURRENCY_ERRORS_TO_RETRY:
                raise
            _logger.info('the official account of the settings is being written by another server')

    @api.model
    def _kfc_wechat_token(self, refused=None):
        """The official account's access token; WeChat's reply when it gives none.

        refused: a token WeChat just answered 40001 or 42001 to; another one is fetched unless
        the account already keeps a newer one.

        The token is read and renewed in a transaction of its own: a request sees what other
        workers committed a moment ago, and the row lock that makes concurrent renewals fetch
        once ends with the renewal, not with the request. A renewal that waited for that lock
        finds the token the first one fetched (on PostgreSQL its snapshot went stale: it tries
        again in a fresh transaction, which reads that token)."""
        for tries_left in reversed(range(TOKEN_TRIES)):
            try:
                with self.env.registry.cursor() as cr:
                    # Odoo flushes the writes of the environments alive at commit: keep it.
                    env = api.Environment(cr, SUPERUSER_ID, {})
                    token = env['api.config']._kfc_token_now(refused)
                return token
            except Exception as exc:
                if getattr(exc, 'pgcode', None) not in PG_CONCURRENCY_ERRORS_TO_RETRY \
                        or not tries_left:
                    raise
        raise RuntimeError('unreachable')

    @api.model
    def _kfc_token_now(self, refused):
        account = self.search([('name', '=', WECHAT_ACCOUNT)], limit=1)
        token = account._kfc_kept_token(refused)
        if not token:
            lock_rows(account)
            token = account._kfc_kept_token(refused) or account._kfc_fetch_token()
        return token

    def _kfc_kept_token(self, refused):
        if (self.access_token and self.access_token != refused
                and self.access_token_expiry and self.access_token_expiry > fields.Datetime.now()):
            return self.access_token
        return False

    def _kfc_fetch_token(self):
        reply = runtime.official_account().fetch_token(self.app_id, self.secret)
        token = reply.get('access_token') if isinstance(reply, dict) else None
        if not token or not isinstance(token, str):
            return reply
        if self:
            self.write({'access_token': token, 'access_token_expiry': fields.Datetime.now()
                        + datetime.timedelta(seconds=renewal_after(reply.get('expires_in')))})
        return token

    # -- the pick-up message -----------------------------------------------------------------

    @api.model
    def _kfc_send_pick_message(self, openid, store_name, out_trade_no, pick_code, pick_type,
                               create_date, phone):
        """Tell the customer the pick-up codes, once this transaction's work is committed: work
        rolled back announces nothing, and the calls to WeChat hold none of its locks. A
        failure is logged, never raised: the dish is ready whether or not the message reaches
        the customer."""
        values = {
            'first': '尊敬的用户，您的美食下单完成，请前往餐厅凭取餐码取餐。',
            'keyword1': store_name or '',
            'keyword2': out_trade_no or '',
            'keyword3': (pick_code or '').replace("'", ''),
            'keyword4': pick_type or '',
            'keyword5': create_date or '',
            'remark': '取餐手机尾号：%s' % phone if phone else '',
        }
        self.env.cr.postcommit.add(functools.partial(_send_logged, self.env.registry, openid,
                                                     values))


def renewal_after(expires_in):
    """Seconds after which a token WeChat gave for ``expires_in`` seconds is renewed."""
    lifetime = expires_in if type(expires_in) is int and expires_in > 0 else TOKEN_LIFETIME
    return max(lifetime - RENEWAL_MARGIN, lifetime // 2)


class AccountConfig(models.Model):
    _name = 'account.config'
    _description = 'Coupon back-end account'

    name = fields.Char()
    effective = fields.Boolean(default=True)
    ticket = fields.Char(groups='base.group_system', copy=False)   # a credential, as above
    deviceid = fields.Char(string='Device id')

    def name_get(self):
        return [(account.id, account.name or account.deviceid or '') for account in self]

    def action_kfc_switch_on(self):
        """Ask the back-end's menus through these accounts again (the menu switches off an
        account the back-end no longer recognises)."""
        self.write({'effective': True})

    @api.model
    def _kfc_renew_backend_token(self, backend=None):
        """A fresh token of the coupon back-end's account (``backend``, the process's own when
        not given), kept as the system parameter "token" that the catalogue's requests carry."""
        backend = backend or runtime.coupon_backend(self.env)
        if backend is None:
            raise LookupError(_('the coupon back-end account is not configured'))
        token = backend.login()
        self.env['ir.config_parameter'].sudo().set_param('token', token)
        return token


class KeywordConfig(models.Model):
    _name = 'keyword.config'
    _description = 'Front-end keyword list'

    name = fields.Char(required=True, index=True)      # the list's type key
    keyword = fields.Text()                            # entries separated by "，"


def _send_logged(registry, openid, values):
    try:
        with registry.cursor() as cr:
            env = api.Environment(cr, SUPERUSER_ID, {})
            try:
                reply = _send(env, openid, values)
            except Exception as exc:
                _logger.warning('pick-up message to %s failed: %s', openid, redact(exc))
                reply = exc
            env['api.log']._kfc_log('取餐通知', '微信', reply)
    except Exception:       # after the commit: nothing may fail the request any more
        _logger.exception('pick-up message to %s not logged', openid)


def _send(env, openid, values):
    """WeChat's reply to the message; sent again once with a renewed token when WeChat no
    longer takes the kept one."""
    message = {
        'touser': openid,
        'template_id': runtime.deployment['pickup_template_id'],
        'url': '',
        'data': {key: {'value': value} for key, value in values.items()},
    }
    refused = None
    for _attempt in range(2):
        token = env['api.config']._kfc_wechat_token(refused)
        if not isinstance(token, str):
            return token
        reply = runtime.official_account().send_template(token, message)
        if not (isinstance(reply, dict) and reply.get('errcode') in STALE_TOKEN_CODES):
            break
        refused = token
    return reply
