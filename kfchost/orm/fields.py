"""Field descriptors of the records layer, with the value semantics of ``odoo.fields``.

A field converts values between four forms: what the caller assigns, the cache (one value per
record id), the SQL column, and what reading a record gives (``False`` for an empty text,
``0`` for an empty number, an empty recordset for an empty link).
"""
import datetime as _dt
import enum

from .tools import float_round, pg_int, pg_number

DATE_FORMAT = "%Y-%m-%d"
DATETIME_FORMAT = "%Y-%m-%d %H:%M:%S"
DATE_LENGTH = len(_dt.date.today().strftime(DATE_FORMAT))
DATETIME_LENGTH = len(_dt.datetime.now().strftime(DATETIME_FORMAT))

_NOTHING = object()

# Field parameters of Odoo that this layer does not implement: refused rather than ignored.
_NOT_IMPLEMENTED = ('related', 'search', 'inverse', 'company_dependent')


class Command(enum.IntEnum):
    """The x2many write commands; the tuples they build may also be written by hand."""
    CREATE = 0
    UPDATE = 1
    DELETE = 2
    UNLINK = 3
    LINK = 4
    CLEAR = 5
    SET = 6

    @classmethod
    def create(cls, values):
        return (cls.CREATE, 0, values)

    @classmethod
    def update(cls, id, values):
        return (cls.UPDATE, id, values)

    @classmethod
    def delete(cls, id):
        return (cls.DELETE, id, 0)

    @classmethod
    def unlink(cls, id):
        return (cls.UNLINK, id, 0)

    @classmethod
    def link(cls, id):
        return (cls.LINK, id, 0)

    @classmethod
    def clear(cls):
        return (cls.CLEAR, 0, 0)

    @classmethod
    def set(cls, ids):
        return (cls.SET, 0, ids)


class Field:
    """A value of every record of a model, read and assigned as an attribute."""

    type = None
    column_type = None          # SQLite column type; None for fields without a column
    relational = False
    group_operator = None       # aggregate function of read_group
    null_cache = None           # the cache form of "no value"

    def __init__(self, string=None, **kwargs):
        for name in _NOT_IMPLEMENTED:
            if kwargs.get(name):
                raise NotImplementedError("Fields with %s= are not implemented by this host" % name)
        self.string = string
        default = kwargs.pop('default', _NOTHING)
        self.default = None if default is _NOTHING else (
            default if callable(default) else (lambda model, value=default: value))
        self.required = bool(kwargs.pop('required', False))
        self.index = bool(kwargs.pop('index', False))
        self.readonly = bool(kwargs.pop('readonly', False))
        self.compute = kwargs.pop('compute', None)
        self.store = bool(kwargs.pop('store', not self.compute))
        self.extra = kwargs            # help, copy, tracking...: accepted, not used here
        self.name = None
        self.model_name = None
        self.depends = ()              # set up from the compute method's @api.depends

    def __set_name__(self, owner, name):
        self.name = name

    def __repr__(self):
        return "%s.%s" % (self.model_name, self.name)

    __str__ = __repr__

    @property
    def column(self):
        """Does the field have a column in the model's table?"""
        return self.store and self.column_type is not None

    # -- value conversions ------------------------------------------------------------------
    def to_cache(self, value, validate=True):
        """A value as assigned (create, write, attribute) -> its cache form."""
        return None if value is None or value is False else value

    def convert_to_cache(self, value, record, validate=True):
        """Odoo's name of ``to_cache``, the one a field class of an add-on overrides."""
        return self.to_cache(value, validate)

    def to_record(self, value, record):
        """The cache form -> what reading the record gives."""
        return False if value is None else value

    def to_column(self, value):
        """The cache form -> the SQL parameter stored in the column."""
        return value

    def from_column(self, value):
        """A value read from the column -> its cache form."""
        return value

    def to_domain(self, value):
        """A value compared with the column in a domain -> the SQL parameter."""
        return self.to_column(self.to_cache(value, validate=False))

    def to_read(self, value, record):
        """The record form -> the form of ``read()``."""
        return value

    def to_display_name(self, value):
        return str(value) if value else False

    # -- descriptor -------------------------------------------------------------------------
    def __get__(self, record, owner=None):
        if record is None:
            return self
        ids = record._ids
        if len(ids) == 1:
            try:
                value = record.env.cache[self][ids[0]]
            except KeyError:
                value = record._fetch_field(self, ids[0])
            return self.to_record(value, record)
        if not ids:
            return self.to_record(self.null_cache, record)
        raise ValueError("Expected singleton: %s" % record)

    def __set__(self, records, value):
        buffer = records.env.transaction.compute_buffers.get(self)
        if buffer is not None:
            cache_value = self.convert_to_cache(value, records)
            for id_ in records._ids:
                buffer[id_] = cache_value
            return
        records.write({self.name: value})

    def mapped(self, records):
        """The values of ``records``, one per record (a list)."""
        return [self.__get__(record) for record in records]


class Id(Field):
    """The record's id; compared as text in domains, as Odoo sends it to the database."""
    type = 'integer'

    def __init__(self):
        super().__init__(string='ID', readonly=True)

    def __get__(self, record, owner=None):
        if record is None:
            return self
        ids = record._ids
        if len(ids) == 1:
            return ids[0]
        if not ids:
            return False
        raise ValueError("Expected singleton: %s" % record)

    def __set__(self, records, value):
        raise TypeError("field 'id' cannot be assigned")

    def to_domain(self, value):
        return pg_int(value)


class _String(Field):
    column_type = 'TEXT'
    size = None

    def to_cache(self, value, validate=True):
        if value is None or value is False:
            return None
        if isinstance(value, bytes):
            value = value.decode()
        elif not isinstance(value, str):
            value = str(value)
        return value[:self.size] if self.size else value


class Char(_String):
    type = 'char'

    def __init__(self, string=None, size=None, **kwargs):
        super().__init__(string=string, **kwargs)
        self.size = size


class Text(_String):
    type = 'text'


class Selection(Field):
    """One key of ``selection``: a list of (key, label) pairs, or a function or the name of a
    model method giving that list (evaluated on each assignment, as Odoo does)."""
    type = 'selection'
    column_type = 'TEXT'

    def __init__(self, selection=None, string=None, **kwargs):
        super().__init__(string=string, **kwargs)
        self.selection = selection
        self.keys = (frozenset(key for key, _label in selection)
                     if isinstance(selection, (list, tuple)) else None)

    def get_values(self, env):
        """The possible keys."""
        if self.keys is not None:
            return [key for key, _label in self.selection]
        model = env[self.model_name].with_context(lang=None)
        selection = (getattr(model, self.selection)() if isinstance(self.selection, str)
                     else self.selection(model))
        return [key for key, _label in selection]

    def convert_to_cache(self, value, record):
        if value in self.get_values(record.env):
            return value
        if not value:
            return None
        raise ValueError("Wrong value for %s: %r" % (self, value))

    def to_cache(self, value, validate=True):
        if not value:
            return None
        if validate and self.keys is not None and value not in self.keys:
            raise ValueError("Wrong value for %s: %r" % (self, value))
        return value


class Integer(Field):
    type = 'integer'
    column_type = 'INTEGER'
    group_operator = 'sum'

    def to_cache(self, value, validate=True):
        return int(value or 0)

    def to_record(self, value, record):
        return value or 0

    def to_domain(self, value):
        return int(value or 0)


class Float(Field):
    type = 'float'
    column_type = 'REAL'
    group_operator = 'sum'

    def __init__(self, string=None, digits=None, **kwargs):
        super().__init__(string=string, **kwargs)
        self.digits = digits

    def to_cache(self, value, validate=True):
        value = float(value or 0.0)
        if self.digits:
            value = float_round(value, self.digits[1])
        return value

    def to_record(self, value, record):
        return value or 0.0


class Monetary(Field):
    """An amount in the currency that the many2one ``currency_field`` of the record holds
    (default ``currency_id``), rounded to that currency's decimals when it is known, as Odoo
    rounds it; without a currency the amount is kept as given."""
    type = 'monetary'
    column_type = 'REAL'
    group_operator = 'sum'

    def __init__(self, string=None, currency_field=None, **kwargs):
        super().__init__(string=string, **kwargs)
        self.currency_field = currency_field

    def get_currency_field(self, model):
        return self.currency_field or ('currency_id' if 'currency_id' in model._fields else None)

    def to_cache(self, value, validate=True):
        return float(value or 0.0)

    def convert_to_cache(self, value, record, validate=True):
        value = float(value or 0.0)
        if value and validate and record._ids:
            currency = record.sudo()[self.get_currency_field(record)]
            if len(currency) > 1:
                raise ValueError("Got multiple currencies while assigning values of monetary "
                                 "field %s" % self)
            if currency:
                value = currency.round(value)
        return value

    def to_record(self, value, record):
        return value or 0.0


class Boolean(Field):
    type = 'boolean'
    column_type = 'INTEGER'

    def to_cache(self, value, validate=True):
        return bool(value)

    def to_record(self, value, record):
        return bool(value)

    def to_column(self, value):
        return int(bool(value))

    def from_column(self, value):
        return bool(value)


class Date(Field):
    """A naive date; strings 'YYYY-MM-DD' are accepted on assignment."""
    type = 'date'
    column_type = 'TEXT'

    @staticmethod
    def today(*args):
        return _dt.date.today()

    @staticmethod
    def to_date(value):
        if not value:
            return None
        if isinstance(value, _dt.date):
            return value.date() if isinstance(value, _dt.datetime) else value
        return _dt.datetime.strptime(value[:DATE_LENGTH], DATE_FORMAT).date()

    @staticmethod
    def to_string(value):
        return value.strftime(DATE_FORMAT) if value else False

    def to_cache(self, value, validate=True):
        return self.to_date(value)

    def to_column(self, value):
        return value.isoformat() if value is not None else None

    def from_column(self, value):
        return _dt.date.fromisoformat(value) if value else None

    def to_domain(self, value):
        if isinstance(value, _dt.datetime) and value.time() != _dt.time.min:
            return value.isoformat(' ')
        return self.to_column(self.to_date(value))


class Datetime(Field):
    """A naive UTC date-time; strings 'YYYY-MM-DD HH:MM:SS' or 'YYYY-MM-DD' are accepted."""
    type = 'datetime'
    column_type = 'TEXT'

    @staticmethod
    def now(*args):
        return _dt.datetime.now().replace(microsecond=0)

    @staticmethod
    def today(*args):
        return _dt.datetime.now().replace(hour=0, minute=0, second=0, microsecond=0)

    @staticmethod
    def to_datetime(value):
        if not value:
            return None
        if isinstance(value, _dt.date):
            if isinstance(value, _dt.datetime):
                if value.tzinfo:
                    raise ValueError("Datetime field expects a naive datetime: %s" % value)
                return value
            return _dt.datetime.combine(value, _dt.time.min)
        # as Odoo: the format cut to the text's length ('YYYY-MM-DD', 'YYYY-MM-DD HH:MM'...),
        # so ISO 'T' separators and fractions of seconds are refused
        return _dt.datetime.strptime(value, DATETIME_FORMAT[:len(value) - 2])

    @staticmethod
    def to_string(value):
        return value.strftime(DATETIME_FORMAT) if value else False

    def to_cache(self, value, validate=True):
        return self.to_datetime(value)

    def to_column(self, value):
        return value.isoformat(' ') if value is not None else None

    def from_column(self, value):
        return _dt.datetime.fromisoformat(value) if value else None

    def to_domain(self, value):
        if isinstance(value, str):
            # The database parses text, ISO 'T' and fractions of seconds included.
            try:
                value = _dt.datetime.fromisoformat(value.strip())
            except ValueError:
                raise ValueError('invalid input syntax for type timestamp: "%s"' % value) from None
        return self.to_column(self.to_datetime(value))


# -- relational fields ----------------------------------------------------------------------

class _Relational(Field):
    relational = True

    def __init__(self, comodel_name=None, string=None, **kwargs):
        self.domain = kwargs.pop('domain', [])
        self.context = kwargs.pop('context', {})
        self.auto_join = kwargs.pop('auto_join', False)
        super().__init__(string=string, **kwargs)
        self.comodel_name = comodel_name

    def comodel(self, env):
        return env[self.comodel_name]

    def __get__(self, record, owner=None):
        if record is None:
            return self
        if len(record._ids) > 1:
            return self.mapped(record)
        return super().__get__(record, owner)

    def to_display_name(self, value):
        return value.display_name if value else False


class Many2one(_Relational):
    """A link to one record of ``comodel_name``; cache form: the id or None."""
    type = 'many2one'
    column_type = 'INTEGER'

    def __init__(self, comodel_name=None, string=None, ondelete='set null', **kwargs):
        super().__init__(comodel_name, string=string, **kwargs)
        self.ondelete = (ondelete or 'set null').lower()

    def to_cache(self, value, validate=True):
        if type(value) is int:
            return value
        if hasattr(value, '_ids'):
            if validate and (value._name != self.comodel_name or len(value._ids) > 1):
                raise ValueError("Wrong value for %s: %r" % (self, value))
            return value._ids[0] if value._ids else None
        if isinstance(value, tuple):
            return value[0] if value else None
        # Odoo's cache takes nothing else: text, False and None all mean "no link"
        return None

    def create_column_value(self, value):
        """The column value of a create: the id reaches SQL as given, text ids included."""
        if isinstance(value, str):
            return pg_int(value)
        return self.to_column(self.convert_to_cache(value, None))

    def to_record(self, value, record):
        ids = (value,) if value else ()
        return record.env[self.comodel_name]._browse(
            record.env, ids, _M2OPrefetch(self, record) if ids else ())

    def to_domain(self, value):
        return pg_number(value)

    def to_read(self, value, record):
        return (value.id, value.sudo().display_name) if value else False

    def mapped(self, records):
        cache = records.env.cache
        values = []
        for record in records:
            id_ = record._ids[0]
            try:
                value = cache[self][id_]
            except KeyError:
                value = record._fetch_field(self, id_)
            if value:
                values.append(value)
        comodel = records.env[self.comodel_name]
        ids = tuple(dict.fromkeys(values))
        return comodel._browse(records.env, ids, ids)


class _M2OPrefetch:
    """The ids that the records sharing a prefetch set link to: prefetched together."""
    __slots__ = ('field', 'record')

    def __init__(self, field, record):
        self.field = field
        self.record = record

    def __iter__(self):
        values = self.record.env.cache.get(self.field, {})
        seen = set()
        for id_ in self.record._prefetch_ids:
            value = values.get(id_)
            if value and value not in seen:
                seen.add(value)
                yield value


class _RelationalMulti(_Relational):
    """A set of records of ``comodel_name``; cache form: a tuple of ids."""
    null_cache = ()

    def to_cache(self, value, validate=True):
        if not value:
            return ()
        if hasattr(value, '_ids'):
            return value._ids
        return tuple(value)

    def to_record(self, value, record):
        ids = value or ()
        return record.env[self.comodel_name]._browse(record.env, ids, ids)

    def to_read(self, value, record):
        return list(value._ids)

    def mapped(self, records):
        cache = records.env.cache
        ids = []
        for record in records:
            id_ = record._ids[0]
            try:
                ids.extend(cache[self][id_])
            except KeyError:
                ids.extend(record._fetch_field(self, id_))
        ids = tuple(dict.fromkeys(ids))
        return records.env[self.comodel_name]._browse(records.env, ids, ids)


class One2many(_RelationalMulti):
    """The records of ``comodel_name`` whose many2one ``inverse_name`` is this record."""
    type = 'one2many'

    def __init__(self, comodel_name=None, inverse_name=None, string=None, **kwargs):
        super().__init__(comodel_name, string=string, **kwargs)
        self.inverse_name = inverse_name


class Many2many(_RelationalMulti):
    """A set of records kept in a relation table (model id, comodel id)."""
    type = 'many2many'

    def __init__(self, comodel_name=None, relation=None, column1=None, column2=None,
                 string=None, **kwargs):
        super().__init__(comodel_name, string=string, **kwargs)
        self.relation = relation
        self.column1 = column1
        self.column2 = column2
