#!/usr/bin/env python3
"""Instruction counts of decoding, per call, under valgrind's callgrind: stable on a shared
machine where timings are not. Each document is decoded N times in one process and 0 times in
another; the difference over N is the cost of one call. Several builds compare in one run.

  python scripts/icount.py [--corpus DIR] [--calls N] [--python PY ...] [--arrow]

--python names interpreters whose environments hold the builds to compare (default: this one).
--arrow also counts wexo.loads_arrow on the record lists. Needs valgrind.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FILES = ("twitter", "github_events", "citm_catalog", "canada", "update-center", "apache_builds")
# one record of each file and the small message, as the single-message benchmark takes them
sys.path.insert(0, str(ROOT / "bench"))
from harness import SMALL_MESSAGE as SMALL  # noqa: E402
from single import RECORDS as SINGLE  # noqa: E402

RECORDS = {label: (name, take) for label, name, take in SINGLE}

CHILD = """
import sys, wexo, wexo_native
data = open(sys.argv[1], "rb").read()
calls = int(sys.argv[2])
fn = wexo.loads_arrow if sys.argv[3] == "arrow" else wexo_native.loads_binary
fn(data)
for _ in range(calls):
    fn(data)
"""


def instructions(python: str, path: str, calls: int, what: str) -> int:
    out = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", python, "-c", CHILD,
         path, str(calls), what],
        capture_output=True, text=True, check=True, env={**os.environ, "PYTHONHASHSEED": "0"}).stderr
    return int(re.search(r"Collected : (\d+)", out).group(1))


def per_call(python: str, data: bytes, calls: int, what: str) -> float:
    with tempfile.NamedTemporaryFile(suffix=".wexo", delete=False) as f:
        f.write(data)
    try:
        return (instructions(python, f.name, calls, what) - instructions(python, f.name, 0, what)) / calls
    finally:
        os.unlink(f.name)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--corpus", type=Path, default=Path(os.environ.get("WEXO_CORPUS", ROOT / "tests/data/corpus")))
    ap.add_argument("--calls", type=int, default=20)
    ap.add_argument("--python", nargs="+", default=[sys.executable])
    ap.add_argument("--arrow", action="store_true", help="loads_arrow on the record lists instead")
    args = ap.parse_args()
    import wexo

    docs: dict[str, bytes] = {}
    trees = {}
    for name in FILES:
        p = args.corpus / f"{name}.json"
        if p.exists():
            trees[name] = json.loads(p.read_text(encoding="utf-8"))
    if args.arrow:
        lists = {"twitter": lambda t: t["statuses"], "citm_catalog": lambda t: t["performances"],
                 "apache_builds": lambda t: t["jobs"], "github_events": lambda t: t,
                 "flights-20k": lambda t: t, "movies": lambda t: t}
        for name in lists:
            p = args.corpus / f"{name}.json"
            if name not in trees and p.exists():
                trees[name] = json.loads(p.read_text(encoding="utf-8"))
        for name, take in lists.items():
            if name in trees:
                docs[name] = wexo.dumps(take(trees[name]))
    else:
        for name, tree in trees.items():
            docs[name] = wexo.dumps(tree)
        for label, (name, take) in RECORDS.items():
            if name in trees:
                docs[label] = wexo.dumps(take(trees[name]))
        docs["5-key message"] = wexo.dumps(SMALL)
    if args.arrow:
        # loads_arrow beside loads_binary on the same record list, per build
        heads = [f"{Path(p).parts[-4] if '/' in p else p} {w}" for p in args.python for w in ("loads", "arrow")]
        print("| record list | bytes | " + " | ".join(heads) + " |")
        print("|---|--:|" + "--:|" * len(heads))
        for label, data in docs.items():
            cells = []
            for py in args.python:
                plain = per_call(py, data, args.calls, "loads")
                arrow = per_call(py, data, args.calls, "arrow")
                cells += [f"{plain:,.0f}", f"{arrow:,.0f} ({arrow / plain:.2f}x)"]
            print(f"| {label} | {len(data):,} | " + " | ".join(cells) + " |", flush=True)
        return 0
    print("| document | bytes | " + " | ".join(Path(p).parts[-4] if "/" in p else p for p in args.python) + " |")
    print("|---|--:|" + "--:|" * len(args.python))
    for label, data in docs.items():
        counts = [per_call(py, data, args.calls if len(data) > 10_000 else 20 * args.calls, "loads")
                  for py in args.python]
        cells = [f"{counts[0]:,.0f}"] + [f"{c:,.0f} ({c / counts[0] - 1:+.2%})" for c in counts[1:]]
        print(f"| {label} | {len(data):,} | " + " | ".join(cells) + " |", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
