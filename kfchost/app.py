"""The host application: records, host modules and the HTTP layer, wired from the Settings."""
import os

from kfchost import http, runtime
from kfchost.orm.registry import Registry


def open_registry(db_path):
    """The records of the database file ``db_path``, created or brought up to date."""
    import kfchost.models  # noqa: F401  (defines the models the registry serves)
    os.makedirs(os.path.dirname(os.path.abspath(db_path)), exist_ok=True)
    registry = Registry(db_path)
    registry.init_db()
    return registry


def create_app(settings):
    """Configure the host's services and return the WSGI application serving the controllers."""
    from kfchost.controllers import controller_classes

    runtime.configure(settings)
    runtime.registry = open_registry(settings.db_path)
    return http.Application(runtime.registry, controller_classes())
