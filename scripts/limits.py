#!/usr/bin/env python3
"""What real documents need of wexo.loads's two limits, per byte of input.

Encodes every document of a corpus (default tests/data/corpus/*.json, --corpus DIR) with
a sample of encoder option combinations (all on, all off, each one off, each
one on, and some seeded random ones), and finds for each encoding the
smallest max_cells and the smallest max_copies that still decode it (a binary
search over wexo._ext.loads, the other limit lifted). It prints one row per
document with the largest need per input byte over the combinations, then
the overall largest, and how far below the defaults of wexo._ext it stays.

Usage: limits.py [--corpus DIR] [--random N] [--seed S] [--markdown]
"""
from __future__ import annotations

import argparse
import dataclasses
import json
import random
import sys
import time
from pathlib import Path
from typing import Any

import wexo
from wexo import _ext
from wexo.reference import Options, encode

FIELDS = [f.name for f in dataclasses.fields(Options)]
FORMAT_EXPAND = 1 << 24


def combinations(extra: int, seed: int) -> list[tuple[str, Options]]:
    """All on, all off, each one off, each one on, then `extra` seeded random ones."""
    out: list[tuple[str, Options]] = [
        ("all on", Options()),
        ("all off", Options(**{f: False for f in FIELDS})),
    ]
    out += [(f"no {f}", Options(**{f: False})) for f in FIELDS]
    out += [(f"only {f}", Options(**{g: g == f for g in FIELDS})) for f in FIELDS]
    seen = {tuple(dataclasses.astuple(o)) for _, o in out}
    rng = random.Random(seed)
    while extra > 0:
        flags = {f: rng.random() < 0.5 for f in FIELDS}
        key = tuple(flags[f] for f in FIELDS)
        if key in seen:
            continue
        seen.add(key)
        off = ",".join(f for f in FIELDS if not flags[f]) or "-"
        out.append((f"random off: {off}", Options(**flags)))
        extra -= 1
    return out


def least(data: bytes, keyword: str, top: int) -> int:
    """The smallest value of the limit `keyword` (the other lifted) that admits data."""
    other = "max_copies" if keyword == "max_cells" else "max_cells"

    def admits(v: int) -> bool:
        try:
            _ext.loads(data, **{keyword: v, other: None})
        except wexo.WexoError as err:
            if not err.message.startswith(("decoded size too large",
                                           "reference expansion too large")):
                raise
            return False
        return True

    if not admits(top):
        raise SystemExit(f"a corpus document fails under the format's own budget ({keyword})")
    lo, hi = -1, top  # admits(hi), not admits(lo)
    while hi - lo > 1:
        mid = (lo + hi) // 2
        if admits(mid):
            hi = mid
        else:
            lo = mid
    return hi


@dataclasses.dataclass
class Need:
    size: int
    cells: int
    copies: int
    combo: str


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--corpus", default=str(Path(__file__).resolve().parents[1] / "tests/data/corpus"),
                    help="folder of *.json documents (default: the ones the repository ships)")
    ap.add_argument("--random", type=int, default=12, help="random combinations (default 12)")
    ap.add_argument("--seed", type=int, default=14)
    ap.add_argument("--markdown", action="store_true")
    args = ap.parse_args()

    files = sorted(Path(args.corpus).glob("*.json"))
    if not files:
        raise SystemExit(f"no *.json in {args.corpus}")
    combos = combinations(args.random, args.seed)
    started = time.perf_counter()
    rows: list[tuple[str, Need, Need, int]] = []  # name, worst cells, worst copies, encodings
    for path in files:
        tree: Any = json.loads(path.read_bytes())
        worst_cells: Need | None = None
        worst_copies: Need | None = None
        for label, options in combos:
            data = encode(tree, options)
            top = len(data) * 32 + (1 << 22)
            need = Need(len(data), least(data, "max_cells", top),
                        least(data, "max_copies", FORMAT_EXPAND), label)
            if worst_cells is None or need.cells / need.size > worst_cells.cells / worst_cells.size:
                worst_cells = need
            if worst_copies is None or need.copies / need.size > worst_copies.copies / worst_copies.size:
                worst_copies = need
        assert worst_cells is not None and worst_copies is not None
        rows.append((path.stem, worst_cells, worst_copies, len(combos)))
        print(f"  {path.stem}: done", file=sys.stderr)

    per_byte_cells = max(c.cells / c.size for _, c, _, _ in rows)
    per_byte_copies = max(x.copies / x.size for _, _, x, _ in rows)
    n_enc = sum(r[3] for r in rows)
    print(f"{len(files)} documents x {len(combos)} option combinations = {n_enc} encodings, "
          f"{time.perf_counter() - started:.0f} s")
    head = ["document", "cells/byte", "cells", "bytes", "combination",
            "copies/byte", "copies", "bytes", "combination"]
    table = [[name, f"{c.cells / c.size:.3f}", f"{c.cells:,}", f"{c.size:,}", c.combo,
              f"{x.copies / x.size:.3f}", f"{x.copies:,}", f"{x.size:,}", x.combo]
             for name, c, x, _ in rows]
    if args.markdown:
        print("| " + " | ".join(head) + " |")
        print("|" + "---|" * len(head))
        for r in table:
            print("| " + " | ".join(r) + " |")
    else:
        widths = [max(len(h), *(len(r[i]) for r in table)) for i, h in enumerate(head)]
        print("  ".join(h.ljust(w) for h, w in zip(head, widths)))
        for r in table:
            print("  ".join(v.ljust(w) for v, w in zip(r, widths)))
    print(f"largest need per input byte: {per_byte_cells:.3f} cells, {per_byte_copies:.3f} copies")
    print(f"defaults (wexo._ext): max_cells = {_ext.CELLS_PER_BYTE} x bytes + {_ext.CELLS_BASE}, "
          f"max_copies = {_ext.COPIES_PER_BYTE} x bytes + {_ext.COPIES_BASE}")
    if per_byte_cells:
        print(f"margin: {_ext.CELLS_PER_BYTE / per_byte_cells:.1f}x the largest cell need per byte")
    worst = min((_ext.CELLS_PER_BYTE * c.size + _ext.CELLS_BASE) / max(c.cells, 1)
                for _, c, _, _ in rows)
    print(f"smallest ratio default / need over the corpus (cells): {worst:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
