"""Environments: a cursor, the superuser and a context, giving access to the models."""

SUPERUSER_ID = 1


class Environment:
    def __init__(self, cr, uid=SUPERUSER_ID, context=None):
        self.cr = cr
        self.registry = cr.registry
        self.uid = uid
        self.context = dict(context or {})

    def __getitem__(self, model_name):
        return self.registry[model_name]._browse(self, ())
