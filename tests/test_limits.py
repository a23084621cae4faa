"""wexo.loads's limits (max_cells, max_copies): each check site trips at its exact offset, the
defaults admit every corpus document encoded every way, None and limits above the format's
budgets are loads_binary exactly, arguments are checked, and no path leaks a reference."""
from __future__ import annotations

import enum
import gc
import inspect
import io
import json
import os
import pathlib
import sys
from pathlib import Path
from typing import Any

import pytest
import wexo
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from wexo import _ext
from wexo._inspect import DecodeFailure, Walker

from conftest import KINDS, WexoError, doc, loads_binary, s, same, uv
from test_roundtrip import OPTIONS, trees

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "scripts"))
import hostile  # noqa: E402

CORPUS = Path(__file__).resolve().parents[2] / "shared" / "corpus"
CORPUS_FILES = sorted(CORPUS.glob("*.json")) if CORPUS.is_dir() else []
SANITIZER = bool(os.environ.get("WEXO_SANITIZER"))
LIMIT_MESSAGES = {"decoded size too large", "reference expansion too large"}
CELLS = "decoded size too large"
COPIES = "reference expansion too large"


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
    # typed array of 2 value cells: the count check (n + 1 = 3) just after the
    # count, then the column's charge of 3 at its kind byte
    ("typed array count", b"\x0c\x02\x00\x81\x82", "max_cells", 3, [1, 2], 2, 4),
    # table a, b of one row: the row check (2) after the row count, then two
    # column charges of 2; with 3 the second column's charge (kind byte at 11) trips
    ("column charge", b"\x09\x02\x41a\x41b\x01\x00\x81\x00\x82", "max_cells", 4,
     [{"a": 1, "b": 2}], 3, 11),
    # the same table: with 1 the row check (2) trips, after the row count
    ("table rows", b"\x09\x02\x41a\x41b\x01\x00\x81\x00\x82", "max_cells", 4,
     [{"a": 1, "b": 2}], 1, 9),
    # typed array of one object column {i}: check 2, charge 2, then the
    # sub-column's charge of 2 at its own kind byte (8)
    ("sub-column charge", b"\x0c\x01\x05\x01\x41i\x00\x81", "max_cells", 4, [{"i": 1}], 3, 8),
    # sparse table a of 2 rows: 2 x 2 charged just after the row count (7)
    ("sparse rows", b"\x0d\x01\x41a\x02\x00\x00\x81\x82", "max_cells", 7,
     [{"a": 1}, {"a": 2}], 3, 7),
    # the same, all present: the column's N + 1 = 3 at its kind byte (8)
    ("sparse full column", b"\x0d\x01\x41a\x02\x00\x00\x81\x82", "max_cells", 7,
     [{"a": 1}, {"a": 2}], 6, 8),
    # sparse a of 2 rows, bitmap 0b01: P + 1 = 2 just after the bitmap (9)
    ("sparse bitmap column", b"\x0d\x01\x41a\x02\x01\x01\x00\x81", "max_cells", 6,
     [{"a": 1}, {}], 5, 9),
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
    message = CELLS if key == "max_cells" else COPIES
    assert same(loads_binary(data), expected)
    for kind in KINDS:
        assert same(wexo.loads(kind(data), **{key: least}), expected)
        with pytest.raises(WexoError) as info:
            wexo.loads(kind(data), **{key: trip})
        err = info.value
        assert (err.message, err.offset) == (message, at)
        assert err.args == (f"wexo: offset {at}: {message}",)
        assert type(err) is WexoError  # wexo_native's own class
    # the other limit at 0 does not matter here
    other = "max_copies" if key == "max_cells" else "max_cells"
    assert same(wexo.loads(data, **{key: least, other: 0}), expected)
    # the Python reader agrees, limit for limit
    assert outcome(wexo.loads, data, **{key: least - 1})[1][0] == message
    for limit in (trip, least - 1, least):
        assert walker(data, **{key: limit}) == outcome(wexo.loads, data, **{key: limit})


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
    # the defaults refuse it much earlier, at the first level's check
    got = outcome(wexo.loads, data)
    assert got[0] == "error" and got[1][0] == CELLS and got[1][1] < want[1][1]


def test_expansion_limit_boundary():
    body = b"\x07\x03\x0a" + b"\x07\x0a" + b"\x80" * 10 + b"\x0b\x00\x0b\x00"
    data = doc(body)
    # each reference copies 10 + 1 slots
    assert outcome(wexo.loads, data, max_copies=None) == outcome(loads_binary, data)
    assert outcome(wexo.loads, data, max_copies=22) == outcome(loads_binary, data)
    assert outcome(wexo.loads, data, max_copies=22)[0] == "ok"
    assert outcome(wexo.loads, data, max_copies=21)[1][:2] == (COPIES, len(data))
    assert outcome(wexo.loads, data, max_copies=10)[1][:2] == (COPIES, len(data) - 2)


# ---------------------------------------------------------------------------
# The defaults admit every corpus document, encoded all ways.

COMBOS = [{}, dict.fromkeys(OPTIONS, False), *({name: False} for name in OPTIONS)]


@pytest.mark.skipif(not CORPUS_FILES, reason="no corpus beside the repository")
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
# Side by side with loads_binary on any bytes: the same result or the same
# error, unless a limit trips first.

def agree(data: bytes, **kw: Any) -> None:
    mine = outcome(wexo.loads, data, **kw)
    base = outcome(loads_binary, data)
    if mine == base:
        return
    assert mine[0] == "error" and mine[1][0] in LIMIT_MESSAGES, (kw, mine, base)


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
    """A typed array of n rows, each a chain of `levels` one-key dicts over a bit: every
    level charges n + 1 cells, in n / 8 bytes."""
    head = b"".join(b"\x05\x01\x41k" for _ in range(levels))
    return b"\x0c" + uv(n) + head + b"\x04" + b"\x00" * ((n + 7) // 8)


def test_defaults_are_proportional_to_the_input():
    levels = 2 * _ext.CELLS_PER_BYTE // 8 + 1  # more cells per byte than the default admits
    n = 8 * _ext.CELLS_BASE
    body = b"\x07\x01" + chain_rows(n, levels)
    need = (levels + 1) * (n + 1)
    default = _ext.CELLS_PER_BYTE * len(doc(body)) + _ext.CELLS_BASE
    assert need > default
    got = outcome(wexo.loads, doc(body))
    assert got[0] == "error" and got[1][0] == CELLS
    # padding the document with a long string raises the default by CELLS_PER_BYTE a byte
    pad = -(-(need - default) // _ext.CELLS_PER_BYTE) + 10
    padded = doc(b"\x07\x02" + chain_rows(n, levels) + b"\x05" + uv(pad) + b"x" * pad)
    assert same(wexo.loads(padded), loads_binary(padded))
    assert outcome(wexo.loads, padded, max_cells=need - 1)[1][0] == CELLS


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
    """[typed array of n bits, a string]: n + 1 cells, as many as the default cell limit of the
    document's length admits. The document, its cells, and the offset after the array's count."""
    for n in range(1, 1 << 22):
        head = doc(b"\x07\x02\x0c" + uv(n) + b"\x04" + bytes((n + 7) // 8))
        pad = fit_pad(len(head), n + 1, _ext.CELLS_PER_BYTE, _ext.CELLS_BASE)
        if pad is not None:
            return head + s("x" * (pad - 1)), n + 1, 5 + len(uv(n))
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
    for key, body in (("max_cells", b"\x0c\x02\x00\x81\x82"),
                      ("max_copies", b"\x07\x02\x0a\x07\x02\x80\x80\x0b\x00")):
        data = doc(body)
        got = outcome(_ext.loads, data, **{key: given})
        assert got == outcome(_ext.loads, data, **{key: value})
        assert got[0] == ("ok" if value >= 3 else "error")


def test_load_passes_the_limits():
    data = doc(b"\x0c\x02\x00\x81\x82")
    assert wexo.load(io.BytesIO(data)) == [1, 2]
    assert wexo.load(io.BytesIO(data), max_cells=3) == [1, 2]
    with pytest.raises(WexoError) as info:
        wexo.load(io.BytesIO(data), max_cells=2, max_copies=None)
    assert (info.value.message, info.value.offset) == (CELLS, 4)


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
    "cells tripped": (doc(b"\x09\x02\x41a\x41b\x01\x00\x81\x00\x82"), {"max_cells": 3}),
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

# a typed array of n bits, each row a one-key dict: 2 (n + 1) cells in n / 8 bytes
BIG = doc(b"\x07\x01" + chain_rows(8 * _ext.CELLS_BASE, 1))


def test_cli_decode_applies_and_lifts_limits(tmp_path, capsys):
    from wexo._cli import main

    src, out = tmp_path / "big.wexo", tmp_path / "out.json"
    src.write_bytes(BIG)
    want = outcome(wexo.loads, BIG)
    assert want[0] == "error" and want[1][0] == CELLS
    assert main(["decode", str(src), "-o", str(out)]) == 1
    assert capsys.readouterr().err == f"wexo: {src}: offset {want[1][1]}: {CELLS}\n"
    assert main(["decode", str(src), "-o", str(out), "--no-limits"]) == 0
    assert json.loads(out.read_text()) == loads_binary(BIG)
    n = 8 * _ext.CELLS_BASE
    assert main(["decode", str(src), "-o", str(out), "--max-cells", str(2 * n + 2)]) == 0
    assert main(["decode", str(src), "-o", str(out), "--max-cells", str(2 * n + 1)]) == 1
    assert CELLS in capsys.readouterr().err
    # --no-limits lifts what is not set explicitly
    refs = tmp_path / "refs.wexo"
    refs.write_bytes(doc(b"\x07\x02\x0a\x07\x01\x80\x0b\x00"))
    assert main(["decode", str(refs), "--no-limits", "--max-copies", "1"]) == 1
    assert capsys.readouterr().err == f"wexo: {refs}: offset 10: {COPIES}\n"
    with pytest.raises(SystemExit) as info:
        main(["decode", str(refs), "--max-copies", "-1"])
    assert info.value.code == 2
    assert "must not be negative" in capsys.readouterr().err


def test_cli_inspect_marks_a_limit_where_it_trips(tmp_path, capsys):
    from wexo._cli import main

    src = tmp_path / "big.wexo"
    src.write_bytes(BIG)
    at = outcome(wexo.loads, BIG)[1][1]
    assert main(["inspect", str(src)]) == 1
    out = capsys.readouterr().out.splitlines()
    assert out[-1].split() == [str(at), "!!", *CELLS.split()]  # the native decoder agrees
    assert main(["inspect", str(src), "--no-limits"]) == 0
    assert "!!" not in capsys.readouterr().out
    assert main(["inspect", str(src), "--max-cells", "1"]) == 1
    first = 2 + 2 + 1 + len(uv(8 * _ext.CELLS_BASE))  # the typed array's count check
    assert outcome(wexo.loads, BIG, max_cells=1)[1][1] == first
    assert capsys.readouterr().out.splitlines()[-1].split() == [str(first), "!!", *CELLS.split()]


def test_cli_help_names_the_limit_options(capsys):
    from wexo._cli import main

    for command in ("decode", "inspect"):
        with pytest.raises(SystemExit):
            main([command, "--help"])
        text = capsys.readouterr().out
        for option in ("--max-cells", "--max-copies", "--no-limits"):
            assert option in text
