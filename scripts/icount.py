#!/usr/bin/env python3
"""Instruction counts of decoding or encoding, per call, under valgrind's callgrind: stable on a
shared machine where timings are not. Each document is decoded N times in one process and 0 times
in another; the difference over N is the cost of one call. Several builds compare in one run.

  python scripts/icount.py [--corpus DIR] [--calls N] [--python PY ...] [--arrow]
  python scripts/icount.py --encode [--corpus DIR] [--files A,B] [--calls N] [--python PY ...]
  python scripts/icount.py --encode --top K --files NAME [--corpus DIR]

--python names interpreters whose environments hold the builds to compare (default: this one);
a build on PYTHONPATH (PYTHONPATH=build/dev:python) reaches the measured processes too.
--arrow also counts wexo.loads_arrow on the record lists.
--encode counts wexo.dumps (default choices), wexo.dumps with every choice off and, for scale,
msgpack.packb, on every corpus file and on the single-message benchmark's records: the child
builds the tree from JSON before the measured calls, so only the encoding is counted.
--top K lists, for each file of --files, the K functions of the extension with the most
instructions per call of wexo.dumps (inclusive and exclusive), and the K functions anywhere with
the most exclusive instructions per call, from callgrind_annotate. Needs valgrind.
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


# ---------------------------------------------------------------------------- encoding

# The child of --encode: the tree is built, and every encoder called once, in the runs with
# 0 calls as in the others, so that the difference is the measured calls alone.
ENCODE_CHILD = """
import json, sys
import msgpack, wexo, wexo._ext
tree = json.loads(open(sys.argv[1], "rb").read())
calls = int(sys.argv[2])
off = {name: False for name, _, _ in wexo._ext.CHOICES}
encoders = {"wexo": wexo.dumps, "off": lambda t: wexo.dumps(t, **off), "msgpack": msgpack.packb}
for fn in encoders.values():
    fn(tree)
fn = encoders[sys.argv[3]]
for _ in range(calls):
    fn(tree)
"""
ENCODERS = ("wexo", "off", "msgpack")
ENV = {**os.environ, "PYTHONHASHSEED": "0"}


def callgrind(python: str, child: str, args: list[str], out_file: str = "/dev/null") -> int:
    """Instructions of one child run under callgrind (its profile written to out_file)."""
    run = subprocess.run(
        ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out_file}", python, "-c", child,
         *args], capture_output=True, text=True, env=ENV)
    found = re.search(r"Collected : (\d+)", run.stderr)
    if run.returncode != 0 or not found:
        raise SystemExit(f"icount: {python} failed under callgrind:\n{run.stderr[-2000:]}")
    return int(found.group(1))


def encode_calls(json_bytes: int, calls: int) -> int:
    """Calls to count on a document of this many bytes of JSON: --calls on 100 kB, more on
    less (at most 100 times as many), at least 3."""
    return max(3, min(100 * calls, round(calls * 100_000 / max(json_bytes, 1))))


def encode_counts(python: str, path: str, calls: int) -> dict[str, float]:
    """Instructions per call of each encoder in ENCODERS on the tree of the JSON file."""
    base = callgrind(python, ENCODE_CHILD, [path, "0", "wexo"])
    return {what: (callgrind(python, ENCODE_CHILD, [path, str(calls), what]) - base) / calls
            for what in ENCODERS}


def encode_documents(corpus: Path, files: list[str] | None) -> dict[str, Path | object]:
    """label -> the corpus file, or the tree of one of its records (the single records)."""
    available = {p.stem: p for p in sorted(corpus.glob("*.json"))}
    if not available:
        raise SystemExit(f"icount: no *.json files in {corpus}")
    unknown = [f for f in files or [] if f not in available]
    if unknown:
        raise SystemExit(f"icount: no {', '.join(unknown)} in {corpus}; have: {', '.join(available)}")
    docs: dict[str, Path | object] = {name: available[name] for name in (files or available)}
    if files is None:
        for label, (name, take) in RECORDS.items():
            if name in available:
                docs[label] = take(json.loads(available[name].read_bytes()))
        docs["5-key message"] = SMALL
    return docs


def minstr(count: float) -> str:
    m = count / 1e6
    return f"{m:,.0f}" if m >= 100 else f"{m:#.3g}"


def encode_table(python: str, docs: dict[str, Path | object], calls: int) -> None:
    print(f"wexo.dumps under {python}: millions of instructions per call\n")
    print("| document | JSON bytes | wexo | choices off | msgpack | wexo/msgpack | off/msgpack |")
    print("|---|--:|--:|--:|--:|--:|--:|", flush=True)
    with tempfile.TemporaryDirectory() as tmp:
        for label, doc in docs.items():
            if isinstance(doc, Path):
                path, size = str(doc), len(compact(json.loads(doc.read_bytes())))
            else:
                data = compact(doc)
                path, size = os.path.join(tmp, "record.json"), len(data)
                Path(path).write_bytes(data)
            c = encode_counts(python, path, encode_calls(size, calls))
            print(f"| {label} | {size:,} | {minstr(c['wexo'])} | {minstr(c['off'])} | "
                  f"{minstr(c['msgpack'])} | {c['wexo'] / c['msgpack']:.2f} | "
                  f"{c['off'] / c['msgpack']:.2f} |", flush=True)


def compact(tree: object) -> bytes:
    return json.dumps(tree, separators=(",", ":"), ensure_ascii=False).encode()


# One line of callgrind_annotate's function list: "1,234 (5.00%)  file:function [object]"; the
# object (a path) is left out on lines of code inlined from another file (a header), and a
# function's name may end in "[clone .cold]".
ANNOTATED = re.compile(
    r"^\s*([\d,]+)\s+(?:\(\s*[\d.]+%\)\s+)?(\?\?\?|\S*?[^:\s]):(?!:)(.+?)(?:\s+\[((?:/|\?\?\?)[^\[\]]*)\])?$")
TOTALS = re.compile(r"^\s*([\d,]+)\s+(?:\(\s*[\d.]+%\)\s+)?PROGRAM TOTALS")


def annotate(out_file: str, inclusive: bool) -> tuple[int, dict[tuple[str, str], int]]:
    """The profile's total and (function, object) -> instructions (see parse_annotated)."""
    text = subprocess.run(
        ["callgrind_annotate", "--threshold=100", f"--inclusive={'yes' if inclusive else 'no'}",
         out_file], capture_output=True, text=True, check=True).stdout
    return parse_annotated(text, inclusive)


def parse_annotated(text: str, inclusive: bool) -> tuple[int, dict[tuple[str, str], int]]:
    """The total and (function, object) -> instructions of callgrind_annotate's output.

    Exclusive counts are summed over a function's lines (one per file its code comes from,
    headers included) and over a recursive function's levels (the 'N suffixes); inclusive
    ones are those of its outermost level (its largest line), which hold the deeper ones. A
    line without its object takes the one the same function has elsewhere."""
    total = 0
    lines = []
    for line in text.splitlines():
        t = TOTALS.match(line)
        if t:
            total = int(t.group(1).replace(",", ""))
            continue
        m = ANNOTATED.match(line)
        if m and m.group(3).strip() != "PROGRAM TOTALS":
            lines.append((int(m.group(1).replace(",", "")), m.group(3).strip(), m.group(4)))
    objects = {re.sub(r"'\d+$", "", name): obj for _, name, obj in lines if obj}
    counts: dict[tuple[str, str], int] = {}
    deeper: dict[tuple[str, str], int] = {}  # inclusive counts of levels 2 and on
    for count, level, obj in lines:
        name = re.sub(r"'\d+$", "", level)
        key = (name, obj or objects.get(name, "?"))
        if not inclusive:
            counts[key] = counts.get(key, 0) + count
        else:
            into = counts if level == name else deeper
            into[key] = max(count, into.get(key, 0))
    if inclusive:
        counts = {**deeper, **counts}
    return total, counts


def top_functions(python: str, path: Path, calls: int, k: int) -> None:
    """The K functions with the most instructions per call of wexo.dumps on one file."""
    ext = subprocess.run([python, "-c", "import wexo._ext; print(wexo._ext.__file__)"],
                         capture_output=True, text=True, check=True, env=ENV).stdout.strip()
    ext = os.path.realpath(ext)
    with tempfile.TemporaryDirectory() as tmp:
        profiles = {n: os.path.join(tmp, f"callgrind.{n}") for n in (0, calls)}
        for n, out_file in profiles.items():
            callgrind(python, ENCODE_CHILD, [str(path), str(n), "wexo"], out_file)
        names = [name for name, obj in annotate(profiles[calls], False)[1]
                 if os.path.realpath(obj) == ext]
        if names and all(re.fullmatch(r"0x[0-9a-f]+", name) for name in names):
            print(f"icount: {ext} has no symbols (an installed wheel is stripped): build it with "
                  "cmake and put the build on PYTHONPATH (PYTHONPATH=build/dev:python) for "
                  "function names", file=sys.stderr)
        print(f"{path.stem}: wexo.dumps under callgrind, instructions per call "
              f"(profiles of {calls} calls and of none, subtracted); share = of the whole call")
        for inclusive in (True, False):
            total0, before = annotate(profiles[0], inclusive)
            total1, after = annotate(profiles[calls], inclusive)
            whole = (total1 - total0) / calls
            per_call = {key: (v - before.get(key, 0)) / calls for key, v in after.items()}
            what = "inclusive" if inclusive else "exclusive"
            kinds = [("in the extension", True)] + ([] if inclusive else [("anywhere", False)])
            for where, inside_only in kinds:
                rows = sorted(((v, key) for key, v in per_call.items()
                               if not inside_only or os.path.realpath(key[1]) == ext),
                              reverse=True)[:k]
                print(f"\nTop {k} functions {where}, {what} instructions per call "
                      f"(the whole call: {whole:,.0f})\n")
                print("| function | object | instructions | share |")
                print("|---|---|--:|--:|")
                for v, (name, obj) in rows:
                    share = f"{v / whole:.1%}" if whole > 0 else "–"
                    print(f"| `{name}` | {Path(obj).name} | {v:,.0f} | {share} |", flush=True)


def encode_main(args: argparse.Namespace) -> int:
    files = [f.strip().removesuffix(".json") for f in args.files.split(",")] if args.files else None
    if args.top is not None:
        if not files:
            raise SystemExit("icount: --top needs --files NAME (the documents to profile)")
        docs = encode_documents(args.corpus, files)
        for path in docs.values():
            assert isinstance(path, Path)
            calls = encode_calls(path.stat().st_size, args.calls)
            top_functions(args.python[0], path, calls, args.top)
        return 0
    docs = encode_documents(args.corpus, files)
    for i, py in enumerate(args.python):
        if i:
            print()
        encode_table(py, docs, args.calls)
    return 0


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--corpus", type=Path, default=Path(os.environ.get("WEXO_CORPUS", ROOT / "tests/data/corpus")))
    ap.add_argument("--calls", type=int, default=20,
                    help="calls counted per document (default 20; with --encode, the calls on "
                         "100 kB of JSON: more on smaller documents, fewer on larger)")
    ap.add_argument("--python", nargs="+", default=[sys.executable])
    ap.add_argument("--arrow", action="store_true", help="loads_arrow on the record lists instead")
    ap.add_argument("--encode", action="store_true",
                    help="wexo.dumps (default and every choice off) and msgpack.packb instead")
    ap.add_argument("--files", metavar="A,B", help="with --encode: only these corpus files "
                    "(and no single records)")
    ap.add_argument("--top", type=int, metavar="K", help="with --encode: the K functions with "
                    "the most instructions per call of wexo.dumps on each file of --files")
    args = ap.parse_args()
    if args.encode or args.top is not None:
        return encode_main(args)
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
