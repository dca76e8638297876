"""The host application: the shop's add-on, its records and the HTTP layer, wired from the
add-on's Settings."""
import os

from kfchost import addon, http
from kfchost.orm.registry import Registry


def open_registry(db_path):
    """The records of the database file ``db_path``, created or brought up to the add-on."""
    addon.import_addon()                # defines the models the registry serves
    os.makedirs(os.path.dirname(os.path.abspath(db_path)), exist_ok=True)
    return addon.install(Registry(db_path))


def runtime():
    """The add-on's process-wide services (settings, outbound client, WeChat Pay client)."""
    return addon.submodule('runtime')


def create_app(settings, db_path):
    """Configure the add-on's services and return the WSGI application serving its controllers
    on the database file ``db_path``."""
    services = runtime()
    services.configure(settings)
    services.registry = open_registry(db_path)
    return http.Application(services.registry, addon.controller_classes(), addon.statics())
