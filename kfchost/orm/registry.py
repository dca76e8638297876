"""The registry of one database: its model classes and its connection pool."""
from . import models, schema, sql_db, triggers
from .api import Environment


class Registry:
    def __init__(self, db_path):
        self.db_path = str(db_path)
        self._pool = sql_db.ConnectionPool(self.db_path)
        self.models = models.MODEL_CLASSES     # every model class defined in the process

    def cursor(self):
        cr = sql_db.Cursor(self._pool)
        cr.registry = self
        return cr

    def __getitem__(self, model_name):
        return self.models[model_name]

    def __contains__(self, model_name):
        return model_name in self.models

    def setup_models(self):
        models.setup_models()

    def init_db(self):
        """Create or complete the schema of every model, run the models' ``init`` hooks (the
        platform's records, which defaults may name), then fill the columns added."""
        self.setup_models()
        with self.cursor() as cr:
            added = schema.init_schema(cr, self.models)
            env = Environment(cr)
            for name in list(self.models):
                if self.models[name]._auto:
                    env[name].init()
            for field in added:
                _init_column(env, field)

    def close(self):
        self._pool.close_all()


def _init_column(env, field):
    """As Odoo fills a column added to a table with rows: the field's default (one value for
    every row, none for False), or the computed values of a stored computed field."""
    records = env[field.model_name].with_context(active_test=False).search([])
    if not records:
        return
    if field.compute:
        env.transaction.tocompute.setdefault(field, set()).update(records._ids)
        triggers.recompute(env)
    elif field.default:
        value = field.to_column(field.to_cache(field.default(records.browse())))
        if value is not None and not (field.type == 'boolean' and not value):
            env.cr.sqlite_execute('UPDATE "%s" SET "%s" = ? WHERE "%s" IS NULL' % (
                records._table, field.name, field.name), [value])
