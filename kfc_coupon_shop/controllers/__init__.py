"""Host modules, one per controller: each binds in its own globals the names its controller's
source uses, then calls the controller's load function with ``globals()``, so the loaded class
belongs to that module (and to this add-on, whose routes Odoo serves).
"""
from importlib import import_module

from . import coupon, kfc, order, user, wx_api   # noqa: F401  (loads the five controllers)
from . import page   # noqa: F401  (the customer's page)

HOST_MODULES = ('coupon', 'kfc', 'order', 'user', 'wx_api')
CLASS_NAMES = {
    'coupon': 'CouponController',
    'kfc': 'KfcController',
    'order': 'OrderController',
    'user': 'UserController',
    'wx_api': 'WxApiController',
}


def controller_classes():
    """The five loaded controller classes, in the order of their load functions."""
    classes = []
    for name in HOST_MODULES:
        module = import_module('%s.%s' % (__name__, name))
        classes.append(getattr(module, CLASS_NAMES[name]))
    return classes
