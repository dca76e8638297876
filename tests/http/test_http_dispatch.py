"""Dispatch through a real threaded server: parameters, body, 404/405, CORS, errors, decorators."""
import functools
import json
import logging
import threading
import time

import requests
import werkzeug.exceptions

import kfchost.http as http
from kfchost.http import request
from kfchost.orm.exceptions import AccessError, UserError

calls = []


def as_json(value, status=200):
    return http.Response(json.dumps(value), status=status, content_type='application/json')


class Api(http.Controller):
    @http.route('/api/echo', auth='public', cors="*", csrf=False, methods=['POST'])
    def echo(self, **post):
        calls.append('echo')
        return as_json({'post': post, 'data': request.httprequest.data.decode()})

    @http.route('/api/named', auth='public', cors="*", csrf=False, methods=['POST'])
    def named(self, a=None):
        return f'a={a}'

    @http.route('/api/boom', auth='public', cors="*", csrf=False, methods=['POST'])
    def boom(self, **post):
        raise ValueError('kaput')

    @http.route('/api/bad', auth='public', cors="*", csrf=False, methods=['POST'])
    def bad(self, **post):
        raise werkzeug.exceptions.BadRequest('no good')

    @http.route('/api/user_error', auth='public', cors="*", csrf=False, methods=['POST'])
    def user_error(self, **post):
        raise UserError('库存不足')

    @http.route('/api/access_error', auth='public', cors="*", csrf=False, methods=['POST'])
    def access_error(self, **post):
        raise AccessError('not yours')

    @http.route('/api/dict', auth='public', cors="*", csrf=False, methods=['POST'])
    def dict_reply(self, **post):
        return {'code': 200}

    @http.route('/api/csrf', auth='public', methods=['POST'])
    def csrf_protected(self, **post):
        calls.append('csrf')
        return 'reached'

    @http.route('/api/private', auth='user', csrf=False, methods=['POST'])
    def private(self, **post):
        calls.append('private')
        return 'reached'

    @http.route('/api/tag', auth='public', csrf=False, methods=['POST'])
    def tag(self, **post):
        before = getattr(request, 'tag', None)
        request.tag = post['tag']
        time.sleep(0.2)
        return as_json({'before': before, 'after': request.tag, 'params': request.params})


def with_token(func):
    """Shaped like the host's token check: answers refusals itself, else passes the user on."""
    @functools.wraps(func)
    def wrapper(self, **kw):
        if kw.get('token') != 'good':
            return as_json({'code': 400, 'message': 'refused'})
        request.caller = 'user-of-' + kw['token']
        return func(self, **kw)
    return wrapper


class Guarded(http.Controller):
    @with_token
    @http.route('/api/guarded', auth='public', cors="*", csrf=False, methods=['POST'])
    def guarded(self, **post):
        calls.append('guarded')
        return as_json({'caller': request.caller})


def test_query_and_form_values_reach_post_as_text(serve):
    url = serve(Api)
    reply = requests.post(url + '/api/echo?x=1&x=9&both=query&n=5',
                          data=[('y', '2'), ('y', '3'), ('both', 'form'), ('word', '鸡块')])
    assert reply.status_code == 200
    assert reply.json() == {
        'post': {'x': '1', 'n': '5', 'y': '2', 'both': 'form', 'word': '鸡块'},
        'data': '',  # a form body is consumed by the form parser
    }
    # names the method cannot take are dropped
    assert requests.post(url + '/api/named?b=2', data={'a': '1'}).text == 'a=1'


def test_raw_json_body_is_readable_and_not_in_post(serve):
    url = serve(Api)
    body = json.dumps({'items': [{'id': 3, 'name': '汉堡'}]})
    reply = requests.post(url + '/api/echo?q=1', data=body.encode(),
                          headers={'Content-Type': 'application/json'})
    assert reply.json() == {'post': {'q': '1'}, 'data': body}


def test_unknown_path_and_wrong_method(serve):
    url = serve(Api)
    missing = requests.post(url + '/api/nothing')
    assert missing.status_code == 404
    assert missing.headers['Content-Type'] == 'text/html; charset=utf-8'

    calls.clear()
    wrong = requests.get(url + '/api/echo')
    assert wrong.status_code == 405
    assert {m.strip() for m in wrong.headers['Allow'].split(',')} == {'POST', 'OPTIONS'}
    assert 'Access-Control-Allow-Origin' not in wrong.headers
    assert calls == []


def test_cors_headers_on_success_and_preflight(serve):
    url = serve(Api)
    calls.clear()
    ok = requests.post(url + '/api/echo', data={'a': '1'})
    assert ok.headers['Access-Control-Allow-Origin'] == '*'
    assert ok.headers['Access-Control-Allow-Methods'] == 'POST'

    preflight = requests.options(url + '/api/echo', headers={
        'Origin': 'http://shop.example', 'Access-Control-Request-Method': 'POST'})
    assert preflight.status_code == 204
    assert preflight.content == b''
    assert preflight.headers['Access-Control-Allow-Origin'] == '*'
    assert preflight.headers['Access-Control-Allow-Methods'] == 'POST'
    assert preflight.headers['Access-Control-Max-Age'] == '86400'
    assert preflight.headers['Access-Control-Allow-Headers'] == \
        'Origin, X-Requested-With, Content-Type, Accept, Authorization'
    assert calls == ['echo']  # the preflight did not call the route


def test_route_errors_answer_the_generic_pages_without_cors(serve, caplog):
    url = serve(Api)
    with caplog.at_level(logging.ERROR, logger='kfchost.http'):
        boom = requests.post(url + '/api/boom', data={'a': '1'})
    assert boom.status_code == 500
    assert boom.headers['Content-Type'] == 'text/html; charset=utf-8'
    assert boom.content == werkzeug.exceptions.InternalServerError().get_body().encode()
    assert 'kaput' not in boom.text
    assert 'Access-Control-Allow-Origin' not in boom.headers
    logged = [r for r in caplog.records if r.exc_info and isinstance(r.exc_info[1], ValueError)]
    assert logged and str(logged[0].exc_info[1]) == 'kaput'

    bad = requests.post(url + '/api/bad')
    assert bad.status_code == 400
    assert '<p>no good</p>' in bad.text
    assert 'Access-Control-Allow-Origin' not in bad.headers

    user_error = requests.post(url + '/api/user_error')
    assert user_error.status_code == 400
    assert '<p>库存不足</p>' in user_error.text
    assert requests.post(url + '/api/access_error').status_code == 403

    wrong_value = requests.post(url + '/api/dict')
    assert wrong_value.status_code == 500
    assert wrong_value.content == boom.content


def test_csrf_and_login_are_enforced_by_default(serve):
    url = serve(Api)
    calls.clear()
    refused = requests.post(url + '/api/csrf', data={'csrf_token': 'guess'})
    assert refused.status_code == 400
    assert 'Session expired (invalid CSRF token)' in refused.text

    login = requests.post(url + '/api/private?x=1', allow_redirects=False)
    assert login.status_code == 303
    assert login.headers['Location'].endswith('/web/login?redirect=%2Fapi%2Fprivate%3Fx%3D1')
    assert calls == []


def test_decorator_on_top_is_routed_and_sets_request_attributes(serve):
    url = serve(Guarded)
    calls.clear()
    passed = requests.post(url + '/api/guarded', data={'token': 'good'})
    assert passed.json() == {'caller': 'user-of-good'}
    assert passed.headers['Access-Control-Allow-Origin'] == '*'

    refused = requests.post(url + '/api/guarded', data={'token': 'forged'})
    assert refused.json() == {'code': 400, 'message': 'refused'}
    assert refused.headers['Access-Control-Allow-Origin'] == '*'
    assert calls == ['guarded']

    assert requests.get(url + '/api/guarded').status_code == 405


def test_request_attributes_belong_to_one_request(serve):
    url = serve(Api)
    replies = {}

    def call(tag):
        replies[tag] = requests.post(url + '/api/tag', data={'tag': tag}).json()

    threads = [threading.Thread(target=call, args=(tag,)) for tag in ('a', 'b', 'c')]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for tag in ('a', 'b', 'c'):
        assert replies[tag] == {'before': None, 'after': tag, 'params': {'tag': tag}}
    assert requests.post(url + '/api/tag', data={'tag': 'd'}).json()['before'] is None
