"""Odoo 16 for a test session or a benchmark: one private PostgreSQL cluster, each set of
add-ons installed once into a template database, a fresh copy of a template per test, and
servers tied to one database each (``-d NAME --db-filter '^NAME$'``) on free loopback ports.
Built on ``runner`` (the source, its Python, the cluster, installing and serving).
"""
import contextlib
import itertools
import os
import shutil
import socket
import subprocess
import tempfile
import time

from odoo16harness import runner

PROJECT_ROOT = runner.PROJECT_ROOT
CLUSTER_PORT = 55434


def free_port():
    """A port nothing is bound to at 127.0.0.1, chosen by the system: runs of the harness side
    by side (other checkouts, CI) do not pick the same one, as they would scanning from a fixed
    start, where a request could reach the other run's server."""
    with socket.socket() as probe:
        probe.bind(('127.0.0.1', 0))
        return probe.getsockname()[1]


class Server:
    """A running Odoo server tied to ``dbname``: ``url``, ``port``, ``process``; ``stop()``."""

    def __init__(self, odoo, served, dbname):
        self.odoo = odoo
        self.served = served
        self.dbname = dbname
        self.url = served.url
        self.port = odoo.http_port
        self.process = served.process

    def log(self):
        with open(self.served.log_file, encoding='utf-8', errors='replace') as handle:
            return handle.read()[-6000:]

    def stop(self):
        self.served.stop()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.stop()


class Odoo16Platform:
    def __init__(self, source, python, addons=(PROJECT_ROOT,), port=CLUSTER_PORT):
        self.source = source
        self.python = python
        self.addons = list(addons)
        self.work_dir = tempfile.mkdtemp(prefix='rw-odoo16-')
        os.chmod(self.work_dir, 0o755)      # the cluster below runs as another user
        self.cluster = runner.PostgresCluster(os.path.join(self.work_dir, 'pg'), port=port)
        self._templates = {}
        self._names = itertools.count(1)
        self._renewals = itertools.count(1)

    @classmethod
    def prepare(cls, addons=(PROJECT_ROOT,), src=None):
        """The source from ``src`` or ODOO16_SRC (an Odoo 16 tree, a folder holding its
        tarball, or the tarball) and Odoo's venv under var/, made or brought up to date."""
        source = runner.odoo_source(src)
        python = runner.ensure_python(source, os.path.join(PROJECT_ROOT, 'var', 'odoo-venv'))
        return cls(source, python, addons)

    def start(self):
        self.cluster.start()
        # A throw-away cluster: no waiting on the disk (copies of databases, commits).
        for setting in ('fsync', 'synchronous_commit', 'full_page_writes'):
            self.cluster.psql('ALTER SYSTEM SET %s = off' % setting)
        self.cluster.psql('SELECT pg_reload_conf()')
        return self

    def stop(self):
        with contextlib.suppress(Exception):
            self.cluster.stop()
        shutil.rmtree(self.work_dir, ignore_errors=True)

    def odoo(self, name, http_port=None, sections=None, options=None):
        """An Odoo runner with a configuration of its own. The runners share one data folder,
        so that a server finds the files (attachments) of the databases another one made."""
        port = http_port or free_port()
        return runner.Odoo(self.source, self.python, self.cluster, self.addons,
                           os.path.join(self.work_dir, name), http_port=port,
                           gevent_port=free_port(), sections=sections,
                           options=dict({'log_level': 'warn', 'data_dir': self.data_dir},
                                        **(options or {})))

    @property
    def data_dir(self):
        return os.path.join(self.work_dir, 'data')

    def _copy_files(self, template, name):
        """The attachments' files of ``template`` as those of database ``name`` (a copy of the
        database names the same files)."""
        filestore = os.path.join(self.data_dir, 'filestore')
        shutil.rmtree(os.path.join(filestore, name), ignore_errors=True)
        if os.path.isdir(os.path.join(filestore, template)):
            shutil.copytree(os.path.join(filestore, template), os.path.join(filestore, name))

    def template(self, modules, demo=False, sections=None):
        """The name of a database with ``modules`` installed (with ``demo``, with their demo
        data), made once per session, by Odoo with ``sections`` in its configuration file."""
        key = (tuple(modules), demo)
        if key not in self._templates:
            name = 'rw_tpl_%d' % next(self._names)
            self.odoo('install-' + name, sections=sections).install(name, modules, demo=demo)
            self._templates[key] = name
        return self._templates[key]

    def addon_tests(self, modules, tags=None):
        """Odoo's runner on the own tests of ``modules``, installed into a copy of the
        template with base alone (dropped afterwards); an OdooTestRun (``ok``, ``summary``,
        ``report()``)."""
        name = self.database(self.template([]))
        run = self.odoo('test-' + name).test(name, modules, tags)
        self.drop(name)
        return run

    def database(self, template):
        """A fresh copy of ``template`` (0.2 s); its name."""
        name = 'rw_db_%d' % next(self._names)
        self.cluster.create_database(name, template=template)
        self._copy_files(template, name)
        return name

    def drop(self, name):
        self.cluster.drop_database(name)
        shutil.rmtree(os.path.join(self.data_dir, 'filestore', name), ignore_errors=True)

    def renew(self, name, template):
        """Replace database ``name`` by a fresh copy of ``template`` under a running server.

        Its sessions are ended (the workers open new connections at their next request) and
        the cache sequence is moved past every value a worker has seen (further at each
        renewal: the copy starts from the template's value), so that every worker empties its
        caches before it serves the new copy (the registry, made from the same template, stays)."""
        # The template may still be held by a closing session, and a copy that failed may
        # have left the name taken: each try drops what stands under the name first.
        for attempt in range(3):
            self.cluster.psql('DROP DATABASE IF EXISTS "%s" WITH (FORCE)' % name)
            try:
                self.cluster.psql('CREATE DATABASE "%s" TEMPLATE "%s" STRATEGY FILE_COPY'
                                  % (name, template))
                break
            except subprocess.CalledProcessError:
                if attempt == 2:
                    raise
                time.sleep(0.5)
        self._copy_files(template, name)
        step = 1000 * next(self._renewals)
        self.cluster.psql("SELECT setval('base_cache_signaling', "
                          "(SELECT last_value + %d FROM base_cache_signaling))" % step, name)

    def server(self, dbname, workers=2, sections=None, http_port=None, timeout=60,
               options=None):
        """A started server tied to ``dbname``; ``sections(url)`` gives the sections of its
        configuration file (the add-on's settings), given the address it will serve at;
        ``options`` more of its [options] (``max_cron_threads``, say)."""
        port = http_port or free_port()
        odoo = self.odoo('serve-%s-%d' % (dbname, port), port, options=options)
        if sections is not None:
            odoo.sections = sections(odoo.url)
        served = odoo.serve(dbname, workers=workers)
        try:
            served.wait_ready(timeout)
        except Exception:
            served.stop()
            raise
        return Server(odoo, served, dbname)
