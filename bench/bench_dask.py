#!/usr/bin/env python3
"""Dask benchmark: the README's read_folder recipe on a folder of generated WEXO files, computed
with Dask's threaded scheduler on 1 thread and on 2; the speed-up is the 1-thread time over the
2-thread time (the median of interleaved runs).

Each file is a table of records (ints, floats, short strings, a list column). read_arrow and
to_pandas run in the worker threads; the speed-up is what they do outside the interpreter lock.

Run ``python bench/bench_dask.py --help`` for the options.
"""

from __future__ import annotations

import argparse
import random
import statistics
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

# Dask, pandas, pyarrow and wexo are imported when the benchmark runs, so that --help works
# without them.


def schema() -> Any:
    import pyarrow as pa

    return pa.schema([("id", pa.int64()), ("city", pa.string()), ("price", pa.float64()),
                      ("qty", pa.int64()), ("tags", pa.list_(pa.string()))])


def read_folder(folder, schema):
    import dask.dataframe as dd
    import pandas as pd

    import wexo

    # The README's recipe, as written there.
    paths = sorted(str(p) for p in Path(folder).glob("*.wexo"))
    return dd.from_map(
        lambda p: wexo.read_arrow(p, schema=schema).to_pandas(types_mapper=pd.ArrowDtype),
        paths, meta=schema.empty_table().to_pandas(types_mapper=pd.ArrowDtype))


def write_files(folder: Path, files: int, rows: int) -> int:
    import wexo

    rng = random.Random(1)
    cities = ["Oslo", "Rome", "Lima", "Pune", "Kyiv", "Accra"]
    size = 0
    for k in range(files):
        records = [{"id": k * rows + i, "city": rng.choice(cities),
                    "price": rng.randrange(10_000) / 100, "qty": rng.randrange(50),
                    "tags": rng.sample(["new", "sale", "gift", "eco"], rng.randrange(3))}
                   for i in range(rows)]
        data = wexo.dumps(records)
        (folder / f"part{k:04}.wexo").write_bytes(data)
        size += len(data)
    return size


def run(folder: Path, threads: int) -> float:
    start = time.perf_counter()
    frame = read_folder(folder, schema())
    total = frame["qty"].sum().compute(scheduler="threads", num_workers=threads)
    elapsed = time.perf_counter() - start
    assert total >= 0
    return elapsed


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=16, help="files in the folder (16)")
    parser.add_argument("--rows", type=int, default=200_000, help="records per file (200000)")
    parser.add_argument("--runs", type=int, default=7, help="runs per thread count (7)")
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as name:
        folder = Path(name)
        size = write_files(folder, args.files, args.rows)
        print(f"{args.files} files of {args.rows} records, {size / 1e6:.1f} MB in all")
        run(folder, 1)  # warm: imports, caches
        times: dict[int, list[float]] = {1: [], 2: []}
        for _ in range(args.runs):
            for threads in (1, 2):
                times[threads].append(run(folder, threads))
        one, two = (statistics.median(times[t]) for t in (1, 2))
        print(f"1 thread:  {one * 1e3:8.1f} ms")
        print(f"2 threads: {two * 1e3:8.1f} ms")
        print(f"speed-up:  {one / two:.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
