"""Command line of the host: create the database, load demo data, serve.

    python -m kfchost serve --sandbox --demo      # the API with the simulated outside world
    python -m kfchost init-db --db var/kfchost.sqlite3
    python -m kfchost demo --db var/kfchost.sqlite3
    python -m kfchost settle --config kfchost.ini       # every few minutes, e.g. from cron
"""
import argparse
import logging
import sys

from kfchost import http, runtime
from kfchost.app import create_app, open_registry
from kfchost.config import Settings

DEFAULT_DB = 'var/kfchost.sqlite3'


def main(argv=None):
    args = _parser().parse_args(argv)
    logging.basicConfig(level=logging.INFO, format='%(asctime)s %(levelname)s %(name)s: %(message)s')
    return args.command(args) or 0


def _parser():
    parser = argparse.ArgumentParser(prog='kfchost', description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(required=True, metavar='command')

    serve = commands.add_parser('serve', help='serve the API (threaded werkzeug server)')
    serve.add_argument('--host', default='127.0.0.1')
    serve.add_argument('--port', type=int, default=8069)
    serve.add_argument('--db', help='database file (default: the config file\'s, else %s)' % DEFAULT_DB)
    serve.add_argument('--config', help='production settings (INI, see kfchost.config.Settings.from_ini)')
    serve.add_argument('--sandbox', action='store_true',
                       help='start the simulated outside services and use them instead of production')
    serve.add_argument('--sandbox-port', type=int, default=8070)
    serve.add_argument('--demo', action='store_true', help='load the demo records into an empty database')
    serve.set_defaults(command=_serve)

    init_db = commands.add_parser('init-db', help='create or update the database schema')
    init_db.add_argument('--db', default=DEFAULT_DB)
    init_db.set_defaults(command=_init_db)

    settle = commands.add_parser(
        'settle', help='query refunds in progress, place paid orders left in draft, refund '
                       'orders paid after their cancellation')
    settle.add_argument('--db', help='database file (default: the config file\'s)')
    settle.add_argument('--config', help='production settings (INI)')
    settle.add_argument('--sandbox-url', help='use the running sandbox at this address instead')
    settle.set_defaults(command=_settle)

    demo = commands.add_parser('demo', help='load the demo records')
    demo.add_argument('--db', default=DEFAULT_DB)
    demo.set_defaults(command=_demo)
    return parser


def _serve(args):
    sandbox = None
    public_url = 'http://%s:%d' % (args.host, args.port)
    if args.sandbox:
        sandbox = _start_sandbox(args.sandbox_port)
        settings = Settings.for_sandbox(sandbox.url, sandbox.config.host_settings(),
                                        args.db or DEFAULT_DB, public_url)
    elif args.config:
        settings = Settings.from_ini(args.config)
        settings.db_path = args.db or settings.db_path
    else:
        sys.exit('kfchost serve: give --sandbox, or --config with the production settings')
    app = create_app(settings)
    if args.demo:
        _load_demo(runtime.registry, sandbox.config.host_settings()['wechat'] if sandbox else None)
    server = http.make_server(app, args.host, args.port)
    listening = 'http://%s:%d' % (args.host, server.server_port)
    if sandbox:     # the sandbox posts its notifications to wherever this server listens
        runtime.settings.public_url = listening
    print('kfchost API listening on %s/api/ (database %s)' % (listening, settings.db_path),
          flush=True)
    print('WeChat Pay notifications go to %s' % runtime.notify_url('/api/...'), flush=True)
    if sandbox:
        print('sandbox of the outside services listening on %s (control: %s/sandbox/)'
              % (sandbox.url, sandbox.url), flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
        if sandbox:
            sandbox.stop()


def _start_sandbox(port):
    from kfchost.outbound import read_deployment
    from kfcsandbox.config import SandboxConfig
    from kfcsandbox.server import SandboxServer
    return SandboxServer(SandboxConfig.from_deployment(read_deployment()), port=port).start()


def _settle(args):
    from kfchost.functions.settlement import settle
    from kfchost.orm import api
    if args.sandbox_url:
        import requests
        sandbox_settings = requests.get(args.sandbox_url.rstrip('/') + '/sandbox/config',
                                        timeout=(5, 15)).json()
        settings = Settings.for_sandbox(args.sandbox_url, sandbox_settings,
                                        args.db or DEFAULT_DB, 'http://127.0.0.1')
    elif args.config:
        settings = Settings.from_ini(args.config)
        settings.db_path = args.db or settings.db_path
    else:
        sys.exit('kfchost settle: give --config with the production settings, or --sandbox-url')
    runtime.configure(settings)
    registry = runtime.registry = open_registry(settings.db_path)
    try:
        with registry.cursor() as cr:
            counts = settle(api.Environment(cr))
    finally:
        registry.close()
    print(' '.join('%s=%d' % item for item in counts.items()), flush=True)


def _init_db(args):
    open_registry(args.db).close()
    print('database ready: %s' % args.db)


def _demo(args):
    registry = open_registry(args.db)
    _load_demo(registry)
    registry.close()


def _load_demo(registry, wechat=None):
    from kfchost.demo import load_demo
    from kfchost.orm import api
    with registry.cursor() as cr:
        loaded = load_demo(api.Environment(cr), wechat)
    print('demo records loaded' if loaded else 'demo records already present', flush=True)
