"""The host application: the shop's add-on, its records and the HTTP layer, configured as Odoo
configures it, from the server's configuration file."""
import os

from kfchost import addon, http, odoo_shim
from kfchost.orm.registry import Registry


def open_registry(db_path):
    """The records of the database file ``db_path``, created or brought up to the add-on."""
    addon.import_addon()                # defines the models the registry serves
    os.makedirs(os.path.dirname(os.path.abspath(db_path)), exist_ok=True)
    return addon.install(Registry(db_path))


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


def create_app(db_path, section=None):
    """Configure the add-on's services and return the WSGI application serving its controllers
    on the database file ``db_path``."""
    configure(section)
    return http.Application(open_registry(db_path), addon.controller_classes(), addon.statics(),
                            proxy_mode=odoo_shim.config.get('proxy_mode') in (True, 'True', 'true'))
