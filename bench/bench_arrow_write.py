#!/usr/bin/env python3
"""Arrow writing benchmark: wexo.dumps_arrow against to_pylist() + wexo.dumps and pyarrow's IPC.

The corpus's record lists (as bench_arrow.py takes them) become pyarrow Tables
(Table.from_pylist); beside them, a table of every common Arrow type (int64,
float64, string, bool, timestamp, date32, dictionary<int32, string>, list<int64>,
struct) of 100,000 rows. On each, three calls are timed with bench/harness.py's
interleaved rounds: wexo.dumps_arrow(table) (no Python object per cell),
wexo.dumps(table.to_pylist()) (the same bytes the long way), and pyarrow's own IPC
stream writer into a BufferOutputStream. Then, on the typed table, two threads each
making one call against the same two calls one after the other (wall time, the median
of several tries), and in a child process the peak memory of one call beyond its
output (the resident set's high-water mark over the set before).

Run ``python bench/bench_arrow_write.py --help`` for the options.
"""

from __future__ import annotations

import datetime
import json
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Sequence
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402
from harness import Call, fmt_ratio, fmt_us, geomean, progress  # noqa: E402
from bench_arrow import LISTS  # noqa: E402

TARGET_VS_PYLIST = 0.15  # geomean of dumps_arrow / (to_pylist + dumps)
TARGET_THREADS = 0.7  # two threads at once / the same two calls in turn
TARGET_MEMORY = 2.0  # peak beyond the output / the output
TYPED_ROWS = 100_000

ARROW, PYLIST, IPC = "dumps_arrow", "to_pylist+dumps", "ipc stream"


def typed_table(pa: Any, rows: int) -> Any:
    base = datetime.datetime(2024, 1, 1)
    return pa.table({
        "id": pa.array(range(rows), pa.int64()),
        "score": pa.array([i * 0.25 for i in range(rows)], pa.float64()),
        "name": pa.array([f"user{i % 5000}" for i in range(rows)], pa.string()),
        "flag": pa.array([i % 3 == 0 for i in range(rows)], pa.bool_()),
        "at": pa.array([base + datetime.timedelta(seconds=i * 7) for i in range(rows)], pa.timestamp("us")),
        "day": pa.array([datetime.date(2024, 1, 1) + datetime.timedelta(days=i % 365) for i in range(rows)]),
        "kind": pa.array([("a", "b", "c", None)[i % 4] for i in range(rows)]).dictionary_encode(),
        "tags": pa.array([[i % 7, i % 11] if i % 5 else None for i in range(rows)], pa.list_(pa.int64())),
        "pos": pa.array([{"x": i % 100, "y": (i % 17) / 4} for i in range(rows)]),
    })


def tables(pa: Any, corpus: Path) -> list[tuple[str, Any]]:
    out = []
    for label, name, take in LISTS:
        path = corpus / f"{name}.json"
        if not path.exists():
            continue
        try:
            out.append((label, pa.Table.from_pylist(take(json.loads(path.read_bytes())))))
        except (pa.ArrowInvalid, pa.ArrowTypeError) as e:
            harness.warn(f"{label}: pyarrow takes no table from it ({e})")
    out.append((f"typed table, {TYPED_ROWS:,} rows", typed_table(pa, TYPED_ROWS)))
    return out


def ipc(pa: Any) -> Any:
    def write(table: Any) -> Any:
        sink = pa.BufferOutputStream()
        with pa.ipc.new_stream(sink, table.schema) as w:
            w.write_table(table)
        return sink.getvalue()

    return write


def threads_ratio(fn: Any, arg: Any, tries: int = 7) -> tuple[float, float, float]:
    """Median wall time of two calls in turn, of two threads making one call each, and
    their ratio."""
    fn(arg)
    serial, parallel = [], []
    for _ in range(tries):
        t = time.perf_counter()
        fn(arg)
        fn(arg)
        serial.append(time.perf_counter() - t)
        ts = [threading.Thread(target=fn, args=(arg,)) for _ in range(2)]
        t = time.perf_counter()
        for th in ts:
            th.start()
        for th in ts:
            th.join()
        parallel.append(time.perf_counter() - t)
    s, p = statistics.median(serial), statistics.median(parallel)
    return s, p, p / s


MEMORY_CHILD = r"""
import json, re, sys
sys.path[:] = json.loads(sys.argv[1])
import pyarrow as pa, wexo

def status(key):
    with open("/proc/self/status") as f:
        return int(re.search(rf"^{key}:\s+(\d+) kB", f.read(), re.M).group(1)) * 1024

with pa.memory_map(sys.argv[2]) as src:
    table = pa.ipc.open_stream(src).read_all()
table = table.combine_chunks()  # the buffers resident before the call
wexo.dumps_arrow(table.slice(0, 10))
before = status("VmRSS")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
out = wexo.dumps_arrow(table)
print(json.dumps({"peak": status("VmHWM") - before, "output": len(out)}))
"""


def memory(pa: Any, table: Any, runs: int = 3) -> tuple[int, int]:
    """Median peak of one call over the resident set before, and the output's size."""
    with tempfile.NamedTemporaryFile(suffix=".arrows") as f:
        f.write(ipc(pa)(table).to_pybytes())
        f.flush()
        got = []
        for _ in range(runs):
            r = subprocess.run([sys.executable, "-c", MEMORY_CHILD, json.dumps(sys.path), f.name],
                               capture_output=True, text=True, check=True)
            got.append(json.loads(r.stdout))
    return int(statistics.median(g["peak"] for g in got)), got[0]["output"]


def main(argv: Sequence[str] | None = None) -> int:
    args = harness.arg_parser(__doc__, gc_choice=False, files=False).parse_args(argv)
    settings, _ = harness.prepare(args)
    pa = harness.require("pyarrow")
    wexo = harness.require("wexo")
    write_ipc = ipc(pa)
    rows = []
    for label, table in tables(pa, args.corpus):
        arrow = wexo.dumps_arrow(table)
        if arrow != wexo.dumps(table.to_pylist()):
            harness.warn(f"{label}: dumps_arrow's bytes differ from dumps's")
        progress(f"timing {label}")
        stats = harness.measure_calls([
            Call(ARROW, wexo.dumps_arrow, table),
            Call(PYLIST, lambda t: wexo.dumps(t.to_pylist()), table),
            Call(IPC, write_ipc, table),
        ], settings)
        rows.append((label, table.num_rows, len(arrow), write_ipc(table).size, stats))
    head = f"| table | rows | wexo bytes | ipc bytes | {ARROW} | {PYLIST} | {IPC} | vs pylist | vs ipc |"
    print(head)
    print("|" + "---|" * 9)
    for label, n, size, ipc_size, s in rows:
        a, p, i = s[ARROW].median, s[PYLIST].median, s[IPC].median
        print(f"| {label} | {n:,} | {size:,} | {ipc_size:,} | {fmt_us(a)} | {fmt_us(p)} | {fmt_us(i)} "
              f"| {fmt_ratio(a / p)} | {fmt_ratio(a / i)} |")
    g = geomean([s[ARROW].median / s[PYLIST].median for *_, s in rows])
    gi = geomean([s[ARROW].median / s[IPC].median for *_, s in rows])
    print(f"\ngeometric mean, dumps_arrow / (to_pylist + dumps): {fmt_ratio(g)} "
          f"(target <= {TARGET_VS_PYLIST}); dumps_arrow / ipc stream: {fmt_ratio(gi)}")
    big = typed_table(pa, 1_000_000)
    serial, parallel, ratio = threads_ratio(wexo.dumps_arrow, big)
    print(f"two threads, typed table of 1,000,000 rows: {parallel * 1e3:.0f} ms against "
          f"{serial * 1e3:.0f} ms in turn, ratio {fmt_ratio(ratio)} (target <= {TARGET_THREADS})")
    peak, out = memory(pa, big)
    print(f"peak memory beyond the output, same table: {(peak - out) / 2**20:.1f} MiB for an output "
          f"of {out / 2**20:.1f} MiB, ratio {fmt_ratio((peak - out) / out)} (target <= {TARGET_MEMORY})")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
