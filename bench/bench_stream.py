#!/usr/bin/env python3
"""Stream benchmark: wexo.iter_loads, StreamDecoder and iter_load against msgpack.Unpacker.

Three measurements, each printed as a table:

1. Iteration: the records of twitter.json (its statuses, repeated to --records records,
   each a fresh copy) written back to back, one document per record, and iterated whole:
   ``wexo.iter_loads(data)``, ``StreamDecoder`` fed the whole stream, and a Python loop of
   ``wexo_native.loads_binary`` over the documents split beforehand, against
   ``msgpack.Unpacker`` over the msgpack stream of the same records (fed it whole, or
   reading it from a file object). Times are medians over interleaved rounds
   (bench/harness.py), reported as ratios to the faster of msgpack.Unpacker's two ways.
2. Feed cost: one document of about 4 MB (the same records in one list) fed to a
   StreamDecoder in 4 KB pieces, iterating after every piece, against one
   ``wexo.loads`` of it: the factor, and the decodes that ran out of bytes.
3. Memory: the peak RSS that ``wexo.iter_load`` adds while reading a 64 MB file of
   1 KB documents, measured in a child process (its maximum resident set before and
   after, /proc's VmHWM), with ``iter_loads`` over the file read whole for comparison.

Run ``python bench/bench_stream.py --help`` for the options; see bench/README.md.
"""

from __future__ import annotations

import json
import subprocess
import sys
import tempfile
import time
from collections.abc import Sequence
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402  (the harness beside this file)
from harness import Call, gc_mode, measure_modes, progress  # noqa: E402

TWITTER = harness.DEFAULT_CORPUS / "twitter.json"


def records(n: int) -> list[Any]:
    """n tweets: the statuses of twitter.json, each a fresh copy (nothing shared)."""
    statuses = json.loads(TWITTER.read_bytes())["statuses"]
    text = [json.dumps(s) for s in statuses]
    return [json.loads(text[i % len(text)]) for i in range(n)]


def drain(it: Any) -> None:
    for _ in it:
        pass


def iteration(n: int, settings: harness.Settings, gc_modes: harness.GcModes) -> str:
    import msgpack
    import wexo
    import wexo_native

    recs = records(n)
    docs = [wexo.dumps(r) for r in recs]
    stream = b"".join(docs)
    packed = b"".join(msgpack.packb(r) for r in recs)
    for want, got in zip(recs, wexo.iter_loads(stream), strict=True):
        problem = harness.first_difference(want, got)
        assert problem is None, problem
    del recs

    def unpacker(data: bytes) -> None:
        u = msgpack.Unpacker(max_buffer_size=len(data))
        u.feed(data)
        drain(u)

    def unpacker_file(data: bytes) -> None:
        import io
        drain(msgpack.Unpacker(io.BytesIO(data), max_buffer_size=len(data)))

    def stream_decoder(data: bytes) -> None:
        d = wexo.StreamDecoder()
        d.feed(data)
        drain(d)

    def loop(split: list[bytes]) -> None:
        loads = wexo_native.loads_binary
        for doc in split:
            loads(doc)

    calls = [
        Call("msgpack.Unpacker (feed)", unpacker, packed),
        Call("msgpack.Unpacker (file)", unpacker_file, packed),
        Call("wexo.iter_loads", lambda d: drain(wexo.iter_loads(d)), stream),
        Call("wexo.StreamDecoder", stream_decoder, stream),
        Call("loads_binary loop, pre-split", loop, docs),
    ]
    lines = [
        f"{n} records: WEXO stream {len(stream):,} bytes, msgpack stream {len(packed):,} bytes",
        "",
        "| reader | " + " | ".join(f"{label} ms" for label, _ in gc_modes)
        + " | " + " | ".join(f"{label} ratio" for label, _ in gc_modes) + " |",
        "|---|" + "---:|" * (2 * len(gc_modes)),
    ]
    results = measure_modes(calls, settings, gc_modes)
    # The faster of msgpack's two ways under each setting is the reference.
    ref = {label: min(results[label][c.name].median for c in calls[:2])
           for label, _ in gc_modes}
    for c in calls:
        ms = [f"{results[label][c.name].median * 1e3:.1f}" for label, _ in gc_modes]
        ratio = [f"{results[label][c.name].median / ref[label]:.2f}" for label, _ in gc_modes]
        lines.append(f"| {c.name} | " + " | ".join(ms) + " | " + " | ".join(ratio) + " |")
    lines.append("")
    lines.append("ratio: to the faster msgpack.Unpacker row under the same collector setting.")
    return "\n".join(lines)


def feed_cost(size: int, piece: int, repeats: int) -> str:
    import wexo

    recs: list[Any] = []
    batch = records(100)
    doc = b""
    while len(doc) < size:
        recs.extend(json.loads(json.dumps(batch)))
        doc = wexo.dumps(recs)

    def whole() -> float:
        start = time.perf_counter()
        wexo.loads(doc)
        return time.perf_counter() - start

    def pieces() -> tuple[float, int, int, bool]:
        d = wexo.StreamDecoder()
        got = 0
        start = time.perf_counter()
        for i in range(0, len(doc), piece):
            d.feed(doc[i:i + piece])
            for _ in d:
                got += 1
        on_time = got == 1
        if not on_time:  # held for want of a try: the end of the stream forces one
            d._end()
            for _ in d:
                got += 1
        elapsed = time.perf_counter() - start
        assert got == 1 and d.pending == 0
        tries, tried = d._tries()
        return elapsed, tries, tried, on_time

    with gc_mode(True):
        whole_s = min(whole() for _ in range(repeats))
        runs = [pieces() for _ in range(repeats)]
    best = min(runs)
    return "\n".join([
        f"| document | pieces | loads, ms | fed in pieces, ms | factor | tries out of bytes "
        "| bytes they read | yielded at its last piece |",
        "|---:|---:|---:|---:|---:|---:|---:|---|",
        f"| {len(doc) / 1e6:.1f} MB | {piece // 1024} KB x {-(-len(doc) // piece)} "
        f"| {whole_s * 1e3:.1f} | {best[0] * 1e3:.1f} | {best[0] / whole_s:.2f} "
        f"| {best[1]} | {best[2] / 1e6:.1f} MB | {'yes' if best[3] else 'no'} |",
    ])


CHILD = r"""
import sys, wexo
path, how = sys.argv[1], sys.argv[2]
def peak():
    # VmHWM: this process's peak resident set, in KiB (getrusage's would count the
    # parent's from before the exec).
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
before = peak()
n = 0
with open(path, "rb") as f:
    if how == "iter_load":
        for _ in wexo.iter_load(f):
            n += 1
    else:
        for _ in wexo.iter_loads(f.read()):
            n += 1
print(n, before, peak())
"""


def memory(total: int, doc_size: int) -> str:
    import wexo

    # About doc_size bytes each: a record of a few fields and a string.
    docs = []
    i = 0
    size = 0
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "stream.wexo"
        with open(path, "wb") as f:
            while size < total:
                doc = wexo.dumps({"id": i, "user": f"user{i % 977}", "ok": i % 3 == 0,
                                  "text": f"{i:08d}" * ((doc_size - 40) // 8)})
                f.write(doc)
                size += len(doc)
                i += 1
                if i == 1:
                    docs.append(len(doc))
        lines = [
            f"{size / 2**20:.0f} MiB file of {i:,} documents of {docs[0]} bytes",
            "",
            "| reader | documents | peak RSS before, MiB | peak RSS after, MiB | added, MiB |",
            "|---|---:|---:|---:|---:|",
        ]
        for how in ("iter_load", "iter_loads"):
            out = subprocess.run([sys.executable, "-c", CHILD, str(path), how],
                                 capture_output=True, text=True, check=True).stdout.split()
            n, before, after = (int(x) for x in out)
            name = ("wexo.iter_load(f)" if how == "iter_load"
                    else "wexo.iter_loads(f.read())")
            lines.append(f"| {name} | {n:,} | {before / 1024:.1f} | {after / 1024:.1f} "
                         f"| {(after - before) / 1024:.1f} |")
    return "\n".join(lines)


def main(argv: Sequence[str] | None = None) -> int:
    p = harness.arg_parser(__doc__)
    p.add_argument("--records", type=harness.positive_int, default=20_000,
                   help="records in the iteration benchmark (default 20000)")
    args = p.parse_args(argv)
    settings, gc_modes = harness.prepare(args)
    progress("iteration")
    print("## Iterating a stream of documents\n")
    print(iteration(args.records, settings, gc_modes))
    progress("feed cost")
    print("\n## A 4 MB document fed in 4 KB pieces (GC on)\n")
    print(feed_cost(4_000_000, 4096, 3 if args.quick else 7))
    progress("memory")
    print("\n## Peak memory of iter_load\n")
    print(memory(64 * 2**20, 1024))
    return 0


if __name__ == "__main__":
    sys.exit(main())
