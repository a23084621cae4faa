#!/usr/bin/env python3
"""Threads benchmark: two threads calling one function against the same calls one after the other.

A table of --rows generated records (an int id, a repeated name, a float, a bool, a
text of its own) is written once; then, for each function, the same work is
timed two ways: 2 x --calls calls in one thread, and --calls calls in each of two
threads started together. The figure is the threads' wall time over the serial
wall time, the median of --rounds rounds that alternate the two ways: 0.5 is
perfect parallelism on two cores, 1.0 none. Functions that keep the interpreter
lock (wexo.loads, wexo.dumps) are printed beside those that release it while they
work on buffers (wexo.loads_arrow, wexo.dumps_arrow), as controls.

The machine must have two idle cores for the figure to mean anything: wall time
is all that tells parallel work apart.
"""

from __future__ import annotations

import argparse
import statistics
import sys
import threading
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402

TARGET = 0.7  # threads / serial, for loads_arrow and dumps_arrow


def records(n: int) -> list[dict[str, Any]]:
    return [{"id": i, "name": f"name{i % 1000}", "x": i / 4, "ok": i % 3 == 0, "text": f"text {i}"}
            for i in range(n)]


def serial(fn: Callable[[], Any], calls: int) -> float:
    start = time.perf_counter()
    for _ in range(2 * calls):
        fn()
    return time.perf_counter() - start


def two_threads(fn: Callable[[], Any], calls: int) -> float:
    barrier = threading.Barrier(3)

    def work() -> None:
        barrier.wait()
        for _ in range(calls):
            fn()

    threads = [threading.Thread(target=work) for _ in range(2)]
    for t in threads:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in threads:
        t.join()
    return time.perf_counter() - start


def ratio(fn: Callable[[], Any], calls: int, rounds: int) -> tuple[float, float]:
    """The median threads / serial ratio, and the median serial time per call."""
    fn()
    ratios, per_call = [], []
    for _ in range(rounds):
        s = serial(fn, calls)
        t = two_threads(fn, calls)
        ratios.append(t / s)
        per_call.append(s / (2 * calls))
    return statistics.median(ratios), statistics.median(per_call)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=harness.positive_int, default=200_000)
    parser.add_argument("--calls", type=harness.positive_int, default=5, help="calls per thread and round")
    parser.add_argument("--rounds", type=harness.positive_int, default=7)
    args = parser.parse_args()
    wexo = harness.require("wexo")
    pa = harness.require("pyarrow")
    rows = records(args.rows)
    data = wexo.dumps(rows)
    table = wexo.loads_arrow(data)
    calls: list[tuple[str, Callable[[], Any], bool]] = [
        ("wexo.loads_arrow", lambda: wexo.loads_arrow(data), True),
    ]
    if hasattr(wexo, "dumps_arrow"):
        calls.append(("wexo.dumps_arrow", lambda: wexo.dumps_arrow(table), True))
    calls += [
        ("wexo.loads (control)", lambda: wexo.loads(data), False),
        ("wexo.dumps (control)", lambda: wexo.dumps(rows), False),
    ]
    print(harness.machine_line({"wexo": wexo.__version__, "pyarrow": pa.__version__}))
    print(f"{args.rows:,} records, {len(data):,} bytes; {args.calls} calls per thread, "
          f"median of {args.rounds} rounds\n")
    print("| call | serial, per call | 2 threads / serial | target |")
    print("|---|--:|--:|--:|")
    missed = False
    for name, fn, released in calls:
        r, per = ratio(fn, args.calls, args.rounds)
        target = f"<= {TARGET}" if released else "-"
        if released and r > TARGET:
            missed = True
        print(f"| {name} | {per * 1e3:.1f} ms | {r:.2f} | {target} |")
    if missed:
        harness.warn("a call that releases the lock missed its target (is the machine idle?)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
