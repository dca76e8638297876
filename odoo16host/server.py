"""Odoo 16 servers on loopback: installing add-ons into a database and serving one database.

Each server gets a configuration file of its own (database connection, add-ons path, ports,
plus the add-on's own settings), so several can run at once on one cluster.
"""
import os
import signal
import socket
import subprocess
import time

import requests

ADMIN = ('admin', 'admin')      # the administrator of a database installed without demo data


def free_port(start):
    """The first port from ``start`` on that nothing listens on at 127.0.0.1."""
    for port in range(start, start + 500):
        with socket.socket() as probe:
            probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                probe.bind(('127.0.0.1', port))
            except OSError:
                continue
            return port
    raise RuntimeError('no free port from %d' % start)


class OdooInstallation:
    """The Odoo 16 source tree, the Python that runs it and the add-on folders it serves."""

    def __init__(self, odoo_root, python, addons_paths, cluster, work_dir):
        self.odoo_root = odoo_root
        self.python = python
        self.addons_paths = [os.path.join(odoo_root, 'odoo', 'addons'),
                             os.path.join(odoo_root, 'platform_stubs')] + list(addons_paths)
        self.cluster = cluster
        self.work_dir = work_dir
        os.makedirs(work_dir, exist_ok=True)

    def write_config(self, name, options, sections=None):
        """An odoo.conf of the given name: the common settings, then ``options``; ``sections``
        ({name: {key: value}}) are further sections, read by add-ons from ``config.misc``."""
        base = {
            'addons_path': ','.join(self.addons_paths),
            'data_dir': os.path.join(self.work_dir, 'data'),
            'db_host': self.cluster.socket_dir,
            'db_port': self.cluster.port,
            'db_user': 'odoo',
            'db_password': 'False',
            'http_interface': '127.0.0.1',
            'max_cron_threads': 0,
            'without_demo': 'all',
            'log_level': 'warn',
        }
        base.update(options)
        path = os.path.join(self.work_dir, name + '.conf')
        with open(path, 'w') as conf:
            conf.write('[options]\n')
            for key, value in base.items():
                conf.write('%s = %s\n' % (key, value))
            for section, values in (sections or {}).items():
                conf.write('\n[%s]\n' % section)
                for key, value in values.items():
                    conf.write('%s = %s\n' % (key, value))
        return path

    def odoo(self, config, *args, **kwargs):
        argv = [self.python, os.path.join(self.odoo_root, 'odoo-bin'), '-c', config] + list(args)
        return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              **kwargs)

    def install(self, dbname, modules, options=None):
        """Create ``dbname`` with base and ``modules`` installed; raises with Odoo's log if
        anything went wrong (Odoo exits 0 on some failed installs, so the log is read too)."""
        log = os.path.join(self.work_dir, 'install-%s.log' % dbname)
        config = self.write_config('install-' + dbname, dict(options or {}, logfile=log))
        done = self.odoo(config, '-d', dbname, '-i', ','.join(['base'] + list(modules)),
                         '--stop-after-init', timeout=600)
        text = open(log).read() if os.path.exists(log) else done.stdout
        if done.returncode != 0 or ' ERROR ' in text or ' CRITICAL ' in text:
            raise RuntimeError('installing %s into %s failed:\n%s' % (modules, dbname, text[-6000:]))
        missing = set(modules) - set(self.cluster.sql(
            "SELECT name FROM ir_module_module WHERE state = 'installed'", dbname).split())
        if missing:
            raise RuntimeError('not installed: %s\n%s' % (sorted(missing), text[-6000:]))


class OdooServer:
    """One Odoo HTTP server tied to one database: ``-d NAME --db-filter '^NAME$'``."""

    def __init__(self, installation, dbname, workers=2, port=None, options=None, sections=None):
        self.installation = installation
        self.dbname = dbname
        self.workers = workers
        self.port = port or free_port(18269)
        self.options = dict(options or {})
        self.sections = sections
        self.process = None
        self.log_path = os.path.join(installation.work_dir, 'server-%s-%d.log' % (dbname, self.port))

    @property
    def url(self):
        return 'http://127.0.0.1:%d' % self.port

    def start(self, timeout=60):
        options = dict(self.options, http_port=self.port, workers=self.workers,
                       gevent_port=free_port(self.port + 1000), logfile=self.log_path,
                       db_name=self.dbname, dbfilter='^%s$' % self.dbname)
        config = self.installation.write_config('server-%s-%d' % (self.dbname, self.port), options,
                                                self.sections)
        argv = [self.installation.python, os.path.join(self.installation.odoo_root, 'odoo-bin'),
                '-c', config]
        self.process = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT,
                                        start_new_session=True)
        self._wait_ready(timeout)
        return self

    def _wait_ready(self, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError('Odoo exited with %s:\n%s' % (self.process.returncode, self.log()))
            try:
                # Answered by a worker once the registry of the database is loaded.
                reply = requests.post(self.url + '/web/webclient/version_info', json={}, timeout=10)
                if reply.status_code == 200:
                    return
            except requests.RequestException:
                pass
            time.sleep(0.1)
        self.stop()
        raise RuntimeError('Odoo did not answer within %ss:\n%s' % (timeout, self.log()))

    def log(self):
        try:
            with open(self.log_path) as log:
                return log.read()[-6000:]
        except OSError:
            return ''

    def stop(self):
        """SIGTERM (Odoo's graceful stop), then kill the whole process group if it lingers."""
        if self.process is None or self.process.poll() is not None:
            return
        os.killpg(self.process.pid, signal.SIGTERM)
        try:
            self.process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
        try:      # workers left behind by a killed master
            os.killpg(self.process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
