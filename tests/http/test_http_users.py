"""Who a route runs as: the public user for auth='public', no user for auth='none'; records
only through sudo(), an access error answered 403, as on Odoo."""
import json

import requests

import kfchost.http as http
from kfchost.http import request
from kfchost.orm.base.ir_config_parameter import DEFAULT_PARAMETERS


def _who():
    env = request.env
    return {'uid': env.uid, 'su': env.su, 'user': env.user._name, 'ids': env.user.ids,
            'login': env.user.login or None}


class Users(http.Controller):
    @http.route('/api/who_public', auth='public', csrf=False)
    def who_public(self, **post):
        return json.dumps(_who())

    @http.route('/api/who_none', auth='none', csrf=False)
    def who_none(self, **post):
        return json.dumps(_who())

    @http.route('/api/param', auth='public', csrf=False)
    def param(self, how, **post):
        params = request.env['ir.config_parameter']
        if how == 'sudo':
            params = params.sudo()
        params.set_param('shop.name', 'KFC')
        return params.get_param('shop.name')

    @http.route('/api/param_none', auth='none', csrf=False)
    def param_none(self, **post):
        return request.env['ir.config_parameter'].get_param('shop.name') or 'none'

    @http.route('/api/sequence', auth='public', csrf=False)
    def sequence(self, **post):
        return request.env['ir.sequence'].next_by_code('shop.order') or 'none'

    @http.route('/api/users', auth='public', csrf=False)
    def users(self, **post):
        # every user may read users, as Odoo's "res_users all" right allows
        return request.env['res.users'].search([('login', '=', 'public')]).name


def test_public_route_runs_as_the_public_user_out_of_superuser_mode(serve):
    url = serve(Users)
    who = requests.get(url + '/api/who_public').json()
    assert who == {'uid': 4, 'su': False, 'user': 'res.users', 'ids': [4], 'login': 'public'}
    assert requests.get(url + '/api/users').text == 'Public user'


def test_none_route_runs_without_a_user(serve):
    url = serve(Users)
    who = requests.get(url + '/api/who_none').json()
    assert who == {'uid': None, 'su': False, 'user': 'res.users', 'ids': [], 'login': None}


def test_records_without_sudo_are_forbidden(serve, query):
    url = serve(Users)
    reply = requests.get(url + '/api/param', params={'how': 'plain'})
    assert reply.status_code == 403
    assert "You are not allowed to access" in reply.text
    assert "(ir.config_parameter) records." in reply.text
    assert requests.get(url + '/api/param_none').status_code == 403
    assert requests.get(url + '/api/sequence').status_code == 403
    assert _written_params(query) == []     # nothing written


def test_sudo_lifts_the_access_check(serve, query):
    url = serve(Users)
    reply = requests.get(url + '/api/param', params={'how': 'sudo'})
    assert (reply.status_code, reply.text) == (200, 'KFC')
    assert _written_params(query) == [('shop.name', 'KFC')]


def _written_params(query):
    """The parameters beyond those every new database has."""
    return [row for row in query("SELECT key, value FROM ir_config_parameter ORDER BY key")
            if row[0] not in DEFAULT_PARAMETERS]
