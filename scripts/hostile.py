#!/usr/bin/env python3
"""Hostile-input bounds of wexo_native.loads_binary.

Builds adversarial WEXO documents, each about as small as its effect allows,
decodes each one and prints one row per document: input size, outcome, peak
traced memory, RSS growth, median decode time (freeing the result included),
the work the decoder's budgets admit for it, and the ratios actual / bound and
time per admitted unit. Families that are built at several input sizes are
checked for super-linear growth of the time per unit ("QUADRATIC?").

The decoder's limits are described with the builders, in tests/hostile_docs.py.

With --limits the same documents go through wexo.loads with its default limits
(wexo._ext: max_cells and max_copies proportional to the input) instead of
loads_binary: a limit's failure counts as expected there, and the summary gives
the largest peak per input byte and, for documents under 64 KB, the largest
peak and the longest time.

Usage: hostile.py [--quick] [--markdown] [--limits] [--only SUBSTRING]
The documents and their expected outcomes come from tests/hostile_docs.py (the
tests check them there); this script measures them and prints the report.
"""
from __future__ import annotations

import argparse
import gc
import pathlib
import statistics
import sys
import time
import tracemalloc
from dataclasses import dataclass, field
from typing import Any, Callable

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from hostile_docs import (  # noqa: E402  (the document builders, beside the tests)
    KB,
    Doc,
    fixed_docs,
    limit_docs,
    scaled_docs,
    size_budget,
)

SCALES_QUICK = [1 * KB, 10 * KB, 100 * KB]
SCALES_FULL = [1 * KB, 10 * KB, 100 * KB, 1000 * KB]
# Documents whose predicted result exceeds this are not decoded (the machine is shared).
MEMORY_CAP = 1_500_000_000


# --------------------------------------------------------------------------
# Measurement


def count_slots(x: Any) -> int:
    """List elements plus dict entries in a result, iteratively."""
    n = 0
    stack = [x]
    while stack:
        y = stack.pop()
        if type(y) is list:
            n += len(y)
            stack.extend(e for e in y if type(e) in (list, dict))
        elif type(y) is dict:
            n += len(y)
            stack.extend(e for e in y.values() if type(e) in (list, dict))
    return n


def rss() -> tuple[int, int]:
    """(current RSS, peak RSS since the last reset) in bytes."""
    cur = hwm = 0
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                cur = int(line.split()[1]) * 1024
            elif line.startswith("VmHWM:"):
                hwm = int(line.split()[1]) * 1024
    return cur, hwm


def reset_peak_rss() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def outcome(loads: Callable[[bytes], Any], err_cls: type, data: bytes) -> tuple[str, Any]:
    try:
        r = loads(data)
    except err_cls as e:
        return f"{e.message} @{e.offset}", None
    return "ok", r


@dataclass
class Row:
    doc: Doc
    outcome: str = ""
    expected_ok: bool = True
    peak: int | None = 0  # None: not traced (the decode was too slow to repeat)
    rss_growth: int = 0
    seconds: float = 0.0
    slots: int | None = None
    skipped: str = ""
    extra: dict = field(default_factory=dict)

    @property
    def ratio(self) -> float:
        return self.doc.units / self.doc.bound if self.doc.bound else 0.0

    @property
    def ns_per_unit(self) -> float:
        return self.seconds * 1e9 / self.doc.units if self.doc.units else 0.0


LIMIT_MESSAGES = ("decoded size too large", "reference expansion too large")


def measure(doc: Doc, loads: Callable[[bytes], Any], err_cls: type, repeats: int,
            slow: float, limited: bool = False) -> Row:
    """One decode for the outcome, the RSS growth and the first time sample (the
    slots of a successful result are counted outside the timing); then, unless
    that decode took longer than `slow` seconds, one decode under tracemalloc
    for the peak and more timed decodes while they stay within `slow` in all."""
    row = Row(doc)
    if doc.predicted_bytes > MEMORY_CAP and not limited:
        row.skipped = f"skipped: ~{doc.predicted_bytes / 2**20:.0f} MiB predicted"
        return row
    data = doc.data
    gc.collect()
    have_rss = reset_peak_rss()
    before = rss()[0]
    t0 = time.perf_counter()
    row.outcome, result = outcome(loads, err_cls, data)
    first = time.perf_counter() - t0
    if have_rss:
        row.rss_growth = max(rss()[1] - before, 0)
    if result is not None:
        row.slots = count_slots(result)
    t0 = time.perf_counter()
    del result
    first += time.perf_counter() - t0
    if doc.error is not None:
        msg, off = doc.error
        row.expected_ok = row.outcome.startswith(msg) and (
            off is None or row.outcome == f"{msg} @{off}")
    else:
        row.expected_ok = row.outcome == "ok"
    if limited and row.outcome.startswith(LIMIT_MESSAGES):
        row.expected_ok = True
    times = [first]
    if first <= slow:
        gc.collect()
        # Peak traced memory of one decode, freeing the result included.
        tracemalloc.start()
        tracemalloc.reset_peak()
        base = tracemalloc.get_traced_memory()[0]
        _, r = outcome(loads, err_cls, data)
        del r
        row.peak = tracemalloc.get_traced_memory()[1] - base
        tracemalloc.stop()
        gc.collect()
        # The median of a few timed decodes, freeing the result included.
        spent = first
        for _ in range(repeats - 1):
            if spent > slow:
                break
            t0 = time.perf_counter()
            _, r = outcome(loads, err_cls, data)
            del r
            dt = time.perf_counter() - t0
            times.append(dt)
            spent += dt
    else:
        row.peak = None
    row.seconds = statistics.median(times)
    return row


# --------------------------------------------------------------------------
# Output


def fmt_bytes(n: int) -> str:
    if n >= 2**20:
        return f"{n / 2**20:.1f}Mi"
    if n >= 1024:
        return f"{n / 1024:.1f}Ki"
    return str(n)


def fmt_num(n: float) -> str:
    if n >= 1e6:
        return f"{n / 1e6:.2f}M"
    if n >= 1e4:
        return f"{n / 1e3:.1f}k"
    return f"{n:.0f}"


HEADERS = ["family", "document", "bytes", "outcome", "peak", "peak/byte", "RSS+", "time ms",
           "units", "bound", "units/bound", "ns/unit", "note"]


def cells(row: Row) -> list[str]:
    d = row.doc
    out = row.outcome if row.expected_ok else f"UNEXPECTED {row.outcome}"
    if row.skipped:
        return [d.family, d.name, fmt_bytes(len(d.data)), row.skipped, "", "", "", "",
                f"{fmt_num(d.units)} {d.unit}", fmt_num(d.bound), f"{row.ratio:.3g}", "", d.note]
    note = d.note
    if row.slots is not None:
        note = (note + "; " if note else "") + f"{fmt_num(row.slots)} slots in result"
    peak = "-" if row.peak is None else fmt_bytes(row.peak)
    per_byte = "-" if row.peak is None else f"{row.peak / len(d.data):.0f}"
    return [d.family, d.name, fmt_bytes(len(d.data)), out, peak, per_byte,
            fmt_bytes(row.rss_growth), f"{row.seconds * 1e3:.2f}",
            f"{fmt_num(d.units)} {d.unit}", fmt_num(d.bound), f"{row.ratio:.3g}",
            f"{row.ns_per_unit:.2f}", note]


def print_table(rows: list[list[str]], markdown: bool) -> None:
    if markdown:
        print("| " + " | ".join(HEADERS) + " |")
        print("|" + "|".join("---" for _ in HEADERS) + "|")
        for r in rows:
            print("| " + " | ".join(c.replace("|", "\\|") for c in r) + " |")
        return
    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(HEADERS)]
    print("  ".join(h.ljust(w) for h, w in zip(HEADERS, widths)))
    print("  ".join("-" * w for w in widths))
    for r in rows:
        print("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip())


def linearity(rows: list[Row]) -> list[str]:
    """Per scaled family: ns per unit at each scale, flagged when it grows > 3x."""
    lines = []
    fams: dict[str, list[Row]] = {}
    for r in rows:
        if r.doc.scale and not r.skipped:
            fams.setdefault(r.doc.family, []).append(r)
    for fam, rs in fams.items():
        rs.sort(key=lambda r: r.doc.scale)
        per = [r.ns_per_unit for r in rs]
        growth = per[-1] / per[0] if per[0] > 0 else 0.0
        last = per[-1] / per[-2] if len(per) > 1 and per[-2] > 0 else 1.0
        flag = "QUADRATIC?" if growth > 3.0 else "linear"
        series = ", ".join(f"{r.doc.scale // KB}KB: {p:.2f}" for r, p in zip(rs, per))
        lines.append(f"{fam:24s} ns/{rs[0].doc.unit}: {series}  "
                     f"(x{growth:.2f} overall, x{last:.2f} over the last step) {flag}")
    return lines


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="small scales only")
    ap.add_argument("--markdown", action="store_true", help="print a Markdown table")
    ap.add_argument("--only", default="", help="only families containing this text")
    ap.add_argument("--limits", action="store_true",
                    help="decode with wexo.loads and its default limits instead of loads_binary")
    args = ap.parse_args(argv)

    import wexo_native  # the build under test, from PYTHONPATH

    loads, err_cls = wexo_native.loads_binary, wexo_native.WexoError
    if args.limits:
        from wexo import _ext

        loads = _ext.loads
    global MEMORY_CAP
    scales = SCALES_QUICK if args.quick else SCALES_FULL
    if args.quick:
        MEMORY_CAP = 1_000_000_000
    repeats = 3 if args.quick else 5
    # Within the limits every document is cheap: the whole set, even with --quick.
    docs = fixed_docs(args.quick and not args.limits) + scaled_docs(scales)
    if args.limits:
        docs += limit_docs()
    if args.only:
        docs = [d for d in docs if args.only in d.family or args.only in d.name]
    t0 = time.perf_counter()
    rows = []
    for d in docs:
        r = measure(d, loads, err_cls, repeats, 0.3 if args.quick else 4.0, args.limits)
        rows.append(r)
        if not args.markdown:
            print(f"  measured {d.family}: {d.name} ({len(d.data)} bytes)", file=sys.stderr)
    print_table([cells(r) for r in rows], args.markdown)
    print()
    unexpected = [r for r in rows if not r.expected_ok and not r.skipped]
    print("Time per admitted unit by scale:")
    for line in linearity(rows):
        print("  " + line)
    over = [r for r in rows if r.slots is not None and r.doc.unit == "cells"
            and r.slots > size_budget(len(r.doc.body)) + r.doc.uncharged]
    traced = [r for r in rows if r.peak is not None and not r.skipped]
    if traced:
        top = max(traced, key=lambda r: r.peak / len(r.doc.data))
        print()
        print(f"largest peak per input byte: {top.peak / len(top.doc.data):.0f} "
              f"({top.doc.family}: {top.doc.name}, {len(top.doc.data)} bytes, "
              f"{fmt_bytes(top.peak)})")
        small = [r for r in rows if len(r.doc.data) < 64 * 1024 and not r.skipped]
        if small:
            big = max((r for r in small if r.peak is not None), key=lambda r: r.peak)
            slowest = max(small, key=lambda r: r.seconds)
            print(f"documents under 64 KB: largest peak {fmt_bytes(big.peak)} ({big.doc.name}), "
                  f"longest time {slowest.seconds * 1e3:.2f} ms ({slowest.doc.name})"
                  + ("" if all(r.peak is not None for r in small) else
                     "; some decodes were too slow to trace"))
    print()
    print(f"documents: {len(rows)}, unexpected outcomes: {len(unexpected)}, "
          f"results larger than the size budget (table row lists aside): {len(over)}, "
          f"run time {time.perf_counter() - t0:.1f} s")
    for r in unexpected:
        print(f"  UNEXPECTED {r.doc.name}: {r.outcome}, expected {r.doc.error or 'ok'}")
    return 1 if unexpected or over else 0


if __name__ == "__main__":
    sys.exit(main())
