"""The host application: records, host modules and the HTTP layer, wired from the Settings."""
import os

from kfchost import http, runtime
from kfchost.orm.registry import Registry


def create_app(settings):
    """Configure the host's services and return the WSGI application serving the controllers."""
    import kfchost.models  # noqa: F401  (defines the models the registry serves)
    from kfchost.controllers import controller_classes

    runtime.configure(settings)
    os.makedirs(os.path.dirname(os.path.abspath(settings.db_path)), exist_ok=True)
    registry = Registry(settings.db_path)
    registry.init_db()
    runtime.registry = registry
    return http.Application(registry, controller_classes())
