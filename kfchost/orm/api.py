"""Environments (a cursor, a user, a context, superuser mode) and the method decorators of models."""
import collections.abc

SUPERUSER_ID = 1

# external ids of the platform's records: xml id -> (model name, record id); those of an
# add-on's data are records of ir.model.data
XMLIDS = {}


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
    """Access to the models of the cursor's database as one user: ``env['sale.order']``.

    As in Odoo, ``uid`` is the user's id (None when no user is bound), ``su`` the superuser
    mode that bypasses access rights; the superuser (``SUPERUSER_ID``) is always in it. The
    arguments default to the superuser and an empty context, for scripts and tests.
    """

    def __init__(self, cr, uid=SUPERUSER_ID, context=None, su=False):
        if uid == SUPERUSER_ID:
            su = True
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
        """A new environment differing in the given parts, on the same transaction.

        Changing the user leaves superuser mode unless ``su`` says otherwise."""
        uid = self.uid if user is None else int(user)
        su = (user is None and self.su) if su is None else su
        return Environment(cr if cr is not None else self.cr, uid,
                           self.context if context is None else context, su)

    @property
    def user(self):
        """The current user, a ``res.users`` record in superuser mode (empty without a user)."""
        return self(su=True)['res.users'].browse(self.uid)

    @property
    def lang(self):
        return self.context.get('lang')

    def ref(self, xml_id, raise_if_not_found=True):
        """The record of the external id ``xml_id``: one of the platform's, or one a data file
        of an add-on made (``ir.model.data``)."""
        if xml_id in XMLIDS:
            res_model, res_id = XMLIDS[xml_id]
        else:
            res_model, res_id = self(su=True)['ir.model.data']._xmlid_to_res_model_res_id(
                xml_id, raise_if_not_found=raise_if_not_found)
            if not res_model:
                return None
        record = self[res_model].browse(res_id)
        if record.exists():
            return record
        if raise_if_not_found:
            raise ValueError('No record found for unique ID %s. It may have been deleted.' % xml_id)
        return None

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


def autovacuum(method):
    """A method of Odoo's daily clean-up; this host runs no scheduler, so nothing calls it."""
    assert method.__name__.startswith('_'), "%s: autovacuum methods must be private" % method.__name__
    method._autovacuum = True
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
