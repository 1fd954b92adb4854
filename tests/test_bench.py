"""The benchmark harness stays runnable and its peers keep giving our ops' results."""

import subprocess
import sys

from conftest import ROOT


def test_every_peer_gives_our_result_and_every_contestant_runs():
    finished = subprocess.run([sys.executable, str(ROOT / "bench" / "run.py"), "--check"],
                              capture_output=True, text=True, timeout=120)
    assert finished.returncode == 0, finished.stderr
    assert "every peer gives our op's result" in finished.stdout
