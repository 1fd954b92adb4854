"""Times the three _kelvara ops through the host: calls per second, median of several rounds.

A typical payload carries 1 new sample into a window of 10; a large one carries 10**6 samples.
Run: .venv/bin/python bench/bench_signal_ops.py
"""

import gc
import random
import statistics
import tempfile
import time
import uuid
from pathlib import Path

import corrivan
import _kelvara  # noqa: F401  (registers the ops)

ROUNDS = 9
ROUND_SECONDS = 0.15
LARGE_SIZE = 10**6
# Results stay alive until a round ends (freeing them is not the op's time): a large round is
# capped so that it holds a few hundred MB at most.
MAX_LARGE_CALLS = 4


def time_round(ops, payloads):
    """Seconds per call over one round; every call gets its own fresh payload, made beforehand."""
    gc.collect()
    gc.disable()  # as timeit does: a collection would land in whichever round it happens to hit
    try:
        start = time.perf_counter()
        for payload in payloads:
            corrivan.run(ops, payload)
        return (time.perf_counter() - start) / len(payloads)
    finally:
        gc.enable()


def measure(ops, make_payload, max_calls):
    """Seconds per call for each round, after a warm-up that also sizes the rounds."""
    warm_up = time_round(ops, [make_payload() for _ in range(min(max_calls, 200))])
    calls = max(1, min(max_calls, round(ROUND_SECONDS / warm_up)))
    seconds = []
    for _ in range(ROUNDS):
        payloads = [make_payload() for _ in range(calls)]
        seconds.append(time_round(ops, payloads))
    return seconds


def main():
    rng = random.Random(7)
    large_samples = [rng.uniform(6.0, 8.0) for _ in range(LARGE_SIZE)]
    stats = {"mean": 7.1, "se": 0.02, "standardError": 0.02}
    pipeline = ["fifo_window_buffer", "average", "csv_sink"]

    with tempfile.TemporaryDirectory() as folder:
        csv_path = str(Path(folder) / "bench.csv")
        typical_id = f"bench-{uuid.uuid4().hex}"
        large_id = f"bench-{uuid.uuid4().hex}"
        cases = [
            ("fifo_window_buffer", "typical", ["fifo_window_buffer"], lambda: {
                "values": [rng.uniform(6.0, 8.0)], "windowSize": 10, "fifoId": typical_id}),
            ("fifo_window_buffer", "large", ["fifo_window_buffer"], lambda: {
                "values": large_samples, "windowSize": LARGE_SIZE, "fifoId": large_id}),
            ("average", "typical", ["average"], lambda: {"window": large_samples[:10]}),
            ("average", "large", ["average"], lambda: {"window": large_samples}),
            ("csv_sink", "typical", ["csv_sink"], lambda: {"csvPath": csv_path, "stats": stats}),
            ("csv_sink", "large", ["csv_sink"], lambda: {
                "csvPath": csv_path, "stats": stats, "window": large_samples}),
            ("all three", "typical", pipeline, lambda: {
                "values": [rng.uniform(6.0, 8.0)], "windowSize": 10, "fifoId": typical_id,
                "csvPath": csv_path}),
            ("all three", "large", pipeline, lambda: {
                "values": large_samples, "windowSize": LARGE_SIZE, "fifoId": large_id,
                "csvPath": csv_path}),
        ]
        print(f"median of {ROUNDS} rounds of about {ROUND_SECONDS} s; typical: 1 new sample,"
              f" window 10; large: {LARGE_SIZE:,} samples")
        print(f"{'op':<20}{'payload':<9}{'median us/call':>15}{'calls/s':>12}"
              f"{'samples/s':>13}{'spread':>9}")
        for name, size, ops, make_payload in cases:
            max_calls = 10**6 if size == "typical" else MAX_LARGE_CALLS
            seconds = measure(ops, make_payload, max_calls)
            median = statistics.median(seconds)
            spread = (max(seconds) - min(seconds)) / median
            # The sink writes the stats row only; the samples beside it are not its work.
            reads_samples = size == "large" and name != "csv_sink"
            samples = f"{LARGE_SIZE / median:.3g}" if reads_samples else "-"
            print(f"{name:<20}{size:<9}{median * 1e6:>15.1f}{1 / median:>12,.0f}"
                  f"{samples:>13}{spread:>8.0%}")
        print("spread: (slowest round - fastest round) / median")


if __name__ == "__main__":
    main()
