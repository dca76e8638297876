"""Odoo 16 with PostgreSQL 15 for local runs and tests: the server source, its Python, a private
database cluster, installing add-ons and serving them.

Standard library only, so that any Python (a test run, a script, CI) can drive it:

    source = odoo_source()                                   # ODOO16_SRC or ../shared/odoo16
    python = ensure_python(source, 'var/odoo-venv', project_root='.')
    with PostgresCluster('var/pg', port=55433) as pg:
        odoo = Odoo(source, python, pg, addons=['.'], run_dir='var/odoo-run', http_port=18169)
        odoo.install('shop', ['kfc_coupon_shop'])           # -i base,... --stop-after-init
        print(odoo.test('shop_tests', ['kfc_coupon_shop']).summary)   # the add-on's own tests
        pg.create_database('shop_t1', template='shop')       # a clean copy in 0.2 s
        with odoo.serve('shop_t1', workers=2) as server:     # tied to that database
            urllib.request.urlopen(server.url + '/web/health')

PostgreSQL refuses to run as root: as root, the cluster runs as the ``postgres`` user, on a
Unix socket only, and Odoo connects as a superuser role named after the current user.
"""
import contextlib
import getpass
import glob
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import tarfile
import tempfile
import time
import urllib.error
import urllib.request

PG_BIN = '/usr/lib/postgresql/15/bin'
TARBALL_GLOB = 'odoo-16.0-*.tar.gz'
REQUIREMENTS = 'requirements-py310.txt'
BUILD_INPUTS = ('controllers/**/*.py', 'module/**/*', 'tools/embed_controller.py', 'CMakeLists.txt',
                'pyproject.toml', 'deployment.ini', 'tools/addon_constants.py',
                'kfc_coupon_shop/deployment.ini')     # the last written by the build
PROJECT_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_SOURCE = os.path.join(PROJECT_ROOT, '..', 'shared', 'odoo16')


# -- processes --------------------------------------------------------------------------------


def stop_group(process, timeout):
    """SIGTERM to the process group of ``process``, SIGKILL if it is not gone in ``timeout``."""
    with contextlib.suppress(ProcessLookupError):
        os.killpg(process.pid, signal.SIGTERM)
    try:
        process.wait(timeout)
    except subprocess.TimeoutExpired:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(process.pid, signal.SIGKILL)
        process.wait()


# -- the server source and its Python ---------------------------------------------------------


class OdooSource:
    """An unpacked Odoo 16 tree: ``root`` holds odoo-bin, ``addons`` the paths of its add-ons
    (base, web and the manifest-only stubs of the categories base's data refers to)."""

    def __init__(self, root, requirements=None):
        self.root = os.path.abspath(root)
        self.odoo_bin = os.path.join(self.root, 'odoo-bin')
        if not os.path.isfile(self.odoo_bin):
            raise FileNotFoundError('no odoo-bin in %s' % self.root)
        self.requirements = requirements
        self.addons = [os.path.join(self.root, 'odoo', 'addons')]
        stubs = os.path.join(self.root, 'platform_stubs')
        if os.path.isdir(stubs):
            self.addons.append(stubs)


def odoo_source(src=None, unpack_dir=None):
    """The Odoo 16 source given as ``src`` (else $ODOO16_SRC, else ../shared/odoo16 beside the
    checkout): a tree with odoo-bin, a folder holding the tarball, or the tarball itself, which
    is unpacked into ``unpack_dir`` (default var/ of the checkout) and unpacked again when
    another tarball is given. A source that is not there raises SourceNotFound."""
    origin = 'given' if src else 'ODOO16_SRC' if os.environ.get('ODOO16_SRC') else 'the default'
    src = os.path.abspath(src or os.environ.get('ODOO16_SRC') or DEFAULT_SOURCE)
    if os.path.isdir(src):
        if os.path.isfile(os.path.join(src, 'odoo-bin')):
            return OdooSource(src, _requirements_beside(src))
        tarballs = sorted(glob.glob(os.path.join(src, TARBALL_GLOB)))
        if not tarballs:
            raise SourceNotFound(src, origin, 'holds neither odoo-bin nor %s' % TARBALL_GLOB)
        src = tarballs[-1]
    elif not os.path.isfile(src):
        raise SourceNotFound(src, origin, 'is no file or folder')
    unpack_dir = os.path.abspath(unpack_dir or os.path.join(PROJECT_ROOT, 'var'))
    return OdooSource(_unpacked(src, origin, unpack_dir), _requirements_beside(src))


class SourceNotFound(FileNotFoundError):
    """No Odoo 16 source where one was looked for; the message is one line that says where."""

    def __init__(self, path, origin, problem):
        super().__init__('Odoo 16 source not found: %s (%s) %s; ../shared/odoo16 beside the '
                         'checkout ships one (ODOO16_SRC=../shared/odoo16)' % (path, origin, problem))


def _unpacked(tarball, origin, unpack_dir):
    """The tree of ``tarball`` under ``unpack_dir``/odoo16, unpacked once per tarball (its path,
    size and time of change), through a temporary folder so that a broken unpack leaves none."""
    root = os.path.join(unpack_dir, 'odoo16')
    stamp = os.path.join(root, '.unpacked-from')
    status = os.stat(tarball)
    key = '%s\n%d %d\n' % (tarball, status.st_size, status.st_mtime_ns)
    if _read(stamp) == key and os.path.isfile(os.path.join(root, 'odoo-bin')):
        return root
    os.makedirs(unpack_dir, exist_ok=True)
    shutil.rmtree(root, ignore_errors=True)
    with tempfile.TemporaryDirectory(dir=unpack_dir, prefix='.odoo16-') as scratch:
        try:
            with tarfile.open(tarball) as tar:
                tar.extractall(scratch)
        except tarfile.TarError:
            raise SourceNotFound(tarball, origin, 'is not a readable tarball') from None
        if not os.path.isfile(os.path.join(scratch, 'odoo16', 'odoo-bin')):
            raise SourceNotFound(tarball, origin, 'holds no odoo16/odoo-bin')
        os.rename(os.path.join(scratch, 'odoo16'), root)
    with open(stamp, 'w') as handle:
        handle.write(key)
    return root


def _requirements_beside(path):
    folder = path if os.path.isdir(path) else os.path.dirname(path)
    for candidate in (os.path.join(folder, REQUIREMENTS), os.path.join(os.path.dirname(folder), REQUIREMENTS)):
        if os.path.isfile(candidate):
            return candidate
    return None


def ensure_python(source, venv_dir, project_root=PROJECT_ROOT, base_python=None):
    """Odoo's Python: a venv at ``venv_dir`` with Odoo's requirements and this project
    (routeweave) pip-installed. The project is installed again whenever what the module is
    built from (controllers, module, build files) changed. Returns the path of its python."""
    venv_dir = os.path.abspath(venv_dir)
    python = os.path.join(venv_dir, 'bin', 'python')
    if not os.path.isfile(python):
        subprocess.run([base_python or sys.executable, '-m', 'venv', venv_dir], check=True)
    pip = [python, '-m', 'pip', 'install', '-q', '--disable-pip-version-check']
    requirements = source.requirements or os.path.join(source.root, 'requirements.txt')
    requirements_marker = os.path.join(venv_dir, '.odoo-requirements-installed')
    with open(requirements, 'rb') as handle:
        wanted = hashlib.sha256(handle.read()).hexdigest()
    if _read(requirements_marker) != wanted:
        # PEP 517 builds for the few that ship only a setup.py (no legacy install, no warning)
        subprocess.run(pip + ['--use-pep517', '-r', requirements], check=True)
        with open(requirements_marker, 'w') as handle:
            handle.write(wanted)
    project_marker = os.path.join(venv_dir, '.routeweave-build')
    digest = build_digest(project_root)
    if _read(project_marker) != digest:
        subprocess.run(pip + [project_root], check=True)
        with open(project_marker, 'w') as handle:
            handle.write(build_digest(project_root))
    return python


def build_digest(project_root=PROJECT_ROOT):
    """A digest of what the routeweave module is built from."""
    digest = hashlib.sha256()
    for pattern in BUILD_INPUTS:
        for path in sorted(glob.glob(os.path.join(project_root, pattern), recursive=True)):
            if os.path.isfile(path):
                digest.update(os.path.relpath(path, project_root).encode())
                with open(path, 'rb') as handle:
                    digest.update(handle.read())
    return digest.hexdigest()


def _read(path):
    try:
        with open(path) as handle:
            return handle.read()
    except FileNotFoundError:
        return None


# -- PostgreSQL -------------------------------------------------------------------------------

class PostgresCluster:
    """A private PostgreSQL 15 cluster under ``root``, listening on a Unix socket only."""

    def __init__(self, root, port=55433, pg_bin=PG_BIN):
        self.root = os.path.abspath(root)
        self.port = port
        self.pg_bin = pg_bin
        self.data_dir = os.path.join(self.root, 'data')
        self.socket_dir = os.path.join(self.root, 'run')
        self.log_file = os.path.join(self.root, 'server.log')
        self.as_root = os.geteuid() == 0
        self.user = getpass.getuser()       # the role Odoo connects with
        self.started = False

    def _run(self, *command, capture=False):
        command = [os.path.join(self.pg_bin, command[0]), *command[1:]]
        if self.as_root:
            command = ['runuser', '-u', 'postgres', '--'] + command
        return subprocess.run(command, check=True, text=True,
                              stdout=subprocess.PIPE if capture else subprocess.DEVNULL,
                              stderr=subprocess.PIPE if capture else None)

    def init(self):
        if os.path.isfile(os.path.join(self.data_dir, 'PG_VERSION')):
            return
        os.makedirs(self.socket_dir, exist_ok=True)
        if self.as_root:
            shutil.chown(self.root, 'postgres', 'postgres')
            shutil.chown(self.socket_dir, 'postgres', 'postgres')
        superuser = 'postgres' if self.as_root else self.user
        self._run('initdb', '-D', self.data_dir, '-U', superuser, '-A', 'trust', '-E', 'UTF8',
                  '--locale=C.UTF-8')

    def is_running(self):
        command = [os.path.join(self.pg_bin, 'pg_ctl'), '-D', self.data_dir, 'status']
        if self.as_root:
            command = ['runuser', '-u', 'postgres', '--'] + command
        return subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0

    def start(self):
        """Start the cluster (made when missing); one left running by an earlier run is taken
        over, and stopped by ``stop`` like a fresh one."""
        self.init()
        if not self.is_running():
            self._run('pg_ctl', '-D', self.data_dir, '-l', self.log_file, '-w', '-o',
                      "-p %d -k %s -c listen_addresses=''" % (self.port, self.socket_dir), 'start')
        self.started = True
        if self.as_root and not self.psql("SELECT 1 FROM pg_roles WHERE rolname = '%s'" % self.user,
                                          user='postgres'):
            self.psql('CREATE ROLE "%s" SUPERUSER LOGIN' % self.user, user='postgres')
        return self

    def stop(self):
        if self.started:
            self._run('pg_ctl', '-D', self.data_dir, '-m', 'fast', '-w', 'stop')
            self.started = False

    def restart(self):
        """Restart the server at once (``-m fast``: open transactions are rolled back)."""
        self._run('pg_ctl', '-D', self.data_dir, '-m', 'fast', '-w', '-o',
                  "-p %d -k %s -c listen_addresses=''" % (self.port, self.socket_dir), 'restart')

    def psql(self, sql, dbname='postgres', user=None):
        """Run ``sql``; the rows of its result as text (unaligned, tab-separated). Notices
        (e.g. "database ... does not exist, skipping") are not shown, warnings are."""
        result = subprocess.run(
            [os.path.join(self.pg_bin, 'psql'), '-h', self.socket_dir, '-p', str(self.port),
             '-U', user or self.user, '-d', dbname, '-v', 'ON_ERROR_STOP=1', '-XAtq', '-F', '\t',
             '-c', sql], check=True, text=True, stdout=subprocess.PIPE,
            env=dict(os.environ, PGOPTIONS='-c client_min_messages=warning'))
        return result.stdout.strip()

    def create_database(self, name, template=None):
        sql = 'CREATE DATABASE "%s"' % name
        self.psql(sql + (' TEMPLATE "%s"' % template if template else ''))

    def drop_database(self, name):
        self.psql('DROP DATABASE IF EXISTS "%s"' % name)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc_info):
        self.stop()


# -- Odoo -------------------------------------------------------------------------------------

class Odoo:
    """Runs ``source`` with ``python`` on ``pg``: add-ons from ``addons`` (folders holding
    add-on folders), files under ``run_dir``, HTTP on 127.0.0.1:``http_port``.

    ``sections`` become sections of the configuration file (``odoo.tools.config.misc``), e.g.
    {'kfc_coupon_shop': {'sandbox_url': ...}}; ``options`` extra [options] keys.
    """

    def __init__(self, source, python, pg, addons, run_dir, http_port=18169, gevent_port=None,
                 sections=None, options=None):
        self.source = source
        self.python = python
        self.pg = pg
        self.addons = [os.path.abspath(path) for path in addons]
        self.run_dir = os.path.abspath(run_dir)
        self.http_port = http_port
        self.gevent_port = gevent_port or http_port + 1
        self.sections = sections or {}
        self.options = options or {}
        self.config_file = os.path.join(self.run_dir, 'odoo.conf')

    @property
    def url(self):
        return 'http://127.0.0.1:%d' % self.http_port

    def write_config(self, demo=False):
        os.makedirs(self.run_dir, exist_ok=True)
        options = {
            'addons_path': ','.join(self.source.addons + self.addons),
            'data_dir': os.path.join(self.run_dir, 'data'),
            'db_host': self.pg.socket_dir,
            'db_port': self.pg.port,
            'db_user': self.pg.user,
            'http_interface': '127.0.0.1',
            'http_port': self.http_port,
            'gevent_port': self.gevent_port,
            'max_cron_threads': 0,
            'without_demo': False if demo else 'all',
            'list_db': False,
            **self.options,
        }
        lines = ['[options]'] + ['%s = %s' % item for item in options.items()]
        for section, values in self.sections.items():
            lines += ['', '[%s]' % section] + ['%s = %s' % item for item in values.items()]
        # the sections may hold credentials: readable by the owner only
        with open(os.open(self.config_file, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600),
                  'w', encoding='utf-8') as handle:
            handle.write('\n'.join(lines) + '\n')
        return self.config_file

    def command(self, *args, subcommand=None, demo=False):
        """odoo-bin [subcommand] -c <config> args: ``subcommand`` e.g. 'shell'; ``demo``: the
        modules installed get their demo data."""
        head = [self.python, self.source.odoo_bin] + ([subcommand] if subcommand else [])
        return head + ['-c', self.write_config(demo), *args]

    def install(self, db, modules, log_file=None, timeout=600, demo=False):
        """Create database ``db`` with base and ``modules`` installed (with ``demo``, with
        their demo data and base's); seconds it took."""
        return self._stop_after_init(db, ['-i', ','.join(['base', *modules])], 'installing',
                                     log_file or os.path.join(self.run_dir, 'install-%s.log' % db),
                                     timeout, demo)

    def update(self, db, modules, log_file=None, timeout=600):
        """Update ``modules`` in database ``db`` to their files (``-u``); seconds it took."""
        return self._stop_after_init(db, ['-u', ','.join(modules)], 'updating',
                                     log_file or os.path.join(self.run_dir, 'update-%s.log' % db),
                                     timeout)

    def _stop_after_init(self, db, args, doing, log_file, timeout, demo=False):
        started = time.monotonic()
        os.makedirs(self.run_dir, exist_ok=True)
        with open(log_file, 'w') as log:
            result = subprocess.run(
                self.command('-d', db, *args, '--stop-after-init', '--log-level', 'warn',
                             demo=demo),
                stdout=log, stderr=subprocess.STDOUT, timeout=timeout)
        if result.returncode or _install_failed(log_file):
            raise RuntimeError('%s %s in %s failed; see %s' % (doing, args[1], db, log_file))
        return time.monotonic() - started

    def test(self, db, modules, tags=None, log_file=None, timeout=1800):
        """Install ``modules`` into database ``db`` and run their tests with Odoo's runner
        (``--test-enable``; ``tags`` for ``--test-tags``, by default every test of ``modules``,
        at install and after it); an OdooTestRun. A missing ``db`` is made with base first:
        installing base with the tests on would load web's tests too, which need base's
        tests, left out of the tarball."""
        if not self.pg.psql("SELECT 1 FROM pg_database WHERE datname = '%s'" % db):
            self.install(db, [])
        log_file = log_file or os.path.join(self.run_dir, 'test-%s.log' % db)
        os.makedirs(self.run_dir, exist_ok=True)
        tags = tags or ','.join('/' + module for module in modules)
        with open(log_file, 'w') as log:
            result = subprocess.run(
                self.command('-d', db, '-i', ','.join(modules), '--test-enable',
                             '--test-tags', tags, '--stop-after-init', '--log-level', 'warn',
                             # the closing summary is logged at INFO when every test passed
                             '--log-handler', 'odoo.tests.result:INFO'),
                stdout=log, stderr=subprocess.STDOUT, timeout=timeout)
        return OdooTestRun(result.returncode, log_file)

    def shell(self, db, code, timeout=300):
        """Run Python ``code`` in ``odoo-bin shell`` on database ``db`` (``env`` bound; nothing
        is committed unless the code commits); what it printed."""
        result = subprocess.run(self.command('-d', db, '--no-http', subcommand='shell'),
                                input=code, text=True, capture_output=True, timeout=timeout)
        if result.returncode:
            raise RuntimeError('odoo-bin shell failed:\n%s' % result.stderr[-3000:])
        return result.stdout

    def serve(self, db, workers=2, log_file=None):
        """Start the HTTP server tied to database ``db``; a running OdooServer."""
        log_file = log_file or os.path.join(self.run_dir, 'serve-%s.log' % db)
        os.makedirs(self.run_dir, exist_ok=True)
        log = open(log_file, 'w')
        process = subprocess.Popen(
            self.command('-d', db, '--db-filter', '^%s$' % db, '--workers', str(workers)),
            stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
        log.close()
        return OdooServer(process, self.url, log_file)


def _install_failed(log_file):
    """Odoo can log a failed module load and still exit 0."""
    with open(log_file, encoding='utf-8', errors='replace') as handle:
        text = handle.read()
    return ' CRITICAL ' in text or 'Failed to load registry' in text or ' ERROR ' in text


class OdooTestRun:
    """What Odoo's test runner reported: ``returncode`` (1 when a test failed), the counts of
    its closing line ``N failed, N error(s) of N tests`` (``summary``) and the log."""

    SUMMARY = re.compile(r'(\d+) failed, (\d+) error\(s\) of (\d+) tests.*')
    RECORD = re.compile(r'^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d+ \d+ (\w+) ')

    def __init__(self, returncode, log_file):
        self.returncode = returncode
        self.log_file = log_file
        with open(log_file, encoding='utf-8', errors='replace') as handle:
            self.log = handle.read()
        found = list(self.SUMMARY.finditer(self.log))
        self.failed, self.errors, self.tests = (map(int, found[-1].groups()) if found
                                                else (None, None, 0))
        self.summary = (found[-1].group(0).strip() if found
                        else 'no test summary (exit status %s)' % returncode)

    @property
    def ok(self):
        """Tests ran, and none failed or broke."""
        return self.returncode == 0 and self.tests > 0 and not (self.failed or self.errors)

    def problems(self):
        """The log's ERROR and CRITICAL records with their tracebacks: what failed, and why."""
        blocks, keep = [], False
        for line in self.log.splitlines():
            record = self.RECORD.match(line)
            if record:
                keep = record.group(1) in ('ERROR', 'CRITICAL')
                if keep:
                    blocks.append([])
            if keep:
                blocks[-1].append(line)
        return '\n'.join('\n'.join(block) for block in blocks)

    def report(self):
        return '%s\n%s\n(log: %s)' % (self.summary, self.problems(), self.log_file)


class OdooServer:
    """A serving Odoo process (with its workers, in a session of its own)."""

    def __init__(self, process, url, log_file):
        self.process = process
        self.url = url
        self.log_file = log_file

    def wait_ready(self, timeout=60):
        """Wait until the server answers /web/health; seconds it took."""
        started = time.monotonic()
        while time.monotonic() - started < timeout:
            if self.process.poll() is not None:
                raise RuntimeError('Odoo exited with %s; see %s' % (self.process.returncode,
                                                                   self.log_file))
            try:
                with urllib.request.urlopen(self.url + '/web/health', timeout=2):
                    return time.monotonic() - started
            except (urllib.error.URLError, ConnectionError, OSError):
                time.sleep(0.1)
        raise TimeoutError('Odoo did not answer within %s s; see %s' % (timeout, self.log_file))

    def stop(self, timeout=30):
        """SIGTERM (a graceful stop of the server and its workers), SIGKILL if it hangs."""
        if self.process.poll() is not None:
            return
        stop_group(self.process, timeout)

    def __enter__(self):
        self.wait_ready()
        return self

    def __exit__(self, *exc_info):
        self.stop()
