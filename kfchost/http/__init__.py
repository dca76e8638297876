"""The HTTP layer of the host, with the names and behaviour of Odoo 16's ``odoo.http``.

``import kfchost.http as http`` gives what controllers use: ``http.Controller``,
``http.route``, ``http.request`` and ``http.Response``; the server side is
:class:`Application` (WSGI) and :func:`make_server` / :func:`serve` / :func:`start_server`.
"""
from .application import Application
from .dispatch import CORS_MAX_AGE, SAFE_HTTP_METHODS, SessionExpiredException
from .request import HTTPRequest, Request, request
from .response import Response
from .routing import Controller, ROUTING_KEYS, build_routing_map, filter_kwargs, route
from .server import make_server, serve, serve_until_stopped, start_server, stop_server
from .transaction import MAX_TRIES_ON_CONCURRENCY_FAILURE, retrying
