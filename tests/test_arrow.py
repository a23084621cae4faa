"""wexo.loads_arrow: tables and sparse tables as Arrow columns. The type of every column kind and
of plain cells, the same rows as loads_binary, the same refusals with the same message and offset,
the limits of wexo.loads, the bound on copied string bytes, and no leaks."""

from __future__ import annotations

import gc
import json
from array import array
import os
import random
import re
import struct
import sys
from pathlib import Path
from typing import Any, Callable

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

pa = pytest.importorskip("pyarrow")

import wexo  # noqa: E402
from conftest import KINDS, WexoError, arr, doc, f64, loads_binary, obj, s, same, uv, zz  # noqa: E402
from test_encoder_native import NAMES, OPTION_SETS, SCALARS, TREES, shared_trees  # noqa: E402
from test_leaks import blocks_per_call  # noqa: E402
from test_roundtrip import CORPUS_FILES  # noqa: E402
import test_sparse  # noqa: E402
import test_tables  # noqa: E402

SANITIZER = bool(os.environ.get("WEXO_SANITIZER"))
counts_blocks = pytest.mark.skipif(SANITIZER, reason="no block counts under PYTHONMALLOC=malloc")

loads_arrow = wexo.loads_arrow
UNLIMITED = {"max_cells": None, "max_copies": None}
ROOT = re.compile(r"loads_arrow\(\) needs a document whose root is a table, a sparse table or an array "
                  r"of objects, not \S")
# What Arrow cannot hold, refused with ValueError once the document has decoded: a name holding
# a NUL character (Arrow's names are C strings), types nested deeper than Arrow's importers follow,
# a column past 32-bit offsets.
NUL_NAME = "wexo: a column or field name holds a NUL character, which Arrow's names cannot"
TOO_DEEP = "wexo: the table's types nest more than 64 levels deep, beyond what Arrow imports"
TOO_BIG = ("wexo: a column holds more than 2**31 - 1 bytes or items, which Arrow's 32-bit offsets "
           "cannot address")

# ---- building documents


def col_ints(*values: int) -> bytes:
    """COL_DELTA_INT holding values: each delta wraps modulo 2**64, as the running sum does."""
    out, prev = bytearray(b"\x01"), 0
    for v in values:
        d = (v - prev) % 2**64
        out += zz(d - 2**64 if d >= 2**63 else d)
        prev = v
    return bytes(out)


def col_decimal(scale: int, *mantissas: int) -> bytes:
    return b"\x02" + bytes([scale]) + b"".join(zz(m) for m in mantissas)


def col_dict(entries: list[str], *indexes: int) -> bytes:
    return b"\x03" + uv(len(entries)) + b"".join(s(e) for e in entries) + b"".join(uv(i) for i in indexes)


def col_bits(*bits: bool, pad: int = 0) -> bytes:
    """COL_BOOL_BITS; pad sets the unused high bits of the last byte, which readers ignore."""
    out = bytearray((len(bits) + 7) // 8)
    for k, bit in enumerate(bits):
        out[k // 8] |= bit << (k % 8)
    if bits and len(bits) % 8:
        out[-1] |= pad & (0xFF << (len(bits) % 8)) & 0xFF
    return b"\x04" + bytes(out)


def col_values(*cells: bytes) -> bytes:
    return b"\x00" + b"".join(cells)


def col_object(names: list[str], *columns: bytes) -> bytes:
    return b"\x05" + uv(len(names)) + b"".join(s(n) for n in names) + b"".join(columns)


def table(names: list[str], n: int, *columns: bytes) -> bytes:
    return b"\x09" + uv(len(names)) + b"".join(s(x) for x in names) + uv(n) + b"".join(columns)


def typed(n: int, column: bytes) -> bytes:
    return b"\x0c" + uv(n) + column


def every(column: bytes) -> bytes:
    """A sparse column block present in every row."""
    return b"\x00" + column


def some(present: list[bool], column: bytes) -> bytes:
    """A sparse column block with a presence bitmap."""
    return b"\x01" + col_bits(*present)[1:] + column


def sparse(names: list[str], n: int, *blocks: bytes) -> bytes:
    return b"\x0d" + uv(len(names)) + b"".join(s(x) for x in names) + uv(n) + b"".join(blocks)


I = b"\x03"  # TAG_INT, before a zigzag varint


def small(n: int) -> bytes:
    return bytes([0x80 | n])


# ---- what may differ between loads_arrow and loads_binary


def norm(x: Any) -> Any:
    """x with the differences the Arrow path may show taken out: numbers compare by value (an int
    in a float64 column comes back as a float), and a key holding None is dropped, since a field
    absent from a sparse row or from one dict of a struct column comes back as None. A bool stays
    apart from the numbers."""
    if isinstance(x, dict):
        return {k: norm(v) for k, v in x.items() if v is not None}
    if isinstance(x, list):
        return [norm(v) for v in x]
    if isinstance(x, bool):
        return ("bool", x)
    return x


def rows_agree(got: list[dict[str, Any]], want: list[dict[str, Any]]) -> bool:
    return norm(got) == norm(want)


# ---- the capabilities, one table of byte vectors each

int64, float64, utf8, boolean, null = pa.int64(), pa.float64(), pa.utf8(), pa.bool_(), pa.null()
DICT = pa.dictionary(pa.int32(), pa.utf8())


def plain(t: Any) -> Any:
    """The type loads_arrow gives by default where the format's dictionaries would give t:
    plain strings in place of every dictionary."""
    if t == DICT:
        return pa.utf8()
    if isinstance(t, pa.ListType):
        return pa.list_(plain(t.value_type))
    if isinstance(t, pa.StructType):
        return pa.struct([pa.field(f.name, plain(f.type)) for f in t])
    return t


def loads_arrow_dicts(data: Any, **limits: Any) -> pa.Table:
    """The table with the format's dictionary string columns kept as Arrow dictionaries."""
    from wexo._arrow import _Batch

    capsules = wexo._ext.loads_columns(data, dictionaries=True, **limits)
    return pa.Table.from_batches([pa.record_batch(_Batch(capsules))])

UNION = "dense_union"  # a dense union; its children's types are checked apart
BIG = 2**53 + 1

COLUMN_KINDS = [  # id, body, {column: (Arrow type, values)}
    ("delta", table(["a"], 3, col_ints(10, -5, 2**63 - 1)),
     {"a": (int64, [10, -5, 2**63 - 1])}),
    ("delta wraps", table(["a"], 2, b"\x01" + zz(2**63 - 1) + zz(1)),  # past 2**63 - 1
     {"a": (int64, [2**63 - 1, -(2**63)])}),
    ("decimal scale 0", table(["a"], 3, col_decimal(0, 5, -7, 2**60)),
     {"a": (int64, [5, -7, 2**60])}),
    # integral quotients are floats here, where loads_binary gives ints
    ("decimal scale 2", table(["a"], 4, col_decimal(2, 1500, 125, -1, 0)),
     {"a": (float64, [15.0, 1.25, -0.01, 0.0])}),
    # mantissas past 2**53 divide exactly, as loads_binary's big_decimal does
    ("decimal big", table(["a"], 3, col_decimal(1, 2**53 + 10, -(2**63), 7)),
     {"a": (float64, [(2**53 + 10) / 10, -(2**63) / 10, 0.7])}),
    ("decimal scale 6", table(["a"], 2, col_decimal(6, 1, 123456789)),
     {"a": (float64, [1e-06, 123.456789])}),
    ("dictionary", table(["a"], 4, col_dict(["ab", "c", "ab"], 0, 1, 2, 0)),
     {"a": (DICT, ["ab", "c", "ab", "ab"])}),
    ("dictionary unused entries", table(["a"], 1, col_dict(["x", "yy", "zzz"], 2)),
     {"a": (DICT, ["zzz"])}),
    # N = 10: two bytes, garbage in the six unused bits
    ("bits", table(["a"], 10, col_bits(True, False, True, True, False, False, False, False, True, False,
                                       pad=0xFC)),
     {"a": (boolean, [True, False, True, True, False, False, False, False, True, False])}),
    ("bits 3 of 8", table(["a"], 3, col_bits(False, True, False, pad=0xF8)),
     {"a": (boolean, [False, True, False])}),
    ("bits 8", table(["a"], 8, col_bits(*[True] * 8)), {"a": (boolean, [True] * 8)}),
    ("object", table(["o"], 2, col_object(["x", "y"], col_ints(1, 2), col_values(s("p"), b"\x00"))),
     {"o": (pa.struct([("x", int64), ("y", utf8)]), [{"x": 1, "y": "p"}, {"x": 2, "y": None}])}),
    ("object in object", table(["o"], 2, col_object(["in", "b"], col_object(["d"], col_decimal(1, 5, 10)),
                                                    col_bits(True, False))),
     {"o": (pa.struct([("in", pa.struct([("d", float64)])), ("b", boolean)]),
            [{"in": {"d": 0.5}, "b": True}, {"in": {"d": 1.0}, "b": False}])}),
    ("several columns", table(["i", "d", "s", "b"], 2, col_ints(1, 2), col_decimal(3, 1, 2),
                              col_dict(["q"], 0, 0), col_bits(False, True)),
     {"i": (int64, [1, 2]), "d": (float64, [0.001, 0.002]), "s": (DICT, ["q", "q"]),
      "b": (boolean, [False, True])}),
    ("zero rows", table(["i", "d", "e", "s", "b", "o"], 0, col_ints(), col_decimal(0), col_decimal(4),
                        col_dict(["unused"]), col_bits(), col_object(["x"], col_ints())),
     {"i": (int64, []), "d": (int64, []), "e": (float64, []), "s": (DICT, []), "b": (boolean, []),
      "o": (pa.struct([("x", int64)]), [])}),
]

PLAIN_CELLS = [  # id, cells of one COL_VALUES column, Arrow type, values
    ("none", [b"\x00", b"\x00"], null, [None, None]),
    ("bool", [b"\x02", b"\x01", b"\x00"], boolean, [True, False, None]),
    ("int", [small(1), I + zz(2**62), b"\x00", I + zz(-(2**63))], int64, [1, 2**62, None, -(2**63)]),
    ("float", [f64(0.5), b"\x00", f64(-1e300)], float64, [0.5, None, -1e300]),
    ("str", [s("a"), s(""), s("x" * 40), b"\x00"], utf8, ["a", "", "x" * 40, None]),
    ("pooled str", [s("abc"), b"\x06\x00", s("é" * 20), b"\x06\x01"], utf8, ["abc", "abc", "é" * 20, "é" * 20]),
    ("ints and floats", [small(1), f64(0.5), I + zz(-(2**53))], float64, [1.0, 0.5, -(2.0**53)]),
    # an integral TAG_FLOAT below 2**53 is an int, as loads_binary gives it
    ("integral floats are ints", [f64(3.0), small(1), f64(-0.0)], int64, [3, 1, 0]),
    ("2**53 as a float", [f64(2.0**53), small(1)], float64, [2.0**53, 1.0]),
    # an int that a double cannot hold keeps its value in a union
    ("big int and float", [I + zz(BIG), f64(0.5)], UNION, [BIG, 0.5]),
    ("str and int", [s("a"), small(1), s("b")], UNION, ["a", 1, "b"]),
    ("bool and int", [b"\x02", small(1), b"\x01", small(0)], UNION, [True, 1, False, 0]),
    ("str, int and None", [s("a"), b"\x00", small(7)], UNION, ["a", None, 7]),
    ("lists", [arr(small(1), small(2)), arr(), b"\x00"], pa.list_(int64), [[1, 2], [], None]),
    ("lists of lists", [arr(arr(s("a")), arr()), arr(arr(s("b"), s("c")))], pa.list_(pa.list_(utf8)),
     [[["a"], []], [["b", "c"]]]),
    ("typed arrays", [typed(3, col_ints(1, 2, 3)), typed(0, col_ints())], pa.list_(int64), [[1, 2, 3], []]),
    ("typed bools", [typed(3, col_bits(True, False, True)), typed(1, col_bits(False))], pa.list_(boolean),
     [[True, False, True], [False]]),
    ("typed decimals", [typed(2, col_decimal(1, 5, 15))], pa.list_(float64), [[0.5, 1.5]]),
    ("nested tables", [table(["k"], 2, col_ints(1, 2)), table(["k"], 1, col_ints(3))],
     pa.list_(pa.struct([("k", int64)])), [[{"k": 1}, {"k": 2}], [{"k": 3}]]),
    ("dicts", [obj((s("a"), small(1)), (s("b"), s("x"))), obj((s("a"), small(2)), (s("b"), s("y")))],
     pa.struct([("a", int64), ("b", utf8)]), [{"a": 1, "b": "x"}, {"a": 2, "b": "y"}]),
    # every key seen in the column, in first-seen order; None where a dict lacked it
    ("dicts with differing keys", [obj((s("a"), small(1))), obj((s("b"), s("x")), (s("a"), small(2))), b"\x00"],
     pa.struct([("a", int64), ("b", utf8)]), [{"a": 1, "b": None}, {"a": 2, "b": "x"}, None]),
    ("anchored list and its copy", [b"\x0a" + arr(small(4)), b"\x0b\x00"], pa.list_(int64), [[4], [4]]),
    # one node fed by two dictionary columns: the second's indexes name its own entries
    ("two dictionaries", [typed(2, col_dict(["a", "b"], 0, 1)), typed(3, col_dict(["c", "d"], 1, 0, 1))],
     pa.list_(DICT), [["a", "b"], ["d", "c", "d"]]),
    # a dictionary node that meets a plain string becomes a string node, its nulls kept
    ("dictionary, then a string", [typed(2, col_dict(["ab"], 0, 0)), typed(1, col_values(s("cd")))],
     pa.list_(utf8), [["ab", "ab"], ["cd"]]),
    ("dictionary, a null, then a string",
     [table(["k"], 1, col_dict(["ab"], 0)), table(["k"], 3, col_values(b"\x00", s("cd"), b"\x00"))],
     pa.list_(pa.struct([("k", utf8)])), [[{"k": "ab"}], [{"k": None}, {"k": "cd"}, {"k": None}]]),
]


def check_columns(body: bytes, expected: dict[str, tuple[Any, list[Any]]]) -> None:
    """Column names, types and values, and the rows against loads_binary."""
    data = doc(body)
    want = loads_binary(data)
    for kind, load, typed_as in [(k, loads_arrow, plain) for k in KINDS] + [(bytes, loads_arrow_dicts, None)]:
        t = load(kind(data))
        assert isinstance(t, pa.Table)
        assert t.column_names == list(expected)
        assert t.num_rows == len(next(iter(expected.values()))[1])
        for name, (arrow_type, values) in expected.items():
            got = t.schema.field(name).type
            if arrow_type == UNION:
                assert pa.types.is_union(got) and got.mode == "dense", got
            else:
                assert got == (typed_as(arrow_type) if typed_as else arrow_type), (name, got)
            cells = t.column(name).to_pylist()
            assert same(cells, values), (name, cells)
        assert rows_agree(t.to_pylist(), want)


@pytest.mark.parametrize("body,expected", [c[1:] for c in COLUMN_KINDS], ids=[c[0] for c in COLUMN_KINDS])
def test_column_kinds(body, expected):
    check_columns(body, expected)



@pytest.mark.parametrize("cells,arrow_type,values", [c[1:] for c in PLAIN_CELLS], ids=[c[0] for c in PLAIN_CELLS])
def test_plain_cells(cells, arrow_type, values):
    check_columns(table(["v"], len(cells), col_values(*cells)), {"v": (arrow_type, values)})


def test_dictionary_is_the_documents():
    # the format's dictionary becomes Arrow's as it stands: entries may repeat
    t = loads_arrow_dicts(doc(table(["a"], 4, col_dict(["ab", "c", "ab"], 0, 1, 2, 0))))
    chunk = t.column("a").combine_chunks()
    assert chunk.dictionary.to_pylist() == ["ab", "c", "ab"]
    assert chunk.indices.to_pylist() == [0, 1, 2, 0]
    assert chunk.indices.type == pa.int32()


def test_union_children_keep_each_type():
    t = loads_arrow(doc(table(["v"], 4, col_values(s("a"), small(1), b"\x02", f64(0.5)))))
    u = t.schema.field("v").type
    children = [u.field(i).type for i in range(u.num_fields)]
    # one child per type; ints exact as doubles join the floats, as outside a union
    assert children == [utf8, float64, boolean]
    assert same(t.column("v").to_pylist(), ["a", 1.0, True, 0.5])
    # an int past 2**53 keeps its own member, before and after the floats
    t = loads_arrow(doc(table(["v"], 4, col_values(I + zz(2**60), f64(0.5), small(1), I + zz(-(2**60))))))
    u = t.schema.field("v").type
    assert [u.field(i).type for i in range(u.num_fields)] == [int64, float64]
    assert same(t.column("v").to_pylist(), [2**60, 0.5, 1.0, -(2**60)])


H = ["a", "b"]
SPARSE_KINDS = [  # id, body, {column: (Arrow type, values)}
    # bit k of byte k / 8 is row k. First among the sparse tables here: read from the high bit
    # first, these rows would still lie within the table, and the rows differ from the
    # decoder's rather than landing past its end.
    ("presence bits from bit 0", sparse(["a"], 8, some([True] + [False] * 7, col_ints(5))),
     {"a": (int64, [5] + [None] * 7)}),
    ("presence bits over two bytes",
     sparse(["a"], 16, some([True, True] + [False] * 12 + [True, False], col_ints(1, 2, 3))),
     {"a": (int64, [1, 2] + [None] * 12 + [3, None])}),
    # the worked example: a in every row, b (True and 7) in rows 0 and 2
    ("example", bytes.fromhex("0d024161416203000114020201050002 87".replace(" ", "")),
     {"a": (int64, [10, 11, 12]), "b": (UNION, [True, None, 7])}),
    ("delta, running sum over present cells", sparse(["a"], 3, some([True, False, True], b"\x01\x0a\x02")),
     {"a": (int64, [5, None, 6])}),
    # N = 10, three present rows: the bool column takes one byte, its bit 0 for row 1
    ("bits", sparse(["a"], 10, some([False, True] + [False] * 6 + [True, True], col_bits(True, False, True))),
     {"a": (boolean, [None, True] + [None] * 6 + [False, True])}),
    ("N = 9", sparse(["a"], 9, some([False] * 8 + [True], col_bits(True))),
     {"a": (boolean, [None] * 8 + [True])}),
    ("decimal", sparse(["a"], 3, some([True, False, True], col_decimal(2, 150, -5))),
     {"a": (float64, [1.5, None, -0.05])}),
    ("dictionary", sparse(["a"], 3, some([False, True, True], col_dict(["q", "r"], 1, 0))),
     {"a": (DICT, [None, "r", "q"])}),
    ("object", sparse(["a"], 3, some([False, True, True], col_object(["x"], col_ints(1, 2)))),
     {"a": (pa.struct([("x", int64)]), [None, {"x": 1}, {"x": 2}])}),
    # a row present in no column: nulls throughout
    ("row in no column", sparse(H, 3, some([True, False, False], col_bits(True)),
                                some([False, False, True], col_bits(True))),
     {"a": (boolean, [True, None, None]), "b": (boolean, [None, None, True])}),
    ("all present through a bitmap", sparse(["a"], 8, some([True] * 8, col_ints(*range(8)))),
     {"a": (int64, list(range(8)))}),
    # all-zero bitmaps: no cell, yet each kind's fixed part is there and sets the type
    ("all absent", sparse(["i", "d", "e", "s", "b", "o", "v"], 3,
                          some([False] * 3, col_ints()), some([False] * 3, col_decimal(0)),
                          some([False] * 3, col_decimal(3)), some([False] * 3, col_dict(["x", "yy"])),
                          some([False] * 3, col_bits()), some([False] * 3, col_object(["x"], col_bits())),
                          some([False] * 3, col_values())),
     {"i": (int64, [None] * 3), "d": (int64, [None] * 3), "e": (float64, [None] * 3),
      "s": (DICT, [None] * 3), "b": (boolean, [None] * 3),
      "o": (pa.struct([("x", boolean)]), [None] * 3), "v": (null, [None] * 3)}),
    ("all absent, N = 9", sparse(["a"], 9, some([False] * 9, col_ints())), {"a": (int64, [None] * 9)}),
    ("zero rows", sparse(H, 0, every(col_ints()), b"\x01" + col_decimal(2)),
     {"a": (int64, []), "b": (float64, [])}),
    ("presence-all kinds", sparse(["i", "s", "o"], 2, every(col_ints(3, 4)), every(col_dict(["z"], 0, 0)),
                                  every(col_object(["x"], col_bits(True, True)))),
     {"i": (int64, [3, 4]), "s": (DICT, ["z", "z"]), "o": (pa.struct([("x", boolean)]), [{"x": True}] * 2)}),
]


@pytest.mark.parametrize("body,expected", [c[1:] for c in SPARSE_KINDS], ids=[c[0] for c in SPARSE_KINDS])
def test_sparse_kinds(body, expected):
    check_columns(body, expected)


def test_validity_of_sparse_columns():
    t = loads_arrow(doc(sparse(["a"], 10, some([k % 3 == 0 for k in range(10)], col_ints(0, 3, 6, 9)))))
    chunk = t.column("a").combine_chunks()
    assert chunk.null_count == 6
    assert chunk.is_valid().to_pylist() == [k % 3 == 0 for k in range(10)]


@pytest.mark.parametrize("cells,arrow_type,values", [c[1:] for c in PLAIN_CELLS], ids=[c[0] for c in PLAIN_CELLS])
def test_plain_cells_in_a_sparse_table(cells, arrow_type, values):
    # the same cells, each after an absent row: absent rows are nulls of the same type
    n = 2 * len(cells)
    present = [k % 2 == 1 for k in range(n)]
    body = sparse(["k", "v"], n, every(col_ints(*range(n))), some(present, col_values(*cells)))
    spread = [v for value in values for v in (None, value)]
    check_columns(body, {"k": (int64, list(range(n))), "v": (arrow_type, spread)})


def utf8_candidates():
    """Every one- and two-byte sequence, and three- and four-byte ones around the boundaries of
    overlong forms, surrogates and U+10FFFF."""
    yield from (bytes([a]) for a in range(256))
    yield from (bytes([a, b]) for a in range(0xC0, 0x100) for b in range(256))
    edges = (0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0)
    yield from (bytes([a, b, c]) for a in range(0xE0, 0xF0) for b in edges for c in (0x7F, 0x80, 0xBF, 0xC0))
    yield from (bytes([a, b, c, d]) for a in range(0xF0, 0xF8) for b in edges for c in (0x80, 0xC0)
                for d in (0x80, 0xBF, 0xC0))


def test_utf8_judged_as_the_decoder_judges_it():
    # the columnar reader checks string cells and names itself
    kinds = set()
    for raw in utf8_candidates():
        short = bytes([0x40 | len(raw)]) + raw
        for body in (table(["v"], 1, col_values(short)),                    # a string cell
                     b"\x09\x01" + short + b"\x01\x01\x02",               # a column name
                     table(["v"], 1, col_values(b"\x08\x01" + short + small(0)))):  # a key
            kinds.add(agrees(doc(body)))
    assert kinds == {"ok", "wexo", "arrow"}


@settings(max_examples=40 if SANITIZER else 300, deadline=None)
@given(st.integers(1, 6), st.lists(st.one_of(st.integers(-(2**63), 2**63 - 1), st.integers(-(10**7), 10**7)),
                                   min_size=1, max_size=20))
def test_decimals_are_the_decoders_doubles(scale, mantissas):
    data = doc(table(["d"], len(mantissas), col_decimal(scale, *mantissas)))
    want = [struct.pack("<d", float(row["d"])) for row in loads_binary(data)]
    got = loads_arrow(data).column("d").to_pylist()
    assert [struct.pack("<d", v) for v in got] == want


def test_every_vector_of_the_decoder_tests_agrees():
    for body, _ in test_tables.TABLES + test_sparse.SPARSE:
        data = doc(body)
        assert rows_agree(loads_arrow(data).to_pylist(), loads_binary(data)), body.hex(" ")


def test_every_error_vector_of_the_decoder_tests_fails_alike():
    # before the random damage below: a fault that lets a stray presence bit or a dictionary
    # index past the entries through is named here, at its vector, by the columnar reader
    # (which places no cell past the last row and reads no entry) before the decoder runs
    for body, message, offset in test_sparse.ERRORS + test_tables.ERRORS:
        data = doc(body)
        with pytest.raises(WexoError) as info:
            loads_arrow(data)
        assert (info.value.message, info.value.offset) == (message, offset), body.hex(" ")
        assert outcome(loads_binary, data) == ("wexo", message, offset), body.hex(" ")


# ---- the same rows as loads_binary, for everything the encoder makes


def outcome(fn: Callable[[bytes], Any], data: bytes) -> tuple[Any, ...]:
    """("ok", rows), ("wexo", message, offset), ("root", text) or ("arrow", text): anything
    else propagates."""
    try:
        r = fn(data)
    except WexoError as e:
        return ("wexo", e.message, e.offset)
    except TypeError as e:
        if ROOT.match(str(e)):
            return ("root", str(e))
        raise
    except ValueError as e:
        if str(e) in (NUL_NAME, TOO_DEEP, TOO_BIG):
            return ("arrow", str(e))
        raise
    return ("ok", r.to_pylist() if isinstance(r, pa.Table) else r)


def agrees(data: bytes, reference: Callable[[bytes], Any] = loads_binary, **limits: int | None) -> str:
    """Checks loads_arrow against reference on data; returns the outcome's kind."""
    want = outcome(reference, data)
    got = outcome(lambda d: loads_arrow(d, **limits), data)
    if want[0] == "wexo":
        assert got == want, data.hex(" ")
        return "wexo"
    records = isinstance(want[1], list) and all(isinstance(r, dict) for r in want[1])
    if got[0] == "root":
        assert not records, data.hex(" ")
        return "root"
    if got[0] == "arrow":
        # a NUL name may belong to a column no row holds, hence the weak check
        assert got[1] != NUL_NAME or 0 in data[2:], data.hex(" ")
        return "arrow"
    assert records and got[0] == "ok", (got, data.hex(" "))
    assert rows_agree(got[1], want[1]), data.hex(" ")
    return "ok"


def records(children):
    """Lists of records: the same keys (tables), keys that vary (sparse tables), nested records."""
    keys = st.lists(NAMES, min_size=1, max_size=5, unique=True)
    uniform = keys.flatmap(lambda ks: st.lists(st.fixed_dictionaries({k: children for k in ks}),
                                               min_size=1, max_size=12))
    varied = st.lists(st.dictionaries(NAMES, children, min_size=1, max_size=5), min_size=2, max_size=12)
    return uniform | varied


# cells that the column encodings favour: runs of ints, decimals, repeated strings, bools
COLUMN_CELLS = st.one_of(
    st.integers(-1000, 1000), st.integers(-(2**63), 2**63 - 1),
    st.integers(-99999, 99999).map(lambda n: n / 100), st.sampled_from(["red", "green", "blue", "x" * 33]),
    st.booleans(), st.none(),
)
CELLS = st.one_of(COLUMN_CELLS, SCALARS, TREES, records(COLUMN_CELLS))


@settings(max_examples=40 if SANITIZER else 400, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(records(CELLS) | shared_trees(), OPTION_SETS)  # shared cells: anchors and their copies
def test_same_rows_as_loads_binary(rows, options):
    agrees(wexo.dumps(rows, **options), **UNLIMITED)


LIMITS = st.one_of(st.none(), st.integers(0, 64), st.integers(0, 4096))


@settings(max_examples=30 if SANITIZER else 200, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(records(CELLS) | shared_trees(), OPTION_SETS, LIMITS, LIMITS)
def test_same_refusals_as_loads_within_limits(rows, options, cells, copies):
    limits = {"max_cells": cells, "max_copies": copies}
    agrees(wexo.dumps(rows, **options), lambda d: wexo.loads(d, **limits), **limits)


def record_lists(tree: Any):
    """Every list of two or more dicts anywhere in tree."""
    stack = [tree]
    while stack:
        x = stack.pop()
        if isinstance(x, list):
            if len(x) >= 2 and all(isinstance(v, dict) for v in x):
                yield x
            stack.extend(x)
        elif isinstance(x, dict):
            stack.extend(x.values())


@pytest.mark.parametrize("path", CORPUS_FILES, ids=lambda p: p.name)
def test_corpus_record_lists(path):
    tree = json.loads(path.read_bytes())
    kinds = [agrees(wexo.dumps(rows)) for rows in record_lists(tree)]
    assert set(kinds) <= {"ok"}


# ---- the same refusals

PARITY_DOCUMENTS = {  # name: document
    "column kinds": doc(table(["i", "d", "s", "b", "o", "v"], 3, col_ints(1, 500, -7), col_decimal(2, 1, 2, 3),
                              col_dict(["ab", "cd"], 0, 1, 0), col_bits(True, False, True),
                              col_object(["x", "y"], col_ints(1, 2, 3), col_values(s("p"), s("ab"), b"\x06\x00")),
                              col_values(s("q"), small(1), arr(small(2), f64(0.5))))),
    "plain cells": doc(table(["v", "w"], 3, col_values(obj((s("k"), small(1))), b"\x00", obj((s("j"), s("zz")))),
                             col_values(typed(2, col_bits(True, False)), table(["n"], 1, col_ints(5)), arr()))),
    "sparse": doc(sparse(["a", "b", "c"], 10, every(col_ints(*range(10))),
                         some([k % 3 == 0 for k in range(10)], col_dict(["xy", "z"], 0, 1, 1, 0)),
                         some([k in (1, 9) for k in range(10)], col_values(s("long string here"), b"\x06\x00")))),
    "sparse objects": doc(sparse(["o", "d"], 9, some([k % 2 == 0 for k in range(9)],
                                                     col_object(["x"], col_decimal(1, 1, 2, 3, 4, 5))),
                                 some([False] * 9, col_decimal(3)))),
    "encoder's": wexo.dumps([{"id": i, "p": i / 4, "n": f"n{i % 3}", "ok": i % 2 == 0, "pos": {"x": i},
                              "t": [i, "x"] if i % 4 else None} for i in range(12)]),
    "encoder's sparse": wexo.dumps([{"a": 1}, {"a": 2, "b": "x"}, {"b": "y", "c": [1]}, {"a": 3.5}] * 3),
}


@pytest.mark.parametrize("name", list(PARITY_DOCUMENTS))
def test_every_truncation_fails_alike(name):
    data = PARITY_DOCUMENTS[name]
    assert agrees(data) == "ok"
    for n in range(len(data)):
        assert agrees(data[:n]) == "wexo"


@pytest.mark.parametrize("name", list(PARITY_DOCUMENTS))
def test_single_byte_mutations_fail_or_succeed_alike(name):
    data = PARITY_DOCUMENTS[name]
    rng = random.Random(name)
    kinds = set()
    for _ in range(60 if SANITIZER else 400):
        b = bytearray(data)
        at = rng.randrange(2, len(b))
        b[at] = rng.choice([rng.randrange(256), b[at] ^ (1 << rng.randrange(8)), 0x00, 0x06, 0x80, 0xFF])
        kinds.add(agrees(bytes(b)))
    assert "wexo" in kinds


@pytest.mark.parametrize("name", list(PARITY_DOCUMENTS))
def test_small_limits_refuse_alike(name):
    data = PARITY_DOCUMENTS[name]
    for cells in (0, 1, 2, 3, 5, 8, 13, 21, 40, None):
        for copies in (0, 1, 2, None):
            limits = {"max_cells": cells, "max_copies": copies}
            agrees(data, lambda d: wexo.loads(d, **limits), **limits)


def test_limits_hold_on_copies():
    # three references to an anchored list of ten: 30 copies
    data = doc(table(["v"], 4, col_values(b"\x0a" + arr(*[small(1)] * 10), b"\x0b\x00", b"\x0b\x00", b"\x0b\x00")))
    for copies in (0, 10, 29, 30, 31, 100):
        assert agrees(data, lambda d: wexo.loads(d, max_copies=copies), max_copies=copies) in ("ok", "wexo")
    with pytest.raises(WexoError) as info:
        loads_arrow(data, max_copies=5)
    assert info.value.message == ("reference expansion too large: over max_copies=5"
                                  " (max_copies=None lifts it)")


def test_default_limits_are_loads():
    # a sparse table of many rows in few bytes: refused by default, accepted without limits
    data = doc(sparse(["a"], 8 * 4000, some([False] * (8 * 4000), col_ints())))
    assert agrees(data, wexo.loads) in ("ok", "wexo")
    assert agrees(data, lambda d: wexo.loads(d, **UNLIMITED), **UNLIMITED) == "ok"


# ---- roots that are not tables

NOT_TABLES = [  # body
    b"\x00", b"\x01", b"\x02", small(5), I + zz(-3), f64(0.5), f64(2.0), s("ab"), s("x" * 40),
    obj(), obj((s("a"), small(1))), arr(small(1)), arr(obj(), small(1)), arr(obj(), b"\x00"),
    arr(arr()), typed(2, col_ints(1, 2)),
    b"\x0a" + arr(small(1)),                                  # an anchored list
]


@pytest.mark.parametrize("body", NOT_TABLES, ids=[b.hex() for b in NOT_TABLES])
def test_other_roots_are_a_type_error(body):
    data = doc(body)
    loads_binary(data)
    for kind in KINDS:
        with pytest.raises(TypeError, match=ROOT):
            loads_arrow(kind(data))


MALFORMED = [  # body: each root not a table, each refused by the decoder
    arr(small(1), b"\x0e"),                  # bad tag inside
    obj((s("a"), small(1)), (s("a"), small(2))),  # duplicate key
    s("abc")[:-1],                           # truncated
    arr(small(1)) + b"\x00",                 # trailing data
    typed(2, col_dict(["a"], 0, 1)),         # bad dictionary index
    b"\x0b\x00",                             # anchor not yet defined
    table(["a"], 1, col_ints(1)) + b"\x00",  # a table, then trailing data
    b"",                                     # the prologue only
    # a table cut short, after enough copies of a long string for the columnar reader's own
    # bound on string bytes to refuse it first: the decoder's verdict is the one raised
    table(["v"], 2000, col_values(s("x" * 100_000), *[b"\x06\x00"] * 1999))[:-1],
]


@pytest.mark.parametrize("body", MALFORMED, ids=[b[:24].hex() for b in MALFORMED])
def test_malformed_documents_raise_the_decoders_error(body):
    data = doc(body)
    with pytest.raises(WexoError) as want:
        loads_binary(data)
    for kind in KINDS:
        with pytest.raises(WexoError) as got:
            loads_arrow(kind(data))
        assert (got.value.message, got.value.offset) == (want.value.message, want.value.offset)
        assert str(got.value) == str(want.value)


def test_bad_prologue():
    good = table(["a"], 1, col_ints(1))
    for data in (b"", b"\x0f", b"\x0f\x02\x00", b"\x00\x01\x00",
                 b"\x32\x01" + good, b"\x0f\x07" + good,  # a table behind a bad prologue
                 b"\x0f\x00" + sparse(["a"], 0, every(col_ints())), b"\x0f\x01\x09"):
        assert agrees(data) == "wexo"


def nested_lists(levels: int) -> bytes:
    v = small(1)
    for _ in range(levels):
        v = arr(v)
    return v


def test_what_arrow_cannot_hold_is_a_value_error():
    assert loads_arrow(doc(table(["v"], 1, col_values(nested_lists(62))))).num_rows == 1
    for body, text in (
        (table(["v"], 1, col_values(nested_lists(63))), TOO_DEEP),
        (table(["v"], 1, col_values(nested_lists(500))), TOO_DEEP),
        (table(["a\0b"], 1, col_ints(1)), NUL_NAME),
        (table(["v"], 1, col_values(obj((s("\0"), small(1))))), NUL_NAME),
        (sparse(["o"], 1, some([True], col_object(["x\0"], col_ints(1)))), NUL_NAME),
    ):
        data = doc(body)
        loads_binary(data)
        with pytest.raises(ValueError) as info:
            loads_arrow(data)
        assert type(info.value) is ValueError and str(info.value) == text
        # malformed, the same document raises the decoder's error instead
        assert agrees(data[:-1]) == "wexo"


# ---- string bytes copied per reference are bounded


def test_one_long_string_in_many_cells_is_refused():
    # a 1 MiB pooled string named by 4,096 two-byte references: 4 GiB if each copied it
    long = s("x" * (1 << 20))
    refs = b"\x03" + uv(4095) + b"\x06\x00" * 4095 + uv(0)  # a dictionary of 4,095 references
    # kept as a dictionary, each entry is copied once, named or not; made plain, only the
    # entries that cells name
    for body in (
        table(["s", "v"], 1, col_values(long), refs),
        table(["v"], 2, col_values(long, typed(1, refs))),
        sparse(["s", "v"], 1, every(col_values(long)), some([True], refs)),
        table(["s", "o"], 1, col_values(long), col_object(["k"], refs)),
    ):
        data = doc(body)
        assert loads_arrow(data, **UNLIMITED).num_rows == len(loads_binary(data))
        with pytest.raises(WexoError) as info:
            loads_arrow_dicts(data, **UNLIMITED)
        assert info.value.message == "decoded size too large"
        assert len(body) - 2 * 4095 < info.value.offset - 2 <= len(body)
    named = b"\x03" + uv(4095) + b"\x06\x00" * 4095 + uv(0) * 4095  # 4,095 cells name entry 0
    for body in (
        table(["s", "v"], 4095, col_values(long, *[b"\x00"] * 4094), named),
        table(["v"], 4096, col_values(long, *[b"\x06\x00"] * 4095)),
        sparse(["v"], 4096, every(col_values(long, *[b"\x06\x00"] * 4095))),
        table(["v"], 2, col_values(long, arr(*[b"\x06\x00"] * 4095))),
        table(["v"], 1, col_values(obj((s("k"), long), (s("l"), arr(*[b"\x06\x00"] * 4095))))),
    ):
        data = doc(body)
        assert len(loads_binary(data)) >= 1
        with pytest.raises(WexoError) as info:
            loads_arrow(data, **UNLIMITED)
        assert info.value.message == "decoded size too large"
        assert len(body) - 2 * 4095 < info.value.offset - 2 <= len(body)


def test_dictionary_strings_made_plain_are_bounded():
    # a 64 KiB entry named by 2,000 rows, then a plain string in the same node: the rows become
    # plain strings, 131 MB of them, which the bound on copied bytes refuses at that string
    entry = "e" * 65536
    head = table(["v"], 2, col_values(typed(2000, col_dict([entry], *[0] * 2000))))
    body = head + typed(1, col_values(s("zz")))
    data = doc(body)
    assert loads_binary(data)[1] == {"v": ["zz"]}
    with pytest.raises(WexoError) as info:
        loads_arrow_dicts(data, **UNLIMITED)
    assert (info.value.message, info.value.offset) == ("decoded size too large", len(data))
    # made plain as they are read, the strings are refused at the cell that passes the bound
    with pytest.raises(WexoError) as info:
        loads_arrow(data, **UNLIMITED)
    assert info.value.message == "decoded size too large" and info.value.offset < len(head)
    # with fewer rows naming it the same table is built
    few = doc(table(["v"], 2, col_values(typed(20, col_dict([entry], *[0] * 20)), typed(1, col_values(s("zz"))))))
    for load in (loads_arrow, loads_arrow_dicts):
        assert load(few).column("v").to_pylist() == [[entry] * 20, ["zz"]]


def test_struct_fields_padded_for_every_row_are_bounded():
    # 20,000 dicts, each with a key of its own: a struct of 20,000 fields of 20,000 rows
    data = wexo.dumps([{"v": {f"k{i}": i}} for i in range(20_000)])
    assert data[2] == 0x09
    with pytest.raises(WexoError) as info:
        loads_arrow(data)
    assert info.value.message == "decoded size too large"


def test_a_few_copies_of_a_long_string_are_fine():
    long = "y" * 100_000
    data = doc(table(["v"], 8, col_values(s(long), *[b"\x06\x00"] * 7)))
    assert loads_arrow(data).column("v").to_pylist() == [long] * 8


# ---- references and memory


LEAK_SUCCESS = {name: data for name, data in PARITY_DOCUMENTS.items()}
LEAK_SUCCESS["unions"] = doc(table(["v"], 4, col_values(s("a"), small(1), b"\x02", arr(s("bc")))))
# anchored values and their copies go through the decoder's objects
LEAK_SUCCESS["anchors"] = doc(table(["v"], 4, col_values(
    b"\x0a" + obj((s("k"), arr(s("xyz"), f64(0.5)))), b"\x0b\x00", b"\x0a" + s("pooled"), b"\x0b\x01")))
LEAK_FAILURE = {  # name: document failing after building columns
    "last byte cut": PARITY_DOCUMENTS["column kinds"][:-1],
    "sparse cut": PARITY_DOCUMENTS["sparse"][:-2],
    "bad index": doc(table(["a", "b"], 2, col_ints(1, 2), col_dict(["x"], 0, 1))),
    "trailing": PARITY_DOCUMENTS["plain cells"] + b"\x00",
    "anchor undefined": doc(table(["v"], 3, col_values(b"\x0a" + arr(s("ab")), b"\x0b\x00", b"\x0b\x01"))),
    "string bound": doc(table(["v"], 2000, col_values(s("x" * 100_000), *[b"\x06\x00"] * 1999))),
}


def releases(data: bytes, expect: type) -> Callable[[], None]:
    def call():
        try:
            t = loads_arrow(data)
        except expect:
            return
        assert expect is type(None)
        t.to_pylist()
        del t
    return call


@counts_blocks
@pytest.mark.parametrize("name", list(LEAK_SUCCESS))
def test_success_paths_do_not_leak(name):
    assert blocks_per_call(releases(LEAK_SUCCESS[name], type(None)), 2000) < 0.1


@counts_blocks
@pytest.mark.parametrize("name", list(LEAK_FAILURE))
def test_failure_paths_do_not_leak(name):
    n = 100 if name == "string bound" else 2000
    assert blocks_per_call(releases(LEAK_FAILURE[name], WexoError), n) < 0.1


ARGUMENTS = [  # positional arguments, keyword arguments: refused as wexo.loads refuses them
    ((), {}),
    ((b"\x0f\x01\x00", 1), {}),
    (("str",), {}),
    ((None,), {}),
    ((b"\x0f\x01\x00",), {"other": 1}),
    ((b"\x0f\x01\x00",), {"max_cells": -1}),
    ((b"\x0f\x01\x00",), {"max_copies": -5}),
    ((b"\x0f\x01\x00",), {"max_cells": 1.5}),
    ((b"\x0f\x01\x00",), {"max_cells": True}),
    ((b"\x0f\x01\x00",), {"max_copies": "1"}),
]


@pytest.mark.parametrize("args,kwargs", ARGUMENTS, ids=range(len(ARGUMENTS)))
def test_arguments_refused_as_loads_refuses_them(args, kwargs):
    with pytest.raises((TypeError, ValueError)) as want:
        wexo.loads(*args, **kwargs)
    with pytest.raises((TypeError, ValueError)) as got:
        loads_arrow(*args, **kwargs)
    assert type(got.value) is type(want.value)
    # the same text but for the function's name, which is the caller's
    assert str(got.value).split("()", 1)[-1] == str(want.value).split("()", 1)[-1]
    assert "loads_columns" not in str(got.value)


def test_any_buffer_is_read():
    data = doc(table(["a"], 2, col_ints(1, 2)))
    for arg in (list(data), memoryview(b"\0".join(bytes([c]) for c in data) + b"\0")[::2], array("B", data)):
        assert loads_arrow(arg).to_pylist() == [{"a": 1}, {"a": 2}]


@counts_blocks
def test_root_and_argument_errors_do_not_leak():
    data = bytearray(doc(arr(s("abc"), small(1))))

    def several():
        for bad in (lambda: loads_arrow(data), lambda: loads_arrow(memoryview(data)),
                    lambda: loads_arrow(), lambda: loads_arrow(data, data), lambda: loads_arrow(data, x=1),
                    lambda: loads_arrow("str"), lambda: loads_arrow(data, max_cells="1")):
            try:
                bad()
            except TypeError:
                pass

    assert blocks_per_call(several, 2000) < 0.1


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif(SANITIZER, reason="ASan's quarantine holds freed memory")
def test_arrow_buffers_are_released():
    # 300 calls on a table of 40,000 cells: leaked buffers would hold hundreds of MB
    data = wexo.dumps([{"i": i * 7919, "s": f"s{i % 50}", "f": i / 8, "b": i % 3 == 0,
                        "v": f"text {i}" if i % 2 else i} for i in range(8000)])
    from wexo import _ext
    for fn in (lambda: loads_arrow(data), lambda: _ext.loads_columns(data)):
        for _ in range(20):
            fn()
        before = rss()
        for _ in range(300):
            fn()
        assert rss() - before < 50 << 20


def test_capsules_import_once():
    from wexo import _ext
    schema, array = _ext.loads_columns(doc(table(["a"], 2, col_ints(1, 2))))
    batch = pa.RecordBatch._import_from_c_capsule(schema, array)
    assert batch.to_pylist() == [{"a": 1}, {"a": 2}]
    with pytest.raises(Exception):
        pa.RecordBatch._import_from_c_capsule(schema, array)  # moved out already


# ---- pyarrow, optional


def test_pyarrow_is_imported_only_when_needed():
    import subprocess
    code = "import sys, wexo; wexo.loads(wexo.dumps([{'a': 1}] * 3)); print('pyarrow' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


def test_without_pyarrow_an_import_error_says_how_to_install_it(monkeypatch):
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    with pytest.raises(ImportError) as e:
        loads_arrow(doc(table(["a"], 1, col_ints(1))))
    assert str(e.value) == (
        "wexo.loads_arrow needs pyarrow (14 or newer): pip install pyarrow, "
        "or from a checkout of wexo: pip install '.[arrow]'"
    )
    assert "wexo-native[" not in str(e.value)  # that distribution is not published


@settings(max_examples=40 if SANITIZER else 150, deadline=None)
@given(st.lists(st.lists(st.integers(0, 39), unique=True, max_size=40), min_size=1, max_size=12))
def test_wide_records_find_their_fields(orders):
    # objects of up to 40 keys in any order, some left out: past 16 fields a struct looks its
    # fields up by a set of their names, where a pool reference or the bytes find the field
    rows = [{f"field{i:02d}": i for i in order} for order in orders]
    value = wexo.dumps(rows, tables=False)[2:]
    assert agrees(doc(table(["v"], 1, col_values(value)))) == "ok"
