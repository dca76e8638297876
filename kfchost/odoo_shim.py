"""The ``odoo`` package as an add-on imports it, answered by the stand-in's own modules.

An add-on is written for Odoo: ``from odoo import api, fields, models, http``,
``from odoo.http import request``, ``from odoo.exceptions import UserError``,
``from odoo.tools import config``, and Odoo imports it as ``odoo.addons.<name>``. ``install()``
registers these names in ``sys.modules`` so that the same add-on folder runs on the stand-in.
Only the stand-in's entry points call it (the application, the command line, the tests); a
process that already has the real ``odoo`` is refused, never shadowed.
"""
import configparser
import os
import sys
import types

from kfchost import http
from kfchost.orm import api, exceptions, fields, models

_SHIM_MARK = '__kfchost_shim__'
# The stand-in's own part of the add-ons Odoo ships (``web``'s Home), after the add-ons path.
PLATFORM_ADDONS = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'addons')


class Config:
    """The part of ``odoo.tools.config`` that add-ons read.

    ``options`` holds the ``[options]`` section of the configuration file, ``misc`` every other
    section as {section: {key: value}}, as Odoo's configuration manager keeps them.
    """

    def __init__(self):
        self.options = {}
        self.misc = {}
        self.rcfile = None

    def get(self, key, default=None):
        return self.options.get(key, default)

    def __getitem__(self, key):
        return self.options[key]

    def __setitem__(self, key, value):
        self.options[key] = value

    def __contains__(self, key):
        return key in self.options

    def load(self, path):
        """Read an Odoo configuration file (INI: ``[options]`` and sections of add-ons)."""
        parser = configparser.RawConfigParser()
        with open(path, encoding='utf-8') as handle:
            parser.read_file(handle)
        self.reset()
        self.rcfile = os.path.abspath(path)
        for section in parser.sections():
            values = dict(parser.items(section))
            if section == 'options':
                self.options.update(values)
            else:
                self.misc[section] = values
        return self

    def reset(self):
        self.options.clear()
        self.misc.clear()
        self.rcfile = None


config = Config()

# Odoo 16's odoo.service.model: the pgcodes a transaction is run again on (lock not available,
# serialization failure, deadlock; the stand-in's concurrency failures carry the first two),
# and how often.
PG_CONCURRENCY_ERRORS_TO_RETRY = ('55P03', '40001', '40P01')
MAX_TRIES_ON_CONCURRENCY_FAILURE = 5


def translate(source, *args, **kwargs):
    """``odoo._``: the stand-in keeps no translations (the back office, which has them, is not
    served here); the text is formatted as Odoo formats its translation."""
    return source % (args or kwargs) if args or kwargs else source


def _module(name, doc, **attrs):
    module = types.ModuleType(name, doc)
    module.__dict__.update(attrs)
    setattr(module, _SHIM_MARK, True)
    return module


def default_addons_path():
    """Folders holding add-ons: $KFCHOST_ADDONS_PATH (separated by os.pathsep), else the
    project root, where the shop's add-on folder lives beside the stand-in."""
    value = os.environ.get('KFCHOST_ADDONS_PATH')
    if value:
        return [os.path.abspath(p) for p in value.split(os.pathsep) if p]
    return [os.path.dirname(os.path.dirname(os.path.abspath(__file__)))]


def is_installed():
    return getattr(sys.modules.get('odoo'), _SHIM_MARK, False)


def install(addons_path=None):
    """Register the stand-in as ``odoo`` (once per process); returns the ``odoo`` module."""
    existing = sys.modules.get('odoo')
    if existing is not None:
        if not getattr(existing, _SHIM_MARK, False):
            raise RuntimeError('the real odoo package is loaded in this process; '
                               'the stand-in does not replace it')
        return existing
    tools = _module('odoo.tools', 'The configuration of the stand-in.', config=config)
    service_model = _module('odoo.service.model', 'How often a transaction is run again.',
                            PG_CONCURRENCY_ERRORS_TO_RETRY=PG_CONCURRENCY_ERRORS_TO_RETRY,
                            MAX_TRIES_ON_CONCURRENCY_FAILURE=MAX_TRIES_ON_CONCURRENCY_FAILURE)
    service = _module('odoo.service', 'Services of the server.', __path__=[],
                      model=service_model)
    addons = _module('odoo.addons', 'Add-ons, found on the add-ons path.',
                     __path__=list(addons_path or default_addons_path()) + [PLATFORM_ADDONS])
    odoo = _module('odoo', __doc__, __path__=[],
                   api=api, fields=fields, models=models, http=http, exceptions=exceptions,
                   tools=tools, addons=addons, service=service, SUPERUSER_ID=api.SUPERUSER_ID,
                   _=translate)
    sys.modules.update({
        'odoo': odoo,
        'odoo.api': api,
        'odoo.fields': fields,
        'odoo.models': models,
        'odoo.http': http,
        'odoo.exceptions': exceptions,
        'odoo.tools': tools,
        'odoo.service': service,
        'odoo.service.model': service_model,
        'odoo.addons': addons,
    })
    return odoo

