"""Controllers and routes: the @route decorator and the werkzeug map built from controller classes.

This follows Odoo 16: @route only records its arguments on the endpoint (``original_routing``);
the routing of a method is merged over its class hierarchy when the map is built, so a decorator
placed on top of @route with functools.wraps still carries the route.
"""
import collections
import functools
import inspect
import logging

import werkzeug.routing

from .response import Response

_logger = logging.getLogger(__name__)

# Route arguments that become arguments of the werkzeug rule.
ROUTING_KEYS = {
    'defaults', 'subdomain', 'build_only', 'strict_slashes', 'redirect_to',
    'alias', 'host', 'methods', 'websocket',
}

# Dispatchers this host has; Odoo's 'json' (JSON-RPC) routes are not served here.
ROUTE_TYPES = ('http',)


class Controller:
    """Base of the controller classes; direct subclasses are collected by module."""
    children_classes = collections.defaultdict(list)  # indexed by module

    @classmethod
    def __init_subclass__(cls):
        super().__init_subclass__()
        if Controller in cls.__bases__:
            path = cls.__module__.split('.')
            module = path[2] if path[:2] == ['odoo', 'addons'] else ''
            Controller.children_classes[module].append(cls)


def route(route=None, **routing):
    """Declare a controller method as serving ``route`` (a path or a list of paths)."""
    def decorator(endpoint):
        fname = f"<function {endpoint.__module__}.{endpoint.__name__}>"

        assert routing.get('type', 'http') in ROUTE_TYPES, \
            f"@route(type={routing['type']!r}) is not one of {ROUTE_TYPES}"
        if route:
            routing['routes'] = route if isinstance(route, list) else [route]
        wrong = routing.pop('method', None)
        if wrong is not None:
            _logger.warning("%s defined with invalid routing parameter 'method', assuming 'methods'", fname)
            routing['methods'] = wrong

        @functools.wraps(endpoint)
        def route_wrapper(self, *args, **params):
            params_ok = filter_kwargs(endpoint, params)
            params_ko = set(params) - set(params_ok)
            if params_ko:
                _logger.warning("%s called ignoring args %s", fname, params_ko)

            result = endpoint(self, *args, **params_ok)
            if routing['type'] == 'http':  # generate_routing_rules() sets the type
                return Response.load(result, fname)
            return result

        route_wrapper.original_routing = routing
        route_wrapper.original_endpoint = endpoint
        return route_wrapper
    return decorator


@functools.lru_cache(maxsize=None)
def _keyword_names(func):
    """The names ``func`` accepts as keywords, or None when it takes ``**kwargs``."""
    names = set()
    for param in inspect.signature(func).parameters.values():
        if param.kind in (param.POSITIONAL_OR_KEYWORD, param.KEYWORD_ONLY):
            names.add(param.name)
        elif param.kind == param.VAR_KEYWORD:
            return None
    return frozenset(names)


def filter_kwargs(func, kwargs):
    """Keep only the keyword arguments that ``func``'s signature binds."""
    names = _keyword_names(func)
    if names is None or names.issuperset(kwargs):
        return kwargs
    return {key: value for key, value in kwargs.items() if key in names}


def _unique(items):
    seen = set()
    for item in items:
        if item not in seen:
            seen.add(item)
            yield item


def _complete_route_type(controller_cls, submethod, merged_routing):
    """Every method's own routing gets the type; an override may not change it."""
    default_type = submethod.original_routing.get('type', 'http')
    routing_type = merged_routing.setdefault('type', default_type)
    if submethod.original_routing.get('type') not in (None, routing_type):
        _logger.warning(
            "The endpoint %s changes the route type, using the original type: %r.",
            f'{controller_cls.__module__}.{controller_cls.__name__}.{submethod.__name__}',
            routing_type)
    submethod.original_routing['type'] = routing_type


def _merged_routing(ctrl, method_name):
    """The routing of one method merged over the controller's classes, ancestors first."""
    merged_routing = {
        # 'type' is set by _complete_route_type
        'auth': 'user',
        'methods': None,
        'routes': [],
    }
    for cls in _unique(reversed(type(ctrl).mro()[:-2])):
        if method_name not in cls.__dict__:
            continue
        submethod = getattr(cls, method_name)

        if not hasattr(submethod, 'original_routing'):
            _logger.warning("The endpoint %s is not decorated by @route(), decorating it myself.",
                            f'{cls.__module__}.{cls.__name__}.{method_name}')
            submethod = route()(submethod)

        _complete_route_type(cls, submethod, merged_routing)
        merged_routing.update(submethod.original_routing)
    return merged_routing


def generate_routing_rules(controllers):
    """Yield ``(url, endpoint)`` for every route of the given controller classes.

    Each class is served as it is, as Odoo serves controllers defined outside its add-ons;
    ``endpoint`` is a bound copy of the method carrying the merged ``routing``.
    """
    for ctrl in (cls() for cls in controllers):
        for method_name, method in inspect.getmembers(ctrl, inspect.ismethod):

            def is_method_a_route(cls):
                return getattr(getattr(cls, method_name, None), 'original_routing', None) is not None
            if not any(map(is_method_a_route, type(ctrl).mro())):
                continue

            merged_routing = _merged_routing(ctrl, method_name)
            if not merged_routing['routes']:
                _logger.warning("%s is a controller endpoint without any route, skipping.",
                                f'{type(ctrl).__module__}.{type(ctrl).__name__}.{method_name}')
                continue

            for url in merged_routing['routes']:
                # A copy of the bound method keeps original_routing/original_endpoint (update_wrapper
                # copies __dict__) and alone receives the merged routing.
                endpoint = functools.partial(method)
                functools.update_wrapper(endpoint, method)
                endpoint.routing = merged_routing
                yield url, endpoint


def build_routing_map(controllers):
    """A werkzeug Map of the routes of ``controllers``; OPTIONS is allowed wherever methods are."""
    routing_map = werkzeug.routing.Map(strict_slashes=False, converters=None)
    for url, endpoint in generate_routing_rules(controllers):
        routing = {key: endpoint.routing[key] for key in ROUTING_KEYS if key in endpoint.routing}
        if routing['methods'] is not None and 'OPTIONS' not in routing['methods']:
            routing['methods'] = [*routing['methods'], 'OPTIONS']
        rule = werkzeug.routing.Rule(url, endpoint=endpoint, **routing)
        rule.merge_slashes = False
        routing_map.add(rule)
    return routing_map
