"""Models and recordsets, with the API and semantics of Odoo 16's ``BaseModel``.

A model is a class declared with ``_name`` and fields; it registers itself when defined. An
instance is a recordset: an environment, a tuple of ids and the ids prefetched with them.
Writes reach the database at once; values read are cached per transaction, and the columns
of a recordset are fetched in one query when the first of its records is read.
"""
import copy
import logging
import threading

from . import access, api, expression, fields, query as query_mod, triggers
from .exceptions import MissingError
from .tools import chunks, quote, unique

_logger = logging.getLogger(__name__)

PREFETCH_MAX = 1000
MODEL_CLASSES = {}          # every model class defined, by _name
_setup_state = {'defined': 0, 'done': -1}
_setup_lock = threading.Lock()


def setup_models():
    """Resolve links and compute dependencies of every model, once per set of definitions."""
    if _setup_state['done'] == _setup_state['defined']:
        return
    with _setup_lock:
        defined = _setup_state['defined']
        if _setup_state['done'] == defined:
            return
        for model in MODEL_CLASSES.values():
            model._setup_fields()
        triggers.setup(MODEL_CLASSES)
        _setup_state['done'] = defined


class BaseModel:
    """A recordset of model ``_name``."""

    _name = None
    _inherit = None
    _description = None
    _order = 'id'
    _rec_name = None
    _auto = True                 # has a table of its own
    _sql_constraints = []
    _fields = {}
    _pool = MODEL_CLASSES

    __slots__ = ('env', '_ids', '_prefetch_ids')

    # -- definition -------------------------------------------------------------------------
    def __init_subclass__(cls, **kwargs):
        super().__init_subclass__(**kwargs)
        inherit = cls.__dict__.get('_inherit')
        if inherit and cls.__dict__.get('_name') in (None, inherit):
            cls._extend(inherit)
        elif cls.__dict__.get('_name'):
            cls._register()

    @classmethod
    def _extend(cls, name):
        """``_inherit = name`` without a new ``_name``: the model ``name`` takes this class's
        methods, as in Odoo. The class goes in front of the model's class, so that ``super()``
        reaches what it extends; only methods are added on this host, not fields."""
        base = MODEL_CLASSES.get(name)
        if base is None:
            raise TypeError("Model %r does not exist in registry." % name)
        if any(isinstance(value, fields.Field) for value in vars(cls).values()):
            raise NotImplementedError(
                "%s: adding fields to an existing model is not implemented by this host"
                % cls.__qualname__)
        if base._auto != cls._auto:
            raise TypeError("%s: model %r is %s" % (
                cls.__qualname__, name, 'abstract' if not base._auto else 'not abstract'))
        type(base.__name__, (cls, base), {'_name': name, '__module__': cls.__module__})

    @classmethod
    def _register(cls):
        declared = {'id': fields.Id()}
        for klass in reversed(cls.__mro__):
            for name, value in vars(klass).items():
                if isinstance(value, fields.Field):
                    declared[name] = value
        if 'x_active' in declared:
            raise NotImplementedError(
                "%s.x_active: archiving by x_active is not implemented by this host; "
                "name the field active" % cls._name)
        for name in ('create_date', 'write_date'):
            declared.setdefault(name, fields.Datetime(readonly=True))
        for name, field in declared.items():
            if cls.__dict__.get(name) is not field:
                # a field inherited from another model gets a copy of its own for this one
                field = copy.copy(field) if field.model_name else field
                setattr(cls, name, field)
            field.name = name
            field.model_name = cls._name
            declared[name] = field
        cls._fields = declared
        cls._table = cls._name.replace('.', '_')
        if '_rec_name' not in cls.__dict__ and not cls._rec_name:
            cls._rec_name = 'name' if 'name' in declared else None
        cls._column_fields = [f for f in declared.values() if f.column]
        MODEL_CLASSES[cls._name] = cls
        _setup_state['defined'] += 1

    @classmethod
    def _setup_fields(cls):
        query_mod.check_order(cls._order)
        for field in cls._fields.values():
            if field.relational and field.comodel_name not in MODEL_CLASSES:
                raise TypeError("Field %s: unknown comodel %r" % (field, field.comodel_name))
            if field.type == 'one2many':
                inverse = MODEL_CLASSES[field.comodel_name]._fields.get(field.inverse_name)
                if inverse is None or inverse.type != 'many2one':
                    raise TypeError("Field %s: %r is not a many2one of %s" % (
                        field, field.inverse_name, field.comodel_name))
            elif field.type == 'many2many':
                comodel = MODEL_CLASSES[field.comodel_name]
                tables = sorted([cls._table, comodel._table])
                field.relation = field.relation or '%s_%s_rel' % tuple(tables)
                field.column1 = field.column1 or '%s_id' % cls._table
                field.column2 = field.column2 or '%s_id' % comodel._table
            if field.type == 'monetary' and field.get_currency_field(cls) not in cls._fields:
                raise TypeError("Field %s with unknown currency_field %r"
                                % (field, field.get_currency_field(cls)))
            if field.compute:
                method = field.compute
                field.compute_method = getattr(cls, method) if isinstance(method, str) else method
                field.depends = getattr(field.compute_method, '_depends', ())
        cls._fetch_select = 'SELECT "id", %s FROM %s WHERE "id" IN ' % (
            ', '.join(quote(f.name) for f in cls._column_fields), quote(cls._table))
        # converters of the columns whose SQL value is not already the cache value
        cls._fetch_converters = [
            f.from_column if type(f).from_column is not fields.Field.from_column else None
            for f in cls._column_fields]
        cls._constraint_methods = [
            (name, set(method._constrains)) for name, method in
            ((name, getattr(cls, name)) for name in dir(cls) if not name.startswith('__'))
            if callable(method) and hasattr(method, '_constrains')]

    def init(self):
        """Hook run by ``Registry.init_db`` once the tables exist (sequences, data)."""

    def _register_hook(self):
        """Hook run once the add-on and its data are loaded, at each start (Odoo: each time it
        loads a database's registry)."""

    # -- recordset basics -------------------------------------------------------------------
    @classmethod
    def _browse(cls, env, ids, prefetch_ids):
        records = object.__new__(cls)
        records.env = env
        records._ids = ids
        records._prefetch_ids = prefetch_ids
        return records

    def browse(self, ids=None):
        if not ids:
            ids = ()
        elif type(ids) is int:
            ids = (ids,)
        else:
            ids = tuple(ids)
        return self._browse(self.env, ids, ids)

    @property
    def ids(self):
        return list(self._ids)

    @property
    def _cr(self):
        return self.env.cr

    @property
    def _context(self):
        return self.env.context

    def __bool__(self):
        return bool(self._ids)

    def __len__(self):
        return len(self._ids)

    def __int__(self):
        return self.id or 0

    def __iter__(self):
        env, prefetch = self.env, self._prefetch_ids
        for id_ in self._ids:
            yield self._browse(env, (id_,), prefetch)

    def __reversed__(self):
        env, prefetch = self.env, self._prefetch_ids
        for id_ in reversed(self._ids):
            yield self._browse(env, (id_,), prefetch)

    def __repr__(self):
        return "%s%r" % (self._name, self._ids)

    def __getitem__(self, key):
        if isinstance(key, str):
            return self._fields[key].__get__(self, type(self))
        if isinstance(key, slice):
            return self._browse(self.env, self._ids[key], self._prefetch_ids)
        return self._browse(self.env, (self._ids[key],), self._prefetch_ids)

    def __setitem__(self, key, value):
        return self._fields[key].__set__(self, value)

    def __contains__(self, item):
        if isinstance(item, BaseModel) and self._name == item._name:
            return len(item) == 1 and item.id in self._ids
        if isinstance(item, str):
            return item in self._fields
        if isinstance(item, BaseModel):
            raise TypeError("cannot compare different models: '%s()' and '%s()'" % (
                self._name, item._name))
        raise TypeError("unsupported operand type(s) for \"in\": '%s()' and '%s'" % (
            self._name, type(item)))

    def _check_same_model(self, other, operator):
        if not isinstance(other, BaseModel) or self._name != other._name:
            raise TypeError("inconsistent models in: %s %s %s" % (self, operator, other))

    def __add__(self, other):
        self._check_same_model(other, '+')
        return self.browse(self._ids + other._ids)

    def __or__(self, other):
        self._check_same_model(other, '|')
        return self.browse(unique(self._ids + other._ids))

    def __and__(self, other):
        self._check_same_model(other, '&')
        other_ids = set(other._ids)
        return self.browse(unique(id_ for id_ in self._ids if id_ in other_ids))

    def __sub__(self, other):
        self._check_same_model(other, '-')
        other_ids = set(other._ids)
        return self.browse([id_ for id_ in self._ids if id_ not in other_ids])

    def union(self, *others):
        ids = list(self._ids)
        for other in others:
            self._check_same_model(other, '|')
            ids.extend(other._ids)
        return self.browse(unique(ids))

    def __eq__(self, other):
        if not isinstance(other, BaseModel):
            return NotImplemented
        return self._name == other._name and set(self._ids) == set(other._ids)

    def __ne__(self, other):
        result = self.__eq__(other)
        return result if result is NotImplemented else not result

    def __le__(self, other):
        self._check_same_model(other, '<=')
        return set(self._ids) <= set(other._ids)

    def __lt__(self, other):
        self._check_same_model(other, '<')
        return set(self._ids) < set(other._ids)

    def __ge__(self, other):
        self._check_same_model(other, '>=')
        return set(self._ids) >= set(other._ids)

    def __gt__(self, other):
        self._check_same_model(other, '>')
        return set(self._ids) > set(other._ids)

    def __hash__(self):
        return hash((self._name, frozenset(self._ids)))

    def ensure_one(self):
        try:
            _id, = self._ids
            return self
        except ValueError:
            raise ValueError("Expected singleton: %s" % self) from None

    def exists(self):
        """The records of ``self`` still in the database, in the same order."""
        ids = [id_ for id_ in self._ids if id_]
        if not ids:
            return self.browse()
        found = set()
        for chunk in chunks(unique(ids), 900):
            self.env.cr.sqlite_execute('SELECT "id" FROM %s WHERE "id" IN (%s)' % (
                quote(self._table), ','.join('?' * len(chunk))), chunk)
            found.update(row[0] for row in self.env.cr.fetchall())
        return self.browse([id_ for id_ in self._ids if id_ in found])

    # -- environment ------------------------------------------------------------------------
    def with_env(self, env):
        return self._browse(env, self._ids, self._prefetch_ids)

    def sudo(self, flag=True):
        """The records in superuser mode (or out of it): access rights are not checked."""
        assert isinstance(flag, bool)
        return self.with_env(self.env(su=flag))

    def with_user(self, user):
        """The records as ``user`` (an id or a ``res.users`` record), out of superuser mode
        unless ``user`` is the superuser."""
        if not user:
            return self
        return self.with_env(self.env(user=user, su=False))

    def with_context(self, *args, **kwargs):
        context = dict(args[0] if args else self.env.context, **kwargs)
        return self.with_env(self.env(context=context))

    def check_access_rights(self, operation, raise_exception=True):
        """May the current user perform ``operation`` ('read', 'write', 'create', 'unlink') on
        the model? Raises AccessError when not (unless ``raise_exception`` is false)."""
        return access.check(self.env, self._name, operation, raise_exception)

    def check_access_rule(self, operation):
        return None

    # -- cache ------------------------------------------------------------------------------
    def _fetch_field(self, field, id_):
        """Load ``field`` of record ``id_`` (and of the records prefetched with it) into the cache."""
        ids = self._prefetch_batch(field, id_)
        if field.column:
            self.check_access_rights('read')
            self._fetch_columns(ids)
        elif field.type == 'one2many':
            self.check_access_rights('read')
            self.env[field.comodel_name].check_access_rights('read')
            self._fetch_one2many(field, ids)
        elif field.type == 'many2many':
            self.check_access_rights('read')
            self.env[field.comodel_name].check_access_rights('read')
            self._fetch_many2many(field, ids)
        elif field.compute:
            triggers.compute_into_cache(self.browse(id_), field)
        try:
            return self.env.cache[field][id_]
        except KeyError:
            raise MissingError("Record does not exist or has been deleted.\n"
                               "(Record: %s, User: %s)" % (self.browse(id_), self.env.uid)) from None

    def _prefetch_batch(self, field, id_):
        known = self.env.cache.get(field, {})
        ids = {id_: None}
        for other in self._prefetch_ids:
            if other not in known and type(other) is int:
                ids[other] = None
                if len(ids) >= PREFETCH_MAX:
                    break
        return list(ids)

    def _fetch_columns(self, ids):
        cache = self.env.cache
        cr = self.env.cr
        targets = [(cache.setdefault(f, {}), convert)
                   for f, convert in zip(self._column_fields, self._fetch_converters)]
        select = self._fetch_select
        for chunk in chunks(ids, 900):
            cr.sqlite_execute(select + '(%s)' % ','.join('?' * len(chunk)), chunk)
            for row in cr.fetchall():
                id_ = row[0]
                for (values, convert), value in zip(targets, row[1:]):
                    values[id_] = convert(value) if convert else value

    def _fetch_one2many(self, field, ids):
        comodel = self._pool[field.comodel_name]
        query = query_mod.Query(comodel._table)
        inverse = '%s.%s' % (quote(comodel._table), quote(field.inverse_name))
        context = dict(self.env.context, **field.extra.get('context', {}))
        archived_left_out = 'active' in comodel._fields and context.get('active_test', True)
        result = {id_: [] for id_ in ids}
        for chunk in chunks(ids, 900):
            query.where, query.params = [], []
            query.add_where('%s IN (%s)' % (inverse, ','.join('?' * len(chunk))), chunk)
            if archived_left_out:
                query.add_where('%s."active"' % quote(comodel._table), [])
            order = query_mod.order_by(comodel, None, query)
            sql, params = query.select('%s."id", %s' % (quote(comodel._table), inverse), order)
            self.env.cr.sqlite_execute(sql, params)
            for line_id, parent_id in self.env.cr.fetchall():
                result[parent_id].append(line_id)
        self.env.cache.setdefault(field, {}).update((k, tuple(v)) for k, v in result.items())

    def _fetch_many2many(self, field, ids):
        comodel = self._pool[field.comodel_name]
        query = query_mod.Query(comodel._table)
        query.joins['rel'] = 'JOIN %s AS "rel" ON ("rel".%s = %s."id")' % (
            quote(field.relation), quote(field.column2), quote(comodel._table))
        result = {id_: [] for id_ in ids}
        for chunk in chunks(ids, 900):
            query.where, query.params = [], []
            query.add_where('"rel".%s IN (%s)' % (quote(field.column1), ','.join('?' * len(chunk))), chunk)
            order = query_mod.order_by(comodel, None, query)
            sql, params = query.select('"rel".%s, %s."id"' % (quote(field.column1), quote(comodel._table)), order)
            self.env.cr.sqlite_execute(sql, params)
            for record_id, other_id in self.env.cr.fetchall():
                result[record_id].append(other_id)
        self.env.cache.setdefault(field, {}).update((k, tuple(v)) for k, v in result.items())

    def invalidate_model(self, fnames=None):
        """Forget the cached values of the model (e.g. after raw SQL updates)."""
        for field in self._fields_named(fnames):
            self.env.cache.pop(field, None)

    def invalidate_recordset(self, fnames=None):
        for field in self._fields_named(fnames):
            values = self.env.cache.get(field)
            if values:
                for id_ in self._ids:
                    values.pop(id_, None)

    def flush_model(self, fnames=None):
        """Writes reach the database at once here; nothing waits to be flushed."""

    def flush_recordset(self, fnames=None):
        """Writes reach the database at once here; nothing waits to be flushed."""

    def _fields_named(self, fnames):
        return list(self._fields.values()) if fnames is None else [self._fields[n] for n in fnames]

    # -- search -----------------------------------------------------------------------------
    def _where_calc(self, domain):
        # As Odoo: with an active field, searches leave out archived records unless the
        # domain names active or the context has active_test=False.
        if 'active' in self._fields and self.env.context.get('active_test', True):
            domain = list(domain or [])
            if not any(isinstance(leaf, (list, tuple)) and leaf[0] == 'active' for leaf in domain):
                domain = [('active', '=', True)] + domain
        query = query_mod.Query(self._table)
        if domain:
            query.add_where(*expression.where_clause(type(self), domain))
        return query

    @api.model
    def search(self, domain, offset=0, limit=None, order=None):
        self.check_access_rights('read')
        query = self._where_calc(domain)
        order_sql = query_mod.order_by(type(self), order, query)
        sql, params = query.select('%s."id"' % quote(self._table), order_sql, limit, offset)
        cr = self.env.cr
        cr.sqlite_execute(sql, params)
        ids = tuple(row[0] for row in cr.fetchall())
        return self._browse(self.env, ids, ids)

    @api.model
    def search_count(self, domain, limit=None):
        self.check_access_rights('read')
        query = self._where_calc(domain)
        sql, params = query.select('%s."id"' % quote(self._table), limit=limit)
        self.env.cr.sqlite_execute('SELECT count(1) FROM (%s)' % sql, params)
        return self.env.cr.fetchone()[0]

    def name_get(self):
        name = self._rec_name
        if name in self._fields:
            convert = self._fields[name].to_display_name
            return [(record.id, convert(record[name]) or "") for record in self]
        return [(record.id, "%s,%s" % (record._name, record.id)) for record in self]

    @property
    def display_name(self):
        if not self._ids:
            return False
        return dict(self.ensure_one().name_get())[self.id]

    # -- reading ----------------------------------------------------------------------------
    def read(self, fields=None, load='_classic_read'):
        names = list(fields) if fields else list(self._fields)
        for name in names:
            if name not in self._fields:
                raise ValueError("Invalid field %r on model %r" % (name, self._name))
        if self:
            self.check_access_rights('read')
        result = []
        for record in self:
            try:
                vals = {'id': record.id}
                for name in names:
                    field = self._fields[name]
                    value = record[name]
                    vals[name] = field.to_read(value, record) if load else (
                        value.id if field.type == 'many2one' else field.to_read(value, record))
            except MissingError:
                continue
            result.append(vals)
        return result

    def mapped(self, func):
        if not func:
            return self
        if isinstance(func, str):
            records = self
            for name in func.split('.'):
                records = records._fields[name].mapped(records)
            return records
        values = [func(record) for record in self]
        if values and isinstance(values[0], BaseModel):
            return values[0].union(*values)
        return values

    def filtered(self, func):
        if isinstance(func, str):
            name = func
            func = lambda record: any(record.mapped(name))  # noqa: E731
        return self._browse(self.env, tuple(record.id for record in self if func(record)),
                            self._prefetch_ids)

    def sorted(self, key=None, reverse=False):
        if key is None:
            records = self.search([('id', 'in', list(self._ids))])
            return self.browse(tuple(reversed(records._ids))) if reverse else records
        if isinstance(key, str):
            name = key
            key = lambda record: record[name]  # noqa: E731
        return self.browse(tuple(record.id for record in sorted(self, key=key, reverse=reverse)))

    # -- writing ----------------------------------------------------------------------------
    @api.model
    def default_get(self, fields_list):
        defaults = {}
        context = self.env.context
        for name in fields_list:
            field = self._fields.get(name)
            if field is None:
                continue
            key = 'default_' + name
            if key in context:
                defaults[name] = context[key]
            elif field.default is not None:
                defaults[name] = field.default(self)
        return defaults

    def _add_missing_default_values(self, values):
        missing = [name for name in self._fields if name not in values]
        defaults = self.default_get(missing) if missing else {}
        return dict(defaults, **values) if defaults else dict(values)

    @api.model_create_multi
    def create(self, vals_list):
        if not vals_list:
            return self.browse()
        self.check_access_rights('create')
        cr = self.env.cr
        cache = self.env.cache
        now = cr.now()
        ids, pending_x2many = [], []
        for vals in vals_list:
            vals = self._add_missing_default_values(vals)
            vals.setdefault('create_date', now)
            vals.setdefault('write_date', now)
            names, params, cached, x2many = [], [], {}, []
            for name, value in vals.items():
                field = self._fields.get(name)
                if field is None:
                    raise ValueError("Invalid field %r on model %r" % (name, self._name))
                if field.column:
                    if field.type == 'many2one':
                        param = field.create_column_value(value)
                        cached[field] = param
                    else:
                        cached[field] = field.convert_to_cache(value, self)
                        param = field.to_column(cached[field])
                    names.append(quote(name))
                    params.append(param)
                elif field.type in ('one2many', 'many2many'):
                    x2many.append((field, value))
            cr.sqlite_execute('INSERT INTO %s (%s) VALUES (%s)' % (
                quote(self._table), ', '.join(names), ','.join('?' * len(names))), params)
            id_ = cr.lastrowid
            ids.append(id_)
            for field in self._column_fields:
                cache.setdefault(field, {})[id_] = cached.get(field)
            for field in self._fields.values():
                if field.type in ('one2many', 'many2many'):
                    cache.setdefault(field, {})[id_] = ()
            pending_x2many.append(x2many)
        records = self.browse(ids)
        for record, x2many in zip(records, pending_x2many):
            for field, value in x2many:
                record._write_x2many(field, value)
        triggers.modified_created(records)
        triggers.recompute(self.env)
        records._validate_fields(set(self._fields))
        return records

    def write(self, vals):
        if not self:
            return True
        self.check_access_rights('write')
        cache = self.env.cache
        columns, x2many = [], []
        for name, value in vals.items():
            field = self._fields.get(name)
            if field is None:
                raise ValueError("Invalid field %r on model %r" % (name, self._name))
            if field.column:
                columns.append((field, field.convert_to_cache(value, self)))
            elif field.type in ('one2many', 'many2many'):
                x2many.append((field, value))
        if vals and 'write_date' not in vals:
            columns.append((self._fields['write_date'], self.env.cr.now()))
        if columns:
            relinked = [f for f, _v in columns if triggers.inverse_one2manys(f)]
            if relinked:
                triggers.modified(self, relinked)      # the records linked before the write
            self._update_columns(columns)
            for field, value in columns:
                values = cache.setdefault(field, {})
                for id_ in self._ids:
                    values[id_] = value
        for field, value in x2many:
            for record in self:
                record._write_x2many(field, value)
        triggers.modified(self, [f for f, _v in columns])
        triggers.recompute(self.env)
        self._validate_fields(set(vals))
        return True

    def _update_columns(self, columns):
        cr = self.env.cr
        assignments = ', '.join('%s = ?' % quote(f.name) for f, _v in columns)
        params = [f.to_column(value) for f, value in columns]
        ids = unique(self._ids)
        updated = 0
        for chunk in chunks(ids, 900):
            cr.sqlite_execute('UPDATE %s SET %s WHERE "id" IN (%s)' % (
                quote(self._table), assignments, ','.join('?' * len(chunk))), params + list(chunk))
            updated += cr.rowcount
        if updated != len(ids):
            missing = self - self.exists()
            raise MissingError("Record does not exist or has been deleted.\n"
                               "(Record: %s, User: %s)" % (missing, self.env.uid))

    def _write_x2many(self, field, value):
        """Apply x2many commands (or a list of ids, a recordset, False) to the single record."""
        commands = _x2many_commands(field, value)
        comodel = self.env[field.comodel_name]
        if field.type == 'one2many':
            _apply_one2many(self, field, comodel, commands)
        else:
            _apply_many2many(self, field, comodel, commands)

    def unlink(self):
        if not self:
            return True
        self.check_access_rights('unlink')
        triggers.modified(self, list(self._fields.values()))
        cr = self.env.cr
        ids = unique(self._ids)
        for chunk in chunks(ids, 900):
            cr.sqlite_execute('DELETE FROM %s WHERE "id" IN (%s)' % (
                quote(self._table), ','.join('?' * len(chunk))), chunk)
        # cascades and SET NULL may have changed other tables: forget everything cached
        self.env.cache.clear()
        triggers.forget(self)
        triggers.recompute(self.env)
        return True

    def _validate_fields(self, names):
        for method_name, checked in self._constraint_methods:
            if checked & names:
                getattr(self, method_name)()

    # -- grouping ---------------------------------------------------------------------------
    @api.model
    def read_group(self, domain, fields, groupby, offset=0, limit=None, orderby=False, lazy=True):
        from .read_group import read_group
        self.check_access_rights('read')
        return read_group(self, domain, fields, groupby, offset, limit, orderby, lazy)


def _x2many_commands(field, value):
    if isinstance(value, tuple):
        return [fields.Command.set(value)]
    if isinstance(value, BaseModel) and value._name == field.comodel_name:
        return [fields.Command.set(value._ids)]
    if value is False or value is None:
        return [fields.Command.clear()]
    if isinstance(value, list) and value and not isinstance(value[0], (tuple, list)):
        return [fields.Command.set(tuple(value))]
    if not isinstance(value, list):
        raise ValueError("Wrong value for %s: %s" % (field, value))
    return value


def _apply_one2many(record, field, comodel, commands):
    inverse = field.inverse_name
    cascade = comodel._fields[inverse].ondelete == 'cascade'

    def drop(lines):
        if cascade:
            lines.unlink()
        else:
            lines.write({inverse: False})

    for command in commands:
        op = command[0]
        if op == fields.Command.CREATE:
            comodel.create(dict(command[2], **{inverse: record.id}))
        elif op == fields.Command.UPDATE:
            comodel.browse(command[1]).write(command[2])
        elif op == fields.Command.DELETE:
            comodel.browse(command[1]).unlink()
        elif op == fields.Command.UNLINK:
            drop(comodel.browse(command[1]))
        elif op == fields.Command.LINK:
            comodel.browse(command[1]).write({inverse: record.id})
        elif op == fields.Command.CLEAR:
            drop(record[field.name])
        elif op == fields.Command.SET:
            lines = comodel.browse(command[2])
            dropped = record[field.name] - lines
            if dropped:
                drop(dropped)
            lines.write({inverse: record.id})


def _apply_many2many(record, field, comodel, commands):
    cr = record.env.cr
    rel, col1, col2 = quote(field.relation), quote(field.column1), quote(field.column2)

    def link(ids):
        for id_ in ids:
            cr.sqlite_execute('INSERT OR IGNORE INTO %s (%s, %s) VALUES (?, ?)' % (rel, col1, col2),
                       (record.id, id_))

    for command in commands:
        op = command[0]
        if op == fields.Command.CREATE:
            link(comodel.create(command[2])._ids)
        elif op == fields.Command.UPDATE:
            comodel.browse(command[1]).write(command[2])
        elif op == fields.Command.DELETE:
            comodel.browse(command[1]).unlink()
        elif op == fields.Command.UNLINK:
            cr.sqlite_execute('DELETE FROM %s WHERE %s = ? AND %s = ?' % (rel, col1, col2),
                       (record.id, command[1]))
        elif op == fields.Command.LINK:
            link([command[1]])
        elif op == fields.Command.CLEAR:
            cr.sqlite_execute('DELETE FROM %s WHERE %s = ?' % (rel, col1), (record.id,))
        elif op == fields.Command.SET:
            cr.sqlite_execute('DELETE FROM %s WHERE %s = ?' % (rel, col1), (record.id,))
            link(unique(command[2]))
    for other in triggers.relation_fields(field.relation):
        record.env.cache.pop(other, None)
    triggers.modified(record, [field])


class Model(BaseModel):
    """A model with a table of its own."""
    __slots__ = ()


class AbstractModel(BaseModel):
    """A model without a table, for shared behaviour."""
    __slots__ = ()
    _auto = False


TRANSIENT_CLASSES = {}      # transient models declared, by _name; none is served


class TransientModel(BaseModel):
    """The web client's wizards and settings pages. The stand-in has no web client, so a
    transient model (one of its own, or an extension of one of Odoo's) is declared and left
    out: no table, and no environment knows its name."""
    __slots__ = ()
    _transient = True

    def __init_subclass__(cls, **kwargs):
        # not BaseModel's: nothing is registered or extended
        TRANSIENT_CLASSES[cls.__dict__.get('_name') or cls.__dict__.get('_inherit')] = cls
