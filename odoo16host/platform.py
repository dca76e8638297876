"""Odoo 16 for a test session: one private cluster, each set of add-ons installed once into a
template database, a fresh copy of a template per test, servers tied to those copies."""
import itertools
import os
import shutil
import tempfile

from odoo16host.postgres import Cluster
from odoo16host.server import OdooInstallation, OdooServer

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


class Odoo16Platform:
    def __init__(self, odoo_root, python, addons_paths=(ROOT,), port=55434):
        self.cluster = Cluster(port)
        self.work_dir = tempfile.mkdtemp(prefix='rw-odoo16-')
        self.installation = OdooInstallation(odoo_root, python, addons_paths, self.cluster,
                                             self.work_dir)
        self._templates = {}
        self._names = itertools.count(1)

    @classmethod
    def from_environ(cls, addons_paths=(ROOT,)):
        """From ODOO16_ROOT (the unpacked server) and ODOO16_PYTHON (its venv's python), as
        odoo16host/prepare.sh prints them; None when they are not given."""
        root, python = os.environ.get('ODOO16_ROOT'), os.environ.get('ODOO16_PYTHON')
        if not root or not python:
            return None
        return cls(root, python, addons_paths)

    def start(self):
        self.cluster.start()
        return self

    def stop(self):
        self.cluster.stop()
        shutil.rmtree(self.work_dir, ignore_errors=True)

    def template(self, modules, prepare=None):
        """The name of a database with ``modules`` installed, made once per session.
        ``prepare(server)`` may add records through a server on it before it is first copied."""
        key = tuple(modules)
        if key not in self._templates:
            name = 'rw_tpl_%d' % next(self._names)
            self.installation.install(name, modules)
            if prepare is not None:
                with OdooServer(self.installation, name, workers=0) as server:
                    prepare(server)
            self._templates[key] = name
        return self._templates[key]

    def database(self, template):
        """A fresh copy of ``template``; its name."""
        name = 'rw_db_%d' % next(self._names)
        self.cluster.copy_database(template, name)
        return name

    def drop(self, name):
        self.cluster.drop_database(name)

    def server(self, dbname, workers=2, sections=None, port=None):
        return OdooServer(self.installation, dbname, workers=workers, sections=sections,
                          port=port)
