"""``ir.http``: the model through which add-ons take part in serving a route, as in Odoo.

Here it has Odoo's step before the endpoint runs, ``_pre_dispatch(rule, args)`` (CORS headers,
the preflight answer); an add-on extends it with ``_inherit = 'ir.http'`` and ``super()``, and
an exception it raises (``werkzeug.exceptions.Forbidden``, say) is answered before the route
runs."""
from kfchost.orm import models

from . import dispatch
from .request import request


class IrHttp(models.AbstractModel):
    _name = 'ir.http'
    _description = 'HTTP Routing'

    @classmethod
    def _pre_dispatch(cls, rule, args):
        dispatch.pre_dispatch(request._get_current_object(), rule, args)
