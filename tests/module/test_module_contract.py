"""What the module shows to Python: attributes, texts, argument refusal, interpreter check."""
import json
import os
import shutil
import subprocess
import sys
import types

import pytest

from module_support import LOAD_FUNCTIONS, make_host

MODULE_DOC = "\n".join([
    "",
    " " * 8 + "routeweave plugin",
    " " * 8 + "-" * 23,
    " " * 8 + ".. currentmodule:: routeweave",
    " " * 8 + ".. autosummary::",
    " " * 11 + ":toctree: _generate",
    " " * 11 + "render_glyph",
    " " * 4,
])
# What every extension module gets from the interpreter and the import system.
MODULE_DEFAULTS = set(vars(types.ModuleType("any"))) | {"__file__"}


def test_module_attributes_are_the_five_functions_and_the_version(routeweave):
    own = [name for name in vars(routeweave) if name not in MODULE_DEFAULTS]
    # Insertion order: the functions in registration order, the version after the last one.
    assert own == LOAD_FUNCTIONS + ["__version__"]
    assert set(dir(routeweave)) - MODULE_DEFAULTS == set(LOAD_FUNCTIONS) | {"__version__"}


def test_module_texts(routeweave):
    assert routeweave.__doc__ == MODULE_DOC
    assert routeweave.__version__ == "16.0.0.9"


@pytest.mark.parametrize("name", LOAD_FUNCTIONS)
def test_function_name_and_docstring(routeweave, name):
    function = getattr(routeweave, name)
    assert function.__name__ == name
    assert function.__doc__ == f"{name}(arg0: object) -> object\n\n{name}\n"
    assert function.__module__ == "routeweave"


class IterationSpy:
    """A namespace that notes whether anything tried to turn it into a dict."""

    def __init__(self):
        self.iterated = False

    def __iter__(self):
        self.iterated = True
        return iter(())


@pytest.mark.parametrize("name", LOAD_FUNCTIONS)
@pytest.mark.parametrize("call", [
    lambda load, spy: load(),
    lambda load, spy: load(spy, spy),
    lambda load, spy: load(namespace=spy),
    lambda load, spy: load(arg0=spy),
    lambda load, spy: load(spy, extra=spy),
], ids=["none", "two", "keyword", "arg0-keyword", "positional-and-keyword"])
def test_wrong_arguments_are_refused_before_loading(routeweave, name, call):
    spy = IterationSpy()
    with pytest.raises(TypeError, match="incompatible function arguments"):
        call(getattr(routeweave, name), spy)
    assert not spy.iterated


@pytest.mark.parametrize("argument, error, message", [
    ({}, None, None),
    ([("k", 1)], None, None),
    (types.MappingProxyType({"k": 1}), None, None),
    ((), None, None),
    (None, TypeError, "'NoneType' object is not iterable"),
    (5, TypeError, "'int' object is not iterable"),
    ("ab", ValueError, "dictionary update sequence element #0 has length 1; 2 is required"),
    (object(), TypeError, "'object' object is not iterable"),
], ids=repr)
def test_any_single_argument_reaches_the_loader(routeweave, argument, error, message):
    host = make_host()
    load = routeweave.load_coupon_controller_0
    if error is None:
        assert host.call_loader(load, argument).__name__ == "CouponController"
    else:
        with pytest.raises(error) as info:
            host.call_loader(load, argument)
        assert str(info.value) == message


def find_interpreter(version):
    # pyenv shims need the version chosen; elsewhere PYENV_VERSION is simply ignored.
    env = dict(os.environ, PYENV_VERSION=version)
    executable = shutil.which(f"python{version}")
    if executable is None:
        pytest.skip(f"python{version} is not installed")
    return executable, env


_IMPORT_PROBE = """
import json, sys
try:
    import routeweave
except ImportError as exc:
    print(json.dumps([str(exc), sys.version]))
else:
    print(json.dumps([routeweave.__file__, sys.version]))
"""


@pytest.fixture
def copied_module(routeweave, tmp_path):
    shutil.copy(routeweave.__file__, tmp_path / "routeweave.so")
    return tmp_path


def import_copy(folder, executable, env):
    # -S: no site-packages, so no installed routeweave can stand in for the copy.
    done = subprocess.run([executable, "-S", "-c", _IMPORT_PROBE], cwd=folder, env=env,
                          capture_output=True, text=True, timeout=60, check=True)
    return json.loads(done.stdout)


@pytest.mark.parametrize("version", ["3.9", "3.11"])
def test_other_interpreter_versions_refuse_the_module(copied_module, version):
    message, interpreter_version = import_copy(copied_module, *find_interpreter(version))
    assert interpreter_version.startswith(version + ".")
    assert message == ("Python version mismatch: module was compiled for Python 3.10, but the "
                       f"interpreter version is incompatible: {interpreter_version}.")


def test_the_copied_module_imports_under_3_10(copied_module):
    origin, _ = import_copy(copied_module, sys.executable, dict(os.environ))
    assert origin == str(copied_module / "routeweave.so")
