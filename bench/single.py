#!/usr/bin/env python3
"""Single-message benchmark: one record at a time, as a service decodes its requests.

Records are taken from the corpus (a GitHub event, a tweet, a citm performance,
an update-center plugin, an Apache job, a movie) plus bench.py's 5-key small
message. Each is encoded once per format, then decoded in a loop by
wexo_native.loads_binary, wexo.loads, orjson.loads, msgpack.unpackb,
marshal.loads and json.loads, rounds interleaving the decoders as bench.py
does, with the collector on. Times are per call, in nanoseconds; the ratios
compare loads_binary with orjson.loads and marshal.loads.

Run ``python bench/single.py --help``; see bench/README.md.
"""

from __future__ import annotations

import argparse
import itertools
import json
import marshal
import os
import sys
import time
from collections.abc import Sequence
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import bench  # noqa: E402  (the harness beside this file)

# (label, corpus file, how to take one record out of its tree)
RECORDS: tuple[tuple[str, str, Any], ...] = (
    ("github event", "github_events", lambda t: t[0]),
    ("tweet", "twitter", lambda t: t["statuses"][0]),
    ("citm performance", "citm_catalog", lambda t: t["performances"][0]),
    ("update-center plugin", "update-center", lambda t: next(iter(t["plugins"].values()))),
    ("apache job", "apache_builds", lambda t: t["jobs"][0]),
    ("movie", "movies", lambda t: t[0]),
)

ORDER = ("wexo", "wexo.loads", "orjson", "msgpack", "marshal", "json")


def decoders() -> tuple[bench.DecoderSpec, ...]:
    wexo = bench._require("wexo")
    wexo_native = bench._require("wexo_native")
    orjson = bench._require("orjson")
    msgpack = bench._require("msgpack")
    return (
        bench.DecoderSpec("wexo", "wexo", wexo_native.loads_binary),
        bench.DecoderSpec("wexo.loads", "wexo", wexo.loads),
        bench.DecoderSpec("orjson", "json", orjson.loads),
        bench.DecoderSpec("msgpack", "msgpack", msgpack.unpackb),
        bench.DecoderSpec("marshal", "marshal", marshal.loads),
        bench.DecoderSpec("json", "json", json.loads),
    )


def encoders() -> dict[str, bench.Encoder]:
    wexo = bench._require("wexo")
    msgpack = bench._require("msgpack")
    return {
        "json": bench._compact_json,
        "wexo": wexo.dumps,
        "msgpack": msgpack.packb,
        "marshal": marshal.dumps,
    }


def records(corpus: Path) -> list[tuple[str, Any]]:
    out = []
    for label, stem, pick in RECORDS:
        path = corpus / f"{stem}.json"
        if not path.exists():  # the repository ships a few documents; --corpus DIR has more
            print(f"single: no {path.name} in {corpus}: {label} left out", file=sys.stderr)
            continue
        out.append((label, pick(json.loads(path.read_bytes()))))
    out.append((bench.SMALL_NAME, bench.SMALL_MESSAGE))
    return out


def cpu_time_loop(fn: bench.Decoder, arg: bytes, k: int) -> float:
    """bench.time_loop on the thread's CPU clock: time spent descheduled, on a
    machine busy with other work, is left out."""
    calls = itertools.repeat(None, k)
    start = time.thread_time()
    for _ in calls:
        fn(arg)
    return time.thread_time() - start


def fmt_ns(seconds: float) -> str:
    return f"{seconds * 1e9:,.0f}"


def table(rows: Sequence[tuple[str, int, dict[str, bench.Stats]]], markdown: bool) -> str:
    headers = [
        "message",
        "JSON B",
        *(f"{d} ns" for d in ORDER),
        "wexo/orjson",
        "wexo/marshal",
        "spread",
    ]
    body = []
    to_orjson, to_marshal = [], []
    for label, size, times in rows:
        w = times["wexo"].median
        ro, rm = w / times["orjson"].median, w / times["marshal"].median
        to_orjson.append(ro)
        to_marshal.append(rm)
        body.append(
            [
                label,
                f"{size:,}",
                *(fmt_ns(times[d].median) for d in ORDER),
                f"{ro:.2f}",
                f"{rm:.2f}",
                f"{max(s.spread for s in times.values()):.0%}",
            ]
        )
    body.append(
        ["geomean", "", *("" for _ in ORDER), f"{bench.geomean(to_orjson):.2f}",
         f"{bench.geomean(to_marshal):.2f}", ""]
    )
    return bench.render(headers, body, markdown, rule_before=len(rows))


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--corpus", type=Path, default=bench.DEFAULT_CORPUS)
    p.add_argument("--quick", action="store_true", help="shorter loops and fewer rounds")
    p.add_argument("--rounds", type=bench.positive_int, metavar="N",
                   help="minimum rounds per message (default 9, or 5 with --quick)")
    p.add_argument("--time", type=bench.nonnegative_float, metavar="S",
                   help="minimum seconds each decoder is timed per message")
    p.add_argument("--cpu", type=int, metavar="N", help="pin the process to this CPU (Linux)")
    p.add_argument("--markdown", action="store_true", help="print the table as Markdown")
    p.add_argument("--clock", choices=("wall", "cpu"), default="wall",
                   help="wall: time.perf_counter, as bench.py; cpu: the thread's CPU time, "
                   "which leaves out time spent descheduled on a busy machine")
    return p.parse_args(argv)


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    if args.cpu is not None:
        os.sched_setaffinity(0, {args.cpu})
    settings = bench.settings_from(args)
    if args.clock == "cpu":
        bench.time_loop = cpu_time_loop
    decs = decoders()
    encs = encoders()
    bench.progress(f"wexo_native: {sys.modules['wexo_native'].__file__}")
    rows = []
    began = time.perf_counter()
    for label, tree in records(args.corpus):
        payloads = {key: enc(tree) for key, enc in encs.items()}
        for message in bench.check_decoders(label, tree, payloads, decs):
            bench.warn(message)
        with bench.gc_mode(True):
            times = bench.measure(payloads, decs, settings)
        rows.append((label, len(payloads["json"]), times))
        bench.progress(f"  {label}: wexo {fmt_ns(times['wexo'].median)} ns")
    bench.progress(f"done in {time.perf_counter() - began:.0f} s")
    print(f"Machine: {bench.cpu_model()}, Python {sys.version.split()[0]}; GC on; "
          f"{args.clock} clock")
    print()
    print(table(rows, args.markdown))
    return 0


if __name__ == "__main__":
    sys.exit(main())
