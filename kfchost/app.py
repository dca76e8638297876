"""The host application: the shop's add-on, its records and the HTTP layer, configured as Odoo
configures it, from the server's configuration file."""
import os

from kfchost import addon, http, odoo_shim
from kfchost.orm.registry import Registry


def open_registry(db_path, demo=False):
    """The records of the database file ``db_path``, created or brought up to the add-on; with
    ``demo``, a new database gets the add-on's demo data, as Odoo loads it when it installs
    an add-on (and never into a database that has the add-on already)."""
    addon.import_addon()                # defines the models the registry serves
    os.makedirs(os.path.dirname(os.path.abspath(db_path)), exist_ok=True)
    new = not os.path.exists(db_path)
    return addon.install(Registry(db_path), demo=demo and new)


def runtime():
    """The add-on's process-wide services (settings, outbound client, WeChat Pay client)."""
    return addon.submodule('services.runtime')


def configure(section=None):
    """Apply the add-on's settings of the server's configuration (``odoo.tools.config``), with
    ``section`` as its [kfc_coupon_shop] section when given (a sandbox's, say); returns the
    add-on's services."""
    addon.import_addon()
    if section is not None:
        odoo_shim.config.misc[addon.ADDON] = dict(section)
    services = runtime()
    Settings = addon.submodule('services.settings').Settings
    services.configure(Settings.from_config(odoo_shim.config))
    return services


def create_app(db_path, section=None, demo=False):
    """Configure the add-on's services and return the WSGI application serving its controllers
    on the database file ``db_path`` (a new one with the demo data, with ``demo``)."""
    configure(section)
    return http.Application(open_registry(db_path, demo), addon.controller_classes(), addon.statics(),
                            proxy_mode=odoo_shim.config.get('proxy_mode') in (True, 'True', 'true'))
