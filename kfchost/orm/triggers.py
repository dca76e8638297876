"""Stored computed fields: which records to recompute when a field changes, and the recomputation.

``@api.depends('line_ids.total_price')`` on ``sale.order.amount`` means: when ``total_price``
of some lines changes, recompute ``amount`` of the orders reached backwards through
``line_ids`` from those lines. Changes mark records to recompute; ``recompute`` then runs
the compute methods, dependencies first, and stores the values that changed.
"""

_TRIGGERS = {}      # field -> [(computed field, path from the computed field's model)]
_INVERSES = {}      # many2one field -> the one2many fields it is the inverse of
_RELATIONS = {}     # relation table -> the many2many fields kept in it
_RANK = {}          # computed field -> order of computation, dependencies first
_GROUPS = {}        # computed field -> the fields its compute method assigns

_MISSING = object()


def setup(model_classes):
    """Build the dependency tables of every model (called once all models are defined)."""
    triggers, inverses, relations, groups = {}, {}, {}, {}
    computed = []
    for model in model_classes.values():
        for field in model._fields.values():
            if field.type == 'one2many':
                inverse = model_classes[field.comodel_name]._fields[field.inverse_name]
                inverses.setdefault(inverse, []).append(field)
            elif field.type == 'many2many':
                relations.setdefault(field.relation, []).append(field)
            if field.compute:
                computed.append((model, field))
                groups[field] = [f for f in model._fields.values()
                                 if f.compute and f.compute_method is field.compute_method]
    paths = {}
    for model, field in computed:
        paths[field] = [_resolve(model_classes, model, field, dep) for dep in field.depends]
        for path in paths[field]:
            for k, step in enumerate(path):
                triggers.setdefault(step, []).append((field, tuple(path[:k])))
    ranks = {}
    for _model, field in computed:
        _rank(field, paths, ranks, set())
    _TRIGGERS.clear(), _TRIGGERS.update(triggers)
    _INVERSES.clear(), _INVERSES.update(inverses)
    _RELATIONS.clear(), _RELATIONS.update(relations)
    _GROUPS.clear(), _GROUPS.update(groups)
    _RANK.clear(), _RANK.update(ranks)


def _resolve(model_classes, model, field, dependency):
    path = []
    for name in dependency.split('.'):
        step = model._fields.get(name)
        if step is None:
            raise ValueError("Wrong @depends on %r (compute method of field %s): field %r "
                             "not found in model %s" % (dependency, field, name, model._name))
        path.append(step)
        if step.relational:
            model = model_classes[step.comodel_name]
    return path


def _rank(field, paths, ranks, visiting):
    if field in ranks:
        return ranks[field]
    visiting.add(field)
    rank = 0
    for path in paths.get(field, ()):
        for step in path:
            if step.compute and step is not field and step not in visiting:
                rank = max(rank, _rank(step, paths, ranks, visiting) + 1)
    visiting.discard(field)
    ranks[field] = rank
    return rank


def inverse_one2manys(field):
    return _INVERSES.get(field, ())


def relation_fields(relation):
    return _RELATIONS.get(relation, ())


# -- marking ----------------------------------------------------------------------------------

def modified(records, fields):
    """``fields`` of ``records`` change (or are about to): mark what depends on them."""
    if not records:
        return
    records = records.sudo()     # dependencies are followed whoever changed the records
    env = records.env
    tocompute = env.transaction.tocompute
    for field in fields:
        for one2many in _INVERSES.get(field, ()):
            # the lines of the linked records change as well, before and after the write
            env.cache.pop(one2many, None)
            parents = records.mapped(field.name)
            if parents:
                modified(parents, [one2many])
        for target, path in _TRIGGERS.get(field, ()):
            targets = _reverse(records, path)
            if targets:
                tocompute.setdefault(target, set()).update(targets._ids)


def modified_created(records):
    """New records: compute their stored computed fields and mark what depends on them."""
    model = type(records)
    tocompute = records.env.transaction.tocompute
    for field in model._fields.values():
        if field.compute and field.store:
            tocompute.setdefault(field, set()).update(records._ids)
    modified(records, [f for f in model._fields.values() if not f.compute])


def forget(records):
    """Deleted records have nothing left to recompute."""
    tocompute = records.env.transaction.tocompute
    for field in type(records)._fields.values():
        pending = tocompute.get(field)
        if pending:
            pending.difference_update(records._ids)


def _reverse(records, path):
    """The records of the path's first model that reach ``records`` through ``path``."""
    for step in reversed(path):
        if not records:
            break
        if step.type == 'one2many':
            records = records.mapped(step.inverse_name)
        else:
            records = records.env[step.model_name].search([(step.name, 'in', list(records._ids))])
    return records


# -- recomputation ----------------------------------------------------------------------------

def recompute(env):
    """Run the pending computations, each field after the fields it depends on."""
    transaction = env.transaction
    if transaction.recomputing:
        return      # the running loop picks up what was marked meanwhile
    env = env(su=True)     # stored fields are computed in superuser mode, as in Odoo
    transaction.recomputing = True
    try:
        tocompute = transaction.tocompute
        while tocompute:
            field = min(tocompute, key=_RANK.__getitem__)
            ids = tocompute.pop(field)
            if not ids:
                continue
            if not field.store:
                values = env.cache.get(field)
                for id_ in ids if values else ():
                    values.pop(id_, None)
                continue
            records = env[field.model_name].browse(sorted(ids)).exists()
            if records:
                _store(records, field)
    finally:
        transaction.recomputing = False


def _run(records, field):
    """Call the compute method of ``field`` on ``records``; returns {field: {id: value}}."""
    transaction = records.env.transaction
    group = _GROUPS.get(field) or [field]
    buffers = {f: {} for f in group}
    transaction.compute_buffers.update(buffers)
    try:
        field.compute_method(records)
    finally:
        for f in group:
            transaction.compute_buffers.pop(f, None)
    for f, values in buffers.items():
        for record in records:
            if record.id not in values:
                raise ValueError("Compute method failed to assign %s.%s" % (record, f.name))
    return buffers


def _store(records, field):
    """Recompute a stored field and write the values that changed."""
    env = records.env
    buffers = _run(records, field)
    tocompute = env.transaction.tocompute
    for f, values in buffers.items():
        if f is not field and f in tocompute:
            tocompute[f].difference_update(values)
        current = env.cache.get(f, {})
        if any(id_ not in current for id_ in values):
            records._fetch_columns([id_ for id_ in values if id_ not in current])
            current = env.cache[f]
        changed = [id_ for id_, value in values.items() if current.get(id_, _MISSING) != value]
        if not changed:
            continue
        env.cr.sqlite_executemany('UPDATE "%s" SET "%s" = ? WHERE "id" = ?' % (records._table, f.name),
                           [(f.to_column(values[id_]), id_) for id_ in changed])
        for id_ in changed:
            current[id_] = values[id_]
        modified(records.browse(changed), [f])


def compute_into_cache(records, field):
    """Compute a field that is not stored and keep its values in the cache."""
    for f, values in _run(records, field).items():
        records.env.cache.setdefault(f, {}).update(values)
