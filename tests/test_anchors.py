"""Anchors and references: slot order, deep copies that share scalars, the
expansion budget and the copy depth limit."""
import pytest

from conftest import (WexoError, arr, check, decode, doc, fails,
                      loads_binary, obj, s, uv)

ANCHOR_VALUES = [  # body, expected
    (arr(b"\x0a\x85", b"\x0b\x00"), [5, 5]),
    (arr(b"\x0a" + arr(b"\x81", b"\x82"), b"\x0b\x00"), [[1, 2], [1, 2]]),
    (b"\x0a\x07\x02\x0a\x80\x0b\x01", [0, 0]),              # inner anchor is slot 1
    (arr(b"\x0a\x80", b"\x0a\x81", b"\x0b\x01", b"\x0b\x00"), [0, 1, 1, 0]),
    (arr(b"\x0a" + obj((s("b"), b"\x81"), (s("a"), b"\x82")), b"\x0b\x00"),
     [{"b": 1, "a": 2}, {"b": 1, "a": 2}]),
    (arr(b"\x0a\x07\x00", b"\x0b\x00", b"\x0b\x00"), [[], [], []]),
    (b"\x0a\x00", None),
]

# A copy of an array holding an anchored object of two pooled keys, a reference to it and an
# object of a third pooled key: the copy reads the keys again, and they are no repeats.
TWO = obj((s("aa"), b"\x00"), (s("bb"), b"\x00"))
POOLED_COPY = arr(b"\x0a" + arr(b"\x0a" + arr(b"\x0a" + TWO, b"\x0b\x02", obj((s("cc"), b"\x00")))),
                  b"\x0b\x00")
ROWS = [[{"aa": None, "bb": None}, {"aa": None, "bb": None}, {"cc": None}]]
ANCHOR_VALUES.append((POOLED_COPY, [ROWS, ROWS]))

ERRORS = [  # body, message, offset
    (b"\x0b\x00", "bad anchor reference", 4),                # no anchor yet
    (arr(b"\x0a\x80", b"\x0b\x01"), "bad anchor reference", 8),
    (b"\x0a\x07\x01\x0b\x00", "bad anchor reference", 7),   # own anchor, not complete
    (b"\x0a\x07\x01\x0a\x07\x01\x0b\x00", "bad anchor reference", 10),  # enclosing anchor
    (b"\x0b", "truncated input", 3),
    (b"\x0b\x80", "truncated input", 3),
    (b"\x0b" + b"\xff" * 9 + b"\x7f", "varint overflows 64 bits", 3),
    (b"\x0a", "truncated input", 3),
    (b"\x0a\x0e", "bad tag 0x0e", 3),
]


@pytest.mark.parametrize("body,expected", ANCHOR_VALUES)
def test_anchor(decoder, body, expected):
    decoder.check(body, expected)


@pytest.mark.parametrize("body,message,offset", ERRORS)
def test_error(decoder, body, message, offset):
    decoder.fails(body, message, offset)


def test_copy_has_new_containers_and_shared_scalars():
    inner = obj((s("name"), s("value")), (s("n"), b"\x03" + uv(2**40)), (s("l"), arr(s("xy"))))
    a, b = decode(arr(b"\x0a" + inner, b"\x0b\x00"))
    assert a == b and a is not b
    assert a["l"] is not b["l"]
    assert a["name"] is b["name"] and a["n"] is b["n"] and a["l"][0] is b["l"][0]
    assert [k for k in a][0] is [k for k in b][0]  # keys are the same str objects


def test_scalar_anchor_yields_same_object():
    big = b"\x03" + uv(2**50)
    v = decode(arr(b"\x0a" + big, *[b"\x0b\x00"] * 5))
    assert all(x is v[0] for x in v)


def test_scalar_references_cost_no_budget():
    n = 100_000
    v = decode(b"\x07" + uv(n + 1) + b"\x0a" + s("abc") + b"\x0b\x00" * n)
    assert len(v) == n + 1 and v[-1] is v[0]


def test_expansion_budget_is_exact():
    # a list of 1,000 scalars costs 1,001 per reference: 16,760 fit, the next does not
    anchored = b"\x0a\x07" + uv(1000) + b"\x80" * 1000
    ok = b"\x07" + uv(16761) + anchored + b"\x0b\x00" * 16760
    v = loads_binary(doc(ok))  # one argument type: the tree is large
    assert len(v) == 16761 and v[-1] == v[0] and v[-1] is not v[0]
    bad = b"\x07" + uv(16762) + anchored + b"\x0b\x00" * 16761
    fails(bad, "reference expansion too large", len(bad) + 2)


def test_budget_counts_nested_containers():
    # [[], [], ... 100 empty lists] costs 101 + 100 = 201 per copy
    anchored = b"\x0a" + arr(*[arr()] * 100)
    n_ok = 16777216 // 201
    ok = b"\x07" + uv(n_ok + 1) + anchored + b"\x0b\x00" * n_ok
    assert len(loads_binary(doc(ok))) == n_ok + 1
    body = b"\x07" + uv(n_ok + 2) + anchored + b"\x0b\x00" * (n_ok + 1)
    with pytest.raises(WexoError) as info:  # one argument type: the work is large
        loads_binary(doc(body))
    assert (info.value.message, info.value.offset) == ("reference expansion too large", len(body) + 2)


def test_reference_copies_can_contain_copies():
    # anchor 0 = [1]; anchor 1 = [ref 0, ref 0]; ref 1 copies the earlier copies too
    body = arr(b"\x0a" + arr(b"\x81"), b"\x0a" + arr(b"\x0b\x00", b"\x0b\x00"), b"\x0b\x01")
    v = decode(body)
    assert v == [[1], [[1], [1]], [[1], [1]]]
    assert v[2] is not v[1] and v[2][0] is not v[1][0]


def chain(levels: list[int]) -> bytes:
    """Anchors each wrapping the previous one's copy in more nested arrays, then
    a reference to the last: its copy is sum(levels) lists deep."""
    parts = [b"\x0a" + b"\x07\x01" * levels[0] + b"\x80"]
    for i, n in enumerate(levels[1:], 1):
        parts.append(b"\x0a" + b"\x07\x01" * n + b"\x0b" + uv(i - 1))
    parts.append(b"\x0b" + uv(len(levels) - 1))
    return b"\x07" + uv(len(parts)) + b"".join(parts)


def depth_of(v) -> int:
    d = 0
    while isinstance(v, list):
        v = v[0]
        d += 1
    return d


def test_copy_of_exactly_4096_levels():
    v = decode(chain([256] * 16))
    assert depth_of(v[-1]) == 4096
    assert depth_of(v[-2]) == 4096 and v[-1] is not v[-2]


def test_copy_deeper_than_4096_levels_fails_at_offset_0():
    fails(chain([256] * 15 + [257]), "nesting too deep", 0)
