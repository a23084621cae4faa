"""The benchmark harness every script of bench/ drives.

A driver names its contenders (``Call``: a function and the argument it is timed
on) and its inputs; the harness times them and formats the figures:

- timing: each contender is calibrated to a loop of about ``Settings.sample_s``
  (``for _ in range(k): fn(arg)``, so freeing each result is timed), then rounds
  run every contender once, in an order rotated each round (interleaving, so that
  drift of the machine spreads over all of them), until each has been timed
  ``budget_s`` seconds and at least ``min_rounds`` rounds have run;
- clock: ``time.perf_counter`` (wall) or the thread's CPU time (``--clock cpu``,
  which leaves out time spent descheduled on a busy machine);
- figures: per contender the median, quartiles and best of the per-call times
  (``Stats``), the collector on or off (``gc_mode``, ``measure_modes``);
- report: geometric means, the fixed-width or Markdown table of the README
  (``render``), the machine's line, the common command-line options
  (``arg_parser``) and the settings they give;
- checks: ``first_difference``, where a decoded tree first differs from the one
  encoded.

Drivers: bench.py (decoders of every format), bench_encode.py (encoders),
bench_arrow.py (loads_arrow), bench_stream.py (streams), single.py (one record
at a time). test_bench.py checks the harness and runs each driver end to end.
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
import math
import os
import platform
import statistics
import sys
import time
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass
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

REQUIREMENTS_HINT = "pip install -r bench/requirements.txt"

Decoder = Callable[[bytes], Any]
Encoder = Callable[[Any], bytes]


# --------------------------------------------------------------------------- imports


def require(module: str) -> ModuleType:
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise SystemExit(
            f"bench: cannot import {module} ({exc}); {REQUIREMENTS_HINT}"
        ) from exc


def version(mod: ModuleType, dist: str) -> str:
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:  # e.g. found on PYTHONPATH
        return str(getattr(mod, "__version__", "?"))


def is_native(fn: Callable[..., Any]) -> bool:
    return type(fn).__name__ in (
        "builtin_function_or_method",
        "cython_function_or_method",
    )


def compact_json(tree: Any) -> bytes:
    return json.dumps(tree, separators=(",", ":"), ensure_ascii=False).encode()


def warn(message: str) -> None:
    print(f"warning: {message}", file=sys.stderr, flush=True)


def progress(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


# --------------------------------------------------------------------------- checks


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


# --------------------------------------------------------------------------- timing


@dataclass(frozen=True)
class Settings:
    sample_s: float  # target duration of one timed loop of k calls
    budget_s: (
        float  # keep adding rounds until every contender has been timed this long ...
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
    best: float = math.nan  # the fastest sample, seconds per call

    @property
    def spread(self) -> float:
        """Interquartile range relative to the median."""
        return (self.q3 - self.q1) / self.median if self.median > 0 else 0.0


@dataclass(frozen=True)
class Call:
    """One contender: a function timed on one argument (a decoder on its payload, an
    encoder on the tree)."""

    name: str
    fn: Callable[[Any], Any]
    arg: Any


# The clocks a run may use: wall time, or the thread's CPU time.
CLOCKS: dict[str, Callable[[], float]] = {"wall": time.perf_counter, "cpu": time.thread_time}
_clock = time.perf_counter


def use_clock(name: str) -> None:
    """Times every following loop with this clock (a key of CLOCKS)."""
    global _clock
    _clock = CLOCKS[name]


def time_loop(fn: Callable[[Any], Any], arg: Any, k: int) -> float:
    """Seconds taken by k calls of fn(arg); each result is dropped (and freed) at once."""
    clock = _clock
    calls = itertools.repeat(None, k)
    start = clock()
    for _ in calls:
        fn(arg)
    return clock() - start


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
    return Stats(statistics.median(samples), q1, q3, len(samples), loops, min(samples))


def measure_calls(calls: Sequence[Call], settings: Settings) -> dict[str, Stats]:
    """Per-call time of each contender on its argument, with rounds interleaving them."""
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
    modules) to the permanent generation, so that collections triggered by a contender's
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


GcModes = Sequence[tuple[str, bool]]


def measure_modes(
    calls: Sequence[Call], settings: Settings, gc_modes: GcModes, steps: list[str] | None = None
) -> dict[str, dict[str, Stats]]:
    """measure_calls under each collector setting: gc label -> contender -> stats. Appends
    "label N.Ns" (the time each setting took) to steps when given."""
    out = {}
    for label, enabled in gc_modes:
        began = time.perf_counter()
        with gc_mode(enabled):
            out[label] = measure_calls(calls, settings)
        if steps is not None:
            steps.append(f"{label} {time.perf_counter() - began:.1f}s")
    return out


# --------------------------------------------------------------------------- reporting


def geomean(values: Sequence[float]) -> float:
    return statistics.geometric_mean(values) if values else math.nan


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
    """The fewest and most rounds any timing of these cases took, as "9" or "9–81"
    (each case has times: gc label -> contender -> Stats)."""
    rounds = [st.rounds for case in cases for t in case.times.values() for st in t.values()]
    low, high = min(rounds), max(rounds)
    return f"{low}" if low == high else f"{low}–{high}"


# --------------------------------------------------------------------------- command line


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


def arg_parser(doc: str | None, gc_choice: bool = True, files: bool = True) -> argparse.ArgumentParser:
    """The options every benchmark script of bench/ takes; doc's first paragraph describes it.
    Without gc_choice there is no --gc (the script fixes the collector), without files no
    --files."""
    p = argparse.ArgumentParser(description=(doc or "").split("\n\n")[0])
    p.add_argument(
        "--corpus",
        type=Path,
        default=DEFAULT_CORPUS,
        help=f"directory of *.json documents (default: {DEFAULT_CORPUS})",
    )
    if files:
        p.add_argument(
            "--files",
            metavar="A,B",
            help="comma-separated file names (with or without .json); default all",
        )
    if gc_choice:
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
    p.add_argument(
        "--clock",
        choices=tuple(CLOCKS),
        default="wall",
        help="wall: time.perf_counter; cpu: the thread's CPU time, which leaves out time "
        "spent descheduled on a busy machine (default: wall)",
    )
    return p


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


def prepare(args: argparse.Namespace) -> tuple[Settings, list[tuple[str, bool]]]:
    """What the common options ask before a run: the CPU pinned, the clock chosen; the
    timing settings and the collector settings ("GC off", "GC on") to run under."""
    if args.cpu is not None:
        os.sched_setaffinity(0, {args.cpu})
    use_clock(args.clock)
    which = getattr(args, "gc", "on")
    modes = [(f"GC {m}", m == "on") for m in (("off", "on") if which == "both" else (which,))]
    return settings_from(args), modes
