"""wexo.loads's limits (max_cells, max_copies): each check site trips at its exact offset with a
message naming the limit, the defaults admit every corpus document encoded every way and every
tree wexo.dumps writes, None and limits above the format's budgets are loads_binary exactly,
arguments are checked, and no path leaks a reference."""
from __future__ import annotations

import enum
import gc
import inspect
import io
import json
import os
import sys
from pathlib import Path
from typing import Any

import pytest
import wexo
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from wexo import _ext, _format
from wexo.reference import DecodeFailure, Options, Walker, encode

from conftest import KINDS, WexoError, corpus_files, doc, loads_binary, s, same, uv
from test_roundtrip import OPTIONS, trees

import hostile_docs as hostile

CORPUS_FILES = corpus_files()
SANITIZER = bool(os.environ.get("WEXO_SANITIZER"))
LIMIT_MESSAGES = ("decoded size too large", "reference expansion too large")
CELLS = "decoded size too large"
COPIES = "reference expansion too large"


def over(key: str, value: int) -> str:
    """The message of a caller's limit that stops a document."""
    head = CELLS if key == "max_cells" else COPIES
    return f"{head}: over {key}={value} ({key}=None lifts it)"


def outcome(fn: Any, data: Any, **kw: Any) -> tuple[str, Any]:
    try:
        return "ok", fn(data, **kw)
    except WexoError as err:
        return "error", (err.message, err.offset, str(err))


def walker(data: bytes, **kw: Any) -> tuple[str, Any]:
    """The pure-Python reader with the same starting budgets: an independent second opinion."""
    try:
        return "ok", Walker(data, **kw).run()
    except DecodeFailure as err:
        return "error", (err.message, err.offset, str(err))


# ---------------------------------------------------------------------------
# Every place the two budgets are charged or checked. At the least limit that
# admits the document the result is loads_binary's; one less trips at the
# offset of that site.

SITES = [  # name, body, keyword, least admitted, expected, a limit tripping here, its offset
    # table a, b of one row: its row dict is charged just after the row count (9)
    ("table rows", b"\x09\x02\x41a\x41b\x01\x00\x81\x00\x82", "max_cells", 1,
     [{"a": 1, "b": 2}], 0, 9),
    # table a, b of two rows, b an object column {i}: 2 rows after the row count (9), then
    # 2 dicts at the object column's kind byte (12)
    ("object column", b"\x09\x02\x41a\x41b\x02\x00\x81\x82\x05\x01\x41i\x00\x81\x82",
     "max_cells", 4, [{"a": 1, "b": {"i": 1}}, {"a": 2, "b": {"i": 2}}], 3, 12),
    ("object column rows", b"\x09\x02\x41a\x41b\x02\x00\x81\x82\x05\x01\x41i\x00\x81\x82",
     "max_cells", 4, [{"a": 1, "b": {"i": 1}}, {"a": 2, "b": {"i": 2}}], 1, 9),
    # typed array of 2 value cells: its 2 slots just after the count (4)
    ("typed array slots", b"\x0c\x02\x00\x81\x82", "max_cells", 2, [1, 2], 1, 4),
    # typed array of one object column {i}: 1 slot after the count, 1 dict at its kind byte (4)
    ("typed array of objects", b"\x0c\x01\x05\x01\x41i\x00\x81", "max_cells", 2, [{"i": 1}],
     1, 4),
    # sparse table a of 2 rows: 2 row dicts just after the row count (7)
    ("sparse rows", b"\x0d\x01\x41a\x02\x00\x00\x81\x82", "max_cells", 2,
     [{"a": 1}, {"a": 2}], 1, 7),
    # [anchor [0], ref 0]: the copy costs 1 + 1, tripping after the index (10)
    ("reference", b"\x07\x02\x0a\x07\x01\x80\x0b\x00", "max_copies", 2, [[0], [0]], 1, 10),
    # [anchor [[], []], ref 0]: 3 for the outer list, 1 for each inner one
    ("nested reference", b"\x07\x02\x0a\x07\x02\x07\x00\x07\x00\x0b\x00", "max_copies", 5,
     [[[], []], [[], []]], 4, 13),
]


@pytest.mark.parametrize("name,body,key,least,expected,trip,at", SITES,
                         ids=[s[0] for s in SITES])
def test_limit_trips_at_its_check_site(name, body, key, least, expected, trip, at):
    data = doc(body)
    assert same(loads_binary(data), expected)
    for kind in KINDS:
        assert same(wexo.loads(kind(data), **{key: least}), expected)
        with pytest.raises(WexoError) as info:
            wexo.loads(kind(data), **{key: trip})
        err = info.value
        assert (err.message, err.offset) == (over(key, trip), at)
        assert err.args == (f"wexo: offset {at}: {over(key, trip)}",)
        assert type(err) is WexoError  # wexo_native's own class
    # the other limit at 0 does not matter here
    other = "max_copies" if key == "max_cells" else "max_cells"
    assert same(wexo.loads(data, **{key: least, other: 0}), expected)
    # the Python reader agrees, limit for limit
    assert outcome(wexo.loads, data, **{key: least - 1})[1][0] == over(key, least - 1)
    for limit in (trip, least - 1, least):
        assert walker(data, **{key: limit}) == outcome(wexo.loads, data, **{key: limit})


BITS_AND_VALUES = [  # body: what max_cells does not count, so a limit of 0 admits it
    b"\x0c\x10\x04\xff\x00",                  # typed array of 16 bits
    b"\x07\x02\x81\x08\x01\x41k\x00",           # plain arrays and objects
    b"\x07\x02\x0a\x07\x01\x80\x0b\x00",       # a reference (a copy, not a cell)
]


@pytest.mark.parametrize("body", BITS_AND_VALUES)
def test_bits_and_plain_values_are_not_cells(body):
    data = doc(body)
    assert same(wexo.loads(data, max_cells=0), loads_binary(data))
    assert walker(data, max_cells=0) == outcome(loads_binary, data)


def test_zero_limits_admit_documents_without_tables_or_references():
    data = wexo.dumps({"a": [1, "x", {"b": None}], "c": 2.5}, tables=False, typed_arrays=False,
                      anchors=False)
    assert same(wexo.loads(data, max_cells=0, max_copies=0), loads_binary(data))


# ---------------------------------------------------------------------------
# None, and limits at or above the format's budgets, are loads_binary exactly:
# the hostile documents at the size budget, either side of it.

X = 1000  # what spend_down leaves of the format's size budget
AT_BUDGET = [  # tail after spend_down
    b"\x0c" + uv(X - 1) + b"\x00",             # typed array: exactly what is left
    b"\x0c" + uv(X) + b"\x00",                 # one over: fails at the format's own check
    b"\x09\x01\x40" + uv(X) + b"\x00",         # table rows one over
    b"\x0d\x01\x40" + uv(501) + b"\x00\x00",   # sparse rows one over
]


@pytest.mark.parametrize("tail", AT_BUDGET)
def test_lifted_and_high_limits_are_loads_binary(tail):
    body, _ = hostile.spend_down(X, tail)
    data = doc(body)
    want = outcome(loads_binary, data)
    assert want[0] == "error"
    format_cells = len(data) * 32 + 4_194_304
    for kw in ({"max_cells": None, "max_copies": None}, {"max_cells": None},
               {"max_cells": format_cells, "max_copies": 1 << 24},
               {"max_cells": 10**30, "max_copies": 10**30}):
        assert outcome(wexo.loads, data, **kw) == want, kw
    # the defaults refuse it much earlier: the typed arrays' slots
    got = outcome(wexo.loads, data)
    cells, _ = wexo._native.default_limits(len(data))
    assert got[0] == "error" and got[1][0] == over("max_cells", cells) and got[1][1] < want[1][1]


def test_expansion_limit_boundary():
    body = b"\x07\x03\x0a" + b"\x07\x0a" + b"\x80" * 10 + b"\x0b\x00\x0b\x00"
    data = doc(body)
    # each reference copies 10 + 1 slots
    assert outcome(wexo.loads, data, max_copies=None) == outcome(loads_binary, data)
    assert outcome(wexo.loads, data, max_copies=22) == outcome(loads_binary, data)
    assert outcome(wexo.loads, data, max_copies=22)[0] == "ok"
    assert outcome(wexo.loads, data, max_copies=21)[1][:2] == (over("max_copies", 21), len(data))
    assert outcome(wexo.loads, data, max_copies=10)[1][:2] == (over("max_copies", 10),
                                                              len(data) - 2)
    # at or above the format's budget, the format's own message
    assert outcome(wexo.loads, data, max_copies=1 << 24) == outcome(loads_binary, data)


# ---------------------------------------------------------------------------
# The defaults admit every corpus document, encoded all ways.

COMBOS = [{}, dict.fromkeys(OPTIONS, False), *({name: False} for name in OPTIONS)]


@pytest.mark.parametrize("path", CORPUS_FILES, ids=lambda p: p.name)
def test_defaults_admit_the_corpus_encoded_every_way(path: Path) -> None:
    tree = json.loads(path.read_bytes())
    for options in COMBOS:
        data = wexo.dumps(tree, **options)
        assert same(wexo.loads(data), loads_binary(data)), options
        # and with room to spare: half the default limits still admit it
        cells, copies = wexo._native.default_limits(len(data))
        wexo.loads(data, max_cells=cells // 2, max_copies=copies // 2)


# ---------------------------------------------------------------------------
# What wexo.dumps writes, wexo.loads reads under its defaults: the encoder keeps
# its output within them for its own size (both encoders alike).

def own_output(tree: Any, **options: bool) -> bytes:
    data = wexo.dumps(tree, **options)
    assert data == encode(tree, Options(**options))
    assert same(wexo.loads(data), loads_binary(data))
    return data


FLOATS = [i + 0.25 for i in range(50)]


def doubling(levels: int) -> list[Any]:
    x: list[Any] = [1.5]
    for _ in range(levels):
        x = [x, x]
    return x


OWN_OUTPUT = {  # name: a tree whose plain encoding the defaults refused
    "bits": lambda: [True] * 100_000,
    "two flags a row": lambda: [{"a": True, "b": False}] * 50_000,
    "rows sharing one list": lambda: [{"id": i, "v": FLOATS} for i in range(2000)],
    "one list many times": lambda: [FLOATS] * 2000,
    "sparse rows mostly empty": lambda: [{"a": 1}] + [{}] * 100_000,
    "nested one-key dicts over bits": lambda: [{"a": {"b": {"c": i % 3 == 0}}}
                                               for i in range(50_000)],
    "many rows of empty objects": lambda: [{f"k{j}": {} for j in range(30)}
                                           for _ in range(3000)],
    "shared records under shared lists": lambda: [[{"k": FLOATS}] * 40] * 400,
    "doubling": lambda: doubling(18),
}


@pytest.mark.slow
@pytest.mark.parametrize("name", list(OWN_OUTPUT))
def test_own_output_within_the_defaults(name):
    tree = OWN_OUTPUT[name]()
    own_output(tree)
    # and with every choice switched off but anchors: references alone stay within max_copies
    own_output(tree, **{o: o == "anchors" for o in OPTIONS})


FALLBACK_CASES = [  # tree, kinds its document must use, kinds it must not
    ([{"a": True, "b": False}] * 1000, {"table", "bool-bits"}, set()),  # within the base
    ([{"a": True, "b": False}] * 50_000, {"table"}, {"bool-bits"}),
    ([{"a": True, "b": i % 2 == 0, "c": True, "d": False} for i in range(50_000)],
     {"table", "bool-bits"}, set()),  # four bits a row pay for their dict
    ([{"a": 1}] + [{}] * 50_000, set(), {"sparse", "table"}),
    ([{"a": {"b": True}}] * 30_000, {"table"}, {"object-column", "bool-bits"}),
]


@pytest.mark.parametrize("tree,uses,avoids", FALLBACK_CASES,
                         ids=["flags within the base", "two flags", "four flags",
                              "empty sparse rows", "object column of a bit"])
def test_choices_switched_off_where_the_defaults_need_it(tree, uses, avoids):
    from test_encoder import _kinds

    kinds = _kinds(own_output(tree))
    assert uses <= kinds and not avoids & kinds, kinds


def test_the_reference_encoder_knows_the_defaults():
    assert (_format.CELLS_PER_BYTE, _format.CELLS_BASE, _format.COPIES_PER_BYTE,
            _format.COPIES_BASE) == (_ext.CELLS_PER_BYTE, _ext.CELLS_BASE,
                                     _ext.COPIES_PER_BYTE, _ext.COPIES_BASE)


choices = st.fixed_dictionaries({}, optional={name: st.booleans() for name in OPTIONS})
# Strategies that reach the limits: long bit-heavy lists and records, and containers
# shared many times over.
flags = st.lists(st.booleans(), min_size=1, max_size=4).map(
    lambda bs: {f"f{k}": b for k, b in enumerate(bs)})
shared_leaf = st.one_of(st.lists(st.floats(-1e6, 1e6, allow_nan=False), min_size=1, max_size=60),
                        st.dictionaries(st.sampled_from("abcdef"), st.integers(-2**63, 2**63 - 1),
                                        min_size=1))
def up_to(n: int) -> st.SearchStrategy[int]:
    """Counts from small to n, the upper half often."""
    return st.one_of(st.integers(1, n), st.integers(n // 2, n))


heavy = st.one_of(
    st.tuples(st.booleans(), up_to(100_000)).map(lambda t: [t[0]] * t[1]),
    st.tuples(flags, up_to(40_000)).map(lambda t: [t[0]] * t[1]),
    st.tuples(flags, up_to(20_000)).map(lambda t: [dict(t[0]) for _ in range(t[1])]),
    st.tuples(shared_leaf, up_to(3000)).map(lambda t: [t[0]] * t[1]),
    st.tuples(shared_leaf, up_to(300), up_to(40)).map(lambda t: [[{"v": t[0]}] * t[2]] * t[1]),
    st.tuples(flags, up_to(20_000)).map(lambda t: [{"a": {"b": dict(t[0])}} for _ in range(t[1])]),
)


@pytest.mark.slow
@settings(max_examples=25, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(st.lists(heavy, min_size=1, max_size=3), choices)
def test_defaults_admit_what_dumps_writes(parts, opts):
    data = wexo.dumps(parts, **opts)
    assert same(wexo.loads(data), loads_binary(data))


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(trees, choices)
def test_defaults_admit_what_dumps_writes_small(tree, opts):
    data = wexo.dumps(tree, **opts)
    assert same(wexo.loads(data), loads_binary(data))
    assert walker(data, **dict(zip(("max_cells", "max_copies"),
                                   wexo._native.default_limits(len(data)))))[0] == "ok"


# ---------------------------------------------------------------------------
# Side by side with loads_binary on any bytes: the same result or the same
# error, unless a limit trips first.

def agree(data: bytes, **kw: Any) -> None:
    mine = outcome(wexo.loads, data, **kw)
    base = outcome(loads_binary, data)
    if mine == base:
        return
    assert mine[0] == "error" and mine[1][0].startswith(LIMIT_MESSAGES), (kw, mine, base)


limits = st.one_of(st.none(), st.integers(0, 64), st.integers(0, 1 << 25))
options = st.fixed_dictionaries({}, optional={name: st.booleans() for name in OPTIONS})


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(trees, options, st.data())
def test_same_as_loads_binary_on_encoded_and_mutated_documents(tree, opts, draw):
    data = wexo.dumps(tree, **opts)
    agree(data)
    agree(data, max_cells=draw.draw(limits), max_copies=draw.draw(limits))
    # damage a few bytes: every decode path of the failure must agree too
    raw = bytearray(data)
    for _ in range(draw.draw(st.integers(1, 3))):
        i = draw.draw(st.integers(0, len(raw) - 1))
        raw[i] = draw.draw(st.integers(0, 255))
    cut = draw.draw(st.integers(0, len(raw)))
    for damaged in (bytes(raw), bytes(raw[:cut])):
        agree(damaged)
        agree(damaged, max_cells=draw.draw(limits), max_copies=draw.draw(limits))


@settings(max_examples=500, deadline=None)
@given(st.binary(max_size=64), limits, limits)
def test_same_as_loads_binary_on_any_bytes(body, cells, copies):
    agree(doc(body))
    agree(doc(body), max_cells=cells, max_copies=copies)


# ---------------------------------------------------------------------------
# The surface: signature, defaults, load, arguments.

def test_surface():
    assert wexo.loads is _ext.loads
    assert str(inspect.signature(_ext.loads)) == "(data, *, max_cells=Ellipsis, max_copies=Ellipsis)"
    assert _ext.WexoError is WexoError
    assert wexo._native.default_limits(100) == (
        _ext.CELLS_PER_BYTE * 100 + _ext.CELLS_BASE, _ext.COPIES_PER_BYTE * 100 + _ext.COPIES_BASE)
    assert wexo.loads(data=doc(b"\x81")) == 1


def chain_rows(n: int, levels: int) -> bytes:
    """A typed array of n rows, each a chain of `levels` one-key dicts over a bit: max_cells
    counts n slots and n dicts a level, in n / 8 bytes."""
    head = b"".join(b"\x05\x01\x41k" for _ in range(levels))
    return b"\x0c" + uv(n) + head + b"\x04" + b"\x00" * ((n + 7) // 8)


def test_defaults_are_proportional_to_the_input():
    levels = 1
    n = 8 * _ext.CELLS_BASE
    body = b"\x07\x01" + chain_rows(n, levels)
    need = (levels + 1) * n
    default = _ext.CELLS_PER_BYTE * len(doc(body)) + _ext.CELLS_BASE
    assert need > default
    got = outcome(wexo.loads, doc(body))
    assert got[0] == "error" and got[1][0] == over("max_cells", default)
    # padding the document with a long string raises the default by CELLS_PER_BYTE a byte
    pad = -(-(need - default) // _ext.CELLS_PER_BYTE) + 10
    padded = doc(b"\x07\x02" + chain_rows(n, levels) + b"\x05" + uv(pad) + b"x" * pad)
    assert same(wexo.loads(padded), loads_binary(padded))
    assert outcome(wexo.loads, padded, max_cells=need - 1)[1][0] == over("max_cells", need - 1)
    assert same(wexo.loads(padded, max_cells=need), loads_binary(padded))


def fit_pad(size: int, need: int, per_byte: int, base: int) -> int | None:
    """The length of a short string that, added to a document of size bytes, makes per_byte for
    each byte plus base equal to need, if one does."""
    room, rest = divmod(need - base, per_byte)
    pad = room - size
    return pad if rest == 0 and 1 <= pad <= 32 else None


def at_default_copies() -> tuple[bytes, int, int]:
    """[anchored list of 99 zeros, references to it..., a string]: each reference copies 100
    slots, and there are as many as the default copy limit of the document's length admits, to
    the slot. The document, the slots it copies, and the offset after the last reference."""
    anchored = b"\x0a\x07" + uv(99) + b"\x80" * 99
    for refs in range(1, 100_000):
        head = doc(b"\x07" + uv(2 + refs) + anchored + b"\x0b\x00" * refs)
        pad = fit_pad(len(head), 100 * refs, _ext.COPIES_PER_BYTE, _ext.COPIES_BASE)
        if pad is not None:
            return head + s("x" * (pad - 1)), 100 * refs, len(head)
    raise AssertionError("no document found")


def at_default_cells() -> tuple[bytes, int, int]:
    """[table of R rows of one bit column, a string]: the rows count, as many as the default
    cell limit of the document's length admits. The document, the cells it needs, and the
    offset where a limit one short refuses it."""
    def head(rows: int) -> bytes:
        return doc(b"\x07\x02\x09\x01\x41a" + uv(rows) + b"\x04" + bytes((rows + 7) // 8))

    def need(data: bytes) -> int:  # the least max_cells that decodes it
        lo, hi = 0, 1 << 40
        while lo < hi:
            mid = (lo + hi) // 2
            if outcome(_ext.loads, data, max_cells=mid)[0] == "ok":
                hi = mid
            else:
                lo = mid + 1
        return lo

    extra = need(head(100) + s("x")) - 100  # what a table costs beyond its rows
    for rows in range(1, 1 << 22):
        data = head(rows)
        pad = fit_pad(len(data), rows + extra, _ext.CELLS_PER_BYTE, _ext.CELLS_BASE)
        if pad is not None:
            data += s("x" * (pad - 1))
            assert need(data) == rows + extra
            with pytest.raises(WexoError) as info:
                _ext.loads(data, max_cells=0)
            return data, rows + extra, info.value.offset
    raise AssertionError("no document found")


def test_defaults_admit_exactly_their_base_and_per_byte_share():
    # wexo._ext.loads's own defaults, as its constants give them: a document that needs all of
    # the limit decodes without any limit given; one short, the refusal comes where it is due
    for (data, need, at), key, message in ((at_default_copies(), "max_copies", COPIES),
                                           (at_default_cells(), "max_cells", CELLS)):
        want = loads_binary(data)
        assert same(_ext.loads(data), want)
        assert same(_ext.loads(data, **{key: need}), want)
        with pytest.raises(WexoError) as info:
            _ext.loads(data, **{key: need - 1})
        assert info.value.message.startswith(message) and info.value.offset == at


def test_a_small_document_of_references_is_within_the_defaults():
    # an anchored list of 100 zeros and three references: 303 slots copied from 113 bytes
    data = doc(b"\x07\x04\x0a\x07" + uv(100) + b"\x80" * 100 + b"\x0b\x00" * 3)
    assert len(data) == 113
    assert same(_ext.loads(data), [[0] * 100] * 4)
    assert same(wexo.loads(data), loads_binary(data))


class Limit(int):
    pass


class Level(enum.IntEnum):
    TWO = 2
    THREE = 3


LIMIT_VALUES = [  # a limit as given, the int it stands for
    (Limit(3), 3), (Limit(2), 2), (Level.THREE, 3), (Level.TWO, 2), (Limit(10**30), 10**30),
]


@pytest.mark.parametrize("given,value", LIMIT_VALUES, ids=repr)
def test_int_subclasses_are_limits_of_their_value(given, value):
    # as the int they stand for: admitted at 3 and over, refused at 2 where the int is
    for key, body in (("max_cells", b"\x0c\x03\x00\x81\x82\x83"),  # three slots counted
                      ("max_copies", b"\x07\x02\x0a\x07\x02\x80\x80\x0b\x00")):
        data = doc(body)
        got = outcome(_ext.loads, data, **{key: given})
        assert got == outcome(_ext.loads, data, **{key: value})
        assert got[0] == ("ok" if value >= 3 else "error")


def test_load_passes_the_limits():
    data = doc(b"\x0c\x02\x00\x81\x82")
    assert wexo.load(io.BytesIO(data)) == [1, 2]
    assert wexo.load(io.BytesIO(data), max_cells=2) == [1, 2]
    with pytest.raises(WexoError) as info:
        wexo.load(io.BytesIO(data), max_cells=1, max_copies=None)
    assert (info.value.message, info.value.offset) == (over("max_cells", 1), 4)


ARG_ERRORS = [  # args, kwargs, exception, message
    ((), {}, TypeError, "loads() missing 1 required positional argument: 'data'"),
    ((b"a", b"b"), {}, TypeError, "loads() takes 1 positional argument but 2 were given"),
    ((b"a",), {"data": b"b"}, TypeError, "loads() got multiple values for argument 'data'"),
    ((b"a",), {"max_cell": 1}, TypeError, "loads() got an unexpected keyword argument 'max_cell'"),
    ((b"a",), {"max_cells": -1}, ValueError, "loads(): max_cells must not be negative"),
    ((b"a",), {"max_copies": -(10**30)}, ValueError, "loads(): max_copies must not be negative"),
    ((b"a",), {"max_cells": 1.0}, TypeError, "loads(): max_cells must be an int or None, not float"),
    ((b"a",), {"max_copies": "9"}, TypeError, "loads(): max_copies must be an int or None, not str"),
    ((b"a",), {"max_cells": True}, TypeError, "loads(): max_cells must be an int or None, not bool"),
    (("\x0f\x01\x00",), {}, TypeError, None),  # str: the conversion's own error
]


@pytest.mark.parametrize("args,kwargs,exc,message", ARG_ERRORS)
def test_argument_errors(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        _ext.loads(*args, **kwargs)
    assert not isinstance(info.value, WexoError)
    if message is not None:
        assert str(info.value) == message


# ---------------------------------------------------------------------------
# Reference leaks: allocated blocks over many calls, every path.

LEAK_PATHS = {  # name: (data, kwargs)
    "success, defaults": (doc(b"\x07\x02\x0a\x07\x01\x80\x0b\x00"), {}),
    "success, lifted": (doc(b"\x09\x02\x41a\x41b\x01\x00\x81\x00\x82"), {"max_cells": None}),
    "success, bytearray": (bytearray(doc(b"\x0c\x02\x00\x81\x82")), {"max_cells": 3}),
    "cells tripped": (doc(b"\x09\x02\x41a\x41b\x01\x00\x81\x00\x82"), {"max_cells": 0}),
    "object column tripped": (doc(b"\x0c\x02\x05\x01\x41i\x00\x81\x82"), {"max_cells": 3}),
    "copies tripped": (doc(b"\x07\x02\x0a\x07\x02\x07\x00\x07\x00\x0b\x00"), {"max_copies": 4}),
    "format error": (doc(b"\x07\x02\x81\x0e"), {}),
    "negative": (doc(b"\x81"), {"max_cells": -1}),
    "not an int": (doc(b"\x81"), {"max_copies": 1.5}),
    "unknown keyword": (doc(b"\x81"), {"other": 1}),
}


@pytest.mark.skipif(SANITIZER, reason="no block counts under PYTHONMALLOC=malloc")
@pytest.mark.parametrize("name", list(LEAK_PATHS))
def test_no_leaks(name):
    data, kw = LEAK_PATHS[name]

    def call():
        try:
            _ext.loads(data, **kw)
        except (WexoError, TypeError, ValueError):
            pass

    for _ in range(200):
        call()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(3000):
        call()
    gc.collect()
    assert (sys.getallocatedblocks() - before) / 3000 < 0.05
    refs = sys.getrefcount(data)
    for _ in range(1000):
        call()
    assert sys.getrefcount(data) == refs


# ---------------------------------------------------------------------------
# The command line: decode and inspect apply the same defaults, and the options
# set or lift them.

# a typed array of n rows, each a one-key dict over a bit: 2 n cells in n / 8 bytes
BIG = doc(b"\x07\x01" + chain_rows(8 * _ext.CELLS_BASE, 1))


def cli_over(key: str, value: int) -> str:
    """A caller's limit's message as the command line words it."""
    head = CELLS if key == "max_cells" else COPIES
    return f"{head}: over --{key.replace('_', '-')} {value} (--no-limits lifts it)"


def test_cli_decode_applies_and_lifts_limits(tmp_path, capsys):
    from wexo._cli import main

    src, out = tmp_path / "big.wexo", tmp_path / "out.json"
    src.write_bytes(BIG)
    want = outcome(wexo.loads, BIG)
    cells, _ = wexo._native.default_limits(len(BIG))
    assert want[0] == "error" and want[1][0] == over("max_cells", cells)
    assert main(["decode", str(src), "-o", str(out)]) == 1
    said = capsys.readouterr().err
    assert said == f"wexo: {src}: offset {want[1][1]}: {cli_over('max_cells', cells)}\n"
    assert main(["decode", str(src), "-o", str(out), "--no-limits"]) == 0
    assert json.loads(out.read_text()) == loads_binary(BIG)
    n = 8 * _ext.CELLS_BASE
    assert main(["decode", str(src), "-o", str(out), "--max-cells", str(2 * n)]) == 0
    assert main(["decode", str(src), "-o", str(out), "--max-cells", str(2 * n - 1)]) == 1
    assert cli_over("max_cells", 2 * n - 1) in capsys.readouterr().err
    # --no-limits lifts what is not set explicitly
    refs = tmp_path / "refs.wexo"
    refs.write_bytes(doc(b"\x07\x02\x0a\x07\x01\x80\x0b\x00"))
    assert main(["decode", str(refs), "--no-limits", "--max-copies", "1"]) == 1
    assert capsys.readouterr().err == f"wexo: {refs}: offset 10: {cli_over('max_copies', 1)}\n"
    with pytest.raises(SystemExit) as info:
        main(["decode", str(refs), "--max-copies", "-1"])
    assert info.value.code == 2
    assert "must not be negative" in capsys.readouterr().err


def test_cli_inspect_marks_a_limit_where_it_trips(tmp_path, capsys):
    from wexo._cli import main

    src = tmp_path / "big.wexo"
    src.write_bytes(BIG)
    at = outcome(wexo.loads, BIG)[1][1]
    cells, _ = wexo._native.default_limits(len(BIG))
    assert main(["inspect", str(src)]) == 1
    out = capsys.readouterr().out.splitlines()
    assert out[-1].split() == [str(at), "!!", *cli_over("max_cells", cells).split()]
    assert main(["inspect", str(src), "--no-limits"]) == 0
    assert "!!" not in capsys.readouterr().out
    assert main(["inspect", str(src), "--max-cells", "1"]) == 1
    first = 2 + 2 + 1 + len(uv(8 * _ext.CELLS_BASE))  # the typed array's slots
    assert outcome(wexo.loads, BIG, max_cells=1)[1][1] == first
    lines = capsys.readouterr().out.splitlines()
    assert lines[-1].split() == [str(first), "!!", *cli_over("max_cells", 1).split()]


def test_cli_help_names_the_limit_options(capsys):
    from wexo._cli import main

    for command in ("decode", "inspect"):
        with pytest.raises(SystemExit):
            main([command, "--help"])
        text = capsys.readouterr().out
        for option in ("--max-cells", "--max-copies", "--no-limits"):
            assert option in text
