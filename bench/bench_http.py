"""Throughput of a route through the whole host stack against a bare werkzeug application.

The route is shaped like "/api/post_user_token": one indexed search of `kfc.user` by token
and a JSON reply, served by kfchost.http (routing, transaction, records layer, Response) on a
threaded werkzeug server. The bare application answers the same bytes on the same kind of
server without doing anything. Each server runs in a process of its own; client threads post
the same form and count the replies. Both are measured in this run, alternately, and the best
round of each is compared. The goal is a ratio of at least 0.5.

    PYTHONPATH=. python bench/bench_http.py [--requests N] [--rounds N] [--threads N]

The server speaks HTTP/1.0 (werkzeug 2.0's default), so every request opens a connection; the
client is a raw socket per request to keep its own cost small beside the servers'.
"""
import argparse
import concurrent.futures
import json
import logging
import multiprocessing
import os
import socket
import tempfile
import time

import werkzeug.wrappers

import kfchost.http as http
from kfchost import addon
from kfchost.http import request
from kfchost.orm.api import Environment
from kfchost.orm.registry import Registry

addon.import_addon()    # the shop's models (kfc.user)

GOAL = 0.5
USERS = 5000
TOKEN = 'token-%05d' % (USERS // 2)
PATH = '/api/post_user_token'


class TokenController(http.Controller):
    @http.route(PATH, auth='public', cors="*", csrf=False, methods=['POST'])
    def post_user_token(self, **post):
        user_ids = request.env['kfc.user'].sudo().search([('token', '=', post['token'])])
        res = {'code': 200, 'data': {'state': bool(user_ids)}, 'message': 'success'}
        return http.Response(json.dumps(res), status=200, content_type='application/json')


REPLY = json.dumps({'code': 200, 'data': {'state': True}, 'message': 'success'}).encode()


def bare_app(environ, start_response):
    response = werkzeug.wrappers.Response(REPLY, status=200, content_type='application/json')
    return response(environ, start_response)


def create_database(path):
    registry = Registry(path)
    registry.init_db()
    with registry.cursor() as cr:
        env = Environment(cr)
        env['kfc.user'].create([{'name': 'user %d' % i, 'token': 'token-%05d' % i,
                                 'openid': 'openid-%05d' % i} for i in range(USERS)])
    registry.close()


def run_server(kind, db_path, conn):
    """Child process: serve one application and report its port."""
    logging.getLogger('werkzeug').setLevel(logging.WARNING)
    if kind == 'stack':
        app = http.Application(Registry(db_path), [TokenController])
    else:
        app = bare_app
    server = http.make_server(app, '127.0.0.1', 0)
    conn.send(server.server_port)
    server.serve_forever()


def raw_request(port):
    body = 'token=' + TOKEN
    return (f'POST {PATH} HTTP/1.0\r\nHost: 127.0.0.1:{port}\r\n'
            'Content-Type: application/x-www-form-urlencoded\r\n'
            f'Content-Length: {len(body)}\r\n\r\n{body}').encode()


def post(port, payload):
    with socket.create_connection(('127.0.0.1', port)) as sock:
        sock.sendall(payload)
        chunks = []
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                break
            chunks.append(chunk)
    reply = b''.join(chunks)
    if not reply.startswith(b'HTTP/1.0 200') or not reply.endswith(REPLY):
        raise AssertionError('unexpected reply: %r' % reply[:300])


def requests_per_second(port, count, threads):
    payload = raw_request(port)

    def work(n):
        for _ in range(n):
            post(port, payload)

    shares = [count // threads] * threads
    start = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(threads) as pool:
        list(pool.map(work, shares))
    return sum(shares) / (time.perf_counter() - start)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--requests', type=int, default=3000, help='requests per round and server')
    parser.add_argument('--rounds', type=int, default=3)
    parser.add_argument('--threads', type=int, default=4, help='client threads')
    args = parser.parse_args()

    ctx = multiprocessing.get_context('spawn')
    with tempfile.TemporaryDirectory() as tmp:
        db_path = os.path.join(tmp, 'bench.sqlite')
        create_database(db_path)
        servers, ports = [], {}
        try:
            for kind in ('stack', 'bare'):
                parent, child = ctx.Pipe()
                process = ctx.Process(target=run_server, args=(kind, db_path, child), daemon=True)
                process.start()
                servers.append(process)
                ports[kind] = parent.recv()

            best = {'stack': 0.0, 'bare': 0.0}
            for kind in best:  # warm up
                requests_per_second(ports[kind], 200, args.threads)
            for round_no in range(1, args.rounds + 1):
                for kind in best:
                    rps = requests_per_second(ports[kind], args.requests, args.threads)
                    best[kind] = max(best[kind], rps)
                    print(f'round {round_no}: {kind:5} {rps:8.0f} requests/s')
        finally:
            for process in servers:
                process.terminate()
                process.join()

    ratio = best['stack'] / best['bare']
    print(f'whole stack {best["stack"]:.0f} requests/s, bare werkzeug {best["bare"]:.0f} requests/s')
    print(f'ratio {ratio:.2f} (goal >= {GOAL}): {"met" if ratio >= GOAL else "NOT met"}')


if __name__ == '__main__':
    main()
