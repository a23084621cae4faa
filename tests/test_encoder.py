"""The encoder: exact bytes of each encoding choice, the options that switch them off, bad input."""

from __future__ import annotations

import collections
import datetime
import decimal
import io
import os
import math
import struct
from typing import Any

import pytest
import wexo
from wexo import _ext, reference
from wexo.reference import encoder as reference_encoder
from wexo._format import COL_NAMES, uvarint
from wexo._inspect import listing

ALL_OFF = dict.fromkeys([name for name, _, _ in _ext.CHOICES], False)

SHARED = [1, 2, 3, 4, 5]
SMALL_SHARED = [1]


def _short(text: str) -> str:
    raw = text.encode()
    assert len(raw) < 32
    return bytes([0x40 | len(raw)]).hex() + raw.hex()


def _dict_array(entries: list[str], indexes: list[int]) -> str:
    """A typed array of a dictionary column: count, kind 03, entries, then one varint each."""
    return (uvarint(len(indexes)).hex() + "03" + uvarint(len(entries)).hex()
            + "".join(_short(e) for e in entries) + "".join(uvarint(i).hex() for i in indexes))


# 130 strings three times each: a dictionary whose indexes 128 and 129 take two bytes
MANY_KEYS = [f"k{i}" for i in range(130)]

ENCODINGS = [  # value, options, body after the prologue
    # scalars
    (None, {}, "00"),
    (False, {}, "01"),
    (True, {}, "02"),
    (0, {}, "80"),
    (127, {}, "ff"),
    (128, {}, "03 80 02"),  # zigzag 256
    (-1, {}, "03 01"),
    (2**63 - 1, {}, "03 fe ff ff ff ff ff ff ff ff 01"),
    (-(2**63), {}, "03 ff ff ff ff ff ff ff ff ff 01"),
    (2.5, {}, "04" + struct.pack("<d", 2.5).hex()),
    (3.0, {}, "83"),  # integral floats decode as int anyway: the int form is shorter
    (-0.0, {}, "80"),
    (-7.0, {}, "03 0d"),
    (2.0**53, {}, "04" + struct.pack("<d", 2.0**53).hex()),  # stays a float
    # strings and the pool
    ("", {}, "40"),
    ("a", {}, "41 61"),
    ("é", {}, "42 c3 a9"),  # the length counts bytes
    ("x" * 31, {}, "5f" + "78" * 31),
    ("x" * 32, {}, "05 20" + "78" * 32),
    (["ab", "ab"], {}, "07 02 42 61 62 06 00"),
    (["ab", "ab"], {"pool": False}, "07 02 42 61 62 42 61 62"),
    (["a", "a"], {}, "07 02 41 61 41 61"),  # one-byte strings are never pooled
    (["a", "bc", "d", "ef", "ef", "bc"], {}, "07 06 41 61 42 62 63 41 64 42 65 66 06 01 06 00"),
    ([{"ab": 1}, "ab"], {}, "07 02 08 01 42 61 62 81 06 00"),  # a key is pooled like a value
    # containers
    ([], {}, "07 00"),
    ({}, {}, "08 00"),
    ({"a": [None]}, {}, "08 01 41 61 07 01 00"),
    ((1, (2,)), {}, "07 02 81 07 01 82"),
    # tables: ties go to plain values; delta, then decimal, where they are smaller
    ([{"a": 1, "b": True}, {"a": 2, "b": False}], {}, "09 02 41 61 41 62 02 00 81 82 04 01"),
    ([{"a": 1000}, {"a": 1001}], {}, "09 01 41 61 02 01 d0 0f 02"),
    ([{"a": 1000}, {"a": 1001}], {"delta": False}, "09 01 41 61 02 02 00 d0 0f d2 0f"),
    ([{"a": 1000}, {"a": 1001}], {"delta": False, "decimal": False},
     "09 01 41 61 02 00 03 d0 0f 03 d2 0f"),
    ([{"a": 1.5}, {"a": 2.25}], {}, "09 01 41 61 02 02 02 ac 02 c2 03"),
    ([{"a": True}, {"a": False}], {"bool_bits": False}, "09 01 41 61 02 00 02 01"),
    ([{"a": 1}, {"a": 2}], {"tables": False}, "0d 01 41 61 02 00 00 81 82"),
    ([{"a": 1}, {"a": 2}], {"tables": False, "sparse": False},
     "07 02 08 01 41 61 81 08 01 41 61 82"),
    ([{"a": 1}], {}, "07 01 08 01 41 61 81"),  # one row: a plain array is smaller
    ([{"p": {"x": 1}}, {"p": {"x": 2}}], {}, "09 01 41 70 02 05 01 41 78 00 81 82"),
    ([{"p": {"x": 1}}, {"p": {"x": 2}}], {"object_columns": False},
     "09 01 41 70 02 00 08 01 41 78 81 08 01 41 78 82"),
    ([{"s": "y"}, {"s": "x"}, {"s": "y"}, {"s": "x"}, {"s": "x"}, {"s": "x"}], {},
     "09 01 41 73 06 03 02 41 78 41 79 01 00 01 00 00 00"),  # dictionary, most frequent first
    ([{"s": "y"}, {"s": "x"}, {"s": "y"}, {"s": "x"}, {"s": "x"}], {},
     "09 01 41 73 05 00 41 79 41 78 41 79 41 78 41 78"),  # a tie: plain values
    # two-byte strings: a dictionary (12 bytes) against plain values and pool references (11)
    ([{"s": "ab"}, {"s": "cd"}] * 2, {}, "09 01 41 73 04 00 42 61 62 42 63 64 06 00 06 01"),
    # sparse tables
    ([{"a": 10, "b": True}, {"a": 11}, {"a": 12, "b": 7}], {},
     "0d 02 41 61 41 62 03 00 00 8a 8b 8c 01 05 00 02 87"),
    ([{"a": 1}, {"b": 2}, {"a": 3, "b": 4}], {},
     "0d 02 41 61 41 62 03 01 05 00 81 83 01 06 00 82 84"),
    ([{"a": 1, "b": 2}, {"b": 3, "a": 4}], {},  # no one column order fits both rows
     "07 02 08 02 41 61 81 41 62 82 08 02 41 62 83 41 61 84"),
    # typed arrays, where smaller than a plain array
    ([True, False, True], {}, "0c 03 04 05"),
    ([True, False, True], {"typed_arrays": False}, "07 03 02 01 02"),
    ([True], {}, "07 01 02"),
    ([1.5, 2.25, 3], {}, "0c 03 02 02 ac 02 c2 03 d8 04"),
    ([1.5, 2.25, 3], {"decimal": False}, "07 03 04" + struct.pack("<d", 1.5).hex() + "04"
     + struct.pack("<d", 2.25).hex() + "83"),
    ([1000, 1001, 1002], {}, "0c 03 01 d0 0f 02 02"),
    (["x", "y"] * 4, {}, "0c 08 03 02 41 78 41 79 00 01 00 01 00 01 00 01"),
    (["x", "y"] * 4, {"dict_str": False}, "07 08" + " 41 78 41 79" * 4),
    ([0.1, 0.2, 0.3], {}, "0c 03 02 01 02 04 06"),
    ([1e-7, 1.0], {}, "07 02 04" + struct.pack("<d", 1e-7).hex() + "81"),  # scale 7 is too fine
    ([1e-06, 2e-06, 3e-06], {}, "0c 03 02 06 02 04 06"),  # scale 6, the finest
    ([1e-06, 2e-06, 3e-06], {"decimal": False}, "07 03" + "".join(
        "04" + struct.pack("<d", x).hex() for x in (1e-06, 2e-06, 3e-06))),
    (MANY_KEYS * 3, {}, "0c" + _dict_array(MANY_KEYS, list(range(130)) * 3)),
    # anchors
    ([SHARED, SHARED], {}, "07 02 0a 07 05 81 82 83 84 85 0b 00"),
    ([SHARED, SHARED], {"anchors": False}, "07 02 07 05 81 82 83 84 85 07 05 81 82 83 84 85"),
    ([SMALL_SHARED, SMALL_SHARED], {}, "07 02 07 01 81 07 01 81"),  # not worth a slot
]  # fmt: skip


@pytest.mark.parametrize(("value", "options", "body"), ENCODINGS)
def test_encodes_exactly(value: Any, options: dict[str, bool], body: str) -> None:
    assert wexo.dumps(value, **options).hex(" ") == bytes.fromhex("0f 01" + body).hex(" ")


def test_pool_reference_only_when_shorter() -> None:
    filler = [f"s{i:03}" for i in range(128)]  # pool entries 0 to 127
    data = wexo.dumps([*filler, "ab", "ab", "abcd", "abcd"], typed_arrays=False)
    # "ab" got index 128, whose reference 06 80 01 is no shorter than 42 61 62;
    # "abcd" got index 130, since the second "ab" was spelled again and pooled.
    assert data.endswith(bytes.fromhex("42 61 62 42 61 62 44 61 62 63 64 06 82 01"))


KINDS = {"null", "true", "false", "int", "float", "str", "str-ref", "array", "object", "table",
         "anchor", "anchor-ref", "typed-array", "sparse", *COL_NAMES}  # fmt: skip


def _kinds(data: bytes) -> set[str]:
    """The tags and column kinds that a document uses, as the listing names them."""
    lines, failure = listing(data)
    assert failure is None
    return {next(w for w in line.text.split(" ") if w in KINDS) for line in lines[1:]}


MIXED = {
    "orders": [
        {"id": 1001, "ok": True, "price": 9.95, "tag": "new", "at": {"x": 1, "y": 2}},
        {"id": 1002, "ok": False, "price": 19.5, "tag": "old", "at": {"x": 3, "y": 4}},
        {"id": 1003, "ok": True, "price": 5.25, "tag": "new", "at": {"x": 5, "y": 6}},
    ],
    "optional": [{"a": 1}, {"a": 2, "b": 3}, {"b": 4}],
    "flags": [True, False, True, True, False, True, False, True, True],
    "again": ["orders", "orders"],
    "colors": ["x", "y"] * 4,
}
MIXED["copy"] = MIXED["orders"]

OPTION_KINDS = [  # option switched off, what no longer appears in the listing
    ("pool", "str-ref"),
    ("tables", "table"),
    ("sparse", "sparse"),
    ("typed_arrays", "typed-array"),
    ("delta", "delta-int"),
    ("decimal", "decimal"),
    ("dict_str", "dict-str"),
    ("bool_bits", "bool-bits"),
    ("object_columns", "object-column"),
    ("anchors", "anchor"),
]


@pytest.mark.parametrize(("option", "kind"), OPTION_KINDS)
def test_each_option_switches_its_encoding_off(option: str, kind: str) -> None:
    assert kind in _kinds(wexo.dumps(MIXED))
    data = wexo.dumps(MIXED, **{option: False})
    assert kind not in _kinds(data)
    assert wexo.loads(data) == wexo.loads(wexo.dumps(MIXED))


def test_all_options_off_gives_plain_values() -> None:
    assert _kinds(wexo.dumps(MIXED, **ALL_OFF)) == {
        "object", "array", "int", "true", "false", "float", "str",
    }  # fmt: skip


def _nested(depth: int) -> list[Any]:
    value: list[Any] = []
    for _ in range(depth):
        value = [value]
    return value


def _around(leaf: Any, depth: int) -> list[Any]:
    for _ in range(depth):
        leaf = [leaf]
    return leaf


CYCLE: list[Any] = []
CYCLE.append({"loop": CYCLE})

# 256 lists; repeated below 256 more (and the root) it reaches level 512, below 257 level 513
DEEP_SHARED = _nested(255)
# 65,536 references to one list of 65,536 values: 2**32 + 65,537 values once expanded. The
# complex number after it is refused only if the count is missed: cheaply, where writing the
# tree would need gigabytes.
WIDE = [[None] * 65536] * 65536

# What refusals of a type add when dumps is given no default.
HINT = " (a default= function can convert it)"

BAD_INPUT = [  # value, exception, message
    ({"rows": [{}, {}, {}, {"id": 2**63}]}, ValueError,
     "int outside the signed 64-bit range at $.rows[3].id"),
    ([-(2**63) - 1], ValueError, "int outside the signed 64-bit range at $[0]"),
    ({"x": math.nan}, ValueError, "float is not finite at $.x"),
    ([[1.0, -math.inf]], ValueError, "float is not finite at $[0][1]"),
    ({"a": {1: 2}}, TypeError, "object key 1 is not a str at $.a"),
    ({"odd key": {"x"}}, TypeError, 'unsupported type set at $["odd key"]' + HINT),
    ({'q"k': b"x"}, TypeError, 'unsupported type bytes at $["q\\"k"]' + HINT),
    ({"s": "\ud800"}, ValueError, "string is not valid UTF-8 (lone surrogate) at $.s"),
    ({"\udc00": 1}, ValueError, 'key is not valid UTF-8 (lone surrogate) at $["\udc00"]'),
    (CYCLE, ValueError, "circular reference at $[0].loop"),
    # a long path keeps its first two steps and its last, with the depth
    (_nested(513), ValueError, "nesting deeper than 512 levels at $[0][0]...[0] (depth 512)"),
    ({"k" * 30: _nested(600)}, ValueError,
     "nesting deeper than 512 levels at $.kkkkkkkkkkkkkkkkkkkk...[0]...[0] (depth 512)"),
    ({"a": {"b" * 70: 1j}}, TypeError,
     "unsupported type complex at $.a." + "b" * 26 + "..." + "b" * 30 + HINT),
    ({"a": [[[{"c" * 60: b""}]]]}, TypeError,
     "unsupported type bytes at $.a[0]....cccccccccccccccccccc... (depth 5)" + HINT),
    ([DEEP_SHARED, _around(DEEP_SHARED, 257)], ValueError,
     "nesting deeper than 512 levels at $[1][0]...[0] (depth 258)"),  # a repeat too deep where it recurs
    ([WIDE, 3j], ValueError, "tree expands to more than 4294967296 values at $"),
    # types outside the builtins are named with their module
    ([1, 2, 3j], TypeError, "unsupported type complex at $[2]" + HINT),
    ({"price": decimal.Decimal("1.5")}, TypeError, "unsupported type decimal.Decimal at $.price" + HINT),
    ([datetime.timedelta(1)], TypeError, "unsupported type datetime.timedelta at $[0]" + HINT),
    ([collections.Counter()], None, None),  # a dict subclass: written as a dict
]  # fmt: skip


@pytest.mark.parametrize(("value", "error", "message"), BAD_INPUT)
def test_bad_input_names_its_path_and_writes_nothing(
    value: Any, error: type[Exception] | None, message: str
) -> None:
    if error is None:
        assert wexo.loads(wexo.dumps(value)) == value
        return
    with pytest.raises(error) as caught:
        reference.dumps(value)
    assert str(caught.value) == message  # the reference encoder says the same
    with pytest.raises(error) as caught:
        wexo.dumps(value)
    assert str(caught.value) == message
    out = io.BytesIO()
    with pytest.raises(error):
        wexo.dump(value, out)
    assert out.getvalue() == b""


DUMPS_ARGUMENTS = [  # positional arguments, keyword arguments, message of the TypeError
    ((), {}, "dumps() takes 1 positional argument but 0 were given"),
    ((1, 2), {}, "dumps() takes 1 positional argument but 2 were given"),
    ((1, 2), {"pool": False}, "dumps() takes 1 positional argument but 2 were given"),
    ((["ab", "ab"],), {"po": False}, "dumps() got an unexpected keyword argument 'po'"),
    ((["ab", "ab"],), {"pools": False}, "dumps() got an unexpected keyword argument 'pools'"),
    ((["ab", "ab"],), {"Pool": False}, "dumps() got an unexpected keyword argument 'Pool'"),
    ((["ab", "ab"],), {"": False}, "dumps() got an unexpected keyword argument ''"),
    ((["ab", "ab"],), {"anchor": False}, "dumps() got an unexpected keyword argument 'anchor'"),
    ((["ab", "ab"],), {"obj": 1}, "dumps() got an unexpected keyword argument 'obj'"),
    ((["ab", "ab"],), {"pool\0": False}, "dumps() got an unexpected keyword argument 'pool\x00'"),
]  # fmt: skip


@pytest.mark.parametrize(("args", "kwargs", "message"), DUMPS_ARGUMENTS)
def test_dumps_refuses_other_arguments(
    args: tuple[Any, ...], kwargs: dict[str, Any], message: str
) -> None:
    with pytest.raises(TypeError) as caught:
        wexo.dumps(*args, **kwargs)
    assert type(caught.value) is TypeError and str(caught.value) == message


def test_dumps_keywords_by_their_full_names() -> None:
    # every option by its full name, True or False (other values are refused in test_api)
    for name in ALL_OFF:
        assert wexo.dumps(MIXED, **{name: False}) == reference.dumps(MIXED, **{name: False})
        assert wexo.dumps(MIXED, **{name: True}) == wexo.dumps(MIXED)
    assert wexo.dumps(MIXED, **dict.fromkeys(ALL_OFF, False)) == reference.dumps(MIXED, **ALL_OFF)


def test_deepest_nesting_and_limits_decode() -> None:
    deepest = _nested(512)
    assert wexo.loads(wexo.dumps(deepest)) == deepest
    # A shared list whose anchor would add the 513th level is written plainly there.
    inner = _nested(511)
    tree = [inner, inner]
    data = wexo.dumps(tree)
    assert b"\x0a" not in data
    assert wexo.loads(data) == tree
    # A repeat that reaches level 512 exactly is written, and decodes with or without anchors.
    tree = [DEEP_SHARED, _around(DEEP_SHARED, 256)]
    for options in ({}, {"anchors": False}):
        assert wexo.loads(wexo.dumps(tree, **options), max_copies=None) == tree


def test_references_stay_within_the_default_copy_limit() -> None:
    shared = [None] * 16000  # one reference copies 16001 slots
    tree = [shared] * 1050
    data = wexo.dumps(tree)
    plain = b"\x07" + uvarint(16000) + bytes(16000)
    # A repeat is a reference while the copies so far stay within the default max_copies for
    # the output so far (2 a byte + 4096), and written out again otherwise.
    want = b"\x0f\x01\x07" + uvarint(1050) + b"\x0a" + plain
    copied = refs = 0
    for _ in range(1049):
        if copied + 16001 <= 2 * len(want) + 4096:
            copied += 16001
            refs += 1
            want += b"\x0b\x00"
        else:
            want += plain
    assert 0 < refs < 1049
    assert data == want == reference.encode(tree, reference.Options())
    assert copied <= 2 * len(data) + 4096
    assert wexo.loads(data) == tree


def test_size_budget_falls_back_from_object_columns(monkeypatch: pytest.MonkeyPatch) -> None:
    leaf: dict[str, Any] = {"z": True}
    for name in "abcdefghijkl":
        leaf = {name: leaf}
    rows = [leaf] * 256  # twelve nested object columns charge 12 * 257
    assert "object-column" in _kinds(wexo.dumps(rows))
    # With a budget as small as the layout's length allows, object columns no longer fit.
    monkeypatch.setattr(reference_encoder, "SIZE_BUDGET_BASE", 0)
    data = reference.dumps(rows)
    assert "object-column" not in _kinds(data)
    assert wexo.loads(data) == rows


@pytest.mark.slow
@pytest.mark.skipif(bool(os.environ.get("WEXO_SANITIZER")), reason="a large tree: slow there")
def test_native_encoder_falls_back_from_object_columns() -> None:
    leaf: dict[str, Any] = {"z": True}
    for name in "abcdefghijkl":
        leaf = {name: leaf}
    # 600,000 rows of twelve nested object columns would charge 13 * 600,001, more than the
    # budget of their few hundred kilobytes: the table's columns are then values.
    kinds = _kinds(wexo.dumps([leaf] * 600_000))
    assert "table" in kinds and "object-column" not in kinds


def test_dump_writes_the_document() -> None:
    out = io.BytesIO()
    wexo.dump({"k": [1, 2]}, out, typed_arrays=False)
    assert out.getvalue() == wexo.dumps({"k": [1, 2]})
