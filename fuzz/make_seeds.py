"""Writes the fuzzer's seed inputs into fuzz/seeds/ (replacing what is there).

Four sources, each file named by its source and a hash of its bytes:

  h-*  hand-written documents: every tag, every column kind, tables, sparse
       tables, typed arrays, anchors and references, pool references,
       documents that fail in each of the ways the decoder reports, and a few
       streams of documents back to back;
  t-*  every input the test suite hands to loads_binary (captured by running
       tests/ under pytest with loads_binary wrapped; skipped with --no-tests
       or when wexo_native cannot be imported);
  d-*  wexo.dumps of varied trees, with every encoder option on, all off, and
       each one off in turn;
  c-*  wexo.dumps of small slices of the JSON corpus (WEXO_CORPUS or
       ../shared/corpus beside the checkout, else /work/shared/corpus).

Usage:
  PYTHONPATH=<dir of a built wexo_native>:python python3 fuzz/make_seeds.py [--no-tests]

Inputs longer than MAX_SEED bytes are left out (the fuzzer runs with a
-max_len of that size), and the sources are cut down, in a fixed order, so
that the whole set stays under MAX_TOTAL bytes.
"""
from __future__ import annotations

import argparse
import hashlib
import itertools
import json
import os
import struct
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SEEDS = ROOT / "fuzz" / "seeds"
MAX_SEED = 16384
MAX_TOTAL = 900_000

sys.path.insert(0, str(ROOT / "python"))

from wexo._format import uvarint, zigzag  # noqa: E402

def _options() -> list[str]:
    """The encoder's choices, as wexo._ext lists them."""
    from wexo import _ext

    return [name for name, _, _ in _ext.CHOICES]


def option_sets() -> list[dict[str, bool]]:
    options = _options()
    sets = [{}, {o: False for o in options}]
    sets += [{o: False} for o in options]
    return sets


# ---------------------------------------------------------------- hand-written

def uv(n: int) -> bytes:
    return uvarint(n)


def zz(n: int) -> bytes:
    return uvarint(zigzag(n))


def s(text: str | bytes) -> bytes:
    raw = text.encode() if isinstance(text, str) else text
    if len(raw) < 32:
        return bytes([0x40 | len(raw)]) + raw
    return b"\x05" + uv(len(raw)) + raw


def arr(*items: bytes) -> bytes:
    return b"\x07" + uv(len(items)) + b"".join(items)


def obj(*pairs: tuple[bytes, bytes]) -> bytes:
    return b"\x08" + uv(len(pairs)) + b"".join(k + v for k, v in pairs)


def f64(x: float) -> bytes:
    return b"\x04" + struct.pack("<d", x)


def names(*ns: str) -> bytes:
    return uv(len(ns)) + b"".join(s(n) for n in ns)


def bitmap(n: int, present) -> bytes:
    out = bytearray((n + 7) // 8)
    for r in present:
        out[r // 8] |= 1 << (r % 8)
    return bytes(out)


# One column of each kind, for n = 3 cells.
COLUMNS3 = [
    b"\x00\x81" + s("a") + b"\x00",                        # values
    b"\x00" + arr(b"\x80") + obj((s("k"), b"\x02")) + b"\x0c\x01\x04\x01",
    b"\x01" + zz(5) + zz(-10) + zz(2**40),                 # delta ints
    b"\x01" + zz(2**63 - 1) + zz(1) + zz(-1),              # wraps around
    b"\x02\x02" + zz(1500) + zz(125) + zz(-1),             # decimals
    b"\x02\x00" + zz(2**53 + 1) + zz(-(2**63)) + zz(0),
    b"\x02\x06" + zz(1) + zz(2**60) + zz(-3_000_000),
    b"\x03\x02" + s("ab") + s("cd") + b"\x00\x01\x00",     # dictionary strings
    b"\x03\x01\x05\x03abc\x00\x00\x00",
    b"\x04\x05",                                           # bool bits
    b"\x05\x02" + s("x") + s("y") + b"\x01\x02\x02\x02" + b"\x04\x05",  # object column
    b"\x05\x01" + s("o") + b"\x05\x01" + s("i") + b"\x00\x80\x81\x82",
]


def hand() -> list[bytes]:
    P = b"\x0f\x01"
    docs = [
        b"", b"\x0f", P, b"\x0e\x01\x00", b"\x0f\x02\x00",
        P + b"\x00", P + b"\x01", P + b"\x02", P + b"\x03" + zz(-(2**63)),
        P + b"\x03" + zz(2**63 - 1), P + b"\x03" + b"\xff" * 9 + b"\x01",
        P + b"\x03" + b"\xff" * 9 + b"\x02",                # varint overflow
        P + f64(2.5), P + f64(-0.0), P + f64(1e300), P + f64(2.0**53),
        P + b"\x04" + b"\x00" * 6 + b"\xf0\x7f",       # infinity
        P + b"\x04" + b"\x01\x00\x00\x00\x00\x00\xf8\x7f",  # NaN
        P + b"\x04\x00\x00", P + b"\x80", P + b"\xff", P + b"\x0e", P + b"\x3f",
        P + s(""), P + s("hello"), P + s("x" * 31), P + s("y" * 32), P + s("zé€😀" * 20),
        P + b"\x42\xc3\x28", P + b"\x43\xed\xa0\x80", P + b"\x05\x05ab",
        P + arr(s("abc"), b"\x06\x00", b"\x06\x00"),        # pool references
        P + arr(s("ab"), s("cd"), b"\x06\x01", b"\x06\x05"),
        P + arr(s("a"), b"\x06\x00"),                       # one byte: not pooled
        P + obj((s("ab"), s("cd")), (b"\x06\x00", b"\x06\x01")),
        P + obj((s("k"), b"\x80"), (s("k"), b"\x81")),      # duplicate key
        P + obj((b"\x81", b"\x80")),                        # key not a string
        P + arr(), P + obj(), P + arr(arr(arr(obj()))),
        P + b"\x07\x01" * 40 + b"\x07\x00",
        P + b"\x07\x01" * 513 + b"\x00",                    # nesting too deep
        P + b"\x08\x01\x41k" * 60 + b"\x08\x00",
        P + arr(b"\x0a" + arr(b"\x81", s("xy")), b"\x0b\x00", b"\x0b\x00"),
        P + b"\x0a\x07\x02\x0a\x80\x0b\x01",
        P + b"\x0a\x07\x01\x0b\x00",                        # own anchor, not complete
        P + b"\x0b\x00", P + b"\x0a" * 30 + b"\x80",
        P + b"\x07\x03\x0a" + arr(*[b"\x80"] * 10) + b"\x0b\x00\x0b\x05",
        P + arr(b"\x0a" + arr(*[b"\x80"] * 200), *[b"\x0b\x00"] * 50),
        P + arr(s("abc")) + b"\x00",                        # trailing data
        P + b"\x09\x02" + s("a") + s("bc") + b"\x02\x01\x02\x02\x03\x01" + s("xy") + b"\x00\x00",
        P + b"\x09\x00", P + b"\x09\x02\x41a\x41a", P + b"\x09\x01\x41a\x00\x04",
        P + b"\x0d\x02\x41a\x41b\x03\x00\x01\x14\x02\x02\x01\x05\x00\x02\x87",
        P + b"\x0d\x01\x41a\x03\x00\x01\x02\x02\x02\x01\x08",
        P + b"\x0d\x01\x41a\x03\x01\x06\x05\x01\x41x\x01\x02\x02",
        P + b"\x0d\x01\x41a\x03\x02\x00",
        P + b"\x0c\x03\x02\x02\xb8\x17\xfa\x01\x04",
        P + b"\x0c\x01\x02\x03\xfe" + b"\xff" * 8 + b"\x01",
        P + b"\x0c\x09\x04", P + b"\x0c\x08\x04\xff",
        P + b"\x0c\x02\x05\x02\x41x\x41x",
        P + b"\x0c\x02\x03\x01\x42ab\x00\x01",
        P + b"\x0c\x01\x06", P + b"\x0c\x01\x02\x07\x00",
        P + b"\x0c\x01\x05\x00\x00",
        P + arr(b"\x0c\x01\x03\x02\x42ab\x42cd\x01", b"\x06\x00", b"\x06\x01"),
    ]
    for col in COLUMNS3:
        docs.append(P + b"\x0c\x03" + col)                                    # typed array
        docs.append(P + b"\x09\x01" + s("c") + b"\x03" + col)                 # table
        docs.append(P + b"\x09\x02" + s("c") + s("d") + b"\x03" + col + b"\x04\x02")
        docs.append(P + b"\x0d\x01" + s("c") + b"\x03\x00" + col)             # sparse, all
        docs.append(P + b"\x0d\x02" + s("c") + s("dd") + b"\x06\x01" +        # sparse, bitmap
                    bitmap(6, [1, 3, 5]) + col + b"\x01" + bitmap(6, [0]) + b"\x00\x80")
        docs.append(P + arr(s("c"), b"\x09\x01\x06\x00\x03" + col))         # pooled header name
    # streams: documents back to back, a fault after them, one cut short
    docs.append(b"".join(docs[5:12]))
    docs.append(P + arr(s("abc"), b"\x06\x00") + P + s("abc") + P + b"\x06\x00")
    docs.append(P + b"\x80" + P + obj((s("k"), b"\x80"), (s("k"), b"\x81")) + P + b"\x81")
    docs.append(P + b"\x80" + b"\x0f\x02\x80" + P + s("hello")[:-2])
    return docs


# ---------------------------------------------------------------- dumps

def trees() -> list[object]:
    shared = {"k": [1, 2, {"deep": "value"}], "s": "shared"}
    rows = [{"id": i, "name": f"n{i % 3}", "ok": i % 2 == 0, "price": round(i * 1.25, 2),
             "tags": ["a", "b"][: i % 3], "pos": {"x": i, "y": -i}} for i in range(12)]
    sparse_rows = [{"a": i} if i % 3 else {"a": i, "b": "x" * (i % 5), "c": i * 0.5}
                   for i in range(10)]
    return [
        None, True, False, 0, -1, 127, 128, -(2**63), 2**63 - 1, 1.5, -0.0, 1e-310, 2.0**60,
        "", "a", "ab", "héllo wörld", "\u20ac" * 40, "\U0001f600",
        [], {}, [[]], [{}], {"": ""},
        list(range(40)), [i * 1000 - 7 for i in range(30)], [i / 4 for i in range(20)],
        [0.1, 0.25, 3.0, -7.125], [True, False] * 9, ["x", "y", "x", "zz"] * 5,
        ["repeat me please"] * 6, {"a": "same-string", "b": "same-string", "c": ["same-string"]},
        rows, sparse_rows, [shared, shared, {"again": shared}],
        [{"o": {"p": {"q": i}}} for i in range(5)],
        [{"v": [i, str(i)]} for i in range(5)],
        [{"m": 1, "n": None}, {"m": 2, "n": None}],
        [{"x": 2**62}, {"x": -(2**62)}, {"x": 5}],
        [{"d": 1.1}, {"d": 2.22}, {"d": 3.333}, {"d": 100}],
        [[1, [2, [3, [4, [5, []]]]]]] * 2,
        {"nested": [[{"a": [1, 2]}, {"a": [3]}], [{"a": []}]]},
    ]


def dumped() -> list[bytes]:
    import wexo
    out = []
    for tree, opts in itertools.product(trees(), option_sets()):
        out.append(wexo.dumps(tree, **opts))
    return out


def shrink(x: object, width: int, depth: int = 0) -> object:
    """x with every list cut to `width` items and every dict to 2 x width keys."""
    if depth > 12:
        return None
    if isinstance(x, list):
        return [shrink(v, width, depth + 1) for v in x[:width]]
    if isinstance(x, dict):
        return {k: shrink(v, width, depth + 1)
                for k, v in itertools.islice(x.items(), 2 * width)}
    return x


def corpus_dir() -> Path | None:
    for p in (os.environ.get("WEXO_CORPUS"), ROOT.parent / "shared" / "corpus",
              "/work/shared/corpus"):
        if p and Path(p).is_dir():
            return Path(p)
    return None


def from_corpus() -> list[bytes]:
    import wexo
    where = corpus_dir()
    if where is None:
        print("make_seeds: no JSON corpus found, skipping it", file=sys.stderr)
        return []
    out = []
    for path in sorted(where.glob("*.json")):
        tree = json.loads(path.read_text(encoding="utf-8"))
        for width, opts in itertools.product((3, 8, 24), option_sets()):
            try:
                out.append(wexo.dumps(shrink(tree, width), **opts))
            except (TypeError, ValueError):  # e.g. an int beyond 64 bits
                pass
    return out


# ---------------------------------------------------------------- test suite

def from_tests() -> list[bytes]:
    try:
        import wexo_native
    except ImportError as e:
        print(f"make_seeds: wexo_native not importable ({e}); no test vectors",
              file=sys.stderr)
        return []
    import pytest

    seen: list[bytes] = []
    original = wexo_native.loads_binary

    def loads_binary(*args, **kwargs):
        data = args[0] if args else kwargs.get("data")
        try:
            seen.append(bytes(memoryview(data)))
        except TypeError:
            pass
        return original(*args, **kwargs)

    # Patched before the tests' conftest imports it. Tests of the function
    # object itself fail here; only the inputs matter.
    wexo_native.loads_binary = loads_binary
    try:
        pytest.main(["-q", "--no-header", "-p", "no:cacheprovider", "--hypothesis-seed=0",
                     "-o", "addopts=", "--tb=no",
                     "--ignore", str(ROOT / "tests" / "test_leaks.py"),
                     "--ignore", str(ROOT / "tests" / "test_typing.py"),
                     "--ignore", str(ROOT / "tests" / "test_cli.py"),
                     str(ROOT / "tests")])
    finally:
        wexo_native.loads_binary = original
    return seen


# ---------------------------------------------------------------- main

def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--no-tests", action="store_true", help="skip the test-suite vectors")
    ap.add_argument("--out", type=Path, default=SEEDS)
    args = ap.parse_args()

    sources = [("h", hand()), ("d", dumped()), ("c", from_corpus())]
    if not args.no_tests:
        sources.insert(1, ("t", from_tests()))

    chosen: dict[bytes, str] = {}
    total = 0
    # Round-robin over the sources, shortest inputs first within each, so that
    # a cut for size drops the longest inputs of every source alike.
    queues = [(tag, sorted(set(d for d in docs if len(d) <= MAX_SEED), key=lambda d: (len(d), d)))
              for tag, docs in sources]
    for row in itertools.zip_longest(*(q for _, q in queues)):
        for (tag, _), d in zip(queues, row):
            if d is None or d in chosen or total + len(d) > MAX_TOTAL:
                continue
            chosen[d] = tag
            total += len(d)

    args.out.mkdir(parents=True, exist_ok=True)
    for old in args.out.iterdir():
        old.unlink()
    counts: dict[str, int] = {}
    for d, tag in chosen.items():
        name = f"{tag}-{hashlib.sha1(d).hexdigest()[:16]}"
        (args.out / name).write_bytes(d)
        counts[tag] = counts.get(tag, 0) + 1
    print(f"make_seeds: {len(chosen)} seeds, {total} bytes, by source {counts}")


if __name__ == "__main__":
    main()
