"""Host modules, one per controller: each binds in its own globals the names its controller's
source uses, then calls the controller's load function with ``globals()``, so the loaded class
belongs to that module (and to this add-on, whose routes Odoo serves).

They load only when the module's controllers were built with the deployment constants of this
add-on's folder; otherwise one line in the log says what differs, and neither the API nor the
customer's page (which is signed for the same page address) is served.
"""
import logging
from importlib import import_module

from .deployment_check import refusal

_logger = logging.getLogger(__name__)

HOST_MODULES = ('coupon', 'kfc', 'order', 'user', 'wx_api')
CLASS_NAMES = {
    'coupon': 'CouponController',
    'kfc': 'KfcController',
    'order': 'OrderController',
    'user': 'UserController',
    'wx_api': 'WxApiController',
}

REFUSAL = refusal()
if REFUSAL:
    _logger.error('The API routes and the page are not loaded: %s', REFUSAL)
else:
    from . import coupon, kfc, order, user, wx_api   # noqa: F401  (loads the five controllers)
    from . import page   # noqa: F401  (the customer's page)


def controller_classes():
    """The five loaded controller classes, in the order of their load functions (none when
    the module and the add-on were not built together)."""
    if REFUSAL:
        return []
    classes = []
    for name in HOST_MODULES:
        module = import_module('%s.%s' % (__name__, name))
        classes.append(getattr(module, CLASS_NAMES[name]))
    return classes
