"""The registry of one database: its model classes and its connection pool."""
from . import sql_db


class Registry:
    def __init__(self, db_path):
        self.db_path = str(db_path)
        self._pool = sql_db.ConnectionPool(self.db_path)
        self.models = {}

    def cursor(self):
        cr = sql_db.Cursor(self._pool)
        cr.registry = self
        return cr

    def __getitem__(self, model_name):
        return self.models[model_name]

    def close(self):
        self._pool.close_all()
