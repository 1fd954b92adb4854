"""The _dornick module: start-up, exports, and the DuckDB library shipped beside it."""

import ctypes
import json
import subprocess
from pathlib import Path

import pytest

from conftest import run_python


@pytest.fixture(scope="module")
def module_file():
    result = run_python("import _dornick; print(_dornick.__file__)")
    assert result.returncode == 0, result.stderr
    return Path(result.stdout.strip())


def test_import_registers_both_ops_once_in_order(tmp_path):
    # A fresh interpreter, started away from the worktree: the host's log holds this import only.
    result = run_python(
        """
        import importlib, json, sys
        import corrivan, _dornick
        first = corrivan.registrations()
        reloaded = importlib.reload(_dornick)
        del sys.modules["_dornick"]
        import _dornick as again
        print(json.dumps({
            "first": first,
            "after": corrivan.registrations(),
            "ops": corrivan.ops(),
            "same": reloaded is _dornick and again is reloaded,
            "doc": _dornick.__doc__,
            "own": sorted(set(vars(_dornick)) - {
                "__name__", "__loader__", "__package__", "__spec__", "__file__", "__cached__",
                "__builtins__", "__path__"}),
        }))
        """,
        cwd=tmp_path,
        env={"PATH": "/usr/bin:/bin"},
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    assert json.loads(result.stdout) == {
        "first": ["duckdb_checkpoint_cpp", "duckdb_sql_cpp"],
        "after": ["duckdb_checkpoint_cpp", "duckdb_sql_cpp"],
        "ops": ["duckdb_checkpoint_cpp", "duckdb_sql_cpp"],
        "same": True,
        "doc": "C++ DuckDB ops for tarnwell (register_cpp_op via capsule)",
        "own": ["__doc__"],
    }


def test_module_exports_only_its_init_function(module_file):
    output = subprocess.run(
        ["nm", "-D", "--defined-only", str(module_file)],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    assert [line.split()[-1] for line in output.splitlines() if line.strip()] == [
        "PyInit__dornick"
    ]


def test_every_library_resolves_and_duckdb_comes_from_dylibs(module_file):
    output = subprocess.run(
        ["ldd", str(module_file)], capture_output=True, text=True, check=True
    ).stdout
    assert "not found" not in output
    resolved = {
        line.split("=>")[0].strip(): line.split("=>")[1].split("(")[0].strip()
        for line in output.splitlines()
        if "=>" in line
    }
    assert resolved["libduckdb.so"] == str(module_file.parent / ".dylibs" / "libduckdb.so")


def test_shipped_duckdb_is_release_1_4_4(module_file):
    library = ctypes.CDLL(str(module_file.parent / ".dylibs" / "libduckdb.so"))
    source_id = library._ZN6duckdb6DuckDB8SourceIDEv
    source_id.restype = ctypes.c_char_p
    version = library.duckdb_library_version
    version.restype = ctypes.c_char_p
    assert (source_id(), version()) == (b"6ddac802ff", b"v1.4.4")
