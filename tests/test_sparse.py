"""Sparse tables: presence flags and bitmaps, absent cells left out, the row
charges, and the offsets that differ from a plain table's."""
import pytest

from conftest import WexoError, check, decode, doc, fails, loads_binary, s, uv, zz
from test_columns import LEVELS, chained_objects

H2 = b"\x0d\x02\x41a\x41b"  # a sparse header of two columns, a and b
H1 = b"\x0d\x01\x41a"

SPARSE = [  # body, expected
    # bit k of byte k / 8 is row k: read from the high bit first, these rows would differ (and
    # stay within the table, so that such a fault fails here, not by a stray write)
    (H1 + b"\x08\x01\x01\x00\x85", [{"a": 5}] + [{}] * 7),
    (H1 + b"\x10\x01\x03\x40\x00\x81\x82\x83",
     [{"a": 1}, {"a": 2}] + [{}] * 12 + [{"a": 3}, {}]),
    # the worked example: a in every row, b in rows 0 and 2
    (H2 + b"\x03\x00\x01\x14\x02\x02\x01\x05\x00\x02\x87",
     [{"a": 10, "b": True}, {"a": 11}, {"a": 12, "b": 7}]),
    (H1 + b"\x00\x01\x04", []),                              # N = 0, bitmap flag, no bitmap byte
    (H1 + b"\x00\x00\x04", []),
    (H1 + b"\x00\x01\x02\x03", []),                          # N = 0 still reads the scale
    (H1 + b"\x03\x01\x00\x02\x04", [{}, {}, {}]),            # all absent: P = 0, kind byte follows
    (H1 + b"\x02\x01\x00\x03\x01\x42xy", [{}, {}]),          # P = 0 still reads the dictionary
    (H1 + b"\x02\x01\x00\x05\x01\x41k\x02\x01", [{}, {}]),   # P = 0 still reads field names
    (H1 + b"\x03\x01\x05\x01\x0a\x02", [{"a": 5}, {}, {"a": 6}]),  # running sum over present cells
    (H1 + b"\x08\x01\xff\x04\x01", [{"a": True}] + [{"a": False}] * 7),
    (H1 + b"\x09\x01\x00\x01\x04\x01", [{}] * 8 + [{"a": True}]),
    # N = 10, rows 1, 8 and 9 present: the bool column takes ceil(3 / 8) = 1 byte,
    # whose bit 0 goes to row 1
    (H1 + b"\x0a\x01\x02\x03\x04\x05", [{}, {"a": True}, {}, {}, {}, {}, {}, {}, {"a": False}, {"a": True}]),
    # a row present in no column stays an empty dict in its place
    (H2 + b"\x03\x01\x01\x04\x01\x01\x04\x04\x01", [{"a": True}, {}, {"b": True}]),
    # keys keep header order even when an earlier column is absent in a row
    (H2 + b"\x02\x01\x02\x00\x80\x00\x00\x81\x82", [{"b": 1}, {"a": 0, "b": 2}]),
    # object column in a bitmap column: P new dicts placed after all sub-columns
    (H1 + b"\x03\x01\x06\x05\x01\x41x\x01\x02\x02", [{}, {"a": {"x": 1}}, {"a": {"x": 2}}]),
    (H1 + b"\x03\x01\x05\x02\x02" + zz(150) + zz(-5), [{"a": 1.5}, {}, {"a": -0.05}]),
    (H1 + b"\x03\x01\x05\x03\x01\x41q\x00\x00", [{"a": "q"}, {}, {"a": "q"}]),
]


def after(*parts: bytes) -> int:
    return 2 + sum(len(p) for p in parts)


ERRORS = [  # body, message, offset
    # one stray bit past the last row, before a column that cannot be read: refused at the
    # bitmap, never placing a cell in a row that is not there
    (H1 + b"\x03\x01\x08\x07", "bad presence bitmap", after(H1, b"\x03\x01\x08")),
    (H1 + b"\x09\x01\x01\x02\x07", "bad presence bitmap", after(H1, b"\x09\x01\x01\x02")),
    (H1 + b"\x0f\x01\x00\x80", "bad presence bitmap", after(H1, b"\x0f\x01\x00\x80")),
    (H1 + b"\x03\x01\x0d\x00\x80", "bad presence bitmap", after(H1, b"\x03\x01\x0d")),  # bit 3 of N = 3
    (H1 + b"\x09\x01\x00\x02", "bad presence bitmap", after(H1, b"\x09\x01\x00\x02")),
    (H1 + b"\x03\x02\x00", "bad presence flag", after(H1, b"\x03\x02")),  # one past the flag
    (H1 + b"\x03\xff", "bad presence flag", after(H1, b"\x03\xff")),
    (H1 + b"\x03", "truncated input", after(H1, b"\x03")),                # no flag byte
    (H1 + b"\x09\x01\x00", "truncated input", after(H1, b"\x09\x01")),    # bitmap cut short
    (H1 + b"\x03\x01\x05", "truncated input", after(H1, b"\x03\x01\x05")),  # no kind byte
    (H1 + b"\x03\x01\x05\x07", "bad column kind", after(H1, b"\x03\x01\x05")),
    (H1 + b"\x03\x00\x07", "bad column kind", after(H1, b"\x03\x00")),
    (H1 + b"\x03\x01\x05\x02", "bad decimal scale", after(H1, b"\x03\x01\x05\x02")),
    (H1 + b"\x11\x00\x04", "truncated input", after(H1, b"\x11")),         # 17 rows, 2 bytes left
    (H1 + b"\x10\x00\x04", "truncated input", after(H1, b"\x10\x00\x04")),  # 16: on to the bitmap
    (b"\x0d\x00", "empty table header", 4),
    (b"\x0d\x02\x41a\x41a", "duplicate column 'a'", 8),
    # a repeated field name of an object column inside a bitmap column
    (H1 + b"\x01\x01\x01\x05\x02\x41x\x41x", "duplicate key 'x'", after(H1, b"\x01\x01\x01\x05\x02\x41x\x41x")),
    (H1 + b"\x02\x01\x03\x03\x01\x41q\x00\x01", "bad dictionary index", after(H1, b"\x02\x01\x03\x03\x01\x41q\x00\x01")),
]


@pytest.mark.parametrize("body,expected", SPARSE)
def test_sparse(decoder, body, expected):
    decoder.check(body, expected)


@pytest.mark.parametrize("body,message,offset", ERRORS)
def test_error(decoder, body, message, offset):
    decoder.fails(body, message, offset)


def test_last_byte_of_nine_rows_may_only_hold_bit_0():
    for last in range(256):
        body = H1 + b"\x09\x01\xff" + bytes([last]) + b"\x04\x00" + b"\x00" * (last & 1)
        if last in (0, 1):
            decode(body)
        else:
            fails(body, "bad presence bitmap", after(H1, b"\x09\x01\xff", bytes([last])))


def test_keys_are_shared_per_column():
    v = decode(H2 + b"\x04\x00\x04\x0f\x01\x0a\x04\x03")
    assert [list(r) for r in v] == [["a"], ["a", "b"], ["a"], ["a", "b"]]
    ka = [next(iter(r)) for r in v]
    assert ka[0] is ka[1] is ka[2] is ka[3]
    assert list(v[1])[1] is list(v[3])[1]


def test_sparse_at_depth_512_fails_at_first_column():
    deep = b"\x07\x01" * 512
    # flag ALL: the column decoder reports it, just after the flag byte
    fails(deep + H1 + b"\x01\x00\x04\x00", "nesting too deep", after(deep, H1, b"\x01\x00"))
    # flag BITMAP: reported just after the bitmap
    fails(deep + H1 + b"\x01\x01\x01\x04\x00", "nesting too deep", after(deep, H1, b"\x01\x01\x01"))
    # the bitmap is checked before the depth
    fails(deep + H1 + b"\x01\x01\x03\x04\x00", "bad presence bitmap", after(deep, H1, b"\x01\x01\x03"))


def sparse_rows(n: int) -> bytes:
    """A sparse table of n rows whose one column is present nowhere."""
    return H1 + uv(n) + b"\x01" + bytes((n + 7) // 8) + b"\x04"


def spend_then(tail_of, want):
    """[A, T]: A is a typed array that spends most of the budget, T = tail_of(n)
    for the first n where want(left, n) holds, left being what A leaves."""
    levels = LEVELS
    guess = (4194304 + 128 * levels) // (levels - 3)
    tails = {n: len(tail_of(n)) for n in range(1, 300)}
    for n_a in range(guess - 3000, guess + 3000):
        a_len = len(chained_objects(n_a, levels))
        for n, t_len in tails.items():
            left = 32 * (2 + 2 + a_len + t_len) + 4194304 - (levels + 1) * (n_a + 1)
            if want(left, n):
                a = chained_objects(n_a, levels)
                return b"\x07\x02" + a + tail_of(n), a, n
    raise AssertionError("no document found")


def test_rows_are_charged_twice():
    # a sparse table of n rows costs 2n, plus 1 for its one (empty) column
    body, _, n = spend_then(sparse_rows, lambda left, n: left == 2 * n + 1)
    v = loads_binary(doc(body))
    assert v[1] == [{}] * n
    # 2n above what is left while n + 1 (all a plain table checks) would fit:
    # the sparse table fails at the cursor after its row count
    body, a, n = spend_then(sparse_rows, lambda left, n: n + 1 < left < 2 * n)
    with pytest.raises(WexoError) as info:
        loads_binary(doc(body))
    assert (info.value.message, info.value.offset) == (
        "decoded size too large", after(b"\x07\x02", a, H1, uv(n)))
