"""Helpers of the routeweave module tests: the embedding tool, the controller table, and a
stand-in host module whose globals the controller sources run in."""
import base64
import datetime
import hashlib
import importlib.util
import json
import re
import time
import types
from collections import defaultdict
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def _build_step():
    """tools/embed_controller.py, the build step, loaded from its file (tools/ is no package)."""
    found = importlib.util.spec_from_file_location("embed_controller", ROOT / "tools" / "embed_controller.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


embed_controller = _build_step()

# (load function, class it returns, controller source file stem), in registration order.
CONTROLLERS = [
    ("load_coupon_controller_0", "CouponController", "coupon_controller"),
    ("load_kfc_controller_1", "KfcController", "kfc_controller"),
    ("load_order_controller_2", "OrderController", "order_controller"),
    ("load_user_controller_3", "UserController", "user_controller"),
    ("load_wx_api_controller_4", "WxApiController", "wx_api_controller"),
]
LOAD_FUNCTIONS = [name for name, _, _ in CONTROLLERS]

# Lets a test run a load call from inside the host module, as a host add-on module does.
_CALLER = "def call_loader(load, namespace):\n    return load(namespace)\n"


HOST_FUNCTIONS = ["create_api_log", "generate_token", "kfc_login", "create_kfc_order",
                  "order_fail_push", "post_pick_message", "get_error_message", "wx_api_payment",
                  "wx_api_refund"]


def _not_called(*args, **kwargs):
    raise AssertionError("a host function was called while loading a controller")


class Controller:
    """Stand-in for http.Controller."""


class RouteRecorder:
    """Stand-in for http.route: records each declaration; raises for the path in `fail_on`."""

    def __init__(self):
        self.declared = []
        self.fail_on = None

    def __call__(self, path, **options):
        self.declared.append((path, options))
        if path == self.fail_on:
            raise RuntimeError(f"route {path} refused")
        return lambda method: method


def make_host(name="standin_host", bind_http=True):
    """A fresh module binding what the controller class bodies need, with `call_loader`;
    `_standin` holds the stand-ins for the test to inspect."""
    host = types.ModuleType(name)
    route = RouteRecorder()
    validated = []

    def validate_token(method):
        validated.append(method.__name__)
        return method

    http = types.SimpleNamespace(Controller=Controller, route=route, Response=object,
                                 request=types.SimpleNamespace())
    if bind_http:
        host.http = http
    host.__dict__.update(
        request=http.request, json=json, hashlib=hashlib, base64=base64, re=re,
        datetime=datetime, time=time, timedelta=datetime.timedelta, defaultdict=defaultdict,
        validate_token=validate_token, APIV3_KEY="0" * 32)
    # Host functions are only called by routes, never while a class is made.
    host.__dict__.update(dict.fromkeys(HOST_FUNCTIONS, _not_called))
    exec(compile(_CALLER, f"<{name}>", "exec"), host.__dict__)
    host._standin = types.SimpleNamespace(http=http, route=route, validated=validated)
    return host
