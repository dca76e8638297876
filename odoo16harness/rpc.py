"""Records of a running Odoo server through its external API (JSON-RPC, as the admin), shaped
like an Odoo environment, so that test fixtures read and write them as they do in-process:
``env[model].search(domain, order=, limit=)``, ``browse``, ``create``, ``write``, ``read``,
``unlink``, ``search_count``, field access (through links too), ``ids``, ``id``, ``len``,
truthiness, iteration, indexing, ``mapped``, ``sudo()`` and any other public model method
(``get_param``/``set_param`` of ``ir.config_parameter`` among them). Every call is a
transaction of its own on the server.
"""
import datetime
import itertools

import requests

_ids = itertools.count(1)
_SCALAR_EMPTY = {'integer': 0, 'float': 0.0, 'monetary': 0.0, 'boolean': False}
_RELATIONAL = ('many2one', 'one2many', 'many2many')


class RpcError(Exception):
    """An exception raised by the server; ``name`` is its Python class (e.g. 'ValueError')."""

    def __init__(self, error):
        data = error.get('data') or {}
        self.name = data.get('name', '').rsplit('.', 1)[-1]
        self.server_message = data.get('message') or error.get('message')
        super().__init__('%s: %s' % (self.name, self.server_message))


class Connection:
    def __init__(self, url, dbname, login='admin', password='admin'):
        self.url = url.rstrip('/') + '/jsonrpc'
        self.dbname = dbname
        self.password = password
        self.session = requests.Session()
        self.uid = self.call('common', 'login', dbname, login, password)
        if not self.uid:
            raise RuntimeError('login of %s refused by %s' % (login, dbname))

    def call(self, service, method, *args):
        body = {'jsonrpc': '2.0', 'method': 'call', 'id': next(_ids),
                'params': {'service': service, 'method': method, 'args': list(args)}}
        reply = self.session.post(self.url, json=body, timeout=60).json()
        if 'error' in reply:
            raise RpcError(reply['error'])
        return reply['result']

    def execute(self, model, method, *args, **kwargs):
        return self.call('object', 'execute_kw', self.dbname, self.uid, self.password,
                         model, method, list(args), kwargs)

    def close(self):
        self.session.close()


def _to_server(value):
    """Values as JSON carries them: records as ids, datetimes as Odoo's text."""
    if isinstance(value, Records):
        return value.id if len(value) <= 1 else value.ids
    if isinstance(value, datetime.datetime):
        if value.tzinfo is not None:
            raise ValueError('Datetime field expects a naive datetime: %s' % value)
        return value.strftime('%Y-%m-%d %H:%M:%S')
    if isinstance(value, datetime.date):
        return value.strftime('%Y-%m-%d')
    if isinstance(value, dict):
        return {key: _to_server(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_to_server(item) for item in value]
    return value


class Environment:
    def __init__(self, connection):
        self.connection = connection
        self._fields = {}

    def __getitem__(self, model):
        return Records(self, model, ())

    def fields(self, model):
        if model not in self._fields:
            self._fields[model] = self.connection.execute(
                model, 'fields_get', attributes=['type', 'relation'])
        return self._fields[model]

    def to_python(self, model, name, value):
        field = self.fields(model)[name]
        kind = field['type']
        if kind == 'many2one':
            return Records(self, field['relation'], (value[0],) if value else ())
        if kind in ('one2many', 'many2many'):
            return Records(self, field['relation'], tuple(value or ()))
        if value is False and kind in _SCALAR_EMPTY:
            return _SCALAR_EMPTY[kind]
        if value and kind == 'datetime':
            return datetime.datetime.strptime(value, '%Y-%m-%d %H:%M:%S')
        if value and kind == 'date':
            return datetime.datetime.strptime(value, '%Y-%m-%d').date()
        return value

    def ref(self, xmlid):
        """The record of an external id, e.g. ``env.ref('base.public_user')``."""
        module, name = xmlid.split('.', 1)
        [data] = self.connection.execute('ir.model.data', 'search_read',
                                         [('module', '=', module), ('name', '=', name)],
                                         fields=['model', 'res_id'])
        return Records(self, data['model'], (data['res_id'],))

    def empty_value(self, model, name):
        field = self.fields(model)[name]
        if field['type'] in _RELATIONAL:
            return Records(self, field['relation'], ())
        return _SCALAR_EMPTY.get(field['type'], False)


class Records:
    def __init__(self, env, model, ids):
        self.__dict__.update(env=env, _name=model, _ids=tuple(ids))

    # -- the recordset --------------------------------------------------------------------
    @property
    def ids(self):
        return list(self._ids)

    @property
    def id(self):
        return self._ids[0] if self._singleton(empty_ok=True) else False

    def _singleton(self, empty_ok=False):
        if len(self._ids) == 1:
            return True
        if not self._ids and empty_ok:
            return False
        raise ValueError('Expected singleton: %r' % self)

    def __len__(self):
        return len(self._ids)

    def __bool__(self):
        return bool(self._ids)

    def __iter__(self):
        return (Records(self.env, self._name, (id_,)) for id_ in self._ids)

    def __getitem__(self, key):
        if isinstance(key, str):
            return getattr(self, key)
        if isinstance(key, slice):
            return Records(self.env, self._name, self._ids[key])
        return Records(self.env, self._name, (self._ids[key],))

    def __eq__(self, other):
        return (isinstance(other, Records) and self._name == other._name
                and self._ids == other._ids)

    def __hash__(self):
        return hash((self._name, self._ids))

    def __repr__(self):
        return '%s%r' % (self._name, self._ids)

    def __or__(self, other):
        return Records(self.env, self._name, tuple(dict.fromkeys(self._ids + other._ids)))

    def __sub__(self, other):
        return Records(self.env, self._name, tuple(i for i in self._ids if i not in other._ids))

    def sudo(self, flag=True):
        return self

    def exists(self):
        found = self._call('exists') if self._ids else []
        return Records(self.env, self._name, tuple(i for i in self._ids if i in found))

    def browse(self, ids=()):
        if isinstance(ids, int):
            ids = (ids,)
        return Records(self.env, self._name, tuple(ids or ()))

    # -- model methods -------------------------------------------------------------------
    def _call(self, method, *args, **kwargs):
        return self.env.connection.execute(self._name, method, list(self._ids),
                                           *_to_server(args), **_to_server(kwargs))

    def _model_call(self, method, *args, **kwargs):
        return self.env.connection.execute(self._name, method, *_to_server(args),
                                           **_to_server(kwargs))

    def search(self, domain, offset=0, limit=None, order=None):
        ids = self._model_call('search', domain, offset=offset, limit=limit, order=order)
        return Records(self.env, self._name, ids)

    def search_count(self, domain, **kwargs):
        return self._model_call('search_count', domain, **kwargs)

    def create(self, vals):
        created = self._model_call('create', vals)
        return Records(self.env, self._name, created if isinstance(created, list) else (created,))

    def write(self, vals):
        return self._call('write', vals)

    def unlink(self):
        return self._call('unlink')

    def read(self, fields=None):
        rows = self._call('read', fields or [])
        for row in rows:
            for name, value in row.items():
                kind = self.env.fields(self._name)[name]['type'] if name != 'id' else 'id'
                if kind == 'many2one':
                    row[name] = tuple(value) if value else False
                elif kind in ('datetime', 'date'):
                    row[name] = self.env.to_python(self._name, name, value)
        return rows

    def search_read(self, domain=None, fields=None, offset=0, limit=None, order=None):
        found = self.search(domain or [], offset=offset, limit=limit, order=order)
        return found.read(fields) if found else []

    def ensure_one(self):
        self._singleton()
        return self

    def read_group(self, domain, fields, groupby, **kwargs):
        return self._model_call('read_group', domain, fields, groupby, **kwargs)

    def mapped(self, path):
        name, _, rest = path.partition('.')
        if rest:
            return self.mapped(name).mapped(rest)
        field = self.env.fields(self._name)[name]
        if field['type'] in _RELATIONAL:
            merged = Records(self.env, field['relation'], ())
            for record in self:
                merged = merged | getattr(record, name)
            return merged
        return [getattr(record, name) for record in self]

    def filtered(self, predicate):
        if isinstance(predicate, str):
            path = predicate
            predicate = lambda record: any(record.mapped(path))  # noqa: E731
        return Records(self.env, self._name, tuple(r.id for r in self if predicate(r)))

    def __getattr__(self, name):
        if name.startswith('_'):
            raise AttributeError(name)
        fields = self.env.fields(self._name)
        if name not in fields:
            # Odoo's external API passes no ids to @api.model methods (get_param, ...).
            call = self._call if self._ids else self._model_call
            return lambda *args, **kwargs: call(name, *args, **kwargs)
        if fields[name]['type'] in _RELATIONAL and len(self._ids) > 1:
            return self.mapped(name)
        if not self._singleton(empty_ok=True):
            return self.env.empty_value(self._name, name)
        [row] = self._call('read', [name])
        return self.env.to_python(self._name, name, row[name])

    def __setattr__(self, name, value):
        self.write({name: value})
