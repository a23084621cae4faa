#!/usr/bin/env python3
"""Encode-speed and size benchmark: wexo.dumps against msgpack, msgspec, orjson, json, pickle and marshal.

Three sections (--section, default all):

- files: for each document of the corpus (real JSON files), the tree is loaded
  once and every encoder is timed on it as ``for _ in range(k): dumps(tree)``, so
  the freeing of each output is inside the timed region. Rounds interleave the
  encoders in a rotating order; the figure kept is the median of the per-call
  times over the rounds (bench/harness.py). Times are reported as ratios to
  ``msgpack.packb`` on the same tree (lower is faster). The pure-Python reference
  encoder (wexo.reference) is run once per file, outside the rounds: its output is
  compared with wexo.dumps's, and that one timing gives the speed-up over it.
- single: one record at a time (the records of bench/single.py and the 5-key
  small message), the collector on, in nanoseconds per call and as ratios to
  msgpack.packb.
- table: generated lists of {"id", "name", "v"} rows of 50,000 to 800,000 rows
  whose names are 5/8 distinct, in nanoseconds per row.

``wexo (choices off)`` is wexo.dumps with every encoding choice keyword False.

Run ``python bench/bench_encode.py --help`` for the options; see bench/README.md.
"""

from __future__ import annotations

import argparse
import importlib
import json
import marshal
import math
import pickle
import random
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
OFF = "wexo (choices off)"  # wexo.dumps with every choice keyword False

SECTIONS = ("files", "single", "table")

# The high-cardinality table: row counts, and the share of the rows whose name is
# the first of its kind (800,000 rows hold 500,000 distinct names).
TABLE_ROWS = (50_000, 200_000, 800_000)
DISTINCT_NUM, DISTINCT_DEN = 5, 8
# The table's contenders, and the largest table the (slow) reference encoder checks.
TABLE_ENCODERS = ("wexo", OFF, "msgpack", "orjson", "msgspec")
TABLE_REFERENCE_MAX = 50_000

Encoder = Callable[[Any], bytes]


@dataclass(frozen=True)
class Encoders:
    dumps: dict[str, Encoder]  # name -> encoder, in table order; "wexo" first
    reference: Encoder  # the pure-Python encoder wexo.dumps must agree with
    loads: Callable[[bytes], Any]  # wexo's decoder, to check wexo.dumps's output
    versions: dict[str, str]
    # the reference encoder with every choice off, which OFF must agree with
    reference_off: Encoder | None = None

    def only(self, names: Sequence[str]) -> Encoders:
        """The same, with only these encoders (those of them that exist)."""
        kept = {k: v for k, v in self.dumps.items() if k in names}
        return Encoders(kept, self.reference, self.loads, self.versions, self.reference_off)


def choices_off(dumps: Callable[..., bytes], names: Sequence[str]) -> Encoder:
    """dumps(tree, a=False, b=False, ...) for every choice name, as a function of the tree.

    The keywords are written into the call, as a caller would write them, so the call
    passes them as a vectorcall's keyword names; ``dumps(tree, **off)`` would build a
    dict on every call, which costs more than the encoder on a small message.
    """
    for name in names:
        if not name.isidentifier():
            raise SystemExit(f"bench: choice {name!r} is not a keyword name")
    keywords = ", ".join(f"{name}=False" for name in names)
    fn: Encoder = eval(f"lambda tree: dumps(tree, {keywords})", {"dumps": dumps})  # noqa: S307
    return fn


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
    msgspec = harness.require("msgspec")
    importlib.import_module("msgspec.msgpack")
    if wexo.dumps is not ext.dumps:
        warn("wexo.dumps is not wexo._ext.dumps; timing wexo.dumps all the same")
    choices = [name for name, _, _ in ext.CHOICES]
    dumps: dict[str, Encoder] = {
        "wexo": wexo.dumps,
        OFF: choices_off(wexo.dumps, choices),
        "msgpack": msgpack.packb,
        "orjson": orjson.dumps,
        "msgspec": msgspec.msgpack.encode,
        "json": harness.compact_json,
        "pickle": lambda tree: pickle.dumps(tree, protocol=pickle.HIGHEST_PROTOCOL),
        "marshal": marshal.dumps,
    }
    # A pure-Python fallback would make a peer look far slower than it is.
    for name in ("wexo", "orjson", "msgspec"):
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
        "msgspec": harness.version(msgspec, "msgspec"),
    }
    return Encoders(
        dumps,
        reference.dumps,
        wexo_native.loads_binary,
        versions,
        choices_off(reference.dumps, choices),
    )


# --------------------------------------------------------------------------- running


@dataclass
class EncodeCase:
    name: str
    sizes: dict[str, int]  # encoder -> bytes of its output; a failed encoder is absent
    reference_size: int  # 0 when the reference encoder did not run
    identical: bool | None  # wexo.dumps gave the reference encoder's bytes (None: not run)
    reference_s: float  # seconds per call of the reference encoder (NaN: not timed)
    times: dict[str, dict[str, Stats]] = field(
        default_factory=dict
    )  # gc label -> encoder -> stats
    identical_off: bool | None = None  # the same for OFF, where checked


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
    reference: str = "time",
) -> EncodeCase:
    """Encodes tree once with each encoder (checking wexo's outputs), then times them all.

    reference: "time" compares wexo.dumps's output with the reference encoder's and
    times that call; "check" also compares OFF's output with the reference's with
    every choice off, untimed; "skip" runs no reference encoder.
    """

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
    if "wexo" not in outputs or ("json" in encoders.dumps and "json" not in outputs):
        raise SystemExit(f"bench: {name}: wexo.dumps or json.dumps failed")
    for key in ("wexo", OFF):
        if key not in outputs:
            continue
        try:
            diff = harness.first_difference(tree, encoders.loads(outputs[key]))
        except Exception as exc:  # noqa: BLE001
            diff = f"raised {type(exc).__name__}: {exc}"
        if diff is not None:
            note(f"{name}: {key} output does not decode to the tree: {diff}")
    result = EncodeCase(
        name, {key: len(out) for key, out in outputs.items()}, 0, None, math.nan
    )
    if reference != "skip":
        reference_out, result.reference_s = time_reference(
            encoders.reference, tree, settings.sample_s if reference == "time" else 0.0
        )
        result.reference_size = len(reference_out)
        result.identical = reference_out == outputs["wexo"]
        del reference_out
        if not result.identical:
            note(f"{name}: wexo.dumps output differs from the reference encoder's")
    if reference == "check" and OFF in outputs and encoders.reference_off is not None:
        result.identical_off = encoders.reference_off(tree) == outputs[OFF]
        if not result.identical_off:
            note(f"{name}: {OFF} output differs from the reference encoder's")
    encoded = time.perf_counter()
    del outputs
    calls = [
        harness.Call(key, dumps, tree)
        for key, dumps in encoders.dumps.items()
        if key in result.sizes
    ]
    steps = [f"encode once and check {encoded - start:.1f}s"]
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


def run_single(
    corpus: Path, encoders: Encoders, settings: Settings, warnings: list[str]
) -> list[EncodeCase]:
    """One record of each corpus file of bench/single.py and the small message, GC on.

    Both wexo contenders' outputs are compared with the reference encoder's (cheap
    on a record)."""
    import single  # noqa: PLC0415  (beside this file; it brings the decode benchmark's peers)

    cases = []
    for label, tree in single.records(corpus):
        progress(f"[single] {label}")
        cases.append(
            run_case(label, tree, encoders, [("GC on", True)], settings, warnings, "check")
        )
    return cases


def table_rows(n: int, seed: int = 1) -> list[dict[str, Any]]:
    """n rows {"id": i, "name": ..., "v": float}, the same for the same n and seed.

    n * 5 // 8 of the names are distinct: each of them once, the other rows repeat one of
    those drawn at random, all in a shuffled order (so a name's repeats come anywhere
    after or before it). v is a price with two decimals."""
    rng = random.Random(seed)
    distinct = n * DISTINCT_NUM // DISTINCT_DEN
    keys = list(range(distinct))
    keys += [rng.randrange(distinct) for _ in range(n - distinct)]
    rng.shuffle(keys)
    return [
        {"id": i, "name": f"user{k}", "v": rng.randrange(100_000) / 100}
        for i, k in enumerate(keys)
    ]


@dataclass
class TableCase:
    rows: int
    distinct: int  # distinct names
    case: EncodeCase


def run_table(
    sizes: Sequence[int],
    encoders: Encoders,
    gc_modes: GcModes,
    settings: Settings,
    warnings: list[str],
) -> list[TableCase]:
    chosen = encoders.only(TABLE_ENCODERS)
    out = []
    for n in sizes:
        progress(f"[table] {n:,} rows")
        began = time.perf_counter()
        rows = table_rows(n)
        distinct = len({row["name"] for row in rows})
        progress(f"  made in {time.perf_counter() - began:.1f}s")
        reference = "check" if n <= TABLE_REFERENCE_MAX else "skip"
        case = run_case(f"{n:,} rows", rows, chosen, gc_modes, settings, warnings, reference)
        out.append(TableCase(n, distinct, case))
        del rows
    return out


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
    return "\n".join(parts)


def fmt_ns(seconds: float) -> str:
    return "–" if math.isnan(seconds) else f"{seconds * 1e9:,.0f}"


def single_table(cases: Sequence[EncodeCase], names: Sequence[str], markdown: bool) -> str:
    """Per-call times of the single records (GC on): wexo's and msgpack's in ns, the
    others as ratios to msgpack, the geometric mean of each ratio last."""
    label = "GC on"
    shown = [k for k in names if k != BASELINE]
    headers = ["message", "JSON B", "wexo ns", f"{BASELINE} ns", *shown, "spread"]
    rows = []
    for case in cases:
        times = case.times[label]
        r = ratios(case, label)
        rows.append(
            [
                case.name,
                f"{case.sizes['json']:,}" if "json" in case.sizes else "–",
                fmt_ns(times["wexo"].median),
                fmt_ns(times[BASELINE].median) if BASELINE in times else "–",
                *(fmt_ratio(r.get(k, math.nan)) for k in shown),
                f"{max(st.spread for st in times.values()):.0%}",
            ]
        )
    rs = [ratios(c, label) for c in cases]
    rows.append(
        [
            f"geomean ({len(cases)})",
            "",
            "",
            "",
            *(fmt_ratio(finite_geomean([r.get(k, math.nan) for r in rs])) for k in shown),
            "",
        ]
    )
    return harness.render(headers, rows, markdown, rule_before=len(cases))


def identity_line(cases: Sequence[EncodeCase], what: str) -> str:
    """How many of these cases' outputs were the reference encoder's bytes."""
    ran = [c for c in cases if c.identical is not None]
    off = [c for c in cases if c.identical_off is not None]
    line = (
        f"wexo.dumps gave the reference encoder's bytes on {sum(bool(c.identical) for c in ran)} "
        f"of {len(ran)} {what}"
    )
    if off:
        line += (
            f"; {OFF} gave the reference's with every choice off on "
            f"{sum(bool(c.identical_off) for c in off)} of {len(off)}"
        )
    skipped = len(cases) - len(ran)
    if skipped:
        line += f" ({skipped} not checked: the reference encoder is too slow there)"
    return line + "."


def table_table(cases: Sequence[TableCase], gc_label: str, markdown: bool) -> str:
    """The high-cardinality tables: bytes and nanoseconds per row, wexo over msgpack."""
    names = [k for k in TABLE_ENCODERS if any(k in t.case.sizes for t in cases)]
    headers = [
        "rows",
        "distinct names",
        "wexo B/row",
        f"{BASELINE} B/row",
        *(f"{k} ns/row" for k in names),
        f"wexo/{BASELINE}",
        f"off/{BASELINE}",
        "spread",
    ]
    rows = []
    for t in cases:
        times = t.case.times[gc_label]
        per_row = {k: times[k].median / t.rows for k in names if k in times}
        r = ratios(t.case, gc_label)
        rows.append(
            [
                f"{t.rows:,}",
                f"{t.distinct:,}",
                f"{t.case.sizes['wexo'] / t.rows:.2f}",
                (
                    f"{t.case.sizes[BASELINE] / t.rows:.2f}"
                    if BASELINE in t.case.sizes
                    else "–"
                ),
                *(f"{per_row[k] * 1e9:,.1f}" if k in per_row else "–" for k in names),
                fmt_ratio(r.get("wexo", math.nan)),
                fmt_ratio(r.get(OFF, math.nan)),
                f"{max(st.spread for st in times.values()):.0%}",
            ]
        )
    return harness.render(headers, rows, markdown)


# --------------------------------------------------------------------------- command line


def parse_sections(text: str) -> tuple[str, ...]:
    """--section's value: some of SECTIONS, comma-separated; given in their own order."""
    wanted = {w.strip() for w in text.split(",") if w.strip()}
    unknown = sorted(wanted - set(SECTIONS))
    if unknown or not wanted:
        raise argparse.ArgumentTypeError(
            f"{', '.join(unknown) or 'nothing'}: choose from {', '.join(SECTIONS)}"
        )
    return tuple(s for s in SECTIONS if s in wanted)


def parse_rows(text: str) -> tuple[int, ...]:
    """--rows's value: row counts of the generated tables, comma-separated."""
    try:
        sizes = tuple(int(w.replace("_", "")) for w in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r}: row counts, as 50000,200000") from None
    if not sizes or min(sizes) < DISTINCT_DEN:
        raise argparse.ArgumentTypeError(f"{text!r}: each table needs {DISTINCT_DEN} rows or more")
    return sizes


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    p = harness.arg_parser(__doc__)
    p.add_argument(
        "--section",
        type=parse_sections,
        default=SECTIONS,
        metavar="A,B",
        help=f"sections to run, some of {','.join(SECTIONS)} (default: all); --files and "
        "--gc apply to files and table, single runs with the collector on",
    )
    p.add_argument(
        "--rows",
        type=parse_rows,
        default=TABLE_ROWS,
        metavar="N,M",
        help="row counts of the high-cardinality tables (default: "
        f"{','.join(str(n) for n in TABLE_ROWS)})",
    )
    return p.parse_args(argv)


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    settings, gc_modes = harness.prepare(args)
    files = harness.select_files(args.corpus, args.files) if "files" in args.section else []
    encoders = load_encoders()
    progress(
        f"wexo: {sys.modules['wexo'].__file__}\n"
        f"wexo._ext: {sys.modules['wexo._ext'].__file__}"
    )
    began = time.perf_counter()
    h = "### " if args.markdown else "== "
    names = list(encoders.dumps)
    parts = [
        f"Machine: {harness.machine_line(encoders.versions)}; {args.clock} clock",
        "",
        f"`{OFF}` = wexo.dumps with every choice keyword False "
        f"({', '.join(k for k, _, _ in importlib.import_module('wexo._ext').CHOICES)}).",
    ]
    warnings: list[str] = []
    if "files" in args.section:
        result = run(files, encoders, gc_modes, settings)
        warnings += result.warnings  # printed with the other sections' at the end
        parts += ["", report(result, encoders, args.markdown)]
    if "single" in args.section:
        cases = run_single(args.corpus, encoders, settings, warnings)
        parts += [
            "",
            f"{h}Single records, GC on (ns per call; ratio to {BASELINE}.packb)",
            "",
            single_table(cases, names, args.markdown),
            "",
            identity_line(cases, "records"),
        ]
    if "table" in args.section:
        tables = run_table(args.rows, encoders, gc_modes, settings, warnings)
        parts += [
            "",
            f"{h}High-cardinality table (rows of id, name, v; "
            f"{DISTINCT_NUM}/{DISTINCT_DEN} of the names distinct)",
        ]
        for label, _ in gc_modes:
            parts += ["", f"{label}:", "", table_table(tables, label, args.markdown)]
        parts += ["", identity_line([t.case for t in tables], "tables")]
    if warnings:
        parts += ["", "Warnings:", *(f"- {w}" for w in warnings)]
    progress(f"done in {time.perf_counter() - began:.0f} s")
    print("\n".join(parts))
    return 0


if __name__ == "__main__":
    sys.exit(main())
