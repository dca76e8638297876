"""Odoo 16 with PostgreSQL 15 as a platform for tests and benchmarks: a private cluster, the
add-on installed once into a template database, and Odoo servers tied to copies of it."""
from odoo16host.postgres import Cluster
from odoo16host.server import OdooInstallation, OdooServer, free_port

__all__ = ['Cluster', 'OdooInstallation', 'OdooServer', 'free_port']
