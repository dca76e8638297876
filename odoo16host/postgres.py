"""A private PostgreSQL 15 cluster on a Unix socket, run as the ``postgres`` user.

PostgreSQL refuses to run as root, so the cluster's folders belong to ``postgres`` and every
command runs through ``runuser`` when this process is root. No TCP: ``listen_addresses=''``.
"""
import os
import pwd
import shutil
import subprocess
import tempfile

PG_BIN = '/usr/lib/postgresql/15/bin'
ROLE = 'odoo'       # Odoo refuses to connect as "postgres"


def _as_postgres(argv):
    if os.geteuid() == 0:
        return ['runuser', '-u', 'postgres', '--'] + argv
    return argv


def quote_ident(name):
    return '"%s"' % name.replace('"', '""')


class Cluster:
    """``with Cluster(port) as pg:`` initialises, starts, and at the end stops and removes it."""

    def __init__(self, port=55434, base_dir=None):
        self.port = port
        self.base_dir = base_dir
        self.root = None

    @property
    def socket_dir(self):
        return os.path.join(self.root, 'run')

    @property
    def data_dir(self):
        return os.path.join(self.root, 'data')

    def _pg(self, tool, *args, **kwargs):
        argv = _as_postgres([os.path.join(PG_BIN, tool)] + list(args))
        return subprocess.run(argv, check=True, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True, **kwargs)

    def start(self):
        self.root = tempfile.mkdtemp(prefix='rw-pg-', dir=self.base_dir)
        os.makedirs(self.socket_dir)
        if os.geteuid() == 0:
            entry = pwd.getpwnam('postgres')
            for path in (self.root, self.socket_dir):
                os.chown(path, entry.pw_uid, entry.pw_gid)
        self._pg('initdb', '-D', self.data_dir, '-U', 'postgres', '-A', 'trust', '-E', 'UTF8',
                 '--locale=C.UTF-8')
        options = ("-p %d -k %s -c listen_addresses='' -c fsync=off -c synchronous_commit=off "
                   "-c full_page_writes=off -c max_connections=200" % (self.port, self.socket_dir))
        self._pg('pg_ctl', '-D', self.data_dir, '-l', os.path.join(self.root, 'server.log'), '-w',
                 '-o', options, 'start')
        self.sql('CREATE ROLE %s SUPERUSER LOGIN' % ROLE)
        return self

    def stop(self):
        if self.root is None:
            return
        try:
            self._pg('pg_ctl', '-D', self.data_dir, '-m', 'immediate', '-w', 'stop')
        finally:
            shutil.rmtree(self.root, ignore_errors=True)
            self.root = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def sql(self, statement, dbname='postgres'):
        """Run one statement with psql; its rows as text (unaligned, tab-separated)."""
        return self._pg('psql', '-h', self.socket_dir, '-p', str(self.port), '-U', 'postgres',
                        '-d', dbname, '-v', 'ON_ERROR_STOP=1', '-qAt', '-F', '\t',
                        '-c', statement).stdout

    def copy_database(self, template, name):
        """A new database ``name`` copied from ``template`` (no session may be open on it)."""
        # Owned by Odoo's role: Odoo lists only the databases its role owns.
        self.sql('CREATE DATABASE %s TEMPLATE %s OWNER %s'
                 % (quote_ident(name), quote_ident(template), ROLE))

    def drop_database(self, name):
        self.sql('DROP DATABASE IF EXISTS %s WITH (FORCE)' % quote_ident(name))
