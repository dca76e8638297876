"""The shop's Odoo add-on as the stand-in serves it: imported as ``odoo.addons.<name>``, its
manifest read, the data it needs loaded into a database.

Of the data files (and, asked for, the demo files), the stand-in loads the records of the
add-on's own models and of the platform's it has (sequences, system parameters), under their
external ids (``ir.model.data``), so that loading again creates only what is missing and
``ref`` links records as in Odoo. It runs no scheduler and has no web client, so it leaves out
scheduled actions (``ir.cron``: the command line runs the same work on demand) and the back
office (views, window actions, menus, groups and their categories, the back office's users;
in Python, the transient models of the wizards and the settings page, which no environment
here knows).
Access rights (``ir.model.access.csv``) are not loaded either: on the stand-in nobody but the
superuser (``sudo()``) reaches the add-on's records, which Odoo's rights only widen for
back-office users. Records of any other model (record rules among them) are refused: leaving
them out could make the stand-in more permissive than Odoo.
"""
import ast
import importlib
import logging
import os
import xml.etree.ElementTree as ElementTree

from kfchost import http, odoo_shim
from kfchost.orm import api

_logger = logging.getLogger(__name__)

ADDON = 'kfc_coupon_shop'
# The platform's models the add-on's data may hold, by the field that identifies a record in a
# database loaded before the stand-in kept external ids.
PLATFORM_MODELS = {'ir.sequence': 'code', 'ir.config_parameter': 'key'}
# The platform's models whose own records (named by another module's external id, such as
# base.CNY) the add-on's data may change, as Odoo applies such a record at install.
PLATFORM_RECORDS = {'res.currency'}
SKIPPED_MODELS = {'ir.cron', 'ir.ui.view', 'ir.actions.act_window', 'ir.ui.menu', 'res.groups',
                  'ir.module.category', 'res.users'}


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


def load_data(env, name=ADDON, demo=False):
    """Create the records of the add-on's XML data files, and with ``demo`` of its demo files,
    that are missing; returns how many."""
    files = manifest(name)['data'] + (manifest(name).get('demo', []) if demo else [])
    return sum(load_file(env, os.path.join(addon_path(name), path), name)
               for path in files if path.endswith('.xml'))


def load_file(env, path, module=ADDON):
    """Create the missing records of the Odoo XML data file ``path`` of ``module``."""
    created = 0
    for record in ElementTree.parse(path).getroot().iter('record'):
        if record.attrib['model'] not in SKIPPED_MODELS:
            created += _ensure(env, module, record)
    return created


def _ensure(env, module, record):
    model, xml_id = record.attrib['model'], record.attrib['id']
    if '.' in xml_id and model in PLATFORM_RECORDS:
        env.ref(xml_id).sudo().write({field.attrib['name']: _field_value(env, module, field)
                                      for field in record.findall('field')})
        return 0
    if not _loadable(env, model, module):
        raise ValueError('data of model %r cannot be loaded by the stand-in' % model)
    if env.ref('%s.%s' % (module, xml_id), raise_if_not_found=False):
        return 0
    values = {field.attrib['name']: _field_value(env, module, field)
              for field in record.findall('field')}
    records = env[model].sudo()
    key = PLATFORM_MODELS.get(model)
    found = records.search([(key, '=', values[key])], limit=1) if key else records.browse()
    _bind_xml_id(env, module, xml_id, model, (found or records.create(values)).id)
    return 0 if found else 1


def _loadable(env, model, module):
    return model in PLATFORM_MODELS or (
        model in env and env.registry[model].__module__.startswith('odoo.addons.%s.' % module))


def _bind_xml_id(env, module, name, model, res_id):
    data = env['ir.model.data'].sudo()
    entry = data.search([('module', '=', module), ('name', '=', name)])
    if entry:       # its record was deleted: the new one takes the name
        entry.write({'model': model, 'res_id': res_id})
    else:
        data.create({'module': module, 'name': name, 'model': model, 'res_id': res_id})


def _field_value(env, module, field):
    if 'ref' in field.attrib:
        ref = field.attrib['ref']
        return env.ref(ref if '.' in ref else '%s.%s' % (module, ref)).id
    if 'eval' in field.attrib:
        try:
            return ast.literal_eval(field.attrib['eval'])
        except ValueError:
            raise ValueError('field %r: the stand-in evaluates literals only, not %r'
                             % (field.attrib['name'], field.attrib['eval'])) from None
    return field.text or ''


def install(registry, name=ADDON, demo=False):
    """Bring the database of ``registry`` up to the add-on: its models' tables and its data
    (with ``demo``, its demo data too), then the models' ``_register_hook``, which Odoo runs
    each time it loads the database."""
    import_addon(name)
    registry.init_db()
    with registry.cursor() as cr:
        env = api.Environment(cr)
        created = load_data(env, name, demo)
        if demo:
            _logger.info('%d records of the data and demo data of %s loaded', created, name)
        for model in list(registry.models):
            env[model]._register_hook()
    return registry
