"""Command line of the host: create the database, load demo data, serve.

    python -m kfchost serve --sandbox --demo      # the API with the simulated outside world
    python -m kfchost serve --config odoo.conf    # production settings, as Odoo reads them
    python -m kfchost init-db --db var/kfchost.sqlite3
    python -m kfchost demo --db var/kfchost.sqlite3
    python -m kfchost settle --config odoo.conf   # every minute or few, e.g. from cron
    python -m kfchost reconcile --config odoo.conf --date 2024-05-01   # daily, after 10:00
    python -m kfchost check --config odoo.conf    # the books hold once settlement has run
"""
import argparse
import configparser
import datetime
import logging
import os
import signal
import sys
import tempfile

from kfchost import addon, http, odoo_shim, page
from kfchost.app import configure, create_app, open_registry, runtime
from kfcsandbox.config import KITCHEN_HELP, SERVE_KITCHEN_SECONDS, kitchen_seconds

DEFAULT_DB = 'var/kfchost.sqlite3'


def main(argv=None):
    args = _parser().parse_args(argv)
    logging.basicConfig(level=logging.INFO, format='%(asctime)s %(levelname)s %(name)s: %(message)s')
    return args.command(args) or 0


def _parser():
    parser = argparse.ArgumentParser(prog='kfchost', description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(required=True, metavar='command')

    serve = commands.add_parser('serve', help='serve the API (threaded werkzeug server)')
    serve.add_argument('--host', default='127.0.0.1',
                       help='address to listen on (default: %(default)s)')
    serve.add_argument('--port', type=int, default=8069,
                       help='port of the API; 0 takes a free one (default: %(default)s)')
    serve.add_argument('--db', help='database file (default: the config file\'s db_path, else %s)'
                       % DEFAULT_DB)
    serve.add_argument('--config', help='Odoo configuration file: [options] db_path and the '
                       'add-on\'s settings in [kfc_coupon_shop] (see the README)')
    serve.add_argument('--sandbox', action='store_true',
                       help='start the simulated outside services and use them instead of production')
    serve.add_argument('--sandbox-port', type=int, default=8070,
                       help='port of the sandbox, with --sandbox (default: %(default)s)')
    serve.add_argument('--kitchen-seconds', type=kitchen_seconds, default=SERVE_KITCHEN_SECONDS,
                       metavar='SECONDS', help='with --sandbox: ' + KITCHEN_HELP)
    serve.add_argument('--demo', action='store_true',
                       help="a new database gets the add-on's demo records (demo/ of the add-on)")
    serve.set_defaults(command=_serve)

    init_db = commands.add_parser('init-db', help='create or update the database schema')
    init_db.add_argument('--db', default=DEFAULT_DB)
    init_db.set_defaults(command=_init_db)

    _on_records(commands, 'settle', _settle,
                'ask about payments never notified and refunds in progress, place paid orders '
                'left in draft, refund orders paid after their cancellation')
    reconcile = _on_records(commands, 'reconcile', _reconcile,
                            "compare a day's payments, refunds and dishes with WeChat Pay's bill "
                            "and the kitchen; record and print the differences")
    reconcile.add_argument('--date', type=datetime.date.fromisoformat,
                           help="China's day, YYYY-MM-DD (default: the day before)")
    _on_records(commands, 'check', _check,
                "check the shop's books once settlement has run (with the sandbox's WeChat Pay "
                "and back-end in sandbox mode); exit status 1 on a breach")

    demo = commands.add_parser('demo', help="load the add-on's demo records that are missing")
    demo.add_argument('--db', default=DEFAULT_DB)
    demo.set_defaults(command=_demo)
    return parser


def _on_records(commands, name, command, help_text):
    """A command run on the records of a database with production or sandbox settings."""
    parser = commands.add_parser(name, help=help_text)
    parser.add_argument('--db', help='database file (default: the config file\'s)')
    parser.add_argument('--config', help='production settings, as Odoo reads them')
    parser.add_argument('--sandbox-url', help='use the running sandbox at this address instead')
    parser.set_defaults(command=command)
    return parser


def _serve(args):
    # What can stop the start is checked before anything starts or loads: the configuration
    # file, then the port, bound here and served once everything is ready.
    if not args.sandbox and not args.config:
        return _refuse('give --sandbox, or --config with the production settings')
    if args.config and not args.sandbox and not os.path.isfile(args.config):
        return _refuse('configuration file not found: %s' % args.config)
    try:
        server = http.make_server(None, args.host, args.port)
    except OSError as exc:
        return _refuse('cannot listen on %s:%d: %s' % (args.host, args.port, exc.strerror or exc))
    sandbox = None
    section = None
    public_url = 'http://%s:%d' % (args.host, server.server_port)
    db_path = args.db or DEFAULT_DB
    if args.sandbox:
        try:
            sandbox = _start_sandbox(args.sandbox_port, args.kitchen_seconds)
        except OSError as exc:
            server.server_close()
            return _refuse('cannot start the sandbox on port %d: %s'
                           % (args.sandbox_port, exc.strerror or exc))
        keys = tempfile.TemporaryDirectory(prefix='kfchost-keys-')
        section = sandbox.config.addon_section(keys.name, public_url, sandbox.url)
    elif args.config:
        odoo_shim.install()
        try:
            odoo_shim.config.load(args.config)
        except (OSError, configparser.Error) as exc:
            server.server_close()
            return _refuse('cannot read the configuration file %s: %s'
                           % (args.config, str(exc).splitlines()[0]))
        db_path = args.db or odoo_shim.config.get('db_path') or DEFAULT_DB
    app = create_app(db_path, section, demo=args.demo)
    services = runtime()
    if sandbox:
        page.forget_jsapi_ticket(app.registry)
    server.app = app
    if not services.settings.public_url:
        services.settings.public_url = public_url
    print('kfchost API listening on http://%s:%d/api/ (public address %s, database %s)'
          % (args.host, server.server_port, services.settings.public_url, db_path), flush=True)
    print('WeChat Pay notifications go to %s' % services.notify_url('/api/...'), flush=True)
    print(page.page_line(args.host, server.server_port), flush=True)
    if sandbox:
        print('sandbox of the outside services listening on %s (control: %s/sandbox/)'
              % (sandbox.url, sandbox.url), flush=True)
    try:
        http.serve_until_stopped(server, on_signal=_say_stopping)
    finally:
        server.server_close()
        if sandbox:
            sandbox.stop()
            keys.cleanup()
    print('kfchost stopped', flush=True)


def _say_stopping(signum):
    print('kfchost: %s received, finishing the requests in progress'
          % signal.Signals(signum).name, flush=True)


def _refuse(message):
    """One line on stderr and exit status 2, as for a wrong command line."""
    print('kfchost serve: %s' % message, file=sys.stderr, flush=True)
    return 2


def _start_sandbox(port, seconds):
    from kfcsandbox.config import SandboxConfig
    from kfcsandbox.server import SandboxServer
    deployment = addon.submodule('services.deployment').read_deployment()
    config = SandboxConfig.from_deployment(deployment, kitchen_seconds=seconds)
    return SandboxServer(config, port=port).start()


def _settle(args):
    counts = _run_on_records(args, 'settle', lambda env: env['sale.order']._kfc_settle())
    print(' '.join('%s=%d' % item for item in counts.items()), flush=True)


def _reconcile(args):
    def reconcile(env):
        reconciliation = env['kfc.reconciliation']
        day = day_of(args)
        record = reconciliation._kfc_reconcile(day)
        return record.state, record.message, [
            (d.kind, d.reference, d.shop_value or '', d.outside_value or '')
            for d in record.difference_ids]
    state, message, differences = _run_on_records(args, 'reconcile', reconcile)
    if state not in ('open', 'done'):
        print('kfchost reconcile: not reconciled: %s' % message, file=sys.stderr, flush=True)
        return 1
    print('%s reconciled, differences: %d' % (day_of(args), len(differences)), flush=True)
    for difference in differences:
        print('  %s %s: shop %r, outside %r' % difference, flush=True)


def day_of(args):
    return args.date or _reconciliation_day()


def _reconciliation_day():
    """The day the daily reconciliation takes: the day before, in China."""
    return addon.submodule('services.china_time').china_today() - datetime.timedelta(days=1)


def _check(args):
    def check(env):
        return env['kfc.books']._kfc_report(_sandbox_facts(args))
    report = _run_on_records(args, 'check', check)
    print(report, flush=True)
    return 0 if report == 'the books hold' else 1


def _sandbox_facts(args):
    """In sandbox mode (--sandbox-url, or a configuration file that points the shop at a
    sandbox) what the sandbox's WeChat Pay and back-end hold; else None: the records alone."""
    url = args.sandbox_url
    if not url and args.config:
        url = odoo_shim.config.misc.get('kfc_coupon_shop', {}).get('sandbox_url')
    if not url:
        return None
    from kfcsandbox.books import outside_facts
    return outside_facts(url)


def _run_on_records(args, command, work):
    """``work(env)`` on the database of the command line, with its settings; its result."""
    from kfchost.orm import api
    db_path = args.db or DEFAULT_DB
    keys = tempfile.TemporaryDirectory(prefix='kfchost-keys-')
    section = None
    if args.sandbox_url:
        section = _sandbox_section(args.sandbox_url, keys.name)
    elif args.config:
        odoo_shim.install()
        odoo_shim.config.load(args.config)
        db_path = args.db or odoo_shim.config.get('db_path') or DEFAULT_DB
    else:
        sys.exit('kfchost %s: give --config with the production settings, or --sandbox-url'
                 % command)
    with keys:
        configure(section)
        registry = open_registry(db_path)
        try:
            with registry.cursor() as cr:
                return work(api.Environment(cr, api.SUPERUSER_ID, {}))
        finally:
            registry.close()


def _sandbox_section(sandbox_url, key_dir):
    """The [kfc_coupon_shop] section for the running sandbox at ``sandbox_url``, from what its
    control endpoint hands out."""
    import requests
    from kfcsandbox.config import addon_section
    given = requests.get(sandbox_url.rstrip('/') + '/sandbox/config', timeout=(5, 15)).json()
    return addon_section(given, key_dir, 'http://127.0.0.1', sandbox_url)


def _init_db(args):
    open_registry(args.db).close()
    print('database ready: %s' % args.db)


def _demo(args):
    from kfchost.orm import api
    registry = open_registry(args.db)
    with registry.cursor() as cr:
        created = addon.load_data(api.Environment(cr, api.SUPERUSER_ID, {}), demo=True)
    registry.close()
    print('%d demo records loaded' % created if created else 'demo records already present',
          flush=True)
