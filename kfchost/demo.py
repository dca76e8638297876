"""Loads the demo records of kfchost.demo_data into a database."""
from kfchost import demo_data

# Link fields of the demo data, written without their "_id" ending, pointing at a "ref".
_LINKS = {'type': 'type_id', 'product': 'product_id', 'parent': 'parent_product_id'}


def load_demo(env, wechat=None):
    """Create the demo records once; ``wechat`` ({"app_id", "secret"}) overrides the "wxapi"
    credentials, for a sandbox started with other ones. Returns False when already loaded."""
    if env['api.config'].sudo().search_count([('name', '=', 'wxapi')]):
        return False
    refs = {}
    for model, rows in demo_data.MODELS:
        for row in rows:
            values = _resolve(dict(row), refs)
            if model == 'api.config' and wechat and values.get('name') == 'wxapi':
                values.update(app_id=wechat['app_id'], secret=wechat['secret'])
            ref = values.pop('ref', None)
            record = env[model].sudo().create(values)
            if ref:
                refs[ref] = record.id
    return True


def _resolve(values, refs):
    for key, field in _LINKS.items():
        if key in values:
            values[field] = refs[values.pop(key)]
    return values
