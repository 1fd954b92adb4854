"""The shipped shared libraries load and resolve from .dylibs; modules export only their init."""

import ctypes
import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import run_python

SITE_PACKAGES = Path(importlib.util.find_spec("corrivan").origin).parent.parent
DYLIBS = SITE_PACKAGES / ".dylibs"
SHIPPED_LIBRARIES = ["libduckdb.so", "libopen62541.so.1.4", "libmbedx509.so.7", "libmbedcrypto.so.16"]
MODULES = ["_kelvara", "_dornick", "_velmora"]


def installed_module(name):
    return Path(importlib.util.find_spec(name).origin)


def ldd(path):
    return subprocess.run(["ldd", str(path)], capture_output=True, text=True, check=True).stdout


def resolved_from(output, library):
    """Where ldd found `library`, as a real path."""
    for line in output.splitlines():
        name, _, rest = line.strip().partition(" => ")
        if name == library:
            return Path(rest.split(" (")[0]).resolve()
    return None


@pytest.mark.parametrize("library", SHIPPED_LIBRARIES)
def test_shipped_library_is_a_real_file_whose_dependencies_resolve(library):
    path = DYLIBS / library
    assert path.is_file() and not path.is_symlink()
    output = ldd(path)
    assert "not found" not in output, output


def test_open62541_finds_its_mbedtls_libraries_in_dylibs():
    output = ldd(DYLIBS / "libopen62541.so.1.4")
    for library in ("libmbedx509.so.7", "libmbedcrypto.so.16"):
        assert resolved_from(output, library) == (DYLIBS / library).resolve(), output


def test_duckdb_library_is_the_pinned_release():
    library = ctypes.CDLL(str(DYLIBS / "libduckdb.so"))
    source_id = library["_ZN6duckdb6DuckDB8SourceIDEv"]
    source_id.restype = ctypes.c_char_p
    assert source_id() == b"6ddac802ff"
    version = library.duckdb_library_version
    version.restype = ctypes.c_char_p
    assert version() == b"v1.4.4"


def test_open62541_library_loads():
    library = ctypes.CDLL(str(DYLIBS / "libopen62541.so.1.4"))
    assert library.UA_Client_new is not None


@pytest.mark.parametrize("name", MODULES)
def test_module_exports_only_its_init_function(name):
    output = subprocess.run(
        ["nm", "-D", "--defined-only", str(installed_module(name))],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    assert [line.split()[-1] for line in output.splitlines()] == [f"PyInit_{name}"]


@pytest.mark.parametrize("name", MODULES)
def test_module_dependencies_resolve(name):
    output = ldd(installed_module(name))
    assert "not found" not in output, output


def test_installed_simulator_finds_its_libraries_in_dylibs():
    simulator = Path(sys.executable).parent / "ph_meter_sim"
    output = ldd(simulator)
    assert "not found" not in output, output
    site_packages = simulator.parent.parent / "lib" / "python3.11" / "site-packages"
    expected = (site_packages / ".dylibs" / "libopen62541.so.1.4").resolve()
    assert resolved_from(output, "libopen62541.so.1.4") == expected, output


@pytest.mark.parametrize(
    "name, library", [("_dornick", "libduckdb.so"), ("_velmora", "libopen62541.so.1.4")]
)
def test_module_takes_its_library_from_dylibs(name, library):
    output = ldd(installed_module(name))
    assert resolved_from(output, library) == (DYLIBS / library).resolve(), output


def test_everything_imports_from_any_folder_without_environment(tmp_path):
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin")}
    result = run_python(f"import corrivan, {', '.join(MODULES)}; print('ok')", cwd=tmp_path, env=env)
    assert result.stdout.strip() == "ok", result.stderr
