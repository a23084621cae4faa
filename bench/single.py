#!/usr/bin/env python3
"""Single-message benchmark: one record at a time, as a service decodes its requests.

Records are taken from the corpus (a GitHub event, a tweet, a citm performance,
an update-center plugin, an Apache job, a movie, a GSoC project) plus the
harness's 5-key small message. Each is encoded once per format, then decoded in a loop by
wexo_native.loads_binary, wexo.loads, orjson.loads, msgpack.unpackb,
marshal.loads and json.loads, rounds interleaving the decoders (bench/harness.py),
with the collector on. Times are per call, in nanoseconds; the ratios
compare loads_binary with orjson.loads and marshal.loads.

Run ``python bench/single.py --help``; see bench/README.md.
"""

from __future__ import annotations

import argparse
import json
import marshal
import sys
import time
from collections.abc import Sequence
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import bench  # noqa: E402  (the contenders and their cross-check, beside this file)
import harness  # noqa: E402  (the harness beside this file)

# (label, corpus file, how to take one record out of its tree)
RECORDS: tuple[tuple[str, str, Any], ...] = (
    ("github event", "github_events", lambda t: t[0]),
    ("tweet", "twitter", lambda t: t["statuses"][0]),
    ("citm performance", "citm_catalog", lambda t: t["performances"][0]),
    ("update-center plugin", "update-center", lambda t: next(iter(t["plugins"].values()))),
    ("apache job", "apache_builds", lambda t: t["jobs"][0]),
    ("movie", "movies", lambda t: t[0]),
    ("gsoc project", "gsoc-2018", lambda t: next(iter(t.values()))),
)

ORDER = ("wexo", "wexo.loads", "orjson", "msgpack", "marshal", "json")


def decoders() -> tuple[bench.Contender, ...]:
    wexo = harness.require("wexo")
    wexo_native = harness.require("wexo_native")
    orjson = harness.require("orjson")
    msgpack = harness.require("msgpack")
    return (
        bench.Contender("wexo", "wexo", wexo_native.loads_binary),
        bench.Contender("wexo.loads", "wexo", wexo.loads),
        bench.Contender("orjson", "json", orjson.loads),
        bench.Contender("msgpack", "msgpack", msgpack.unpackb),
        bench.Contender("marshal", "marshal", marshal.loads),
        bench.Contender("json", "json", json.loads),
    )


def encoders() -> dict[str, harness.Encoder]:
    wexo = harness.require("wexo")
    msgpack = harness.require("msgpack")
    return {
        "json": harness.compact_json,
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
    out.append((harness.SMALL_NAME, harness.SMALL_MESSAGE))
    return out


def fmt_ns(seconds: float) -> str:
    return f"{seconds * 1e9:,.0f}"


def table(rows: Sequence[tuple[str, int, dict[str, harness.Stats]]], markdown: bool) -> str:
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
        ["geomean", "", *("" for _ in ORDER), f"{harness.geomean(to_orjson):.2f}",
         f"{harness.geomean(to_marshal):.2f}", ""]
    )
    return harness.render(headers, body, markdown, rule_before=len(rows))


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    return harness.arg_parser(__doc__, gc_choice=False, files=False).parse_args(argv)


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    settings, _ = harness.prepare(args)  # the collector stays on
    decs = decoders()
    encs = encoders()
    harness.progress(f"wexo_native: {sys.modules['wexo_native'].__file__}")
    rows = []
    began = time.perf_counter()
    for label, tree in records(args.corpus):
        payloads = {key: enc(tree) for key, enc in encs.items()}
        for message in bench.check_decoders(label, tree, payloads, decs):
            harness.warn(message)
        with harness.gc_mode(True):
            times = bench.measure(payloads, decs, settings)
        rows.append((label, len(payloads["json"]), times))
        harness.progress(f"  {label}: wexo {fmt_ns(times['wexo'].median)} ns")
    harness.progress(f"done in {time.perf_counter() - began:.0f} s")
    print(f"Machine: {harness.cpu_model()}, Python {sys.version.split()[0]}; GC on; "
          f"{args.clock} clock")
    print()
    print(table(rows, args.markdown))
    return 0


if __name__ == "__main__":
    sys.exit(main())
