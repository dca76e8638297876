"""The current request: a per-thread stack of :class:`Request` exposed as the proxy ``request``."""

import werkzeug.datastructures
import werkzeug.local
import werkzeug.urls
import werkzeug.utils
import werkzeug.wrappers

from .response import Response

# werkzeug's Local keeps one stack per thread (context), so concurrent requests never meet.
_request_stack = werkzeug.local.LocalStack()
request = _request_stack()


def make_httprequest(environ):
    """The werkzeug request of a call, set up as Odoo 16 sets it up: a plain
    ``werkzeug.wrappers.Request`` whose repeated form keys keep their order. Nothing else is
    added, so routes see what they see on Odoo. (Odoo swaps in a vendored copy of werkzeug's
    user-agent parser; werkzeug 2.0's own parses alike.)"""
    httprequest = werkzeug.wrappers.Request(environ)
    httprequest.parameter_storage_class = werkzeug.datastructures.ImmutableOrderedMultiDict
    return httprequest


# the name under which tests and tools build one
HTTPRequest = make_httprequest


class FutureResponse:
    """Headers decided before the route runs, added to its response afterwards."""

    def __init__(self):
        self.headers = werkzeug.datastructures.Headers()


class Request:
    """One HTTP call being served. Routes and decorators may set attributes of their own on it."""

    def __init__(self, httprequest, registry):
        self.httprequest = httprequest
        self.registry = registry
        self.future_response = FutureResponse()
        self.env = None
        self.params = {}

    @property
    def cr(self):
        return self.env.cr

    @cr.setter
    def cr(self, value):
        if value is None:
            raise NotImplementedError("Close the cursor instead.")
        raise ValueError("You cannot replace the cursor attached to the current request.")

    def update_env(self, user=None, context=None, su=None):
        """Change the user, context or superuser mode of the request's environment."""
        self.env = self.env(None, user, context, su)

    def update_context(self, **overrides):
        self.update_env(context=dict(self.env.context, **overrides))

    @property
    def uid(self):
        return self.env.uid

    @uid.setter
    def uid(self, value):
        raise NotImplementedError("Use request.update_env instead.")

    @property
    def context(self):
        return self.env.context

    @context.setter
    def context(self, value):
        raise NotImplementedError("Use request.update_context instead.")

    def get_http_params(self):
        """Query string, form fields and uploaded files; the first value of a repeated key."""
        return {
            **self.httprequest.args,
            **self.httprequest.form,
            **self.httprequest.files,
        }

    def redirect(self, location, code=303, local=True):
        if local:
            url = werkzeug.urls.url_parse(location).replace(scheme='', netloc='')
            location = '/' + url.to_url().lstrip('/')
        return werkzeug.utils.redirect(location, code, Response=Response)
