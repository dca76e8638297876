"""The shop's Odoo add-on as the stand-in serves it: imported as ``odoo.addons.<name>``, its
manifest read, the data it needs loaded into a database.

Of the data files, the stand-in loads the records of the models it has (sequences, system
parameters). It runs no scheduler and has no web client, so it leaves out scheduled actions
(``ir.cron``: the command line runs the same work on demand) and the back office (views,
window actions, menus, groups and their categories; in Python, the transient models of the
wizards and the settings page, which no environment here knows). Access rights (``ir.model.access.csv``)
are not loaded either: on the stand-in nobody but the superuser (``sudo()``) reaches the
add-on's records, which Odoo's rights only widen for back-office users. Records of any other
model (record rules among them) are refused: leaving them out could make the stand-in more
permissive than Odoo.
"""
import ast
import importlib
import os
import xml.etree.ElementTree as ElementTree

from kfchost import http, odoo_shim
from kfchost.orm import api

ADDON = 'kfc_coupon_shop'
# Model -> the field that identifies a record, so that loading twice creates nothing new.
LOADED_MODELS = {'ir.sequence': 'code', 'ir.config_parameter': 'key'}
SKIPPED_MODELS = {'ir.cron', 'ir.ui.view', 'ir.actions.act_window', 'ir.ui.menu', 'res.groups',
                  'ir.module.category'}


def import_addon(name=ADDON):
    """The add-on's package, imported through the ``odoo`` names of the stand-in."""
    odoo_shim.install()
    return importlib.import_module('odoo.addons.' + name)


def submodule(dotted, name=ADDON):
    """A module of the add-on, e.g. ``submodule('services.runtime')``."""
    import_addon(name)
    return importlib.import_module('odoo.addons.%s.%s' % (name, dotted))


def addon_path(name=ADDON):
    return os.path.dirname(import_addon(name).__file__)


def manifest(name=ADDON):
    with open(os.path.join(addon_path(name), '__manifest__.py'), encoding='utf-8') as handle:
        return ast.literal_eval(handle.read())


def controller_classes(name=ADDON):
    """The controllers served for the add-on: its own, and web's as the add-on extends them."""
    return submodule('controllers', name).controller_classes() + extended_web_controllers(name)


def extended_web_controllers(name=ADDON):
    """web's controllers as Odoo serves them in a database where the add-on is installed: each
    one combined with the classes of web and of the add-on that inherit it (their leaves)."""
    modules = {'web', name}
    served = []
    for top in http.Controller.children_classes.get('web', []):
        leaves = list(dict.fromkeys(_leaf_classes(top, modules)))
        if leaves == [top]:
            served.append(top)
        else:
            served.append(type(top.__name__, tuple(reversed(leaves)), {}))
    return served


def _leaf_classes(cls, modules):
    def in_modules(klass):
        path = klass.__module__.split('.')
        return path[:2] == ['odoo', 'addons'] and path[2] in modules
    leaves = [leaf for sub in cls.__subclasses__() if in_modules(sub)
              for leaf in _leaf_classes(sub, modules)]
    return leaves or ([cls] if in_modules(cls) else [])


def statics(name=ADDON):
    """{add-on: its static folder}, served at /<add-on>/static/ as Odoo serves them."""
    return {name: os.path.join(addon_path(name), 'static')}


def load_data(env, name=ADDON):
    """Create the records of the add-on's XML data files that are missing; returns how many."""
    created = 0
    for path in manifest(name)['data']:
        if path.endswith('.xml'):
            for model, values in _xml_records(os.path.join(addon_path(name), path)):
                created += _ensure(env, model, values)
    return created


def _ensure(env, model, values):
    if model not in LOADED_MODELS:
        raise ValueError('data of model %r cannot be loaded by the stand-in' % model)
    key = LOADED_MODELS[model]
    records = env[model].sudo()
    if records.search_count([(key, '=', values[key])]):
        return 0
    records.create(values)
    return 1


def _xml_records(path):
    """(model, values) of each <record> of an Odoo XML data file that the stand-in loads."""
    for record in ElementTree.parse(path).getroot().iter('record'):
        model = record.attrib['model']
        if model not in SKIPPED_MODELS:
            yield model, {field.attrib['name']: _field_value(field) for field in record.iter('field')}


def _field_value(field):
    if 'ref' in field.attrib:
        raise ValueError('field %r: the stand-in loads no links between data records'
                         % field.attrib['name'])
    if 'eval' in field.attrib:
        return ast.literal_eval(field.attrib['eval'])
    return field.text or ''


def install(registry, name=ADDON):
    """Bring the database of ``registry`` up to the add-on: its models' tables and its data."""
    import_addon(name)
    registry.init_db()
    with registry.cursor() as cr:
        load_data(api.Environment(cr), name)
    return registry
