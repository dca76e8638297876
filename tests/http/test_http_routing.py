"""Route declaration, controller collection, routing merge and Response coercion (no server)."""
import functools
import logging

import pytest
import werkzeug.exceptions
import werkzeug.wrappers

import kfchost.http as http
from kfchost.http.routing import generate_routing_rules


def routes_of(*controllers):
    return {url: endpoint for url, endpoint in generate_routing_rules(controllers)}


def test_route_records_its_arguments_on_the_endpoint_only():
    class Shop(http.Controller):
        @http.route('/api/menu', auth='public', cors="*", csrf=False, methods=['POST'])
        def menu(self, **post):
            return 'menu'

        @http.route(['/a', '/b'], method=['GET'])
        def pages(self):
            return ''

    raw = Shop.menu.original_endpoint
    assert Shop.menu.original_routing == {
        'auth': 'public', 'cors': '*', 'csrf': False, 'methods': ['POST'], 'routes': ['/api/menu']}
    assert Shop.menu.__wrapped__ is raw and Shop.menu.__name__ == 'menu'
    assert not hasattr(Shop.menu, 'routing')
    # a list of paths stays a list; the misspelt 'method' becomes 'methods'
    assert Shop.pages.original_routing == {'routes': ['/a', '/b'], 'methods': ['GET']}


def test_only_direct_subclasses_are_collected():
    class Top(http.Controller):
        pass

    class Extension(Top):
        pass

    collected = http.Controller.children_classes['']
    assert Top in collected
    assert Extension not in collected


def test_routing_is_merged_over_the_class_hierarchy(caplog):
    class Base(http.Controller):
        @http.route('/api/item', auth='public', methods=['POST'])
        def item(self, **post):
            return 'base'

        @http.route('/api/other', auth='public')
        def other(self):
            return 'other'

        def helper(self):
            return 'not a route'

    class Child(Base):
        @http.route(auth='none', cors='*')
        def item(self, **post):
            return 'child'

        def other(self):  # overridden without @route: still served, with the ancestor's routing
            return 'child other'

    with caplog.at_level(logging.WARNING):
        rules = routes_of(Child)
    assert set(rules) == {'/api/item', '/api/other'}
    assert rules['/api/item'].routing == {
        'type': 'http', 'auth': 'none', 'methods': ['POST'], 'routes': ['/api/item'], 'cors': '*'}
    assert rules['/api/other'].routing['auth'] == 'public'
    assert "not decorated by @route(), decorating it myself" in caplog.text
    # the merged routing lives on the copy only; the methods keep their own
    assert not hasattr(Child.item, 'routing')
    assert Base.item.original_routing['auth'] == 'public'
    assert rules['/api/item']().get_data() == b'child'
    # the undecorated override is called as it is: its value is not turned into a Response
    assert rules['/api/other']() == 'child other'


def test_decorator_on_top_keeps_the_route_and_gets_all_params():
    seen = {}

    def outer(func):
        @functools.wraps(func)
        def wrapper(self, **kw):
            seen['outer'] = dict(kw)
            response = func(self, **kw)
            response.headers['X-Outer'] = 'yes'
            return response
        return wrapper

    class Guarded(http.Controller):
        @outer
        @http.route('/api/guarded', auth='public', csrf=False, methods=['POST'])
        def guarded(self, token=None):
            return f'token={token}'

    endpoint = routes_of(Guarded)['/api/guarded']
    response = endpoint(token='t', extra='dropped by the inner filter')
    assert seen['outer'] == {'token': 't', 'extra': 'dropped by the inner filter'}
    assert response.get_data() == b'token=t'
    assert response.headers['X-Outer'] == 'yes'


def test_rules_allow_options_without_touching_the_declared_methods():
    class Api(http.Controller):
        @http.route('/api/post_only', auth='public', methods=['POST'])
        def post_only(self, **post):
            return ''

        @http.route('/api/any', auth='public')
        def any_method(self, **post):
            return ''

    rules = {rule.rule: rule for rule in http.build_routing_map([Api]).iter_rules()}
    assert rules['/api/post_only'].methods == {'POST', 'OPTIONS'}
    assert rules['/api/post_only'].endpoint.routing['methods'] == ['POST']
    assert rules['/api/any'].methods is None


def test_filter_kwargs_drops_only_what_the_signature_cannot_take():
    def named(self, a, b=None, *, c=None):
        pass

    def catch_all(self, a, **kw):
        pass

    params = {'a': 1, 'c': 3, 'z': 26}
    assert http.filter_kwargs(named, params) == {'a': 1, 'c': 3}
    assert http.filter_kwargs(catch_all, params) is params


class TestResponse:
    def test_constructor_as_the_controllers_call_it(self):
        response = http.Response('{"code": 200}', status=200, content_type='application/json')
        assert response.status_code == 200
        assert response.headers['Content-Type'] == 'application/json'  # no charset added
        assert response.get_data() == b'{"code": 200}'

    def test_defaults_and_odoo_extras(self):
        response = http.Response(template='shop.page', qcontext={'a': 1}, uid=7, status='201 CREATED')
        assert response.status == '201 CREATED'
        assert response.headers['Content-Type'] == 'text/html; charset=utf-8'
        assert (response.template, response.uid, response.is_qweb) == ('shop.page', 7, True)
        assert response.qcontext == {'a': 1, 'response_template': 'shop.page'}

    @pytest.mark.parametrize('value, body', [('héllo', 'héllo'.encode()), (b'raw', b'raw'), (None, b'')])
    def test_load_text_bytes_and_none(self, value, body):
        response = http.Response.load(value)
        assert type(response) is http.Response
        assert (response.status_code, response.get_data()) == (200, body)
        assert response.headers['Content-Type'] == 'text/html; charset=utf-8'

    def test_load_keeps_responses_and_converts_werkzeug_ones(self):
        own = http.Response('x')
        assert http.Response.load(own) is own
        foreign = werkzeug.wrappers.Response('gone', status=410)
        converted = http.Response.load(foreign)
        assert isinstance(converted, http.Response)
        assert (converted.status_code, converted.get_data(), converted.template) == (410, b'gone', None)

    def test_load_refuses_other_values(self):
        with pytest.raises(TypeError, match=r"<function f> returns an invalid value: \{'code': 200\}"):
            http.Response.load({'code': 200}, '<function f>')
        with pytest.raises(werkzeug.exceptions.NotFound):
            http.Response.load(werkzeug.exceptions.NotFound())
