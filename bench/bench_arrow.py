#!/usr/bin/env python3
"""Columnar benchmark: wexo.loads_arrow against loads_binary and loads_binary + from_pylist.

The corpus's record lists (flights-20k and movies whole, random's "result",
citm_catalog's "performances", twitter's "statuses") are each encoded once with
wexo.dumps; then three calls are timed on those bytes: wexo.loads_arrow (a
pyarrow.Table, no Python object per cell), wexo_native.loads_binary (a list of
dicts), and loads_binary followed by pyarrow.Table.from_pylist (the way to the
same table without loads_arrow; it may fail, e.g. on a column mixing str and int,
and is then reported as failing, with pyarrow's reason). Timing is
bench/harness.py's: interleaved rotating rounds, the median per call, the
result freed inside the timed loop. Then, in a child process per list and call, the memory a single call
takes: the high-water mark of the resident set over the resident set just
before, against the Arrow table's own buffers (table.nbytes).

Run ``python bench/bench_arrow.py --help`` for the options; see bench/README.md.
"""

from __future__ import annotations

import json
import math
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Sequence
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

# (label, corpus file, how to take the list of records out of its tree)
LISTS: tuple[tuple[str, str, Callable[[Any], Any]], ...] = (
    ("flights-20k", "flights-20k", lambda t: t),
    ("movies", "movies", lambda t: t),
    ("random.result", "random", lambda t: t["result"]),
    ("citm_catalog.performances", "citm_catalog", lambda t: t["performances"]),
    ("twitter.statuses", "twitter", lambda t: t["statuses"]),
    ("github_events", "github_events", lambda t: t),
)

ARROW, BINARY, PYLIST = "loads_arrow", "loads_binary", "from_pylist"
MEMORY_LIST = "flights-20k"  # the list whose peak memory has a target
MEMORY_RUNS = 5  # child processes per list and call; the median peak is kept
WARM_ROWS = 10  # the child processes warm up on this many leading records (few: what
# the warm-up frees, the measured call could reuse unseen)

# Targets of the columnar path.
TARGET_VS_PYLIST = 0.2  # geomean of loads_arrow / (loads_binary + from_pylist)
TARGET_VS_BINARY = 1.0  # loads_arrow / loads_binary, on every list
TARGET_FLIGHTS = 0.25  # loads_arrow / loads_binary on flights-20k
TARGET_MEMORY = 2.0  # peak memory of loads_arrow / table.nbytes on flights-20k


@dataclass(frozen=True)
class Functions:
    loads_arrow: Callable[[bytes], Any]
    loads_binary: Callable[[bytes], Any]
    from_pylist: Callable[[Any], Any]
    dumps: Callable[[Any], bytes]
    versions: dict[str, str]


def load_functions() -> Functions:
    wexo = harness.require("wexo")
    wexo_native = harness.require("wexo_native")
    pyarrow = harness.require("pyarrow")
    if not hasattr(wexo, "loads_arrow"):
        raise SystemExit(f"bench: {wexo.__file__} has no loads_arrow")
    return Functions(
        wexo.loads_arrow,
        wexo_native.loads_binary,
        pyarrow.Table.from_pylist,
        wexo.dumps,
        {"pyarrow": harness.version(pyarrow, "pyarrow")},
    )


# --------------------------------------------------------------------------- checks


def arrow_difference(want: Any, got: Any, path: str = "$") -> str | None:
    """Where got (an Arrow table's to_pylist()) first differs from want (loads_binary's rows).

    Accepted, as loads_arrow promises: numbers equal by value (an int in a float64
    column comes back as a float); a key got has and want lacks holds None (a field
    absent from a sparse row, a struct field another row has). A bool stays a bool.
    """
    if isinstance(want, dict):
        if type(got) is not dict:
            return f"{path}: dict read back as {type(got).__name__}"
        for key, value in want.items():
            if key not in got:
                return f"{path}: key {key!r} missing"
            diff = arrow_difference(value, got[key], f"{path}[{key!r}]")
            if diff is not None:
                return diff
        extra = [k for k in got if k not in want and got[k] is not None]
        return f"{path}: extra key {extra[0]!r} = {got[extra[0]]!r}" if extra else None
    if isinstance(want, list):
        if type(got) is not list:
            return f"{path}: list read back as {type(got).__name__}"
        if len(got) != len(want):
            return f"{path}: {len(want)} items read back as {len(got)}"
        for i, (w, g) in enumerate(zip(want, got)):
            diff = arrow_difference(w, g, f"{path}[{i}]")
            if diff is not None:
                return diff
        return None
    numbers = (int, float)
    if type(want) in numbers and type(got) in numbers:
        same = want == got or (math.isnan(want) and math.isnan(got))
        return None if same else f"{path}: {want!r} read back as {got!r}"
    if type(got) is not type(want) or got != want:
        return f"{path}: {type(want).__name__} {want!r} read back as {type(got).__name__} {got!r}"
    return None


# --------------------------------------------------------------------------- memory

# Run in a child process: argv = sys.path as JSON, the call, the payload's file,
# the warm-up payload's file. Prints one JSON object.
MEMORY_CHILD = r"""
import gc, json, re, resource, sys
sys.path[:] = json.loads(sys.argv[1])
call, path, warm_path = sys.argv[2:5]
import pyarrow, wexo, wexo_native

def status(key):
    with open("/proc/self/status") as f:
        return int(re.search(rf"^{key}:\s+(\d+) kB", f.read(), re.M).group(1)) * 1024

if call == "loads_arrow":
    fn = wexo.loads_arrow
elif call == "loads_binary":
    fn = wexo_native.loads_binary
else:
    fn = lambda b: pyarrow.Table.from_pylist(wexo_native.loads_binary(b))
with open(path, "rb") as f:
    data = f.read()
with open(warm_path, "rb") as f:
    warm = f.read()
for _ in range(3):  # imports, lazy set-up and allocator arenas, on a few records
    fn(warm)
gc.collect()
before = status("VmRSS")
try:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the high-water mark starts again from the resident set now
    method = "VmHWM after /proc/self/clear_refs reset"
except OSError:
    method = "ru_maxrss (process lifetime: an upper bound)"
result = fn(data)
if method.startswith("VmHWM"):
    peak = status("VmHWM")
else:
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
after = status("VmRSS")
nbytes = result.nbytes if isinstance(result, pyarrow.Table) else None
print(json.dumps({"peak": peak - before, "held": after - before, "nbytes": nbytes,
                  "method": method}))
"""


@dataclass(frozen=True)
class Memory:
    peak: int  # bytes: high-water mark of the resident set during the call over the set before
    held: int  # bytes: the resident set after the call (the result still held) over before
    nbytes: int | None  # table.nbytes, for a call that returns a table
    method: str


def measure_memory(call: str, payload: bytes, warm: bytes, runs: int = MEMORY_RUNS) -> Memory:
    """One call on payload in each of runs fresh child processes, warmed up on the warm
    payload; the run of median peak."""
    found = sorted((memory_once(call, payload, warm) for _ in range(runs)), key=lambda m: m.peak)
    return found[len(found) // 2]


def memory_once(call: str, payload: bytes, warm: bytes) -> Memory:
    with tempfile.TemporaryDirectory() as tmp:
        data, warm_path = Path(tmp) / "data.wexo", Path(tmp) / "warm.wexo"
        data.write_bytes(payload)
        warm_path.write_bytes(warm)
        done = subprocess.run(
            [sys.executable, "-c", MEMORY_CHILD, json.dumps(sys.path), call, str(data),
             str(warm_path)],
            capture_output=True, text=True, check=False,
        )
    if done.returncode != 0:
        raise RuntimeError(f"{call}: child exited {done.returncode}: {done.stderr.strip()}")
    out = json.loads(done.stdout)
    return Memory(out["peak"], out["held"], out["nbytes"], out["method"])


# --------------------------------------------------------------------------- running


@dataclass
class ArrowCase:
    name: str
    rows: int
    size: int  # bytes of the wexo.dumps encoding
    columns: int  # of the Arrow table
    nbytes: int  # table.nbytes: the Arrow buffers of the table loads_arrow gives
    fails: str | None  # why loads_binary + from_pylist fails, or None
    differs: str | None  # where from_pylist's table differs from the rows, or None
    times: dict[str, dict[str, Stats]] = field(default_factory=dict)  # gc label -> call -> stats
    memory: dict[str, Memory] = field(default_factory=dict)  # call -> one call's memory


@dataclass
class ArrowRun:
    cases: list[ArrowCase]
    gc_labels: list[str]
    settings: Settings
    clock: str
    warnings: list[str]


def select_lists(wanted: str | None) -> list[tuple[str, str, Callable[[Any], Any]]]:
    if wanted is None:
        return list(LISTS)
    chosen = []
    for item in (w.strip().removesuffix(".json") for w in wanted.split(",")):
        match = [entry for entry in LISTS if item in (entry[0], entry[1])]
        if not match:
            names = ", ".join(label for label, _, _ in LISTS)
            raise SystemExit(f"bench: no record list {item!r}; have: {names}")
        chosen += match
    return chosen


def run_case(
    name: str,
    records: list[Any],
    fns: Functions,
    gc_modes: GcModes,
    settings: Settings,
    memory: bool,
    warnings: list[str],
) -> ArrowCase:
    def note(message: str) -> None:
        warn(message)
        warnings.append(message)

    start = time.perf_counter()
    payload = fns.dumps(records)
    rows = fns.loads_binary(payload)
    diff = harness.first_difference(records, rows)
    if diff is not None:
        note(f"{name}: loads_binary differs from the tree: {diff}")
    table = fns.loads_arrow(payload)
    diff = arrow_difference(rows, table.to_pylist())
    if diff is not None:
        note(f"{name}: loads_arrow differs from loads_binary: {diff}")
    fails = differs = None
    try:
        differs = arrow_difference(rows, fns.from_pylist(rows).to_pylist())
    except Exception as exc:  # noqa: BLE001 -- reported in the table, and not timed
        fails = f"{type(exc).__name__}: {exc}"
    case = ArrowCase(
        name, len(rows), len(payload), table.num_columns, table.nbytes, fails, differs
    )
    del rows, table

    def pylist(data: bytes) -> Any:
        return fns.from_pylist(fns.loads_binary(data))

    calls = [
        harness.Call(ARROW, fns.loads_arrow, payload),
        harness.Call(BINARY, fns.loads_binary, payload),
    ]
    if fails is None:
        calls.append(harness.Call(PYLIST, pylist, payload))
    steps = [f"encode and check {time.perf_counter() - start:.1f}s"]
    case.times = harness.measure_modes(calls, settings, gc_modes, steps)
    if memory:
        began = time.perf_counter()
        warm = fns.dumps(records[:WARM_ROWS])
        for call in calls:
            try:
                case.memory[call.name] = measure_memory(call.name, payload, warm)
            except (RuntimeError, ValueError) as exc:
                note(f"{name}: memory of {call.name} not measured: {exc}")
        steps.append(f"memory {time.perf_counter() - began:.1f}s")
    progress(f"  {name}: {', '.join(steps)}")
    return case


def run(
    lists: Sequence[tuple[str, str, Callable[[Any], Any]]],
    corpus: Path,
    fns: Functions,
    gc_modes: GcModes,
    settings: Settings,
    clock: str,
    memory: bool,
) -> ArrowRun:
    warnings: list[str] = []
    cases = []
    for i, (label, stem, pick) in enumerate(lists, 1):
        progress(f"[{i}/{len(lists)}] {label}")
        path = corpus / f"{stem}.json"
        if not path.exists():  # the repository ships a few documents; --corpus DIR has more
            warnings.append(f"no {path.name} in {corpus}: {label} left out")
            progress(f"  no {path.name}: left out")
            continue
        records = pick(json.loads(path.read_bytes()))
        cases.append(run_case(label, records, fns, gc_modes, settings, memory, warnings))
        del records
    return ArrowRun(cases, [label for label, _ in gc_modes], settings, clock, warnings)


# --------------------------------------------------------------------------- reporting


def ratios(case: ArrowCase, gc_label: str) -> tuple[float, float]:
    """loads_arrow's median over (loads_binary + from_pylist)'s (NaN where that fails), and
    over loads_binary's."""
    t = case.times[gc_label]
    arrow = t[ARROW].median
    to_pylist = arrow / t[PYLIST].median if PYLIST in t else math.nan
    return to_pylist, arrow / t[BINARY].median


def finite(values: Sequence[float]) -> list[float]:
    return [v for v in values if not math.isnan(v)]


def times_table(run_: ArrowRun, gc_label: str, markdown: bool) -> str:
    headers = [
        "record list",
        "rows",
        "columns",
        "WEXO bytes",
        "loads_arrow µs",
        "loads_binary µs",
        "+ from_pylist µs",
        "arrow / (binary + from_pylist)",
        "arrow / binary",
        "spread",
    ]
    rows = []
    for case in run_.cases:
        t = case.times[gc_label]
        vs_pylist, vs_binary = ratios(case, gc_label)
        rows.append([
            case.name,
            f"{case.rows:,}",
            f"{case.columns}",
            f"{case.size:,}",
            fmt_us(t[ARROW].median),
            fmt_us(t[BINARY].median),
            fmt_us(t[PYLIST].median) if PYLIST in t else "fails",
            fmt_ratio(vs_pylist) if PYLIST in t else "fails",
            fmt_ratio(vs_binary),
            f"{max(s.spread for s in t.values()):.0%}",
        ])
    rs = [ratios(c, gc_label) for c in run_.cases]
    n_pylist = len(finite([r[0] for r in rs]))
    rows.append([
        f"geomean ({n_pylist} / {len(rs)} lists)" if n_pylist < len(rs) else "geomean",
        *([""] * 6),
        fmt_ratio(geomean(finite([r[0] for r in rs]))),
        fmt_ratio(geomean([r[1] for r in rs])),
        "",
    ])
    rows.append([
        "max over lists",
        *([""] * 6),
        fmt_ratio(max(finite([r[0] for r in rs]), default=math.nan)),
        fmt_ratio(max(r[1] for r in rs)),
        "",
    ])
    return harness.render(headers, rows, markdown, rule_before=len(run_.cases))


def fmt_mib(n: int | None) -> str:
    return "–" if n is None else f"{n / 2**20:,.1f}"


def memory_table(run_: ArrowRun, markdown: bool) -> str:
    headers = [
        "record list",
        "table.nbytes MiB",
        "loads_arrow peak MiB",
        "peak / nbytes",
        "held / nbytes",
        "loads_binary peak MiB",
        "+ from_pylist peak MiB",
    ]
    rows = []
    for case in run_.cases:
        m = case.memory
        arrow = m.get(ARROW)
        rows.append([
            case.name,
            fmt_mib(case.nbytes),
            fmt_mib(arrow.peak) if arrow else "–",
            f"{arrow.peak / case.nbytes:.2f}" if arrow else "–",
            f"{arrow.held / case.nbytes:.2f}" if arrow else "–",
            fmt_mib(m[BINARY].peak) if BINARY in m else "–",
            fmt_mib(m[PYLIST].peak) if PYLIST in m else ("fails" if case.fails else "–"),
        ])
    return harness.render(headers, rows, markdown)


def targets_line(run_: ArrowRun, gc_label: str) -> str:
    rs = {c.name: ratios(c, gc_label) for c in run_.cases}
    vs_pylist = finite([r[0] for r in rs.values()])
    worst = max(rs, key=lambda name: rs[name][1])
    parts = [
        f"loads_arrow, {gc_label}: geomean {fmt_ratio(geomean(vs_pylist))}× "
        f"(loads_binary + from_pylist) over the {len(vs_pylist)} lists where from_pylist "
        f"succeeds (target ≤ {TARGET_VS_PYLIST})",
        f"worst {fmt_ratio(rs[worst][1])}× loads_binary ({worst}; target ≤ "
        f"{TARGET_VS_BINARY} on every list)",
    ]
    if MEMORY_LIST in rs:
        parts.append(
            f"{MEMORY_LIST} {fmt_ratio(rs[MEMORY_LIST][1])}× loads_binary "
            f"(target ≤ {TARGET_FLIGHTS})"
        )
    return "; ".join(parts) + "."


def memory_line(run_: ArrowRun) -> str | None:
    case = next((c for c in run_.cases if c.name == MEMORY_LIST), None)
    if case is None or ARROW not in case.memory:
        return None
    m = case.memory[ARROW]
    return (
        f"Peak memory of loads_arrow on {MEMORY_LIST}: {fmt_mib(m.peak)} MiB over the resident "
        f"set before the call, {m.peak / case.nbytes:.2f}× table.nbytes "
        f"({fmt_mib(case.nbytes)} MiB; target ≤ {TARGET_MEMORY}); method: {m.method}."
    )


def report(run_: ArrowRun, fns: Functions, markdown: bool) -> str:
    s = run_.settings
    h = "### " if markdown else "== "
    span = harness.rounds_span(run_.cases)
    parts = [
        f"Machine: {harness.machine_line(fns.versions)}; {run_.clock} clock",
        "",
        (
            f"Timing: median over {span} interleaved rounds per call "
            f"(≥{s.min_rounds} rounds, ≥{s.budget_s:g} s per call per list, "
            f"loops of ~{s.sample_s * 1e3:g} ms); freeing each result is timed. "
            "from_pylist = `pyarrow.Table.from_pylist(loads_binary(b))`, timed as one call. "
            "spread = largest interquartile range / median among the calls."
        ),
    ]
    for label in run_.gc_labels:
        parts += [
            "",
            f"{h}Columnar decode time, {label}",
            "",
            times_table(run_, label, markdown),
        ]
    if any(c.memory for c in run_.cases):
        method = next(m.method for c in run_.cases for m in c.memory.values())
        parts += [
            "",
            f"{h}Memory of one call",
            "",
            (
                f"Each call once in each of {MEMORY_RUNS} fresh child processes, warmed up by "
                f"three calls on the list's first {WARM_ROWS} records; peak = high-water mark of "
                "the resident set during the call over the resident set just before it (the "
                "median of the runs), held = the resident set after it (the result alive) over "
                f"the same, in that run; method: {method}."
            ),
            "",
            memory_table(run_, markdown),
        ]
    parts.append("")
    parts += [targets_line(run_, label) for label in run_.gc_labels]
    line = memory_line(run_)
    if line:
        parts.append(line)
    for case in run_.cases:
        if case.fails:
            parts.append(f"from_pylist fails on {case.name}: {case.fails}")
        if case.differs:  # it takes its columns from the first record's keys
            parts.append(
                f"from_pylist's table differs from the rows on {case.name}: {case.differs}"
            )
    if run_.warnings:
        parts += ["", "Warnings:", *(f"- {w}" for w in run_.warnings)]
    return "\n".join(parts)


# --------------------------------------------------------------------------- command line


def main(argv: Sequence[str] | None = None) -> int:
    parser = harness.arg_parser(__doc__)
    parser.add_argument("--no-memory", action="store_true",
                        help="skip the memory measurements (child processes)")
    args = parser.parse_args(argv)
    settings, gc_modes = harness.prepare(args)
    lists = select_lists(args.files)
    fns = load_functions()
    progress(
        f"wexo: {sys.modules['wexo'].__file__}\n"
        f"wexo_native: {sys.modules['wexo_native'].__file__}\n"
        f"pyarrow: {sys.modules['pyarrow'].__file__}"
    )
    began = time.perf_counter()
    result = run(lists, args.corpus, fns, gc_modes, settings, args.clock, not args.no_memory)
    progress(f"done in {time.perf_counter() - began:.0f} s")
    print(report(result, fns, args.markdown))
    return 0


if __name__ == "__main__":
    sys.exit(main())
