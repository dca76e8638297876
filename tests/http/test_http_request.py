"""What a route sees of Odoo's HTTP layer and nothing more: no Controller.env, and
request.httprequest the plain werkzeug request Odoo 16 builds."""
import json

import requests
import werkzeug.datastructures
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
