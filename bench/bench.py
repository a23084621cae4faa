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

import argparse
import contextlib
import datetime as dt
import gc
import importlib
import importlib.metadata
import itertools
import json
import json.scanner
import marshal
import math
import os
import pickle
import platform
import statistics
import sys
import time
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from types import ModuleType
from typing import Any, TypeVar

# The documents the repository ships; --corpus DIR measures a folder of more.
DEFAULT_CORPUS = Path(__file__).resolve().parents[1] / "tests" / "data" / "corpus"

# Arrays or id-keyed maps of homogeneous records (see the corpus's SOURCES.md).
RECORD_HEAVY: tuple[str, ...] = (
    "flights-20k",
    "movies",
    "random",
    "apache_builds",
    "gsoc-2018",
    "citm_catalog",
    "github_events",
    "update-center",
)

# A flat five-key object, about 60 bytes of compact JSON.
SMALL_NAME = "small message"
SMALL_MESSAGE: dict[str, Any] = {
    "id": 12345,
    "name": "alice",
    "active": True,
    "score": 98.5,
    "tags": "x",
}

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

REQUIREMENTS_HINT = "pip install -r bench/requirements.txt"

Decoder = Callable[[bytes], Any]
Encoder = Callable[[Any], bytes]


# --------------------------------------------------------------------------- codecs


@dataclass(frozen=True)
class DecoderSpec:
    name: str  # column title
    encoding: str  # key into ENCODINGS: the payload it decodes
    loads: Decoder


@dataclass(frozen=True)
class Codecs:
    encoders: dict[str, Encoder]
    decoders: tuple[DecoderSpec, ...]
    versions: dict[str, str]


def _require(module: str) -> ModuleType:
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise SystemExit(
            f"bench: cannot import {module} ({exc}); {REQUIREMENTS_HINT}"
        ) from exc


def _version(mod: ModuleType, dist: str) -> str:
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:  # e.g. found on PYTHONPATH
        return str(getattr(mod, "__version__", "?"))


def _compact_json(tree: Any) -> bytes:
    return json.dumps(tree, separators=(",", ":"), ensure_ascii=False).encode()


def load_codecs() -> Codecs:
    wexo = _require("wexo")
    wexo_native = _require("wexo_native")
    orjson = _require("orjson")
    msgpack = _require("msgpack")
    cbor2 = _require("cbor2")

    encoders: dict[str, Encoder] = {
        "json": _compact_json,
        "wexo": wexo.dumps,
        "msgpack": msgpack.packb,
        "cbor": cbor2.dumps,
        "pickle": lambda tree: pickle.dumps(tree, protocol=5),
        "marshal": marshal.dumps,
    }
    decoders = (
        DecoderSpec("wexo", "wexo", wexo_native.loads_binary),
        DecoderSpec("orjson", "json", orjson.loads),
        DecoderSpec("json", "json", json.loads),
        DecoderSpec("msgpack", "msgpack", msgpack.unpackb),
        DecoderSpec("cbor2", "cbor", cbor2.loads),
        DecoderSpec("pickle", "pickle", pickle.loads),
        DecoderSpec("marshal", "marshal", marshal.loads),
    )
    versions = {
        "orjson": _version(orjson, "orjson"),
        "msgpack": _version(msgpack, "msgpack"),
        "cbor2": _version(cbor2, "cbor2"),
    }
    # A pure-Python fallback would make a peer look far slower than it is.
    for entry in decoders:
        if entry.name != "json" and not _is_native(entry.loads):
            warn(
                f"{entry.name}: loads is not a native function; is its C extension missing?"
            )
    if json.scanner.make_scanner is not json.scanner.c_make_scanner:  # type: ignore[attr-defined]
        warn("json: the C scanner (_json) is missing; json.loads runs in pure Python")
    return Codecs(encoders, decoders, versions)


def _is_native(fn: Callable[..., Any]) -> bool:
    return type(fn).__name__ in (
        "builtin_function_or_method",
        "cython_function_or_method",
    )


def encode_all(tree: Any, encoders: Mapping[str, Encoder]) -> dict[str, bytes]:
    return {key: encoders[key](tree) for key in ENCODINGS}


# --------------------------------------------------------------------------- sanity check


def first_difference(want: Any, got: Any, path: str = "$") -> str | None:
    """Where got first differs from want, or None if equal up to the known conversions.

    Accepted: a float with an integral value decoded as the equal int; a tuple in place
    of a list. Everything else must match in type, value and key order.
    """
    if isinstance(want, dict):
        if type(got) is not dict:
            return f"{path}: dict decoded as {type(got).__name__}"
        if list(want) != list(got):
            same_keys = want.keys() == got.keys()
            return f"{path}: {'key order differs' if same_keys else 'keys differ'}"
        for key, value in want.items():
            diff = first_difference(value, got[key], f"{path}[{key!r}]")
            if diff is not None:
                return diff
        return None
    if isinstance(want, (list, tuple)):
        if type(got) not in (list, tuple):
            return f"{path}: list decoded as {type(got).__name__}"
        if len(got) != len(want):
            return f"{path}: {len(want)} items decoded as {len(got)}"
        for i, (w, g) in enumerate(zip(want, got)):
            diff = first_difference(w, g, f"{path}[{i}]")
            if diff is not None:
                return diff
        return None
    if type(want) is float and type(got) is int and want.is_integer() and want == got:
        return None
    if type(got) is not type(want):
        return f"{path}: {type(want).__name__} {want!r} decoded as {type(got).__name__} {got!r}"
    if got != want and not (
        type(want) is float and math.isnan(want) and math.isnan(got)
    ):
        return f"{path}: {want!r} decoded as {got!r}"
    return None


def check_decoders(
    label: str,
    tree: Any,
    payloads: Mapping[str, bytes],
    decoders: Sequence[DecoderSpec],
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


@dataclass(frozen=True)
class Settings:
    sample_s: float  # target duration of one timed loop of k calls
    budget_s: (
        float  # keep adding rounds until every decoder has been timed this long ...
    )
    min_rounds: int  # ... and at least this many rounds have run
    max_rounds: int


@dataclass(frozen=True)
class Stats:
    median: float  # seconds per call
    q1: float
    q3: float
    rounds: int
    loops: int  # calls per sample (k)

    @property
    def spread(self) -> float:
        """Interquartile range relative to the median."""
        return (self.q3 - self.q1) / self.median if self.median > 0 else 0.0


def time_loop(fn: Callable[[Any], Any], arg: Any, k: int) -> float:
    """Seconds taken by k calls of fn(arg); each result is dropped (and freed) at once."""
    calls = itertools.repeat(None, k)
    start = time.perf_counter()
    for _ in calls:
        fn(arg)
    return time.perf_counter() - start


def calibrate(fn: Callable[[Any], Any], arg: Any, target_s: float) -> int:
    """The number of calls k for which one timed loop lasts about target_s (also warms up)."""
    fn(arg)
    k = 1
    while True:
        elapsed = time_loop(fn, arg, k)
        if elapsed >= target_s / 4 or k >= 1 << 30:
            return max(1, round(k * target_s / elapsed)) if elapsed > 0 else k
        k *= 2 if elapsed > target_s / 40 else 10


T = TypeVar("T")


def rotated(items: Sequence[T], shift: int) -> list[T]:
    shift %= len(items)
    return [*items[shift:], *items[:shift]]


def summarize(samples: Sequence[float], loops: int) -> Stats:
    if len(samples) >= 2:
        q1, _, q3 = statistics.quantiles(samples, n=4, method="inclusive")
    else:
        q1 = q3 = samples[0]
    return Stats(statistics.median(samples), q1, q3, len(samples), loops)


@dataclass(frozen=True)
class Call:
    """One function timed on one argument: a decoder on its payload, an encoder on the tree."""

    name: str
    fn: Callable[[Any], Any]
    arg: Any


def measure(
    payloads: Mapping[str, bytes], decoders: Sequence[DecoderSpec], settings: Settings
) -> dict[str, Stats]:
    """Per-call time of each decoder on its payload, with rounds interleaving the decoders."""
    calls = [Call(e.name, e.loads, payloads[e.encoding]) for e in decoders]
    return measure_calls(calls, settings)


def measure_calls(calls: Sequence[Call], settings: Settings) -> dict[str, Stats]:
    """Per-call time of each function on its argument, with rounds interleaving the calls."""
    loops = {c.name: calibrate(c.fn, c.arg, settings.sample_s) for c in calls}
    samples: dict[str, list[float]] = {c.name: [] for c in calls}
    spent = dict.fromkeys(samples, 0.0)
    for round_no in range(settings.max_rounds):
        for c in rotated(calls, round_no):
            k = loops[c.name]
            elapsed = time_loop(c.fn, c.arg, k)
            samples[c.name].append(elapsed / k)
            spent[c.name] += elapsed
        if (
            round_no + 1 >= settings.min_rounds
            and min(spent.values()) >= settings.budget_s
        ):
            break
    return {name: summarize(times, loops[name]) for name, times in samples.items()}


@contextlib.contextmanager
def gc_mode(enabled: bool) -> Iterator[None]:
    """Runs the block with the collector on or off; what the harness holds is frozen out of it.

    gc.freeze() moves every object alive now (the tree, the payloads, the imported
    modules) to the permanent generation, so that collections triggered by a decoder's
    allocations cost what they would in a process that holds little else.
    """
    was_enabled = gc.isenabled()
    gc.collect()
    gc.freeze()
    if enabled:
        gc.enable()
    else:
        gc.disable()
    try:
        yield
    finally:
        gc.unfreeze()
        if was_enabled:
            gc.enable()
        else:
            gc.disable()


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


def warn(message: str) -> None:
    print(f"warning: {message}", file=sys.stderr, flush=True)


def progress(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def run_case(
    name: str,
    tree: Any,
    codecs: Codecs,
    gc_modes: Sequence[tuple[str, bool]],
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
    for label, enabled in gc_modes:
        began = time.perf_counter()
        with gc_mode(enabled):
            result.times[label] = measure(payloads, codecs.decoders, settings)
        steps.append(f"{label} {time.perf_counter() - began:.1f}s")
    progress(f"  {name}: {', '.join(steps)}")
    return result


def select_files(corpus: Path, wanted: str | None) -> list[Path]:
    available = {p.stem: p for p in sorted(corpus.glob("*.json"))}
    if not available:
        raise SystemExit(f"bench: no *.json files in {corpus}")
    if wanted is None:
        return list(available.values())
    chosen = []
    for item in (w.strip() for w in wanted.split(",")):
        stem = item.removesuffix(".json")
        if stem not in available:
            raise SystemExit(
                f"bench: no file {item!r} in {corpus}; have: {', '.join(available)}"
            )
        chosen.append(available[stem])
    return chosen


def run(
    files: Sequence[Path],
    codecs: Codecs,
    gc_modes: Sequence[tuple[str, bool]],
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


def geomean(values: Sequence[float]) -> float:
    return statistics.geometric_mean(values) if values else math.nan


def ratios(case: CaseResult, gc_label: str) -> dict[str, float]:
    times = case.times[gc_label]
    ref = times[REFERENCE].median
    return {name: stats.median / ref for name, stats in times.items()}


def fmt_ratio(x: float) -> str:
    return "–" if math.isnan(x) else f"{x:.2f}"


def fmt_us(seconds: float) -> str:
    us = seconds * 1e6
    if us >= 100:
        return f"{us:,.0f}"
    if us >= 10:
        return f"{us:.1f}"
    return f"{us:.2f}" if us >= 1 else f"{us:.3f}"


def render(
    headers: Sequence[str],
    rows: Sequence[Sequence[str]],
    markdown: bool,
    rule_before: int | None = None,
) -> str:
    """A table, first column left-aligned and the others right-aligned.

    rule_before: index of the row before which the plain-text form draws a rule
    (summary rows); Markdown has no such rules and keeps one body.
    """
    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(headers)]

    def line(cells: Sequence[str]) -> str:
        padded = [
            c.ljust(w) if i == 0 else c.rjust(w)
            for i, (c, w) in enumerate(zip(cells, widths))
        ]
        return f"| {' | '.join(padded)} |" if markdown else "  ".join(padded)

    out = [line(headers)]
    if markdown:
        out.append(
            "| "
            + " | ".join(
                ("-" * (w - 1) + ":") if i else "-" * w for i, w in enumerate(widths)
            )
            + " |"
        )
    else:
        out.append("  ".join("-" * w for w in widths))
    for i, row in enumerate(rows):
        if not markdown and i == rule_before:
            out.append("  ".join("-" * w for w in widths))
        out.append(line(row))
    return "\n".join(out)


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


def cpu_model() -> str:
    with contextlib.suppress(OSError):
        for text in Path("/proc/cpuinfo").read_text().splitlines():
            key, _, value = text.partition(":")
            if key.strip() == "model name":
                return value.strip()
    return platform.processor() or platform.machine()


def machine_line(versions: Mapping[str, str]) -> str:
    peers = ", ".join(f"{name} {v}" for name, v in versions.items())
    return (
        f"{cpu_model()} ({os.cpu_count()} logical CPUs), {platform.system()}, "
        f"{platform.python_implementation()} {platform.python_version()}; "
        f"{peers}; {dt.date.today().isoformat()}"
    )


def rounds_span(cases: Sequence[Any]) -> str:
    """The fewest and most rounds any timing of these cases took, as "9" or "9–81"."""
    rounds = [st.rounds for case in cases for t in case.times.values() for st in t.values()]
    low, high = min(rounds), max(rounds)
    return f"{low}" if low == high else f"{low}–{high}"


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


def settings_from(args: argparse.Namespace) -> Settings:
    if args.quick:
        sample_s, budget_s, min_rounds = 0.005, 0.05, 5
    else:
        sample_s, budget_s, min_rounds = 0.02, 1.0, 9
    if args.time is not None:
        budget_s = args.time
    if args.rounds is not None:
        min_rounds = args.rounds
    return Settings(sample_s, budget_s, min_rounds, max_rounds=max(min_rounds, 10_000))


def positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def nonnegative_float(text: str) -> float:
    value = float(text)
    if not value >= 0:
        raise argparse.ArgumentTypeError("must be at least 0")
    return value


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    return arg_parser(__doc__).parse_args(argv)


def arg_parser(doc: str | None) -> argparse.ArgumentParser:
    """The options every benchmark script of bench/ takes; doc's first paragraph describes it."""
    p = argparse.ArgumentParser(description=(doc or "").split("\n\n")[0])
    p.add_argument(
        "--corpus",
        type=Path,
        default=DEFAULT_CORPUS,
        help=f"directory of *.json documents (default: {DEFAULT_CORPUS})",
    )
    p.add_argument(
        "--files",
        metavar="A,B",
        help="comma-separated file names (with or without .json); default all",
    )
    p.add_argument(
        "--gc",
        choices=("on", "off", "both"),
        default="both",
        help="garbage collector during timing (default: both)",
    )
    p.add_argument(
        "--quick",
        action="store_true",
        help="shorter loops and fewer rounds (~30 s for the corpus)",
    )
    p.add_argument(
        "--rounds",
        type=positive_int,
        metavar="N",
        help="minimum rounds per file (default 9, or 5 with --quick)",
    )
    p.add_argument(
        "--time",
        type=nonnegative_float,
        metavar="S",
        help="minimum seconds each function is timed per file; 0 runs exactly --rounds rounds "
        "(default 1.0, or 0.05 with --quick)",
    )
    p.add_argument(
        "--cpu", type=int, metavar="N", help="pin the process to this CPU (Linux)"
    )
    p.add_argument(
        "--markdown", action="store_true", help="print the tables as Markdown"
    )
    return p


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    if args.cpu is not None:
        os.sched_setaffinity(0, {args.cpu})
    settings = settings_from(args)
    files = select_files(args.corpus, args.files)
    codecs = load_codecs()
    gc_modes = [
        (f"GC {m}", m == "on")
        for m in (("off", "on") if args.gc == "both" else (args.gc,))
    ]
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
