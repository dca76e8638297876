"""Environments (a cursor, the superuser and a context) and the method decorators of models."""
import collections.abc

SUPERUSER_ID = 1


class Transaction:
    """What the environments of one cursor share: the record cache and pending recomputations.

    The cursor drops it when it rolls back, so no rolled-back value survives in the cache.
    """

    def __init__(self, registry):
        self.registry = registry
        self.cache = {}             # field -> {record id: cache value}
        self.tocompute = {}         # computed field -> set of record ids to recompute
        self.compute_buffers = {}   # field -> {id: value} while its compute method runs
        self.recomputing = False

    def reset(self):
        self.cache.clear()
        self.tocompute.clear()
        self.compute_buffers.clear()
        self.recomputing = False


class Environment:
    """Access to the models of the cursor's database: ``env['sale.order']``."""

    def __init__(self, cr, uid=SUPERUSER_ID, context=None, su=True):
        self.cr = cr
        self.registry = cr.registry
        self.uid = uid
        self.context = dict(context or {})
        self.su = su
        transaction = getattr(cr, 'transaction', None)
        if transaction is None:
            transaction = cr.transaction = Transaction(cr.registry)
        self.transaction = transaction
        self.cache = transaction.cache
        self.registry.setup_models()

    def __getitem__(self, model_name):
        return self.registry[model_name]._browse(self, (), ())

    def __contains__(self, model_name):
        return model_name in self.registry.models

    def __call__(self, cr=None, user=None, context=None, su=None):
        """A new environment differing in the given parts, on the same transaction."""
        return Environment(cr if cr is not None else self.cr,
                           user if user is not None else self.uid,
                           self.context if context is None else context,
                           self.su if su is None else su)

    @property
    def user(self):
        return self.uid

    def invalidate_all(self):
        """Forget every cached value, e.g. after changing records with raw SQL."""
        self.cache.clear()

    def flush_all(self):
        """Writes reach the database at once here; nothing waits to be flushed."""


# -- decorators -----------------------------------------------------------------------------

def model(method):
    """A method whose recordset is not significant, only its model."""
    method._api = 'model'
    return method


def model_create_multi(method):
    """A create method taking a list of value dicts; a single dict is wrapped in a list."""
    def create(self, vals_list):
        if isinstance(vals_list, collections.abc.Mapping):
            vals_list = [vals_list]
        return method(self, vals_list)
    create.__name__ = method.__name__
    create.__doc__ = method.__doc__
    create._api = 'model_create'
    return create


def depends(*fnames):
    """The fields, as dotted paths, that a compute method reads."""
    def decorate(method):
        method._depends = tuple(fnames)
        return method
    return decorate


def constrains(*fnames):
    """A method checking records after ``fnames`` were created or written; raises ValidationError."""
    def decorate(method):
        method._constrains = tuple(fnames)
        return method
    return decorate


def onchange(*fnames):
    """Form-view hook; records changed through the server never call it."""
    def decorate(method):
        method._onchange = tuple(fnames)
        return method
    return decorate
