"""Soak run: the demo pipeline for many readings in one process, watching its resident memory.

    .venv/bin/python bench/soak.py [--readings N] [--every K]

Runs "opcua_ph_source" -> "fifo_window_buffer" -> "average" -> "csv_sink" on a fresh payload per
reading, against the simulated pH meter on a free loopback port, as fast as it goes. Every K
readings it prints the resident set size of this process (VmRSS from /proc) and the time so far.
A leak of a few hundred bytes per reading shows as steady growth over the samples. Not part of
the test suite: the default 100,000 readings take a few minutes.
"""

import argparse
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import corrivan  # noqa: E402
import _kelvara  # noqa: E402,F401  (registers the ops)
import _velmora  # noqa: E402,F401
from opcua_servers import running_server  # noqa: E402

PIPELINE = ["opcua_ph_source", "fifo_window_buffer", "average", "csv_sink"]


def resident_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--readings", type=int, default=100_000)
    parser.add_argument("--every", type=int, default=10_000)
    args = parser.parse_args(argv)

    with tempfile.TemporaryDirectory() as folder, running_server("ph_meter_sim") as server:
        csv_path = str(Path(folder) / "soak.csv")
        samples = [(0, resident_kib(), 0.0)]
        started = time.perf_counter()
        for reading in range(1, args.readings + 1):
            payload = {"endpoint": server.endpoint, "windowSize": 10, "fifoId": "soak",
                       "csvPath": csv_path}
            corrivan.run(PIPELINE, payload)
            if reading % args.every == 0:
                samples.append((reading, resident_kib(), time.perf_counter() - started))
        lines = sum(1 for _ in open(csv_path))

    print(f"{'readings':>9} {'RSS KiB':>9} {'vs first':>9} {'seconds':>8}")
    first_sample = samples[1][1] if len(samples) > 1 else samples[0][1]
    for reading, rss, seconds in samples:
        print(f"{reading:>9} {rss:>9} {rss - first_sample:>+9} {seconds:>8.1f}")
    total = samples[-1][2]
    print(f"{args.readings} readings in {total:.1f} s ({args.readings / total:.0f} per second); "
          f"CSV lines: {lines}")
    # The first block warms up (imports, the window, allocator pools); growth after it counts.
    if len(samples) > 2:
        growth = samples[-1][1] - samples[1][1]
        print(f"growth after the first {args.every} readings: {growth:+} KiB "
              f"({growth * 1024 / (args.readings - args.every):.1f} bytes per reading)")


if __name__ == "__main__":
    main()
