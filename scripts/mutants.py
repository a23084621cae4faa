#!/usr/bin/env python3
"""Planted faults: how many of them the test suite catches.

Each mutant below is one small source patch standing for a real way the
decoder could regress. The runner copies the checkout (its tracked files, as
they are on disk) to a scratch directory, builds it once, checks that the suite
passes there, then for each mutant applies its patch, rebuilds incrementally,
runs the suite (stopping at the first failure) and puts the file back. A mutant
is killed when the suite fails (a crash or a timeout counts), survives when it
passes, and is invalid when it does not build. The kill rate is killed over
killed plus survived.

    python scripts/mutants.py                       every mutant, whole suite
    python scripts/mutants.py --list                names and what they plant
    python scripts/mutants.py --only gc-restore-lost --only template-rows-unchecked
    python scripts/mutants.py -- -k "columns or tables"   arguments after -- go to pytest

Run it with an interpreter that has pytest and hypothesis (the one given by
--python, default this one): it builds the module for that interpreter and
runs the tests with it. Exit status 1 when any mutant survives.
"""
from __future__ import annotations

import argparse
import dataclasses
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


@dataclasses.dataclass(frozen=True)
class Mutant:
    name: str
    path: str  # relative to the checkout
    old: str  # must occur exactly once in the file
    new: str
    note: str


MUTANTS = [
    Mutant("decimal-negative-double", "src/decode/columns.h",
           "    if (decimal_magnitude(m) > EXACT_LIMIT) {\n      TRY(cell, big_decimal(m, s));\n",
           "    if (decimal_magnitude(m) > EXACT_LIMIT && m > 0) {\n      TRY(cell, big_decimal(m, s));\n",
           "negative mantissas below -2^53 divided as doubles: rounded twice"),
    Mutant("decimal-all-double", "src/decode/columns.h",
           "    if (decimal_magnitude(m) > EXACT_LIMIT) {\n      TRY(cell, big_decimal(m, s));\n",
           "    if (decimal_magnitude(m) > EXACT_LIMIT && m == 0) {\n      TRY(cell, big_decimal(m, s));\n",
           "every mantissa divided as a double, none through exact division"),
    Mutant("decimal-scale-7", "src/decode/columns_impl.h",
           "buf[pos] > 6) return bad(\"bad decimal scale\"",
           "buf[pos] > 7) return bad(\"bad decimal scale\"",
           "scale 7 accepted: a power of ten read past its table"),
    Mutant("gc-restore-lost", "src/run.cpp",
           "  if (collecting) PyGC_Enable();\n",
           "  (void)collecting;\n",
           "the collector left off after every call"),
    Mutant("gc-enable-always", "src/run.cpp",
           "  if (collecting) PyGC_Enable();\n",
           "  (void)collecting;\n  PyGC_Enable();\n",
           "the collector switched on after a call even when it was off before"),
    Mutant("utf8-masks-memory-error", "src/decode/strings.cpp",
           "  if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {\n"
           "    PyErr_Clear();\n"
           "    return bad(\"string is not valid UTF-8\", s);\n"
           "  }\n"
           "  return py_fail();\n",
           "  PyErr_Clear();\n"
           "  return bad(\"string is not valid UTF-8\", s);\n",
           "a MemoryError creating a string reported as invalid UTF-8"),
    Mutant("string-length-off-by-one", "src/decode/strings.cpp",
           "  if (n > remaining()) return short_(s);\n",
           "  if (n > remaining() + 1) return short_(s);\n",
           "a string may end one byte past the input"),
    Mutant("names-hash-not-compared", "src/decode/names.cpp",
           "      if (e.len != k.len || hashes[j] != h) return false;\n",
           "      if (e.len != k.len) return false;\n",
           "long names of equal length compared byte by byte on every use"),
    Mutant("names-short-lists-unhashed", "src/decode/names.cpp",
           "    const uint64_t h = hashed || k.len > SHORT_NAME ? name_hash(k) : 0;\n",
           "    const uint64_t h = hashed ? name_hash(k) : 0;\n",
           "long names in lists of up to 16 get no hash: compared byte by byte"),
    Mutant("names-hash-not-cached", "src/decode/names.cpp",
           "  if (k.entry == NO_ENTRY) return siphash13(",
           "  if (k.entry == NO_ENTRY || k.len > 0) return siphash13(",
           "a pooled name hashed again on every use"),
    Mutant("template-rows-unchecked", "src/decode/decoder.h",
           "return owed_rows + rows <= remaining(); }",
           "return (void)rows, true; }",
           "rows pre-filled from a template whether or not they fit in the input"),
    Mutant("sparse-high-bits-ignored", "src/decode/sparse.cpp",
           "    if (p > n || (n % 8 != 0 && (bits[b - 1] >> (n % 8)) != 0))\n",
           "    if (p > n)\n",
           "presence bits at row N and above accepted"),
    Mutant("sparse-rows-charged-once", "src/decode/sparse.cpp",
           "  CHECK(charge(2 * n, pos));\n",
           "  CHECK(charge(n, pos));\n",
           "sparse rows charged once instead of twice"),
    Mutant("depth-limit-off-by-one", "src/decode/value.cpp",
           "  if (depth > MAX_DEPTH) return bad(\"nesting too deep\", pos);\n",
           "  if (depth >= MAX_DEPTH) return bad(\"nesting too deep\", pos);\n",
           "values refused one level early"),
    Mutant("dict-index-off-by-one", "src/decode/columns_impl.h",
           "    if (i >= d) return bad(\"bad dictionary index\", pos);\n",
           "    if (i > d) return bad(\"bad dictionary index\", pos);\n",
           "a dictionary index equal to the size read past the dictionary"),
    Mutant("sparse-bitmap-high-bit-first", "src/decode/columns.h",
           "while (!((bits[cursor >> 3] >> (cursor & 7)) & 1)) ++cursor;",
           "while (!((bits[cursor >> 3] >> (7 - (cursor & 7))) & 1)) ++cursor;",
           "a sparse column's presence bits read from the high bit of each byte first"),
    # The encoder's edges
    Mutant("enc-dict-bound-2-byte-strings", "src/encode/columns.cpp",
           "least += len < POOL_MIN_LEN ? 1 + len : 2;",
           "least += len <= POOL_MIN_LEN ? 1 + len : 2;",
           "the quick lower bound on a string column's plain size counts a 2-byte string as 3 "
           "bytes: a dictionary written where plain values are no larger"),
    Mutant("enc-decimal-scale-6-unused", "src/encode/columns.cpp",
           "if (++s > MAX_SCALE) return false;",
           "if (++s >= MAX_SCALE) return false;",
           "the decimal scale search stops one short: numbers that need scale 6 written plain"),
    Mutant("enc-dict-index-one-byte", "src/encode/columns.cpp",
           "varint(rank[of_cell[k]]);",
           "byte(static_cast<uint8_t>(rank[of_cell[k]]));",
           "dictionary indexes written as one byte, not a varint: index 128 and up undecodable"),
    Mutant("enc-repeat-depth-off-by-one", "src/encode/scan.cpp",
           "if (depth + node.height > MAX_DEPTH) {",
           "if (depth + node.height > MAX_DEPTH + 1) {",
           "a shared container repeated where its copy reaches level 513 is not refused"),
    Mutant("enc-repeat-expansion-uncounted", "src/encode/scan.cpp",
           "f.count += node.expanded;",
           "f.count += 1;",
           "a repeat adds 1 to the tree's value count instead of its expanded size: a tree of "
           "more than 2**32 values is not refused"),
    Mutant("dumps-extra-positional", "src/ext.cpp",
           "if (nargs != 1) {",
           "if (nargs < 1) {",
           "dumps ignores positional arguments after the first"),
    Mutant("keyword-prefix", "src/ext.cpp",
           "if (std::strlen(k.names[i]) != static_cast<std::size_t>(size) ||\n"
           "        std::memcmp(k.names[i], text, static_cast<std::size_t>(size)) != 0)",
           "if (std::strncmp(k.names[i], text, static_cast<std::size_t>(size)) != 0)",
           "keywords matched as prefixes of the names (po= is pool=, an empty name is accepted)"),
    Mutant("keyword-given-twice", "src/ext.cpp",
           "if (i < k.positional && i < nargs) {",
           "if (i < k.positional && nargs < 0) {",
           "a keyword also given by position is taken twice, silently"),
    # The default limits and the limit arguments
    Mutant("default-copies-no-base", "src/run.cpp",
           "n) * COPIES_PER_BYTE + COPIES_BASE;",
           "n) * COPIES_PER_BYTE;",
           "the default copy limit without its constant base: small documents of references "
           "refused"),
    Mutant("limit-int-subclass-refused", "src/ext.cpp",
           "if (!PyLong_Check(x) || PyBool_Check(x)) {",
           "if (!PyLong_CheckExact(x)) {",
           "an int subclass (an IntEnum) given as a limit refused with TypeError"),
    # The Arrow reader's nodes
    Mutant("arrow-dict-to-str-null-offsets", "src/arrow/node.cpp",
           "      NA_OK(ArrowBufferAppend(&chars, dict_chars.data + s, e - s));\n"
           "    }\n"
           "    NA_OK(ArrowBufferAppendInt32(&offsets, static_cast<int32_t>(chars.size_bytes)));\n",
           "      NA_OK(ArrowBufferAppend(&chars, dict_chars.data + s, e - s));\n"
           "      NA_OK(ArrowBufferAppendInt32(&offsets, static_cast<int32_t>(chars.size_bytes)));\n"
           "    }\n",
           "a dictionary node turned into a string node gives its null rows no offset"),
    Mutant("arrow-dict-meets-str-union", "src/arrow/node.cpp",
           "if (kind == Kind::DICT && k == Kind::STR) {",
           "if (kind == Kind::STR && k == Kind::DICT) {",
           "a dictionary node that meets a plain string becomes a union of dictionary and "
           "string, not a string column"),
    Mutant("arrow-dict-base-ignored", "src/arrow/reader.cpp",
           "append_index(dict_base + static_cast<int64_t>(i), rd.spend);",
           "append_index(static_cast<int64_t>(i), rd.spend);",
           "a second dictionary column feeding one node indexes the first column's entries"),
    Mutant("arrow-dict-to-str-uncharged", "src/arrow/node.cpp",
           "      if (!spend.charge(static_cast<uint64_t>(e - s))) return spend.over();\n",
           "      (void)spend;\n",
           "dictionary strings copied into a string node not charged to the bound on copied "
           "string bytes"),
    Mutant("arrow-bound-verdict-unchecked", "src/arrow/arrow.cpp",
           "const bool ours = f.error() || PyErr_ExceptionMatches(PyExc_ValueError);",
           "const bool ours = PyErr_ExceptionMatches(PyExc_ValueError);",
           "a refusal by the columnar reader's own bound raised without asking the decoder "
           "first: a truncated document reported as too large"),
]


def run(cmd: list[str], cwd: Path, timeout: float | None = None) -> tuple[int | None, str]:
    """Exit status (None on timeout) and the combined output."""
    try:
        p = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           text=True, timeout=timeout)
    except subprocess.TimeoutExpired as e:
        out = e.stdout.decode(errors="replace") if isinstance(e.stdout, bytes) else (e.stdout or "")
        return None, out
    return p.returncode, p.stdout


def copy_tree(dest: Path) -> None:
    files = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, check=True,
                           stdout=subprocess.PIPE).stdout.decode().split("\0")
    for f in filter(None, files):
        src = ROOT / f
        if src.is_file():
            (dest / f).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(src, dest / f)


def first_failure(output: str) -> str:
    m = re.search(r"^(FAILED|ERROR) (\S+)", output, re.M)
    if m:
        return m.group(2)
    tail = [line for line in output.strip().splitlines() if line.strip()]
    return tail[-1][:100] if tail else "(no output)"


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--list", action="store_true", help="list the mutants and stop")
    ap.add_argument("--only", action="append", default=[], metavar="NAME",
                    help="run only this mutant (repeatable)")
    ap.add_argument("--python", default=sys.executable,
                    help="interpreter to build for and run the tests with")
    ap.add_argument("--timeout", type=float, default=900, help="seconds per suite run")
    ap.add_argument("--keep", action="store_true", help="keep the scratch directory")
    ap.add_argument("pytest_args", nargs="*", help="after --: extra pytest arguments")
    args = ap.parse_args()

    if args.list:
        for m in MUTANTS:
            print(f"{m.name:28} {m.path:26} {m.note}")
        return 0
    # What the runs need, checked before anything is copied or built.
    rc = subprocess.run([args.python, "-c", "import pytest, hypothesis"],
                        capture_output=True).returncode
    if rc != 0:
        print(f"mutants: {args.python} has no pytest or hypothesis: install the test extra "
              f"first ({args.python} -m pip install '.[test]'), or give --python an "
              "interpreter that has it", file=sys.stderr)
        return 2
    missing = [tool for tool in ("cmake", "ninja") if shutil.which(tool) is None]
    if missing:
        print(f"mutants: {' and '.join(missing)} not found: "
              f"{args.python} -m pip install cmake ninja", file=sys.stderr)
        return 2
    unknown = set(args.only) - {m.name for m in MUTANTS}
    if unknown:
        ap.error(f"unknown mutant(s): {', '.join(sorted(unknown))}")
    chosen = [m for m in MUTANTS if not args.only or m.name in args.only]

    for m in chosen:  # every patch must still apply to the sources as they are
        n = (ROOT / m.path).read_text().count(m.old)
        if n != 1:
            print(f"mutant {m.name}: its text occurs {n} times in {m.path}", file=sys.stderr)
            return 2

    scratch = Path(tempfile.mkdtemp(prefix="wexo-mutants-"))
    try:
        copy_tree(scratch)
        build = scratch / "build" / "mutants"
        rc, out = run(["cmake", "-S", ".", "-B", str(build), "-G", "Ninja",
                       f"-DPython_EXECUTABLE={args.python}"], scratch)
        if rc != 0:
            print(out, file=sys.stderr)
            return 2
        tests = scratch / "tests"
        env_path = f"{build}{os.pathsep}{scratch / 'python'}"
        pytest = ["env", f"PYTHONPATH={env_path}", args.python, "-m", "pytest", "-x", "-q",
                  "-p", "no:cacheprovider", *args.pytest_args]

        def suite() -> tuple[int | None, str, float]:
            shutil.rmtree(tests / ".hypothesis", ignore_errors=True)  # no replayed failures
            t0 = time.monotonic()
            rc, out = run(pytest, tests, args.timeout)
            return rc, out, time.monotonic() - t0

        rc, out = run(["cmake", "--build", str(build)], scratch)
        if rc != 0:
            print(out, file=sys.stderr)
            return 2
        rc, out, secs = suite()
        if rc != 0:
            print(out[-3000:], file=sys.stderr)
            print("the suite fails without any mutant: nothing to measure", file=sys.stderr)
            return 2
        print(f"baseline: suite passes in {secs:.0f}s", flush=True)

        results = []
        for m in chosen:
            target = scratch / m.path
            original = target.read_text()
            target.write_text(original.replace(m.old, m.new, 1))
            try:
                rc, out = run(["cmake", "--build", str(build)], scratch)
                if rc != 0:
                    verdict, detail, secs = "invalid", "does not build", 0.0
                else:
                    rc, out, secs = suite()
                    if rc is None:
                        verdict, detail = "killed", f"timeout after {args.timeout:.0f}s"
                    elif rc == 0:
                        verdict, detail = "SURVIVED", ""
                    elif rc < 0:
                        verdict, detail = "killed", f"crash (signal {-rc})"
                    else:
                        verdict, detail = "killed", first_failure(out)
            finally:
                target.write_text(original)
            results.append((m, verdict))
            print(f"{verdict:9} {m.name:28} {secs:5.0f}s  {detail}", flush=True)
        run(["cmake", "--build", str(build)], scratch)  # leave the scratch build clean

        killed = sum(v == "killed" for _, v in results)
        survived = [m.name for m, v in results if v == "SURVIVED"]
        judged = killed + len(survived)
        rate = f"{100 * killed / judged:.0f}%" if judged else "n/a"
        print(f"\nkilled {killed} of {judged} ({rate})"
              + (f"; survived: {', '.join(survived)}" if survived else ""))
        return 1 if survived else 0
    finally:
        if args.keep:
            print(f"scratch tree kept in {scratch}")
        else:
            shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
