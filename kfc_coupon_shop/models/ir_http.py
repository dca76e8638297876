"""Checks made before a route runs (Odoo's ``ir.http._pre_dispatch``): the back-office routes
answer only the back office's networks and never another site's pages, a route takes no body
larger than it needs, and the routes that spend an outside quota answer 429 past their client's
budget (``kfc.rate.bucket``)."""
from werkzeug.exceptions import Forbidden, LengthRequired, RequestEntityTooLarge

from odoo import models
from odoo.http import request

from ..services import runtime
from ..services.clients import client_address
from ..services.limits import BACKOFFICE_ROUTES, BODY_LIMITS, FORM_BODY_LIMIT
from ..services.origins import normalize_origin

# Routes that refuse a body sent without its length (chunked) rather than read it: the page can
# always give one. WeChat Pay is never refused for that, as it would redeliver for a day.
LENGTH_REQUIRED = frozenset({'/api/post_front_error_log'})


class IrHttp(models.AbstractModel):
    _inherit = 'ir.http'

    @classmethod
    def _pre_dispatch(cls, rule, args):
        httprequest = request.httprequest
        if rule.rule in BACKOFFICE_ROUTES and not (is_backoffice_client(httprequest)
                                                   and is_same_site(httprequest)):
            raise Forbidden()
        if rule.rule.startswith('/api/'):
            runtime.ensure_configured()     # the settings the controllers' keys follow
            check_body_size(httprequest, rule.rule)
        request.env['kfc.rate.bucket']._kfc_spend_request(rule.rule, httprequest)
        super()._pre_dispatch(rule, args)


def check_body_size(httprequest, path):
    """Refuse a body larger than the route's limit before it is read: by its Content-Length, or,
    sent without one, by reading at most one byte past the limit (werkzeug keeps what was read
    for the route, and for a rerun of the request)."""
    limit = BODY_LIMITS.get(path, FORM_BODY_LIMIT)
    length = httprequest.content_length
    if length is None and path in LENGTH_REQUIRED:
        raise LengthRequired()
    if length is not None and length > limit:
        raise RequestEntityTooLarge()
    # A chunked body is read to its own end whatever length it announces.
    if length is None or httprequest.environ.get('wsgi.input_terminated'):
        if getattr(httprequest, '_cached_data', None) is None:
            httprequest._cached_data = _read_at_most(httprequest.stream, limit + 1)
        if len(httprequest._cached_data) > limit:
            raise RequestEntityTooLarge()


def _read_at_most(stream, size):
    chunks = []
    while size > 0:
        chunk = stream.read(size)       # a chunked body comes a chunk at a time
        if not chunk:
            break
        chunks.append(chunk)
        size -= len(chunk)
    return b''.join(chunks)


def is_same_site(httprequest):
    """Whether the request comes from no other site's page. A browser names the page's origin
    (``Origin``, else ``Referer``) and says ``Sec-Fetch-Site``; a script sends none of them and
    passes. Another site's page on a staff member's browser, inside the back office's networks,
    must not act for the staff."""
    headers = httprequest.headers
    if headers.get('Sec-Fetch-Site', '').strip().lower() == 'cross-site':
        return False
    page = headers.get('Origin')
    if page is None:
        page = headers.get('Referer')
        if not page:
            return True
    return normalize_origin(page) in shop_origins(httprequest)  # "null" is no origin of the shop


def shop_origins(httprequest):
    """The shop's own origins: that of ``web.base.url`` and, when the server applied a proxy's
    X-Forwarded-* headers (proxy mode), that of the forwarded host."""
    base = request.env['ir.config_parameter'].sudo().get_param('web.base.url') or ''
    origins = {normalize_origin(base)}
    if 'werkzeug.proxy_fix.orig' in httprequest.environ:
        origins.add(normalize_origin(httprequest.host_url))
    origins.discard(None)
    return origins


def is_backoffice_client(httprequest):
    """Whether the client's address, as the server sees it, is in the back office's networks.

    Behind a proxy that address is the client's only in proxy mode, when the proxy sets
    X-Forwarded-Host and X-Forwarded-For; a request that carries X-Forwarded-For the server did
    not apply shows the proxy's own address, which could stand for anyone, and is refused."""
    environ = httprequest.environ
    if 'HTTP_X_FORWARDED_FOR' in environ and 'werkzeug.proxy_fix.orig' not in environ:
        return False
    address = client_address(httprequest)
    return address is not None and any(
        address in network for network in runtime.settings.backoffice_networks)
