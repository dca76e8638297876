"""The names a host module binds for its controller source, and the host modules' globals that
follow the settings (``requests``, ``APIV3_KEY`` and ``ORDER_SIGNING_KEY``)."""
import base64
import datetime as datetime_module
import hashlib
import json
import logging
import re
import time as time_module
import warnings
from collections import defaultdict

import pytz
from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from geopy.distance import geodesic

from odoo import http

from .. import functions
from ..services import runtime
from ..services.redaction import redact
from ..services.settings import Settings

# An out-of-range latitude: geopy warns before it raises the ValueError the controllers expect.
warnings.filterwarnings('ignore', message='Latitude normalization has been prohibited',
                        category=UserWarning)

LIBRARY_NAMES = {
    'http': http,
    'request': http.request,
    'json': json,
    'hashlib': hashlib,
    'base64': base64,
    're': re,
    'pytz': pytz,
    'timedelta': datetime_module.timedelta,
    'defaultdict': defaultdict,
    'geodesic': geodesic,
    'AESGCM': AESGCM,
    'InvalidTag': InvalidTag,
}

HOST_FUNCTIONS = (
    'create_api_log', 'generate_token', 'validate_token', 'kfc_login', 'create_kfc_order',
    'order_fail_push', 'post_pick_message', 'get_error_message', 'wx_api_payment', 'wx_api_refund',
    'verify_wechatpay_signature', 'refund_mismatched_payment', 'wechat_access_token',
    'redemption_cooling', 'redemption_failed',
)

_namespaces = []    # globals of the host modules


def bind_host_names(namespace, clock_classes=False):
    """Bind every host name in ``namespace`` (a host module's globals).

    clock_classes: bind ``datetime`` and ``time`` to the classes of the datetime module (the
    store catalogue controller wants those) instead of the modules ``datetime`` and ``time``.
    """
    namespace.update(LIBRARY_NAMES)
    if clock_classes:
        namespace['datetime'] = datetime_module.datetime
        namespace['time'] = datetime_module.time
    else:
        namespace['datetime'] = datetime_module
        namespace['time'] = time_module
    for name in HOST_FUNCTIONS:
        namespace[name] = getattr(functions, name)
    namespace['requests'] = runtime.requests     # configured in place when settings change
    namespace['print'] = debug_print(logging.getLogger(namespace['__name__']))
    _namespaces.append(namespace)
    # The keys follow the settings, which are read at the first request (ir.http), not here.
    _bind_keys(namespace, runtime.settings if runtime.is_configured() else Settings())


def _bind_keys(namespace, settings):
    namespace['APIV3_KEY'] = settings.apiv3_key
    # The coupon back-end's order-entry signing key ("" without a back-end account).
    backend = settings.coupon_backend
    namespace['ORDER_SIGNING_KEY'] = backend.order_signing_key if backend else ''


def debug_print(logger):
    """The ``print`` of a host module: the controllers' diagnostic lines (raw back-end replies
    among them) go to the add-on's log at debug level, secrets redacted, not to stdout."""
    def print(*values, sep=' ', **_ignored):   # noqa: A001 (the controllers' print)
        if logger.isEnabledFor(logging.DEBUG):
            logger.debug('%s', redact((' ' if sep is None else sep).join(map(str, values))))
    return print


def _follow_settings(settings):
    for namespace in _namespaces:
        _bind_keys(namespace, settings)


runtime.subscribe(_follow_settings)
