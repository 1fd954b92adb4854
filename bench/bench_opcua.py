"""Per-call latency of the OPC UA source against the simulated pH meter on loopback.

    .venv/bin/python bench/bench_opcua.py [--calls N]

Prints the median and the 90th percentile, in milliseconds, of: one successful call of
"opcua_ph_source" (connect, two reads, disconnect, delete); one call to a loopback port where
nothing listens (refused connect); and, for comparison, asyncua's client doing connect, two reads
and disconnect against the same simulator. Each case stops at its count of calls or after a few
seconds, whichever comes first, so the whole run stays well under a minute.
"""

import argparse
import asyncio
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import corrivan  # noqa: E402
import _velmora  # noqa: E402,F401  (registers the op)
from opcua_servers import free_port, running_server  # noqa: E402

PH_NODE = "ns=2;s=RivevorOrAdori01.pH"
TEMPERATURE_NODE = "ns=2;s=RivevorOrAdori01.temperature"
BUDGET_SECONDS = 8.0


def timed_calls(run_once, calls):
    """Durations (ms) of up to `calls` runs, stopping early once the time budget is spent."""
    durations = []
    started = time.perf_counter()
    while len(durations) < calls and (
            len(durations) < 5 or time.perf_counter() - started < BUDGET_SECONDS):
        before = time.perf_counter()
        run_once()
        durations.append((time.perf_counter() - before) * 1000.0)
    return durations


def successful_call(endpoint):
    corrivan.call("opcua_ph_source", {"endpoint": endpoint})


def refused_call(endpoint):
    try:
        corrivan.call("opcua_ph_source", {"endpoint": endpoint})
    except RuntimeError:
        return
    raise AssertionError("a connect to a closed port succeeded")


def asyncua_cycle(endpoint):
    from asyncua import Client

    async def cycle():
        client = Client(endpoint)
        await client.connect()
        try:
            await client.get_node(PH_NODE).read_value()
            await client.get_node(TEMPERATURE_NODE).read_value()
        finally:
            await client.disconnect()

    asyncio.run(cycle())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=300)
    calls = parser.parse_args().calls

    rows = []
    with running_server("ph_meter_sim") as server:
        successful_call(server.endpoint)  # warm-up: first use of the library's code paths
        rows.append(("opcua_ph_source, successful call",
                     timed_calls(lambda: successful_call(server.endpoint), calls)))
        closed = f"opc.tcp://127.0.0.1:{free_port()}/DezedarIzIvovod"
        rows.append(("opcua_ph_source, refused connect",
                     timed_calls(lambda: refused_call(closed), calls)))
        asyncua_cycle(server.endpoint)
        rows.append(("asyncua client: connect, 2 reads, disconnect",
                     timed_calls(lambda: asyncua_cycle(server.endpoint), min(calls, 100))))

    print(f"{'case':<48} {'calls':>6} {'median ms':>10} {'p90 ms':>8}")
    for name, durations in rows:
        p90 = statistics.quantiles(durations, n=10)[-1]
        print(f"{name:<48} {len(durations):>6} {statistics.median(durations):>10.2f} {p90:>8.2f}")


if __name__ == "__main__":
    main()
