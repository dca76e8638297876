"""Serving a matched http route, as Odoo's HttpDispatcher does: CORS, CSRF, call, errors."""
import logging

import werkzeug.exceptions
import werkzeug.urls
from werkzeug.exceptions import BadRequest, Forbidden, HTTPException, InternalServerError

from kfchost.orm.api import Environment
from kfchost.orm.exceptions import AccessDenied, AccessError, UserError

from .response import Response

_logger = logging.getLogger(__name__)

# The validity of a preflight response, one day.
CORS_MAX_AGE = 60 * 60 * 24

# The methods that need no CSRF token.
SAFE_HTTP_METHODS = ('GET', 'HEAD', 'OPTIONS', 'TRACE')


class SessionExpiredException(Exception):
    pass


def is_cors_preflight(req, endpoint):
    return req.httprequest.method == 'OPTIONS' and endpoint.routing.get('cors', False)


def authenticate(req, endpoint):
    """Bind the route's user, as Odoo's ir.http: auth='public' runs as the public user,
    auth='none' without a user; this host keeps no login sessions, so 'user' never passes."""
    auth = 'none' if is_cors_preflight(req, endpoint) else endpoint.routing['auth']
    try:
        _AUTH_METHODS[auth](req)
    except (AccessDenied, SessionExpiredException, HTTPException):
        raise
    except Exception:
        _logger.info("Exception during request Authentication.", exc_info=True)
        raise AccessDenied()


def _auth_method_user(req):
    raise SessionExpiredException("Session expired")


def _auth_method_public(req):
    if req.env.uid is None:
        public_user = req.env.ref('base.public_user')
        req.update_env(user=public_user.id)


def _auth_method_none(req):
    req.env = Environment(req.env.cr, None, req.env.context)


_AUTH_METHODS = {'user': _auth_method_user, 'public': _auth_method_public, 'none': _auth_method_none}


def pre_dispatch(req, rule, args):
    """Decide the CORS headers; answer a preflight here, without calling the route."""
    routing = rule.endpoint.routing
    set_header = req.future_response.headers.set
    cors = routing.get('cors')
    if cors:
        set_header('Access-Control-Allow-Origin', cors)
        set_header('Access-Control-Allow-Methods', (
            'POST' if routing['type'] == 'json'
            else ', '.join(routing['methods'] or ['GET', 'POST'])
        ))

    if cors and req.httprequest.method == 'OPTIONS':
        set_header('Access-Control-Max-Age', CORS_MAX_AGE)
        set_header('Access-Control-Allow-Headers',
                   'Origin, X-Requested-With, Content-Type, Accept, Authorization')
        werkzeug.exceptions.abort(Response(status=204))


def dispatch(req, endpoint, args):
    """Collect the parameters, check CSRF and call the endpoint with them."""
    req.params = dict(req.get_http_params(), **args)

    if req.httprequest.method not in SAFE_HTTP_METHODS and endpoint.routing.get('csrf', True):
        token = req.params.pop('csrf_token', None)
        # Tokens are bound to a login session; this host has none, so none is valid.
        if token is not None:
            _logger.warning("CSRF validation failed on path '%s'", req.httprequest.path)
        else:
            _logger.warning("No CSRF validation token provided for path %r", req.httprequest.path)
        raise BadRequest('Session expired (invalid CSRF token)')

    return endpoint(**req.params)


def post_dispatch(req, response):
    """Add the headers decided before the call (CORS) to a successful response."""
    response.headers.extend(req.future_response.headers)


def handle_error(req, exc):
    """The WSGI application answering an exception of an http route."""
    if isinstance(exc, SessionExpiredException):
        query = werkzeug.urls.url_encode({'redirect': req.httprequest.full_path})
        return req.redirect('/web/login?' + query)

    return (exc if isinstance(exc, HTTPException)
            else Forbidden(exc.args[0]) if isinstance(exc, (AccessDenied, AccessError))
            else BadRequest(exc.args[0]) if isinstance(exc, UserError)
            else InternalServerError())  # hide the real error
