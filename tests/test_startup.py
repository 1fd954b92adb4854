"""Module start-up: version gate, host lookup, registration, caching. Each case runs in a fresh
interpreter, with a crafted sys.path where a stand-in `corrivan` is needed."""

import glob
import importlib.util
import os
import shutil
import subprocess
import sys
import textwrap

import pytest
from conftest import run_python

OPS_MODULES = {
    "_kelvara": ["fifo_window_buffer", "average", "csv_sink"],
    "_dornick": ["duckdb_checkpoint_cpp", "duckdb_sql_cpp"],
    "_velmora": ["opcua_ph_source"],
}
DOCSTRINGS = {
    "_kelvara": "C++ corrivan ops for tarnwell (register_cpp_op via capsule)",
    "_dornick": "C++ DuckDB ops for tarnwell (register_cpp_op via capsule)",
    "_velmora": "C++ OPC UA corrivan ops for tarnwell (requires open62541)",
}
IMPORT_SYSTEM_ATTRIBUTES = {"__name__", "__loader__", "__package__", "__spec__", "__file__"}


def module_path(name):
    return importlib.util.find_spec(name).origin


def check(code, **kwargs):
    result = run_python(code, **kwargs)
    assert result.returncode == 0, result.stderr
    return result.stdout


@pytest.mark.parametrize("name, ops", OPS_MODULES.items())
def test_import_registers_each_op_once_in_table_order(name, ops):
    check(f"""
        import corrivan
        assert corrivan.registrations() == []
        import {name}
        assert corrivan.registrations() == {ops!r}, corrivan.registrations()
        assert corrivan.ops() == {ops!r}
    """)


@pytest.mark.parametrize("name", OPS_MODULES)
def test_reload_and_reimport_give_the_same_module_and_register_nothing(name):
    check(f"""
        import importlib, sys
        import corrivan, {name} as first
        log = corrivan.registrations()
        assert importlib.reload(first) is first
        del sys.modules["{name}"]
        import {name} as second
        assert second is first
        assert corrivan.registrations() == log
    """)


@pytest.mark.parametrize("name", OPS_MODULES)
def test_started_module_has_only_its_docstring(name):
    out = check(f"""
        import {name}
        print(sorted(set(vars({name})) - {IMPORT_SYSTEM_ATTRIBUTES!r}))
        print(repr({name}.__doc__))
    """)
    names, doc = out.splitlines()
    assert names == "['__doc__']"
    assert doc == repr(DOCSTRINGS[name])


def fake_host(tmp_path, init_code):
    package = tmp_path / "corrivan"
    package.mkdir()
    (package / "__init__.py").write_text(textwrap.dedent(init_code))
    return tmp_path


def import_with_fake_host(name, host_dir, extra=""):
    return check(f"""
        import sys
        sys.path.insert(0, {str(host_dir)!r})
        try:
            import {name}
        except ImportError as error:
            assert error.__context__ is error.__cause__
            print(type(error).__name__, "|", error, "|", type(error.__cause__).__name__,
                  "|", error.__cause__)
        {extra}
    """)


@pytest.mark.parametrize("name", OPS_MODULES)
def test_host_without_capsule_fails_with_the_attribute_error_as_cause(name, tmp_path):
    out = import_with_fake_host(name, fake_host(tmp_path, "x = 1\n"))
    assert out.splitlines()[0] == (
        "ImportError | initialization failed | AttributeError | "
        "module 'corrivan' has no attribute '_register_op_capsule'"
    )


@pytest.mark.parametrize("name", OPS_MODULES)
def test_host_that_fails_to_import_is_the_cause(name, tmp_path):
    out = import_with_fake_host(name, fake_host(tmp_path, "raise ImportError('host is broken')\n"))
    assert out.splitlines()[0] == (
        "ImportError | initialization failed | ImportError | host is broken"
    )


def test_host_that_is_not_importable_is_the_cause(tmp_path):
    # Only the module file, without site-packages: no corrivan anywhere on the path.
    shutil.copy(module_path("_kelvara"), tmp_path)
    result = subprocess.run(
        [sys.executable, "-S", "-c", "import _kelvara"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.returncode == 1
    assert "ModuleNotFoundError: No module named 'corrivan'" in result.stderr
    assert "ImportError: initialization failed" in result.stderr
    assert "The above exception was the direct cause" in result.stderr


CAPSULE_UNDER_ANOTHER_NAME = """
import ctypes
_name = b"corrivan.register_op_v2"
_new = ctypes.pythonapi.PyCapsule_New
_new.restype = ctypes.py_object
_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_register_op_capsule = _new(1, _name, None)
"""


@pytest.mark.parametrize("capsule_code", [CAPSULE_UNDER_ANOTHER_NAME, "_register_op_capsule = 42\n"])
@pytest.mark.parametrize("name", OPS_MODULES)
def test_wrong_capsule_fails_without_a_cause(name, tmp_path, capsule_code):
    out = import_with_fake_host(name, fake_host(tmp_path, capsule_code))
    assert out.splitlines()[0] == (
        "ImportError | Failed to obtain register_op_c_api from corrivan capsule | NoneType | None"
    )


@pytest.mark.parametrize("name", OPS_MODULES)
def test_failed_start_caches_nothing_and_a_later_import_starts_afresh(name, tmp_path):
    host_dir = fake_host(tmp_path, "x = 1\n")
    out = import_with_fake_host(
        name,
        host_dir,
        extra=f"""
        del sys.modules["corrivan"]
        sys.path.remove({str(host_dir)!r})
        import corrivan, {name}
        print(corrivan.registrations())
        """,
    )
    assert out.splitlines()[1] == repr(OPS_MODULES[name])


def other_interpreters():
    """Installed CPython interpreters of another minor version (pyenv keeps several)."""
    root = os.path.expanduser("~/.pyenv/versions")
    return sorted(glob.glob(f"{root}/3.1[02-9].*/bin/python3"))


GATE_PROBE = """
import importlib.machinery, importlib.util, sys
loader = importlib.machinery.ExtensionFileLoader("{name}", {path!r})
spec = importlib.util.spec_from_loader("{name}", loader)
try:
    importlib.util.module_from_spec(spec)
except ImportError as error:
    expected = ("Python version mismatch: module was compiled for Python 3.11, but the "
                "interpreter version is incompatible: " + sys.version + ".")
    if str(error) == expected:
        print("refused")
    elif "undefined symbol" in str(error):
        print("image does not load")  # the interpreter's own error, before the init function
    else:
        print("unexpected:", error)
"""


@pytest.mark.parametrize("name", OPS_MODULES)
def test_other_interpreter_version_is_refused(name):
    outcomes = {}
    for interpreter in other_interpreters():
        result = subprocess.run(
            [interpreter, "-c", GATE_PROBE.format(name=name, path=module_path(name))],
            capture_output=True,
            text=True,
            timeout=60,
        )
        outcomes[interpreter] = result.stdout.strip() or result.stderr
    if "refused" not in outcomes.values():
        pytest.skip(f"no installed interpreter of another version reaches the init function: {outcomes}")
    assert set(outcomes.values()) <= {"refused", "image does not load"}, outcomes
