"""The WSGI application: match the route, open the transaction, serve, answer errors."""
import functools
import logging

from werkzeug.exceptions import HTTPException
from werkzeug.middleware.proxy_fix import ProxyFix

from kfchost.orm.api import Environment

from . import dispatch as dispatcher
from . import ir_http  # noqa: F401  (the ir.http model, which add-ons extend)
from .request import Request, _request_stack, make_httprequest
from .routing import Controller, build_routing_map
from .statics import static_response
from .transaction import retrying

_logger = logging.getLogger(__name__)


def _apply_proxy_fix(environ):
    """Take the client's address, scheme and host from the proxy's X-Forwarded-* headers, as
    Odoo does in proxy mode (``environ['werkzeug.proxy_fix.orig']`` keeps the originals)."""
    ProxyFix(lambda environ, start_response: [], x_for=1, x_proto=1, x_host=1)(
        environ, lambda status, headers: None)


class Application:
    """Serve the routes of ``controllers`` (classes; by default every collected controller
    defined outside an add-on) on the database of ``registry``, and the files of ``statics``
    ({add-on name: its static folder}) at /<add-on>/static/.

    proxy_mode: as Odoo's ``--proxy-mode``, a request that carries X-Forwarded-Host is taken to
    come through a proxy that sets the X-Forwarded-* headers; without it they are ignored."""

    def __init__(self, registry, controllers=None, statics=None, proxy_mode=False):
        if controllers is None:
            controllers = Controller.children_classes.get('', [])
        self.registry = registry
        self.routing_map = build_routing_map(controllers)
        self.statics = dict(statics or {})
        self.proxy_mode = proxy_mode

    def __call__(self, environ, start_response):
        if self.proxy_mode and environ.get('HTTP_X_FORWARDED_HOST'):
            _apply_proxy_fix(environ)
        req = Request(make_httprequest(environ), self.registry)
        _request_stack.push(req)
        try:
            response = self._serve(req)
            return response(environ, start_response)
        finally:
            _request_stack.pop()

    def _serve(self, req):
        static = static_response(req.httprequest, self.statics)
        if static is not None:
            return static
        try:
            rule, args = self._match(req.httprequest)
        except HTTPException as exc:
            return exc  # no such path (404) or method (405): werkzeug's own page
        try:
            return self._serve_db(req, rule, args)
        except Exception as exc:
            if isinstance(exc, HTTPException) and exc.code is None:
                # A complete response given through abort(), e.g. the CORS preflight.
                response = exc.get_response()
                dispatcher.post_dispatch(req, response)
                return response
            if not isinstance(exc, HTTPException):     # as Odoo: an HTTP answer is no fault
                _logger.exception("Exception during request handling.")
            error_response = getattr(exc, 'error_response', None)
            if error_response is None:
                error_response = dispatcher.handle_error(req, exc)
            return error_response

    def _match(self, httprequest):
        adapter = self.routing_map.bind_to_environ(httprequest.environ)
        return adapter.match(return_rule=True)

    def _serve_db(self, req, rule, args):
        # The body is read only when the route (or a check before it, such as a size limit)
        # asks for it, as on Odoo; werkzeug keeps what was read, so a rerun sees it again.
        try:
            return retrying(functools.partial(self._serve_route, req, rule, args), self.registry)
        except Exception as exc:
            if isinstance(exc, HTTPException) and exc.code is None:
                raise
            exc.error_response = dispatcher.handle_error(req, exc)
            raise

    def _serve_route(self, req, rule, args, cr):
        """One try, in the transaction of ``cr``."""
        req.env = Environment(cr, None, {})     # no login session: no user until authenticated
        dispatcher.authenticate(req, rule.endpoint)
        self.registry['ir.http']._pre_dispatch(rule, args)
        response = dispatcher.dispatch(req, rule.endpoint, args)
        dispatcher.post_dispatch(req, response)
        return response
