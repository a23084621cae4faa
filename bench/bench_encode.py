#!/usr/bin/env python3
"""Encode-speed and size benchmark: wexo.dumps against msgpack, orjson, json, pickle and marshal.

For each document of the corpus (real JSON files), the tree is loaded once and
every encoder is timed on it as ``for _ in range(k): dumps(tree)``, so the
freeing of each output is inside the timed region. Rounds interleave the
encoders in a rotating order; the figure kept is the median of the per-call
times over the rounds (bench/harness.py). Times are reported as ratios
to ``msgpack.packb`` on the same tree (lower is faster).

The pure-Python reference encoder (wexo.reference) is run once per file, outside
the rounds: its output is compared with wexo.dumps's, and that one timing gives
the speed-up over it.

Run ``python bench/bench_encode.py --help`` for the options; see bench/README.md.
"""

from __future__ import annotations

import importlib
import json
import marshal
import math
import pickle
import sys
import time
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402  (the harness beside this file)
from harness import (  # noqa: E402
    GcModes,
    Settings,
    Stats,
    fmt_ratio,
    fmt_us,
    geomean,
    progress,
    warn,
)

BASELINE = "msgpack"  # every encoder's time is reported as a ratio to this one's

Encoder = Callable[[Any], bytes]


@dataclass(frozen=True)
class Encoders:
    dumps: dict[str, Encoder]  # name -> encoder, in table order; "wexo" first
    reference: Encoder  # the pure-Python encoder wexo.dumps must agree with
    loads: Callable[[bytes], Any]  # wexo's decoder, to check wexo.dumps's output
    versions: dict[str, str]


def load_encoders() -> Encoders:
    wexo = harness.require("wexo")
    wexo_native = harness.require("wexo_native")
    try:
        ext = importlib.import_module("wexo._ext")
    except ImportError as exc:
        # the package needs its native module: nothing native to time without it
        raise SystemExit(
            f"bench: cannot import wexo._ext ({exc}); build it and put the build "
            "directory on PYTHONPATH (see bench/README.md)"
        ) from exc
    reference = importlib.import_module("wexo.reference")
    orjson = harness.require("orjson")
    msgpack = harness.require("msgpack")
    if wexo.dumps is not ext.dumps:
        warn("wexo.dumps is not wexo._ext.dumps; timing wexo.dumps all the same")
    dumps: dict[str, Encoder] = {
        "wexo": wexo.dumps,
        "msgpack": msgpack.packb,
        "orjson": orjson.dumps,
        "json": harness.compact_json,
        "pickle": lambda tree: pickle.dumps(tree, protocol=pickle.HIGHEST_PROTOCOL),
        "marshal": marshal.dumps,
    }
    # A pure-Python fallback would make a peer look far slower than it is.
    for name in ("wexo", "orjson"):
        if not harness.is_native(dumps[name]):
            warn(f"{name}: dumps is not a native function; is its C extension missing?")
    if not msgpack.Packer.__module__.endswith(
        "_cmsgpack"
    ):  # packb is Python over Packer
        warn("msgpack: Packer is not the C extension; packb runs in pure Python")
    if json.encoder.c_make_encoder is None:  # type: ignore[attr-defined]
        warn("json: the C encoder (_json) is missing; json.dumps runs in pure Python")
    versions = {
        "orjson": harness.version(orjson, "orjson"),
        "msgpack": harness.version(msgpack, "msgpack"),
    }
    return Encoders(dumps, reference.dumps, wexo_native.loads_binary, versions)


# --------------------------------------------------------------------------- running


@dataclass
class EncodeCase:
    name: str
    sizes: dict[str, int]  # encoder -> bytes of its output; a failed encoder is absent
    reference_size: int
    identical: bool  # wexo.dumps gave the reference encoder's bytes
    reference_s: float  # seconds per call of the reference encoder
    times: dict[str, dict[str, Stats]] = field(
        default_factory=dict
    )  # gc label -> encoder -> stats


@dataclass
class EncodeRun:
    files: list[EncodeCase]
    small: EncodeCase
    gc_labels: list[str]
    settings: Settings
    warnings: list[str]


def time_reference(
    reference: Encoder, tree: Any, sample_s: float
) -> tuple[bytes, float]:
    """The reference encoder's output and its time per call, with the collector off.

    One call when it lasts at least sample_s; otherwise a loop of about sample_s
    (the small message), so that the timer's resolution does not show.
    """
    with harness.gc_mode(False):
        start = time.perf_counter()
        out = reference(tree)
        once = time.perf_counter() - start
        if once < sample_s:
            k = max(1, math.ceil(sample_s / max(once, 1e-7)))
            once = harness.time_loop(reference, tree, k) / k
    return out, once


def run_case(
    name: str,
    tree: Any,
    encoders: Encoders,
    gc_modes: GcModes,
    settings: Settings,
    warnings: list[str],
) -> EncodeCase:
    def note(message: str) -> None:
        warn(message)
        warnings.append(message)

    start = time.perf_counter()
    outputs: dict[str, bytes] = {}
    for key, dumps in encoders.dumps.items():
        try:
            outputs[key] = dumps(tree)
        except Exception as exc:  # noqa: BLE001 -- reported, and the encoder left out
            note(f"{name}: {key} raised {type(exc).__name__}: {exc}; not timed")
    if "wexo" not in outputs or "json" not in outputs:
        raise SystemExit(f"bench: {name}: wexo.dumps or json.dumps failed")
    try:
        diff = harness.first_difference(tree, encoders.loads(outputs["wexo"]))
    except Exception as exc:  # noqa: BLE001
        diff = f"raised {type(exc).__name__}: {exc}"
    if diff is not None:
        note(f"{name}: wexo.dumps output does not decode to the tree: {diff}")
    reference_out, reference_s = time_reference(
        encoders.reference, tree, settings.sample_s
    )
    encoded = time.perf_counter()
    result = EncodeCase(
        name,
        {key: len(out) for key, out in outputs.items()},
        len(reference_out),
        reference_out == outputs["wexo"],
        reference_s,
    )
    del outputs, reference_out
    calls = [
        harness.Call(key, dumps, tree)
        for key, dumps in encoders.dumps.items()
        if key in result.sizes
    ]
    steps = [f"encode once and reference {encoded - start:.1f}s"]
    result.times = harness.measure_modes(calls, settings, gc_modes, steps)
    progress(f"  {name}: {', '.join(steps)}")
    return result


def run(
    files: Sequence[Path],
    encoders: Encoders,
    gc_modes: GcModes,
    settings: Settings,
) -> EncodeRun:
    warnings: list[str] = []
    results = []
    for i, path in enumerate(files, 1):
        progress(f"[{i}/{len(files)}] {path.name}")
        tree = json.loads(path.read_bytes())
        results.append(
            run_case(path.stem, tree, encoders, gc_modes, settings, warnings)
        )
        del tree
    progress(f"[small] {harness.SMALL_NAME}")
    small = run_case(
        harness.SMALL_NAME, harness.SMALL_MESSAGE, encoders, gc_modes, settings, warnings
    )
    return EncodeRun(
        results, small, [label for label, _ in gc_modes], settings, warnings
    )


# --------------------------------------------------------------------------- reporting


def ratios(case: EncodeCase, gc_label: str) -> dict[str, float]:
    """Each timed encoder's median time over the baseline's (NaN if the baseline failed)."""
    times = case.times[gc_label]
    base = times[BASELINE].median if BASELINE in times else math.nan
    return {key: stats.median / base for key, stats in times.items()}


def finite_geomean(values: Sequence[float]) -> float:
    return geomean([v for v in values if not math.isnan(v)])


def finite_max(values: Sequence[float]) -> float:
    kept = [v for v in values if not math.isnan(v)]
    return max(kept) if kept else math.nan


def speedup(case: EncodeCase, gc_label: str) -> float:
    """The reference encoder's time over wexo.dumps's median."""
    return case.reference_s / case.times[gc_label]["wexo"].median


def sizes_table(run_: EncodeRun, names: Sequence[str], markdown: bool) -> str:
    shown = [k for k in names if k != "json"]
    headers = [
        "file",
        "JSON bytes",
        *(f"{k}/JSON" for k in shown),
        "wexo bytes",
        "reference bytes",
        "wexo/reference",
    ]

    def row(label: str, sizes: Mapping[str, int], ref: int, same: bool) -> list[str]:
        j = sizes["json"]
        return [
            label,
            f"{j:,}",
            *(f"{sizes[k] / j:.3f}" if k in sizes else "–" for k in shown),
            f"{sizes['wexo']:,}",
            f"{ref:,}",
            "same bytes" if same else f"{sizes['wexo'] / ref:.4f}",
        ]

    rows = [row(c.name, c.sizes, c.reference_size, c.identical) for c in run_.files]
    complete = [k for k in names if all(k in c.sizes for c in run_.files)]
    totals = {k: sum(c.sizes[k] for c in run_.files) for k in complete}
    rows.append(
        row(
            "total",
            totals,
            sum(c.reference_size for c in run_.files),
            all(c.identical for c in run_.files),
        )
    )
    s = run_.small
    rows.append(row(harness.SMALL_NAME, s.sizes, s.reference_size, s.identical))
    return harness.render(headers, rows, markdown, rule_before=len(run_.files))


def times_table(
    run_: EncodeRun, gc_label: str, names: Sequence[str], markdown: bool
) -> str:
    shown = [k for k in names if k != BASELINE]
    headers = [
        "file",
        "wexo µs",
        f"{BASELINE} µs",
        *shown,
        "spread",
        "reference ms",
        "× reference",
    ]

    def case_row(case: EncodeCase) -> list[str]:
        times = case.times[gc_label]
        r = ratios(case, gc_label)
        spread = max(stats.spread for stats in times.values())
        return [
            case.name,
            fmt_us(times["wexo"].median),
            fmt_us(times[BASELINE].median) if BASELINE in times else "–",
            *(fmt_ratio(r.get(k, math.nan)) for k in shown),
            f"{spread:.0%}",
            (
                f"{case.reference_s * 1e3:,.1f}"
                if case.reference_s >= 1e-3
                else f"{case.reference_s * 1e3:.3f}"
            ),
            f"{speedup(case, gc_label):,.0f}",
        ]

    def geomean_row(label: str, cases: list[EncodeCase]) -> list[str]:
        rs = [ratios(c, gc_label) for c in cases]
        return [
            label,
            "",
            "",
            *(
                fmt_ratio(finite_geomean([r.get(k, math.nan) for r in rs]))
                for k in shown
            ),
            "",
            "",
            f"{geomean([speedup(c, gc_label) for c in cases]):,.0f}",
        ]

    rs = [ratios(c, gc_label) for c in run_.files]
    rows = [case_row(case) for case in run_.files]
    rows.append(geomean_row(f"geomean, all ({len(run_.files)} files)", run_.files))
    heavy = [c for c in run_.files if c.name in harness.RECORD_HEAVY]
    if heavy:
        rows.append(geomean_row(f"geomean, record-heavy ({len(heavy)})", heavy))
    rows.append(
        [
            "max over files",
            "",
            "",
            *(fmt_ratio(finite_max([r.get(k, math.nan) for r in rs])) for k in shown),
            "",
            "",
            "",
        ]
    )
    small = case_row(run_.small)
    small[0] = f"{harness.SMALL_NAME} ({run_.small.sizes['json']} B JSON)"
    rows.append(small)
    return harness.render(headers, rows, markdown, rule_before=len(run_.files))


def targets_line(run_: EncodeRun, gc_label: str) -> str:
    """wexo.dumps against the targets: geomean and worst file vs msgpack, the small message."""
    rs = {c.name: ratios(c, gc_label) for c in run_.files}
    wexo = {name: r["wexo"] for name, r in rs.items() if not math.isnan(r["wexo"])}
    worst = max(wexo, key=wexo.__getitem__) if wexo else "–"
    vs_orjson = [
        r["wexo"] / r["orjson"]
        for r in rs.values()
        if not math.isnan(r.get("orjson", math.nan))
    ]
    return (
        f"wexo.dumps, {gc_label}: geomean {fmt_ratio(finite_geomean(list(wexo.values())))}× "
        f"{BASELINE}.packb (target ≤ 1.0), worst file {fmt_ratio(wexo.get(worst, math.nan))}× "
        f"({worst}; target ≤ 2.0), small message "
        f"{fmt_ratio(ratios(run_.small, gc_label)['wexo'])}× (target ≤ 1.0); "
        f"geomean {fmt_ratio(finite_geomean(vs_orjson))}× orjson.dumps (stretch ≤ 2.0)."
    )


def report(run_: EncodeRun, encoders: Encoders, markdown: bool) -> str:
    s = run_.settings
    h = "### " if markdown else "== "
    names = list(encoders.dumps)
    span = harness.rounds_span([*run_.files, run_.small])
    parts = [
        f"Machine: {harness.machine_line(encoders.versions)}",
        "",
        (
            f"Timing: median over {span} interleaved rounds per encoder "
            f"(≥{s.min_rounds} rounds, ≥{s.budget_s:g} s per encoder per file, "
            f"loops of ~{s.sample_s * 1e3:g} ms); freeing each output is timed. "
            f"Ratios are time / `{BASELINE}.packb` time on the same tree: lower is faster. "
            "spread = largest interquartile range / median among the encoders. "
            "reference = the pure-Python encoder, timed once per file with the collector off; "
            "× reference = its time / wexo's."
        ),
        "",
        f"{h}Encoded size (relative to compact JSON)",
        "",
        sizes_table(run_, names, markdown),
    ]
    for label in run_.gc_labels:
        parts += [
            "",
            f"{h}Encode time, {label} (ratio to {BASELINE}.packb)",
            "",
            times_table(run_, label, names, markdown),
        ]
    parts.append("")
    parts += [targets_line(run_, label) for label in run_.gc_labels]
    complete = [k for k in names if all(k in c.sizes for c in run_.files)]
    total = {k: sum(c.sizes[k] for c in run_.files) for k in complete}
    reference_total = sum(c.reference_size for c in run_.files)
    same = sum(c.identical for c in [*run_.files, run_.small])
    parts.append(
        f"Total size over {len(run_.files)} files: wexo / compact JSON = "
        f"{total['wexo'] / total['json']:.3f}, reference / compact JSON = "
        f"{reference_total / total['json']:.3f}, wexo / reference = "
        f"{total['wexo'] / reference_total:.4f}; wexo.dumps gave the reference's bytes "
        f"on {same} of {len(run_.files) + 1} documents."
    )
    if run_.warnings:
        parts += ["", "Warnings:", *(f"- {w}" for w in run_.warnings)]
    return "\n".join(parts)


# --------------------------------------------------------------------------- command line


def main(argv: Sequence[str] | None = None) -> int:
    args = harness.arg_parser(__doc__).parse_args(argv)
    settings, gc_modes = harness.prepare(args)
    files = harness.select_files(args.corpus, args.files)
    encoders = load_encoders()
    progress(
        f"wexo: {sys.modules['wexo'].__file__}\n"
        f"wexo._ext: {sys.modules['wexo._ext'].__file__}"
    )
    began = time.perf_counter()
    result = run(files, encoders, gc_modes, settings)
    progress(f"done in {time.perf_counter() - began:.0f} s")
    print(report(result, encoders, args.markdown))
    return 0


if __name__ == "__main__":
    sys.exit(main())
