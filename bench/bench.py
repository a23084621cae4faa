#!/usr/bin/env python3
"""Decode-speed and size benchmark: WEXO against JSON, msgpack, CBOR, pickle and marshal.

For each document of the corpus (real JSON files), the tree is loaded once and
encoded by every format; then the decoders are timed on their own encoding of
that tree. Every decoder is timed as ``for _ in range(k): loads(data)``, so the
freeing of each result is inside the timed region. Rounds interleave the
decoders in a rotating order; the figure kept is the median of the per-call
times over the rounds. Times are reported as ratios to ``marshal.loads`` on the
same tree (lower is faster), which cancels most of the machine's speed and drift.

Run ``python bench/bench.py --help`` for the options; see bench/README.md.
"""

from __future__ import annotations

import json
import json.scanner
import marshal
import pickle
import sys
import time
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

from harness import (  # noqa: E402  (the harness beside this file)
    RECORD_HEAVY,
    SMALL_MESSAGE,
    SMALL_NAME,
    Call,
    Decoder,
    Encoder,
    GcModes,
    Settings,
    Stats,
    arg_parser,
    compact_json,
    first_difference,
    fmt_ratio,
    fmt_us,
    geomean,
    is_native,
    machine_line,
    measure_calls,
    measure_modes,
    progress,
    render,
    require,
    rounds_span,
    select_files,
    prepare,
    version,
    warn,
)

# Encodings, in table order: key -> column title.
ENCODINGS: dict[str, str] = {
    "json": "JSON",
    "wexo": "WEXO",
    "msgpack": "msgpack",
    "cbor": "CBOR",
    "pickle": "pickle",
    "marshal": "marshal",
}

REFERENCE = "marshal"  # every decoder's time is reported as a ratio to this one's


# --------------------------------------------------------------------------- codecs


@dataclass(frozen=True)
class Contender:
    name: str  # column title
    encoding: str  # key into ENCODINGS: the payload it decodes
    loads: Decoder


@dataclass(frozen=True)
class Codecs:
    encoders: dict[str, Encoder]
    decoders: tuple[Contender, ...]
    versions: dict[str, str]


def load_codecs() -> Codecs:
    wexo = require("wexo")
    wexo_native = require("wexo_native")
    orjson = require("orjson")
    msgpack = require("msgpack")
    cbor2 = require("cbor2")

    encoders: dict[str, Encoder] = {
        "json": compact_json,
        "wexo": wexo.dumps,
        "msgpack": msgpack.packb,
        "cbor": cbor2.dumps,
        "pickle": lambda tree: pickle.dumps(tree, protocol=5),
        "marshal": marshal.dumps,
    }
    decoders = (
        Contender("wexo", "wexo", wexo_native.loads_binary),
        Contender("orjson", "json", orjson.loads),
        Contender("json", "json", json.loads),
        Contender("msgpack", "msgpack", msgpack.unpackb),
        Contender("cbor2", "cbor", cbor2.loads),
        Contender("pickle", "pickle", pickle.loads),
        Contender("marshal", "marshal", marshal.loads),
    )
    versions = {
        "orjson": version(orjson, "orjson"),
        "msgpack": version(msgpack, "msgpack"),
        "cbor2": version(cbor2, "cbor2"),
    }
    # A pure-Python fallback would make a peer look far slower than it is.
    for entry in decoders:
        if entry.name != "json" and not is_native(entry.loads):
            warn(
                f"{entry.name}: loads is not a native function; is its C extension missing?"
            )
    if json.scanner.make_scanner is not json.scanner.c_make_scanner:  # type: ignore[attr-defined]
        warn("json: the C scanner (_json) is missing; json.loads runs in pure Python")
    return Codecs(encoders, decoders, versions)


def encode_all(tree: Any, encoders: Mapping[str, Encoder]) -> dict[str, bytes]:
    return {key: encoders[key](tree) for key in ENCODINGS}


# --------------------------------------------------------------------------- sanity check


def check_decoders(
    label: str,
    tree: Any,
    payloads: Mapping[str, bytes],
    decoders: Sequence[Contender],
) -> list[str]:
    """Decodes every payload once; returns a warning for each decoder whose result differs."""
    warnings = []
    for entry in decoders:
        try:
            diff = first_difference(tree, entry.loads(payloads[entry.encoding]))
        except Exception as exc:  # noqa: BLE001 -- any failure is reported, not fatal
            diff = f"raised {type(exc).__name__}: {exc}"
        if diff is not None:
            warnings.append(
                f"{label}: {entry.name} result differs from the tree: {diff}"
            )
    return warnings


# --------------------------------------------------------------------------- timing


def measure(
    payloads: Mapping[str, bytes], decoders: Sequence[Contender], settings: Settings
) -> dict[str, Stats]:
    """Per-call time of each decoder on its payload, with rounds interleaving the decoders."""
    calls = [Call(e.name, e.loads, payloads[e.encoding]) for e in decoders]
    return measure_calls(calls, settings)


# --------------------------------------------------------------------------- running


@dataclass
class CaseResult:
    name: str
    sizes: dict[str, int]
    times: dict[str, dict[str, Stats]] = field(
        default_factory=dict
    )  # gc label -> decoder -> stats


@dataclass
class Run:
    files: list[CaseResult]
    small: CaseResult
    gc_labels: list[str]
    settings: Settings
    warnings: list[str]


def run_case(
    name: str,
    tree: Any,
    codecs: Codecs,
    gc_modes: GcModes,
    settings: Settings,
    warnings: list[str],
) -> CaseResult:
    start = time.perf_counter()
    payloads = encode_all(tree, codecs.encoders)
    encoded = time.perf_counter()
    for message in check_decoders(name, tree, payloads, codecs.decoders):
        warn(message)
        warnings.append(message)
    result = CaseResult(name, {key: len(data) for key, data in payloads.items()})
    steps = [f"encode {encoded - start:.1f}s"]
    calls = [Call(e.name, e.loads, payloads[e.encoding]) for e in codecs.decoders]
    result.times = measure_modes(calls, settings, gc_modes, steps)
    progress(f"  {name}: {', '.join(steps)}")
    return result


def run(
    files: Sequence[Path],
    codecs: Codecs,
    gc_modes: GcModes,
    settings: Settings,
) -> Run:
    warnings: list[str] = []
    results = []
    for i, path in enumerate(files, 1):
        progress(f"[{i}/{len(files)}] {path.name}")
        tree = json.loads(path.read_bytes())
        results.append(run_case(path.stem, tree, codecs, gc_modes, settings, warnings))
        del tree
    progress(f"[small] {SMALL_NAME}")
    small = run_case(SMALL_NAME, SMALL_MESSAGE, codecs, gc_modes, settings, warnings)
    return Run(results, small, [label for label, _ in gc_modes], settings, warnings)


# --------------------------------------------------------------------------- reporting


def ratios(case: CaseResult, gc_label: str) -> dict[str, float]:
    times = case.times[gc_label]
    ref = times[REFERENCE].median
    return {name: stats.median / ref for name, stats in times.items()}


def sizes_table(run_: Run, markdown: bool) -> str:
    headers = ["file", *ENCODINGS.values(), "WEXO/JSON", "msgpack/JSON"]

    def row(label: str, sizes: Mapping[str, int]) -> list[str]:
        return [
            label,
            *(f"{sizes[k]:,}" for k in ENCODINGS),
            f"{sizes['wexo'] / sizes['json']:.3f}",
            f"{sizes['msgpack'] / sizes['json']:.3f}",
        ]

    rows = [row(case.name, case.sizes) for case in run_.files]
    totals = {k: sum(case.sizes[k] for case in run_.files) for k in ENCODINGS}
    rows.append(row("total", totals))
    rows.append(row(SMALL_NAME, run_.small.sizes))
    return render(headers, rows, markdown, rule_before=len(run_.files))


def times_table(
    run_: Run, gc_label: str, decoders: Sequence[str], markdown: bool
) -> str:
    shown = [d for d in decoders if d != REFERENCE]
    headers = ["file", "wexo µs", f"{REFERENCE} µs", *shown, "spread"]

    def case_row(case: CaseResult) -> list[str]:
        times = case.times[gc_label]
        r = ratios(case, gc_label)
        spread = max(stats.spread for stats in times.values())
        return [
            case.name,
            fmt_us(times["wexo"].median),
            fmt_us(times[REFERENCE].median),
            *(fmt_ratio(r[d]) for d in shown),
            f"{spread:.0%}",
        ]

    def mean_row(label: str, cases: Sequence[CaseResult]) -> list[str]:
        rs = [ratios(c, gc_label) for c in cases]
        return [
            label,
            "",
            "",
            *(fmt_ratio(geomean([r[d] for r in rs])) for d in shown),
            "",
        ]

    rows = [case_row(case) for case in run_.files]
    rows.append(mean_row(f"geomean, all ({len(run_.files)} files)", run_.files))
    heavy = [c for c in run_.files if c.name in RECORD_HEAVY]
    if heavy:
        rows.append(mean_row(f"geomean, record-heavy ({len(heavy)})", heavy))
    small = case_row(run_.small)
    small[0] = f"{SMALL_NAME} ({run_.small.sizes['json']} B JSON)"
    rows.append(small)
    return render(headers, rows, markdown, rule_before=len(run_.files))


def report(run_: Run, codecs: Codecs, markdown: bool) -> str:
    s = run_.settings
    h = "### " if markdown else "== "
    decoders = [entry.name for entry in codecs.decoders]
    span = rounds_span([*run_.files, run_.small])
    parts = [
        f"Machine: {machine_line(codecs.versions)}",
        "",
        (
            f"Timing: median over {span} interleaved rounds per decoder "
            f"(≥{s.min_rounds} rounds, ≥{s.budget_s:g} s per decoder per file, "
            f"loops of ~{s.sample_s * 1e3:g} ms); freeing each result is timed. "
            f"Ratios are time / `{REFERENCE}.loads` time on the same tree: lower is faster. "
            "spread = largest interquartile range / median among the decoders."
        ),
        "",
        f"{h}Encoded size (bytes)",
        "",
        sizes_table(run_, markdown),
    ]
    for label in run_.gc_labels:
        parts += [
            "",
            f"{h}Decode time, {label} (ratio to {REFERENCE}.loads)",
            "",
            times_table(run_, label, decoders, markdown),
        ]
    total = {k: sum(case.sizes[k] for case in run_.files) for k in ENCODINGS}
    parts += [
        "",
        (
            f"Total size over {len(run_.files)} files: "
            f"WEXO / compact JSON = {total['wexo'] / total['json']:.3f}, "
            f"msgpack / compact JSON = {total['msgpack'] / total['json']:.3f}."
        ),
    ]
    if run_.warnings:
        parts += ["", "Warnings:", *(f"- {w}" for w in run_.warnings)]
    return "\n".join(parts)


# --------------------------------------------------------------------------- command line


def main(argv: Sequence[str] | None = None) -> int:
    args = arg_parser(__doc__).parse_args(argv)
    settings, gc_modes = prepare(args)
    files = select_files(args.corpus, args.files)
    codecs = load_codecs()
    wexo_native = sys.modules["wexo_native"]
    progress(
        f"wexo_native: {wexo_native.__file__}\nwexo: {sys.modules['wexo'].__file__}"
    )
    began = time.perf_counter()
    result = run(files, codecs, gc_modes, settings)
    progress(f"done in {time.perf_counter() - began:.0f} s")
    print(report(result, codecs, args.markdown))
    return 0


if __name__ == "__main__":
    sys.exit(main())
