"""Per-address budgets of the routes that spend an outside quota (``services.limits``): a token
bucket per client address and zone, kept as a row so that every worker and host counts alike."""
import json
import math
import time

from werkzeug.exceptions import TooManyRequests

from odoo import api, fields, models
from odoo.http import Response

from ..services.clients import client_key
from ..services.limits import LIMIT_OF_ROUTE, TOO_MANY_REQUESTS

# One statement spends a request or changes nothing (GCRA: the bucket is kept as the moment it
# is full again; a request costs one interval, and the bucket holds 1 + burst of them).
_SPEND = """
    INSERT INTO kfc_rate_bucket (key, full_at) VALUES (%(key)s, %(now)s + %(interval)s)
    ON CONFLICT (key) DO UPDATE
       SET full_at = CASE WHEN kfc_rate_bucket.full_at > %(now)s THEN kfc_rate_bucket.full_at
                          ELSE %(now)s END + %(interval)s
     WHERE CASE WHEN kfc_rate_bucket.full_at > %(now)s THEN kfc_rate_bucket.full_at
                ELSE %(now)s END <= %(now)s + %(tolerance)s
    RETURNING id
"""


class KfcRateBucket(models.Model):
    _name = 'kfc.rate.bucket'
    _description = 'Request budget of a client address'

    key = fields.Char(string='Zone and address', required=True, readonly=True)
    full_at = fields.Float(string='Whole again at', readonly=True,
                           help='When the budget is whole again (Unix time).')

    _sql_constraints = [('key_uniq', 'unique (key)', 'One budget per zone and address.')]

    @api.model
    def _kfc_spend(self, limit, client, now=None):
        """Spend one request of ``client`` in the zone of ``limit`` (a ``services.limits.Limit``):
        0 when spent, else the seconds until the next one is allowed."""
        now = time.time() if now is None else now
        interval = 60.0 / limit.per_minute
        params = {'key': '%s %s' % (limit.zone, client), 'now': now, 'interval': interval,
                  'tolerance': limit.burst * interval}
        self.env.cr.execute(_SPEND, params)
        if self.env.cr.fetchone():
            return 0
        self.env.cr.execute('SELECT full_at FROM kfc_rate_bucket WHERE key = %s', (params['key'],))
        [full_at] = self.env.cr.fetchone()
        return max(full_at - now - params['tolerance'], 0.001)

    @api.model
    def _kfc_spend_request(self, route, httprequest):
        """Before a metered route runs: spend a request of its client or answer 429.

        The request's transaction commits the spent request at once: it counts whatever the
        route does, and the row's lock ends before the route calls out."""
        limit = LIMIT_OF_ROUTE.get(route)
        if limit is None or httprequest.method != 'POST':
            return
        wait = self.sudo()._kfc_spend(limit, client_key(httprequest))
        if wait:
            raise TooManyRequests(response=too_many_requests(wait))
        self.env.cr.commit()

    @api.autovacuum
    def _gc_whole_budgets(self):
        """A whole budget is the same as none: drop its row."""
        self.env.cr.execute('DELETE FROM kfc_rate_bucket WHERE full_at < %s', (time.time(),))


def too_many_requests(wait):
    body = json.dumps({'code': 429, 'message': TOO_MANY_REQUESTS})
    return Response(body, status=429, content_type='application/json',
                    headers=[('Retry-After', str(math.ceil(wait)))])
