"""Where the host functions find their records: the environment of the request being served,
with superuser rights, as the routes reach every record through ``sudo()``."""
from odoo import http


def shop_env():
    """The request's environment as superuser; RuntimeError outside a request."""
    return http.request.env(su=True)
