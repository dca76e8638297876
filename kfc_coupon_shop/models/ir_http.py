"""Checks made before a route runs (Odoo's ``ir.http._pre_dispatch``): the back-office routes
answer only the back office's networks, a route takes no body larger than it needs, and the
routes that spend an outside quota answer 429 past their client's budget (``kfc.rate.bucket``)."""
from werkzeug.exceptions import Forbidden, LengthRequired, RequestEntityTooLarge

from odoo import models
from odoo.http import request

from ..services import runtime
from ..services.clients import client_address

# Routes that act for the staff: a real back-end order, a message to any openid, the
# back-end's order results, the catalogue written. Setting: backoffice_networks.
BACKOFFICE_ROUTES = frozenset({
    '/api/kfc_auto_order', '/api/post_pick_message', '/api/kfc_test', '/api/post_local_menu_list',
})
# The largest body (bytes) a route reads.
BODY_LIMITS = {'/api/post_front_error_log': 64 * 1024}


class IrHttp(models.AbstractModel):
    _inherit = 'ir.http'

    @classmethod
    def _pre_dispatch(cls, rule, args):
        httprequest = request.httprequest
        if rule.rule in BACKOFFICE_ROUTES and not is_backoffice_client(httprequest):
            raise Forbidden()
        limit = BODY_LIMITS.get(rule.rule)
        if limit is not None:
            if httprequest.content_length is None:
                raise LengthRequired()      # a chunked body could be of any size
            if httprequest.content_length > limit:
                raise RequestEntityTooLarge()
        request.env['kfc.rate.bucket']._kfc_spend_request(rule.rule, httprequest)
        super()._pre_dispatch(rule, args)


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
