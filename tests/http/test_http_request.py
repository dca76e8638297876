"""What a route sees of Odoo's HTTP layer and nothing more: no Controller.env, and
request.httprequest the plain werkzeug request Odoo 16 builds, behind a proxy too."""
import json

import pytest
import requests
import werkzeug.datastructures
import werkzeug.test
import werkzeug.wrappers

import kfchost.http as http
from kfchost.http import request


class Probe(http.Controller):
    @http.route('/api/probe', auth='public', csrf=False, methods=['POST'])
    def probe(self, **post):
        httprequest = request.httprequest
        return json.dumps({
            'plain': type(httprequest) is werkzeug.wrappers.Request,
            'ordered': httprequest.parameter_storage_class
            is werkzeug.datastructures.ImmutableOrderedMultiDict,
            'limit': httprequest.max_content_length,
            'form': list(httprequest.form.items(multi=True)),
            'controller_env': hasattr(self, 'env'),
        })


def test_controllers_have_no_env_and_requests_are_plain_werkzeug(serve):
    assert not hasattr(http.Controller, 'env')
    url = serve(Probe)
    reply = requests.post(url + '/api/probe', data=[('b', '1'), ('a', '2'), ('b', '3')])
    assert reply.json() == {'plain': True, 'ordered': True, 'limit': None,
                            'form': [['b', '1'], ['a', '2'], ['b', '3']], 'controller_env': False}


class Peer(http.Controller):
    @http.route('/api/peer', auth='public', csrf=False, methods=['POST'])
    def peer(self, **post):
        return request.httprequest.remote_addr


FORWARDED = {'X-Forwarded-For': '198.51.100.7, 203.0.113.9', 'X-Forwarded-Host': 'shop.example'}


@pytest.mark.parametrize('proxy_mode, headers, seen', [
    (False, FORWARDED, '127.0.0.1'),
    (True, {'X-Forwarded-For': '203.0.113.9'}, '127.0.0.1'),     # no X-Forwarded-Host: no proxy
    (True, FORWARDED, '203.0.113.9'),                            # the address the proxy added
])
def test_proxy_mode_takes_the_client_address_as_odoo_does(registry, proxy_mode, headers, seen):
    client = werkzeug.test.Client(http.Application(registry, [Peer], proxy_mode=proxy_mode))
    reply = client.post('/api/peer', headers=headers, environ_base={'REMOTE_ADDR': '127.0.0.1'})
    assert reply.get_data(as_text=True) == seen
