"""Whether the module's controllers were built with the add-on's deployment constants.

The module hands over nothing but its five controllers, and its build wrote the constants into
their text. So the check loads each controller once more, run from a namespace of its own in
which ``http`` registers no route, and looks for the add-on's constants among the string
literals of the class's code: a module built for another page address or other outside
services is found at start, not by a customer at the first call.
"""
import routeweave

from ..services.deployment import DeploymentMissing, read_deployment

LOAD_FUNCTIONS = ('load_coupon_controller_0', 'load_kfc_controller_1', 'load_order_controller_2',
                  'load_user_controller_3', 'load_wx_api_controller_4')

# Where the build put each constant: literals of the controllers, "{}" standing for its value.
LITERALS = {
    'wechat_api_origin': ('{}/sns/oauth2/access_token', '{}/sns/userinfo',
                          '{}/cgi-bin/ticket/getticket', '{}/cgi-bin/message/template/send'),
    'tencent_map_origin': ('{}/ws/geocoder/v1/',),
    'tencent_map_key': ('{}',),
    'frontend_page_url': ('{}',),
    'pickup_template_id': ('{}',),
    'coupon_catalogue_base': ('{}', '{}/kfcautoorder.aspx'),
    'coupon_fulfilment_base': ('{}/Core.asmx/KFC_Auto_GetDoneOrder',
                               '{}/Core.asmx/KFC_Auto_UpdateOrderDetail'),
}


class _Http:
    """The ``http`` a controller's class body sees here: a plain base and a route decorator
    that leaves the method as it is, so that nothing reaches the server's routing."""

    class Controller:
        pass

    @staticmethod
    def route(*args, **kwargs):
        return lambda method: method


def controller_literals():
    """Every text literal of the five controllers' code, as the module holds them."""
    literals = set()
    for name in LOAD_FUNCTIONS:
        # The loader runs the source with the globals of the frame that calls it: this one's.
        probe = {'http': _Http, 'validate_token': lambda method: method,
                 'load': getattr(routeweave, name)}
        exec('controller = load({})', probe)    # noqa: S102 (the module's own controller)
        for value in vars(probe['controller']).values():
            value = getattr(value, '__func__', value)       # a static or class method
            literals.update(_texts(getattr(value, '__code__', value)))
    return literals


def _texts(value):
    if isinstance(value, str):
        yield value
    elif isinstance(value, tuple):
        for item in value:
            yield from _texts(item)
    elif hasattr(value, 'co_consts'):
        yield from _texts(value.co_consts)


def refusal():
    """None when the module's controllers carry the add-on's deployment constants; else one
    line that says which differ, and what to do."""
    try:
        constants = read_deployment()
    except DeploymentMissing as exc:
        return str(exc)
    literals = controller_literals()
    differing = []
    for key, templates in LITERALS.items():
        value = constants.get(key, '')
        if not value or not all(template.format(value) in literals for template in templates):
            differing.append('%s (here %r%s)' % (key, value, _built_value(templates, literals)))
    if not differing:
        return None
    return ('the routeweave module %s was built with other deployment constants than this '
            'add-on holds in deployment.ini: %s; build the module again and deploy this folder '
            'from the same build' % (routeweave.__version__, ', '.join(differing)))


def _built_value(templates, literals):
    """', the module's X' when a literal of the module shows the value it was built with."""
    for template in templates:
        suffix = template[2:]
        if suffix:
            for literal in literals:
                if literal.endswith(suffix) and len(literal) > len(suffix):
                    return ", the module's %r" % literal[:-len(suffix)]
    return ''
