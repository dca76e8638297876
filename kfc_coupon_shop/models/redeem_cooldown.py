"""Guessing coupon codes costs the guesser, after Odoo's own login cooldown: past a number of
wrong codes within a window, every redemption of that customer, or from that client address,
is refused for a while. The counts are rows, so that every worker and host sees them."""
import datetime

from odoo import api, fields, models

from ..services.clients import client_key

PARAM = 'kfc_coupon_shop.redeem_cooldown_'
DEFAULTS = {'after': 5, 'after_address': 50, 'window': 15, 'duration': 15}   # minutes

# One statement counts a failure: in the window of the first one, or as the first of a new one.
_COUNT = """
    INSERT INTO kfc_redeem_cooldown (key, failures, window_start) VALUES (%(key)s, 1, %(now)s)
    ON CONFLICT (key) DO UPDATE
       SET failures = CASE WHEN kfc_redeem_cooldown.window_start >= %(window_begin)s
                           THEN kfc_redeem_cooldown.failures + 1 ELSE 1 END,
           window_start = CASE WHEN kfc_redeem_cooldown.window_start >= %(window_begin)s
                               THEN kfc_redeem_cooldown.window_start ELSE %(now)s END
    RETURNING failures
"""


class KfcRedeemCooldown(models.Model):
    _name = 'kfc.redeem.cooldown'
    _description = 'Wrong coupon codes of a customer or address'

    # "customer <id>" or "address <address>"
    key = fields.Char(string='Customer or address', required=True, readonly=True)
    failures = fields.Integer(string='Wrong codes', readonly=True)
    window_start = fields.Datetime(string='Counted since', readonly=True)
    cooling_until = fields.Datetime(string='Refused until', readonly=True)

    _sql_constraints = [('key_uniq', 'unique (key)', 'One count per customer or address.')]

    @api.model
    def _kfc_keys(self, user, httprequest):
        """(key, failures allowed) of the customer ``user`` (none for a token of nobody) and of
        the request's client address."""
        keys = [('address %s' % client_key(httprequest), self._kfc_setting('after_address'))]
        if user:
            keys.append(('customer %d' % user.id, self._kfc_setting('after')))
        return keys

    @api.model
    def _kfc_cooling(self, user, httprequest, now=None):
        """Whether the customer or the client address is cooling down. Their rows stay locked
        to the end of the transaction, so one customer's attempts are counted one at a time."""
        now = now or fields.Datetime.now()
        keys = tuple(key for key, _allowed in self._kfc_keys(user, httprequest))
        self.flush_model()
        self.env.cr.execute('SELECT cooling_until FROM kfc_redeem_cooldown WHERE key IN %s '
                            'ORDER BY key FOR UPDATE', (keys,))
        return any(until and fields.Datetime.to_datetime(until) > now
                   for [until] in self.env.cr.fetchall())

    @api.model
    def _kfc_count_failure(self, user, httprequest, now=None):
        """Count a wrong code (or a token of nobody) against the customer and the address; the
        one that reaches its number of failures cools down, its count starting again after."""
        now = now or fields.Datetime.now()
        window_begin = now - datetime.timedelta(minutes=self._kfc_setting('window'))
        cooling_until = now + datetime.timedelta(minutes=self._kfc_setting('duration'))
        for key, allowed in self._kfc_keys(user, httprequest):
            self.env.cr.execute(_COUNT, {'key': key, 'now': now, 'window_begin': window_begin})
            [failures] = self.env.cr.fetchone()
            if failures >= allowed:
                self.env.cr.execute(
                    'UPDATE kfc_redeem_cooldown SET cooling_until = %s, failures = 0, '
                    'window_start = NULL WHERE key = %s', (cooling_until, key))
        self.invalidate_model()

    @api.model
    def _kfc_setting(self, name):
        value = self.env['ir.config_parameter'].sudo().get_param(PARAM + name)
        try:
            return max(int(value), 1)
        except (TypeError, ValueError):
            return DEFAULTS[name]

    @api.autovacuum
    def _gc_cooled_down(self):
        """Counts whose window and cooling have both ended say nothing any more."""
        now = fields.Datetime.now()
        window_begin = now - datetime.timedelta(minutes=self._kfc_setting('window'))
        self.env.cr.execute(
            'DELETE FROM kfc_redeem_cooldown WHERE (window_start IS NULL OR window_start < %s) '
            'AND (cooling_until IS NULL OR cooling_until < %s)', (window_begin, now))
