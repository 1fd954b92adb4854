"""Leak check of the OPC UA source op under valgrind (run by hand, not part of the test run).

    .venv/bin/python tests/support/leak_check_opcua.py [--calls 100]

Starts the simulated pH meter, then runs a fresh interpreter under
`valgrind --leak-check=full` (with PYTHONMALLOC=malloc, so that Python's own allocator does not
hide blocks) that imports the module and makes the given number of calls: successful reads, reads
of nodes that give NaN, refused connects and malformed endpoints, in turn, then one call to a
server that never answers. It runs the same interpreter once more with no call at all, and prints
both "definitely lost" totals and every definitely lost record whose stack passes through
_velmora or the OPC UA library.
"""

import argparse
import re
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from opcua_servers import free_port, running_server  # noqa: E402

CHILD = """
import corrivan, _velmora
endpoint, closed, calls = {endpoint!r}, {closed!r}, {calls}
payloads = [
    {{"endpoint": endpoint, "values": [7.0]}},
    {{"endpoint": endpoint, "phNode": "not a node id",
      "temperatureNode": "ns=2;s=RivevorOrAdori01.temperatureInt32"}},
    {{"endpoint": closed}},
    {{"endpoint": "not an endpoint"}},
]
failures = 0
for index in range(calls):
    try:
        corrivan.call("opcua_ph_source", dict(payloads[index % len(payloads)]))
    except RuntimeError:
        failures += 1
assert failures == calls // 2, failures
if calls:
    # One more: a server that accepts the connection and never answers (the connect times out).
    import socket
    with socket.socket() as mute:
        mute.bind(("127.0.0.1", 0))
        mute.listen(1)
        try:
            port = mute.getsockname()[1]
            corrivan.call("opcua_ph_source", {{"endpoint": "opc.tcp://127.0.0.1:%d/" % port}})
        except RuntimeError:
            pass
        else:
            raise AssertionError("a mute server gave a reading")
"""


def run_under_valgrind(code, log_path):
    command = ["valgrind", "--leak-check=full", "--show-leak-kinds=definite",
               f"--log-file={log_path}", sys.executable, "-c", code]
    subprocess.run(command, check=True, env={"PYTHONMALLOC": "malloc", "PATH": "/usr/bin:/bin"},
                   timeout=900)
    return Path(log_path).read_text()


def summary(log):
    """The heap totals and the "definitely lost" line (absent when nothing leaked)."""
    usage = re.search(r"total heap usage: .*", log).group(0)
    match = re.search(r"definitely lost: ([\d,]+) bytes in ([\d,]+) blocks", log)
    lost = match.group(0) if match else "definitely lost: 0 bytes in 0 blocks"
    return f"{lost} ({usage})"


def records_from_our_side(log):
    """Loss records whose stack names _velmora's file or the OPC UA library."""
    records = re.split(r"==\d+== \n", log)
    return [record for record in records if "definitely lost" in record
            and ("opcua_ops.cpp" in record or "_velmora" in record or "libopen62541" in record)]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=100)
    calls = parser.parse_args().calls
    closed = f"opc.tcp://127.0.0.1:{free_port()}/DezedarIzIvovod"
    with tempfile.TemporaryDirectory() as folder, running_server(
            "ph_meter_sim", "--edge-case-nodes") as server:
        code = textwrap.dedent(CHILD.format(endpoint=server.endpoint, closed=closed, calls=calls))
        baseline = run_under_valgrind(
            textwrap.dedent(CHILD.format(endpoint=server.endpoint, closed=closed, calls=0)),
            f"{folder}/baseline.log")
        with_calls = run_under_valgrind(code, f"{folder}/calls.log")
    print(f"import only:           {summary(baseline)}")
    print(f"import and {calls}+1 calls: {summary(with_calls)}")
    ours = records_from_our_side(with_calls)
    print(f"definitely lost records through _velmora or libopen62541: {len(ours)}")
    for record in ours:
        print(record)


if __name__ == "__main__":
    main()
