import os
import subprocess
import sys
import textwrap
import uuid
from pathlib import Path

import pytest

# OPC UA servers in their own processes, for any test module: fixtures opcua_server_kind and
# opcua_server (see opcua_servers.py).
from opcua_servers import opcua_server, opcua_server_kind  # noqa: F401

ROOT = Path(__file__).resolve().parent.parent
BUILD_DIR = ROOT / os.environ.get("TARNWELL_BUILD_DIR", "build/main")

# The test-only op module lives in the build tree only.
sys.path.insert(0, str(BUILD_DIR / "tests"))


@pytest.fixture(scope="session")
def host():
    import corrivan

    return corrivan


@pytest.fixture(scope="session")
def kelvara(host):
    import _kelvara

    return _kelvara


@pytest.fixture(scope="session")
def dornick(host):
    import _dornick

    return _dornick


@pytest.fixture(scope="session")
def velmora(host):
    import _velmora

    return _velmora


@pytest.fixture(scope="session")
def test_ops(host):
    import _test_ops

    return _test_ops


@pytest.fixture
def fifo_id():
    """A FIFO id no other test uses: the window store lives as long as the process."""
    return f"test-{uuid.uuid4().hex}"


def run_python(code, *, cwd=None, env=None, timeout=60):
    """Runs `code` in a fresh interpreter of the venv; returns the completed process."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )
