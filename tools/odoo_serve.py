"""The shop on Odoo 16 for a person to use: the add-on with its demo data in a database of a
private PostgreSQL 15 cluster that persists under var/, served by Odoo with two workers and the
cron, pointed at the sandbox, until SIGINT or SIGTERM stop Odoo, the sandbox and PostgreSQL.

    ./dev serve --odoo [--port 8069] [--sandbox-port 8070] [--kitchen-seconds 5|off] [--reset]
                       [--work DIR] [--hosts N]

The first start installs base and the add-on with their demo data; later ones reuse the
database (updating the add-on first when its files changed) and are ready in seconds.
--reset starts from a fresh database. The Odoo source is ODOO16_SRC, else ../shared/odoo16.
With --hosts N (2 or more), N Odoo servers on free ports (each with two workers, the cron and
proxy_mode, sharing one data folder) serve behind an nginx of its own on --port, configured by
the add-on's services/nginx.py; it serves on while one host lives.
"""
import argparse
import contextlib
import fcntl
import glob
import hashlib
import os
import signal
import socket
import subprocess
import sys
import time
import xml.etree.ElementTree as ElementTree

from kfchost import addon, page
from kfcsandbox.config import (KITCHEN_HELP, SERVE_KITCHEN_SECONDS, SandboxConfig,
                              kitchen_seconds)
from kfcsandbox.server import SandboxServer
from odoo16harness import runner
from odoo16harness.nginx import Nginx, nginx_binary
from odoo16harness.platform import free_port

ADDON = 'kfc_coupon_shop'
DB = 'kfc_shop'
PG_PORT = 55435             # names the socket in the cluster's own folder: no TCP
DEFAULT_WORK = os.path.join(runner.PROJECT_ROOT, 'var', 'odoo-serve')
# What needs the add-on updated in the database; static files Odoo reads as they change.
ADDON_FILES = ('__manifest__.py', '**/*.py', '**/*.xml', '**/*.csv', '**/*.po')
GROUP_ROLES = {'group_kfc_manager': 'Manager', 'group_kfc_staff': 'Staff'}


class Stopped(Exception):
    """SIGINT or SIGTERM arrived."""


def _stop_on_signal(signum, frame):
    for each in (signal.SIGINT, signal.SIGTERM):     # a second signal leaves the cleanup be
        signal.signal(each, signal.SIG_IGN)
    raise Stopped(signal.Signals(signum).name)


def main(argv=None):
    parser = argparse.ArgumentParser(prog='./dev serve --odoo',
                                     description=__doc__.split('\n\n')[0].replace('\n', ' '))
    parser.add_argument('--port', type=int, default=8069, help='port of Odoo (default %(default)s)')
    parser.add_argument('--sandbox-port', type=int, default=8070,
                        help='port of the sandbox (default %(default)s)')
    parser.add_argument('--kitchen-seconds', type=kitchen_seconds, default=SERVE_KITCHEN_SECONDS,
                        metavar='SECONDS', help=KITCHEN_HELP)
    parser.add_argument('--reset', action='store_true',
                        help='drop the database and install the shop afresh')
    parser.add_argument('--work', default=DEFAULT_WORK,
                        help='folder of the cluster, the configuration and the logs (default '
                             'var/odoo-serve)')
    parser.add_argument('--hosts', type=int, default=1,
                        help='Odoo servers behind nginx on --port (default %(default)s: one '
                             'server on --port, no nginx)')
    args = parser.parse_args(argv)
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, _stop_on_signal)
    try:
        return serve(args)
    except Stopped as stopped:
        print('%s received: Odoo, %sthe sandbox and PostgreSQL stopped'
              % (stopped, 'nginx, ' if args.hosts > 1 else ''), flush=True)
        return 0


def refuse(message):
    """One line on stderr and exit status 2, as ./dev serve does."""
    print('serve --odoo: %s' % message, file=sys.stderr, flush=True)
    return 2


def serve(args):
    started = time.monotonic()
    try:
        source = runner.odoo_source()
    except runner.SourceNotFound as exc:
        return refuse(str(exc))
    if args.hosts > 1 and not nginx_binary():
        return refuse("--hosts %d needs nginx (Debian's nginx: apt-get install nginx)" % args.hosts)
    work = os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    with contextlib.ExitStack() as running:
        if not _lock(work, running):
            return refuse('another ./dev serve --odoo uses %s' % work)
        refused = _bind_error(args.port)
        if refused:
            return refuse('cannot listen on 127.0.0.1:%d: %s' % (args.port, refused))
        try:
            sandbox = SandboxServer(_sandbox_config(args.kitchen_seconds),
                                    port=args.sandbox_port).start()
        except OSError as exc:
            return refuse('cannot start the sandbox on port %d: %s'
                          % (args.sandbox_port, exc.strerror or exc))
        running.callback(sandbox.stop)
        python = runner.ensure_python(source, os.path.join(runner.PROJECT_ROOT, 'var', 'odoo-venv'))
        pg = runner.PostgresCluster(os.path.join(work, 'pg'), port=PG_PORT)
        running.callback(_stop_cluster, pg)     # also when a signal cuts its start short
        pg.start()
        hosts = _hosts(args, source, python, pg, work)
        door_url = 'http://127.0.0.1:%d' % args.port
        section = sandbox.config.addon_section(os.path.join(work, 'keys'), door_url, sandbox.url)
        for odoo in hosts:
            odoo.sections[ADDON] = section
        odoo = hosts[0]
        prepare_database(odoo, pg, args.reset, work)
        # A new sandbox knows no JS-SDK ticket of an earlier one: the page's next configuration
        # fetches a fresh ticket rather than signing with one the sandbox would refuse.
        pg.psql("DELETE FROM ir_config_parameter WHERE key = 'js_api_timestamp1'", DB)
        servers = []
        for each in hosts:
            servers.append(each.serve(DB, workers=2))
            running.callback(servers[-1].stop)
        for server in servers:
            server.wait_ready(timeout=120)
        door = None
        if args.hosts > 1:
            door = _door(hosts, work, args.port)
            running.callback(door.stop)
        say_where(odoo, sandbox, pg, servers, door, time.monotonic() - started)
        return _serve_until_stopped(servers, door)


def _hosts(args, source, python, pg, work):
    """The Odoo runners: one on --port, or ``--hosts`` behind the door on ports of their own,
    sharing the first one's data folder (sessions, attachments)."""
    if args.hosts <= 1:
        return [runner.Odoo(source, python, pg, addons=[runner.PROJECT_ROOT],
                            run_dir=os.path.join(work, 'odoo'), http_port=args.port,
                            gevent_port=free_port(), options={'max_cron_threads': 1})]
    options = {'max_cron_threads': 1, 'proxy_mode': True,
               'data_dir': os.path.join(work, 'odoo', 'data')}
    return [runner.Odoo(source, python, pg, addons=[runner.PROJECT_ROOT],
                        run_dir=os.path.join(work, 'odoo' if n == 1 else 'odoo-%d' % n),
                        http_port=free_port(), gevent_port=free_port(), options=options)
            for n in range(1, args.hosts + 1)]


def _door(hosts, work, port):
    nginx = addon.submodule('services.nginx')
    prefix = os.path.join(work, 'nginx')
    site = nginx.site_config([('127.0.0.1:%d' % odoo.http_port, '127.0.0.1:%d' % odoo.gevent_port)
                              for odoo in hosts], listen='127.0.0.1:%d' % port)
    return Nginx(prefix, nginx.main_config(site, prefix), port).start()


def _serve_until_stopped(servers, door):
    """Serve while a host lives (and the door, when there is one); 1 once none does."""
    gone = set()
    while len(gone) < len(servers) and (door is None or door.process.poll() is None):
        for n, server in enumerate(servers, 1):
            if n not in gone and server.process.poll() is not None:
                gone.add(n)
                print('%s stopped by itself (exit status %s); see %s'
                      % ('Odoo host %d' % n if door else 'Odoo', server.process.returncode,
                         server.log_file), file=sys.stderr, flush=True)
        time.sleep(0.5)
    if door is not None and door.process.poll() is not None:
        print('nginx stopped by itself (exit status %s); see %s'
              % (door.process.returncode, door.error_log), file=sys.stderr, flush=True)
    return 1


def _lock(work, running):
    """Hold the work folder for this run; False when another run holds it."""
    handle = running.enter_context(open(os.path.join(work, '.lock'), 'w'))
    try:
        fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        return False
    return True


def _bind_error(port):
    """Why Odoo could not bind 127.0.0.1:``port`` (as it binds, with SO_REUSEADDR); None
    when it could."""
    with socket.socket() as probe:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            probe.bind(('127.0.0.1', port))
        except OSError as exc:
            return exc.strerror or str(exc)
    return None


def _stop_cluster(pg):
    if pg.is_running():
        pg.started = True
        pg.stop()


def _sandbox_config(seconds):
    return SandboxConfig.from_deployment(addon.submodule('services.deployment').read_deployment(),
                                         kitchen_seconds=seconds)


def prepare_database(odoo, pg, reset, work):
    """The shop's database: installed with demo data when missing, half made or ``reset``;
    updated when the add-on's files changed since."""
    stamp = os.path.join(work, 'addon-installed.sha256')
    digest = addon_digest()
    if reset or not _installed(pg):
        pg.drop_database(DB)
        seconds = odoo.install(DB, [ADDON], demo=True)
        print('installed base and %s with demo data into %s in %.0f s' % (ADDON, DB, seconds),
              flush=True)
    elif _read(stamp) != digest:
        seconds = odoo.update(DB, [ADDON])
        print('updated %s in %s to its files in %.0f s' % (ADDON, DB, seconds), flush=True)
    with open(stamp, 'w') as handle:
        handle.write(digest)


def _installed(pg):
    if not pg.psql("SELECT 1 FROM pg_database WHERE datname = '%s'" % DB):
        return False
    try:
        state = pg.psql("SELECT state FROM ir_module_module WHERE name = '%s'" % ADDON, DB)
    except subprocess.CalledProcessError:       # an install stopped before base was in
        return False
    return state == 'installed'


def addon_digest():
    root = addon.addon_path()
    digest = hashlib.sha256()
    for pattern in ADDON_FILES:
        for path in sorted(glob.glob(os.path.join(root, pattern), recursive=True)):
            if '%stests%s' % (os.sep, os.sep) not in path:
                digest.update(os.path.relpath(path, root).encode())
                with open(path, 'rb') as handle:
                    digest.update(handle.read())
    return digest.hexdigest()


def _read(path):
    with contextlib.suppress(FileNotFoundError), open(path) as handle:
        return handle.read()
    return None


def demo_logins():
    """(role, login, password) of the back office's demo users, read from the demo data."""
    logins = []
    for path in addon.manifest()['demo']:
        root = ElementTree.parse(os.path.join(addon.addon_path(), path)).getroot()
        for record in root.iter('record'):
            if record.attrib['model'] == 'res.users':
                fields = {field.attrib['name']: field for field in record.findall('field')}
                groups = fields['groups_id'].attrib['eval']
                role = next(role for group, role in GROUP_ROLES.items() if group in groups)
                logins.append((role, fields['login'].text, fields['password'].text))
    return logins


def say_where(odoo, sandbox, pg, servers, door, seconds):
    url = door.url if door else odoo.url
    print('Odoo 16 serving %s at %s %s (PostgreSQL 15 in %s), ready in %.1f s'
          % (DB, url, 'through nginx on %d hosts with 2 workers and the cron each' % len(servers)
             if door else 'with 2 workers and the cron', pg.root, seconds), flush=True)
    users = ', '.join('%s %s / %s' % login for login in demo_logins())
    print("the back office (Odoo's web client): %s/web (%s; administrator admin / admin)"
          % (url, users), flush=True)
    print(page.page_line('127.0.0.1', door.port if door else odoo.http_port), flush=True)
    print('the API: %s/api/ (WeChat Pay notifications go to %s/api/...)'
          % (url, odoo.sections[ADDON]['public_url']), flush=True)
    if door:
        for n, server in enumerate(servers, 1):
            print('Odoo host %d: %s (process group %d), its log: %s'
                  % (n, server.url, server.process.pid, server.log_file), flush=True)
        print("nginx's configuration: %s, its log: %s" % (door.config_file, door.error_log),
              flush=True)
    else:
        print("Odoo's log: %s" % servers[0].log_file, flush=True)
    print('sandbox of the outside services listening on %s (control: %s/sandbox/)'
          % (sandbox.url, sandbox.url), flush=True)


if __name__ == '__main__':
    sys.exit(main())
