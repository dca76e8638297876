"""The shop's add-on on Odoo 16 and on the stand-in, answering the same requests the same way.

Installs kfc_coupon_shop with its demo data into Odoo 16 on a private PostgreSQL 15, serves it
with two workers pointed at the sandbox, gives the stand-in the same demo data and both hosts
the same customer, then posts the same requests to both
and compares the replies byte for byte. Exit status 0 when every reply is the same.

    ./dev odoo-proof [--pg-port 55433] [--http-port 18169] [--odoo-src PATH]
"""
import argparse
import contextlib
import json
import logging
import os
import sys
import tempfile
import time
import xmlrpc.client

import requests

from kfchost import addon, http
from kfchost.app import create_app
from kfchost.orm import api
from kfcsandbox.config import SandboxConfig
from kfcsandbox.server import SandboxServer
from odoo16harness import runner

ADDON = 'kfc_coupon_shop'
DB = 'kfc_proof'
USER = {'name': 'proof user', 'openid': 'o-proof-0001', 'unionid': 'u-proof-0001',
        'token': 'tok-proof-0001'}
REQUESTS = [
    ('post_user_token', {'token': USER['token']}),
    ('post_user_token', {'token': 'no-such-token'}),
    ('post_keyword_config', {'type': 'hot_search'}),
    ('post_keyword_config', {'type': 'notice'}),
    ('post_keyword_config', {'type': 'no_such_list'}),
    ('post_user_info', {'token': USER['token']}),
    ('post_user_info', {'token': 'no-such-token'}),
]
# The JS-SDK configuration is signed over the current second: its reply is compared without
# the time-dependent values. It reaches WeChat (the sandbox) through the settings' origin map.
TIMED_KEYS = ('timestamp', 'nonceStr', 'signature')


def seed_odoo(url, db):
    """Create the customer through Odoo's external API, as the administrator."""
    uid = xmlrpc.client.ServerProxy(url + '/xmlrpc/2/common').authenticate(db, 'admin', 'admin', {})
    if not uid:
        raise RuntimeError('cannot log in to %s as admin' % db)
    rpc = xmlrpc.client.ServerProxy(url + '/xmlrpc/2/object')
    rpc.execute_kw(db, uid, 'admin', 'kfc.user', 'create', [[USER]])


@contextlib.contextmanager
def stand_in(sandbox, db_path):
    """The stand-in serving the add-on on a fresh database with the same records."""
    section = sandbox.config.addon_section(os.path.join(os.path.dirname(db_path), 'keys'),
                                           'http://127.0.0.1', sandbox.url)
    app = create_app(db_path, section, demo=True)
    with app.registry.cursor() as cr:
        api.Environment(cr)['kfc.user'].sudo().create(dict(USER))
    server = http.start_server(app)
    try:
        yield 'http://127.0.0.1:%d' % server.server_port
    finally:
        http.stop_server(server)
        app.registry.close()


def reply_of(url, route, form):
    reply = requests.post('%s/api/%s' % (url, route), data=form, timeout=30)
    return reply.status_code, reply.headers.get('Content-Type'), reply.text


def untimed_reply_of(url, route, form):
    status, content_type, text = reply_of(url, route, form)
    reply = json.loads(text)
    for key in TIMED_KEYS:
        reply.get('data', {}).pop(key, None)
    return status, content_type, json.dumps(reply)


def compare(odoo_url, stand_in_url):
    same = True
    calls = [(reply_of, route, form) for route, form in REQUESTS]
    calls.append((untimed_reply_of, 'post_wx_config', {}))
    for get, route, form in calls:
        on_odoo = get(odoo_url, route, form)
        on_stand_in = get(stand_in_url, route, form)
        mark = 'same' if on_odoo == on_stand_in else 'DIFFERENT'
        same &= on_odoo == on_stand_in
        print('%-9s /api/%s %s' % (mark, route, form))
        print('          odoo:     %s %s %s' % on_odoo)
        if on_odoo != on_stand_in:
            print('          stand-in: %s %s %s' % on_stand_in)
    return same


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--odoo-src', help='Odoo 16 tree or tarball (default: $ODOO16_SRC, '
                        'else ../shared/odoo16)')
    parser.add_argument('--venv', default=os.path.join(runner.PROJECT_ROOT, 'var', 'odoo-venv'),
                        help="Odoo's Python environment, made when missing")
    parser.add_argument('--work', default=os.path.join(runner.PROJECT_ROOT, 'var', 'odoo-proof'))
    parser.add_argument('--pg-port', type=int, default=55433)
    parser.add_argument('--http-port', type=int, default=18169)
    args = parser.parse_args(argv)
    logging.getLogger('werkzeug').setLevel(logging.WARNING)

    try:
        source = runner.odoo_source(args.odoo_src)
    except runner.SourceNotFound as exc:
        print('odoo-proof: %s' % exc, file=sys.stderr)
        return 2
    python = runner.ensure_python(source, args.venv)
    deployment = addon.submodule('services.deployment').read_deployment()
    with SandboxServer(SandboxConfig.from_deployment(deployment)) as sandbox, \
            runner.PostgresCluster(os.path.join(args.work, 'pg'), args.pg_port) as pg:
        odoo = runner.Odoo(source, python, pg, addons=[runner.PROJECT_ROOT],
                           run_dir=os.path.join(args.work, 'odoo'), http_port=args.http_port)
        odoo.sections[ADDON] = sandbox.config.addon_section(odoo.run_dir, odoo.url, sandbox.url)
        pg.drop_database(DB)
        installed = odoo.install(DB, [ADDON], demo=True)
        print('installed base and %s into %s in %.1f s' % (ADDON, DB, installed), flush=True)
        started = time.monotonic()
        server = odoo.serve(DB, workers=2)
        try:
            server.wait_ready()
            print('Odoo serving %s with 2 workers after %.1f s' % (server.url, time.monotonic() - started),
                  flush=True)
            seed_odoo(server.url, DB)
            with tempfile.TemporaryDirectory() as tmp, \
                    stand_in(sandbox, os.path.join(tmp, 'proof.sqlite3')) as stand_in_url:
                same = compare(server.url, stand_in_url)
        finally:
            server.stop()
    print('every reply the same on Odoo 16 and on the stand-in' if same else 'replies differ')
    return 0 if same else 1


if __name__ == '__main__':
    sys.exit(main())
