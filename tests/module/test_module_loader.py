"""The controller loader: namespaces, name resolution, errors and references."""
import gc
import re
import sys
import traceback
import types

import pytest

from module_support import CONTROLLERS, make_host

CODING_LINE = "# -*- coding: utf-8 -*-\n"


def reference_class(text, class_name, host):
    """The class Python itself makes from `text`, run the way the loader runs it."""
    namespace = {}
    exec(compile(CODING_LINE + text, "<string>", "exec"), vars(host), namespace)
    return namespace[class_name]


def functions_of(cls):
    return {name: value for name, value in vars(cls).items() if isinstance(value, types.FunctionType)}


@pytest.mark.parametrize("load_name, class_name, stem", CONTROLLERS)
def test_load_returns_the_class_of_the_source(routeweave, decoded_sources, load_name, class_name, stem):
    host = make_host()
    namespace = {}
    cls = host.call_loader(getattr(routeweave, load_name), namespace)
    assert namespace == {class_name: cls}
    assert cls.__name__ == class_name
    assert cls.__bases__ == (host._standin.http.Controller,)
    assert cls.__module__ == host.__name__

    reference_host = make_host()
    expected = reference_class(decoded_sources[stem], class_name, reference_host)
    assert host._standin.route.declared == reference_host._standin.route.declared
    assert host._standin.validated == reference_host._standin.validated
    # Methods compiled from the very same text: code equality covers constants, names and
    # first lines, the line table the rest.
    assert functions_of(cls).keys() == functions_of(expected).keys()
    for name, function in functions_of(cls).items():
        reference = functions_of(expected)[name]
        assert function.__code__ == reference.__code__, name
        assert function.__code__.co_linetable == reference.__code__.co_linetable, name
        assert function.__globals__ is vars(host), name


def test_user_routes_reach_the_host_decorators(routeweave):
    host = make_host()
    host.call_loader(routeweave.load_user_controller_3, {})
    paths = [path for path, _ in host._standin.route.declared]
    assert "/api/post_user_login" in paths
    assert all(options["cors"] == "*" for _, options in host._standin.route.declared)
    assert "post_user_info" in host._standin.validated


def test_host_globals_as_namespace_binds_the_class_there(routeweave):
    host = make_host()
    cls = host.call_loader(routeweave.load_user_controller_3, vars(host))
    assert host.UserController is cls


def test_list_of_pairs_is_copied_and_left_unchanged(routeweave, host):
    pairs = [("k", 1)]
    cls = host.call_loader(routeweave.load_wx_api_controller_4, pairs)
    assert cls.__name__ == "WxApiController"
    assert pairs == [("k", 1)]


def test_dict_subclass_is_used_as_it_is(routeweave, host):
    class Namespace(dict):
        pass

    namespace = Namespace(k=1)
    cls = host.call_loader(routeweave.load_kfc_controller_1, namespace)
    assert namespace == {"k": 1, "KfcController": cls}


def test_mapping_is_copied(routeweave, host):
    underlying = {"k": 1}
    cls = host.call_loader(routeweave.load_order_controller_2, types.MappingProxyType(underlying))
    assert cls.__name__ == "OrderController"
    assert underlying == {"k": 1}


def test_none_namespace_runs_nothing(routeweave, host):
    with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
        host.call_loader(routeweave.load_user_controller_3, None)
    assert host._standin.route.declared == []
    assert host._standin.validated == []


def test_each_load_makes_a_new_class_and_rebinds_it(routeweave, host):
    namespace = {"UserController": "earlier binding"}
    first = host.call_loader(routeweave.load_user_controller_3, namespace)
    second = host.call_loader(routeweave.load_user_controller_3, namespace)
    assert first is not second
    assert first.__name__ == second.__name__ == "UserController"
    assert namespace == {"UserController": second}


@pytest.mark.parametrize("load_name", ["load_user_controller_3", "load_wx_api_controller_4"])
def test_class_body_names_come_from_the_calling_globals(routeweave, load_name):
    host = make_host(bind_http=False)
    # The base expression finds `http` here, the decorators in the class body do not.
    namespace = {"http": host._standin.http}
    with pytest.raises(NameError, match="name 'http' is not defined"):
        host.call_loader(getattr(routeweave, load_name), namespace)
    assert namespace == {"http": host._standin.http}


def test_error_line_is_reported_one_line_down(routeweave, host, decoded_sources):
    lines = decoded_sources["user_controller"].split("\n")
    number, line = [(n, line) for n, line in enumerate(lines, 1) if "http.route(" in line][-1]
    host._standin.route.fail_on = re.search(r"http\.route\('([^']+)'", line).group(1)

    with pytest.raises(RuntimeError, match="refused") as info:
        host.call_loader(routeweave.load_user_controller_3, {})
    class_body = [frame for frame in traceback.extract_tb(info.tb) if frame.filename == "<string>"]
    assert [(frame.name, frame.lineno) for frame in class_body] == [
        ("<module>", 2), ("UserController", number + 1)]


def test_class_missing_from_namespace_is_a_key_error(routeweave, host):
    class DropsWrites(dict):
        def __setitem__(self, key, value):
            pass

    with pytest.raises(KeyError, match="UserController"):
        host.call_loader(routeweave.load_user_controller_3, DropsWrites())


def test_repeated_loads_leak_no_references(routeweave, host):
    namespace = {}
    pairs = [("k", 1)]

    def load_all():
        for load_name, _, _ in CONTROLLERS:
            host.call_loader(getattr(routeweave, load_name), namespace)
            host.call_loader(getattr(routeweave, load_name), pairs)

    def counts():
        gc.collect()  # the replaced classes live in reference cycles
        return sys.getrefcount(namespace), sys.getrefcount(vars(host)), sys.getrefcount(pairs)

    load_all()  # first run: the interpreter's own caches
    before = counts()
    for _ in range(10):
        load_all()
    assert counts() == before
