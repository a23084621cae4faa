"""Typed columns: the six kinds, each through every sink (typed array, table
column, sparse column with every row present and with a bitmap), and the
decoded-size budget."""
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from conftest import arr, check, decode, doc, fails, loads_binary, s, uv, zz, same, WexoError


def bitmap(n: int, present) -> bytes:
    out = bytearray((n + 7) // 8)
    for r in present:
        out[r // 8] |= 1 << (r % 8)
    return bytes(out)


# Each wrapper puts a column of n cells somewhere and says what the result
# must be for its cells. The column's own failure offsets are relative to
# where the column starts, so the same tables serve every wrapper.
def as_typed_array(n, col):
    head = b"\x0c" + uv(n)
    return head, col, lambda cells: cells


def as_table(n, col):
    head = b"\x09\x01\x41c" + uv(n)
    return head, col, lambda cells: [{"c": c} for c in cells]


def as_sparse_all(n, col):
    head = b"\x0d\x01\x41c" + uv(n) + b"\x00"
    return head, col, lambda cells: [{"c": c} for c in cells]


def as_sparse_bitmap(n, col):
    # 2n rows, the odd ones present: cell k lands in row 2k + 1
    head = b"\x0d\x01\x41c" + uv(2 * n) + b"\x01" + bitmap(2 * n, range(1, 2 * n, 2))
    def rows(cells):
        out = [{} for _ in range(2 * n)]
        for k, c in enumerate(cells):
            out[2 * k + 1]["c"] = c
        return out
    return head, col, rows


SINKS = [as_typed_array, as_table, as_sparse_all, as_sparse_bitmap]
SINK_IDS = ["typed_array", "table", "sparse_all", "sparse_bitmap"]

BIG = 2**53

COLUMNS = [  # n, column bytes, cells
    # COL_BOOL_BITS
    (3, b"\x04\x05", [True, False, True]),
    (0, b"\x04", []),
    (8, b"\x04\xff", [True] * 8),
    (9, b"\x04\xff\x01", [True] * 9),
    (3, b"\x04\xfd", [True, False, True]),                 # bits past the last cell ignored
    (10, b"\x04\x00\x02", [False] * 9 + [True]),
    # COL_DELTA_INT
    (3, b"\x01\x02\x02\x02", [1, 2, 3]),
    (0, b"\x01", []),
    (3, b"\x01" + zz(-5) + zz(10) + zz(-20), [-5, 5, -15]),
    (2, b"\x01" + zz(2**63 - 1) + zz(1), [2**63 - 1, -(2**63)]),   # wraps around
    (2, b"\x01" + zz(-(2**63)) + zz(-1), [-(2**63), 2**63 - 1]),
    # COL_DECIMAL
    (2, b"\x02\x02" + zz(1500) + zz(125), [15, 1.25]),
    (2, b"\x02\x02" + zz(1525) + zz(-1), [15.25, -0.01]),
    (1, b"\x02\x02" + zz(0), [0]),
    (2, b"\x02\x00" + zz(BIG + 1) + zz(-(2**63)), [BIG + 1, -(2**63)]),  # scale 0: always int
    (1, b"\x02\x01" + zz(BIG + 10), [(BIG + 10) / 10]),    # beyond 2^53: exact division
    (1, b"\x02\x01" + zz(BIG), [BIG / 10.0]),              # 2^53 itself: double division
    (1, b"\x02\x01" + zz(10 * 2**50), [2**50]),            # exact path, integral quotient
    (1, b"\x02\x03" + zz(-(2**63)), [-(2**63) / 1000]),
    (1, b"\x02\x06" + zz(1), [1e-06]),
    (1, b"\x02\x06" + zz(-3_000_000), [-3]),
    (1, b"\x02\x01" + zz(-(BIG + 1)), [-(BIG + 1) / 10]),
    # COL_DICT_STR
    (3, b"\x03\x02\x41a\x41b\x00\x01\x00", ["a", "b", "a"]),
    (0, b"\x03\x00", []),
    (0, b"\x03\x01\x42xy", []),                            # unused entries are simply released
    (2, b"\x03\x03\x41a\x41b\x42cd\x02\x02", ["cd", "cd"]),  # D above n
    (1, b"\x03\x01\x05\x03abc\x00", ["abc"]),              # long-form entry
    # COL_VALUES
    (2, b"\x00\x81\x41a", [1, "a"]),
    (0, b"\x00", []),
    (2, b"\x00" + arr(b"\x80") + b"\x0c\x01\x04\x01", [[0], [True]]),
    # COL_OBJECT
    (2, b"\x05\x01\x41x\x01\x02\x02", [{"x": 1}, {"x": 2}]),
    (2, b"\x05\x02\x41x\x41y\x01\x02\x02\x04\x01", [{"x": 1, "y": True}, {"x": 2, "y": False}]),
    (1, b"\x05\x01\x41o\x05\x01\x41i\x00\x80", [{"o": {"i": 0}}]),   # nested object column
    (0, b"\x05\x01\x41x\x02\x03", []),                      # n = 0 still reads every header
]

ERRORS = [  # n, column bytes, message, offset relative to the column's start
    (0, b"", "truncated input", 0),                          # no kind byte
    (1, b"\x06", "bad column kind", 0),
    (1, b"\xff", "bad column kind", 0),
    (1, b"\x02", "bad decimal scale", 1),                    # end of input at the scale
    (1, b"\x02\x07\x00", "bad decimal scale", 1),
    (0, b"\x02\x07", "bad decimal scale", 1),                # n = 0 still reads the scale
    (1, b"\x02\x02\x80", "truncated input", 2),
    (1, b"\x03\x05\x41a", "truncated input", 2),             # D above the unread bytes
    (1, b"\x03\xff\xff\xff\xff\x07" + b"\x41a" * 4, "truncated input", 6),  # D above 2^31 - 1
    (1, b"\x03\x01\x00\x00", "key must be a string", 2),
    (1, b"\x03\x01\x81\x00", "key must be a string", 2),
    (1, b"\x03\x01\x41a\x01", "bad dictionary index", 5),    # index equal to D
    (2, b"\x03\x00\x00\x00", "bad dictionary index", 3),     # D = 0, n = 1 or more
    (1, b"\x03\x01\x06\x05\x00", "bad string reference", 4),
    (1, b"\x03\x01\x42\xc3\x28\x00", "string is not valid UTF-8", 3),
    (9, b"\x04\xff", "truncated input", 1),                  # second bitmap byte missing
    (1, b"\x05\x00\x00", "empty object column", 2),
    (1, b"\x05\x05\x41x", "truncated input", 2),             # K above the unread bytes
    (1, b"\x05\x02\x41x\x41x\x00", "duplicate key 'x'", 6),
    (1, b"\x05\x01\x41x\x07", "bad column kind", 4),         # sub-column kind
    (0, b"\x05\x01\x41x", "truncated input", 4),             # sub-column missing
    (1, b"\x01\x80", "truncated input", 1),
    (1, b"\x01" + b"\xff" * 9 + b"\x02", "varint overflows 64 bits", 1),
    (1, b"\x00\x0e", "bad tag 0x0e", 1),
    (2, b"\x00\x80", "truncated input", 2),
]


def place(sink, n, col):
    head, col, shape = sink(n, col)
    return head + col, len(head), shape


@pytest.mark.parametrize("sink", SINKS, ids=SINK_IDS)
@pytest.mark.parametrize("n,col,cells", COLUMNS)
def test_column(decoder, sink, n, col, cells):
    body, _, shape = place(sink, n, col)
    decoder.check(body, shape(cells))


@pytest.mark.parametrize("sink", SINKS, ids=SINK_IDS)
@pytest.mark.parametrize("n,col,message,rel", ERRORS)
def test_column_error(decoder, sink, n, col, message, rel):
    body, at, _ = place(sink, n, col)
    decoder.fails(body, message, 2 + at + rel)


def test_decimal_matches_python_division():
    # every mantissa below 2^53 goes through one double division: the same as m / 10**s
    mantissas = [1, 3, 7, 10, 99, 12345, 2**52 + 1, BIG - 1, -7, -(BIG - 3)]
    for scale in range(1, 7):
        col = b"\x02" + bytes([scale]) + b"".join(zz(m) for m in mantissas)
        got = decode(b"\x0c" + uv(len(mantissas)) + col)
        for m, g in zip(mantissas, got):
            q = m / 10.0**scale
            want = int(q) if q == int(q) and abs(q) < BIG else q
            assert same(g, want), (m, scale, g)


# Mantissas beyond 2^53 of either sign (up to the 64-bit ends), with some at
# or below it: every cell must be Python's own m / 10**s, the exact quotient
# rounded once, made an int when integral and below 2^53. The magnitudes get
# arbitrary low bits, which a double cannot hold: rounding m to a double
# before dividing then often gives another result.
def beyond(bits: int, low: int) -> int:
    return (1 << (bits - 1)) | (low % (1 << (bits - 1)))


MAGNITUDES = st.builds(beyond, st.integers(55, 63), st.integers(0, 2**64 - 1))
MANTISSAS = st.one_of(MAGNITUDES, MAGNITUDES.map(lambda m: -m), st.just(-(2**63)),
                      st.integers(-BIG - 1, BIG + 1))


@pytest.mark.parametrize("sink", SINKS, ids=SINK_IDS)
@given(scale=st.integers(1, 6), mantissas=st.lists(MANTISSAS, min_size=4, max_size=24))
@example(scale=3, mantissas=[-2810320510926836359])  # ...836.5, not ...836.0
@settings(max_examples=150, deadline=None)
def test_decimal_is_the_exact_quotient_rounded_once(sink, scale, mantissas):
    col = b"\x02" + bytes([scale]) + b"".join(zz(m) for m in mantissas)
    want = []
    for m in mantissas:
        q = m / 10**scale
        want.append(int(q) if q.is_integer() and abs(q) < BIG else q)
    body, _, shape = place(sink, len(mantissas), col)
    check(body, shape(want))


def test_dictionary_cells_share_one_object():
    v = decode(b"\x0c\x04\x03\x02\x42ab\x42cd\x00\x01\x00\x01")
    assert v == ["ab", "cd", "ab", "cd"]
    assert v[0] is v[2] and v[1] is v[3]


def test_dictionary_entries_enter_the_pool():
    v = decode(arr(b"\x0c\x01\x03\x02\x42ab\x42cd\x01", b"\x06\x00", b"\x06\x01"))
    assert v == [["cd"], "ab", "cd"]
    assert v[0][0] is v[2]


def test_object_column_cells_are_new_dicts_with_shared_keys():
    v = decode(b"\x0c\x03\x05\x01\x42id\x01\x02\x02\x02")
    assert v == [{"id": 1}, {"id": 2}, {"id": 3}]
    keys = [next(iter(d)) for d in v]
    assert keys[0] is keys[1] is keys[2]
    assert len({id(d) for d in v}) == 3


def test_typed_array_count_bound():
    # eight cells per byte: a count of 8 with one byte left proceeds, 9 does not
    fails(b"\x0c\x09\x04", "truncated input", 4)
    fails(b"\x0c\x08\x04", "truncated input", 5)       # proceeds to the bitmap, which is missing
    check(b"\x0c\x08\x04\xff", [True] * 8)


def test_typed_array_at_depth_512_fails_at_its_kind_byte():
    body = b"\x07\x01" * 512 + b"\x0c\x01\x04\x01"
    fails(body, "nesting too deep", 2 + 1024 + 2)


def test_values_column_cells_run_one_level_deeper():
    # a typed array at depth 510: its column at 511, its cells at 512
    ok = b"\x07\x01" * 510 + b"\x0c\x01\x00" + arr()
    decode(ok)
    too_deep = b"\x07\x01" * 510 + b"\x0c\x01\x00" + arr(arr())
    fails(too_deep, "nesting too deep", 2 + 1020 + 3 + 2)


# The decoded-size budget: len x 32 + 4,194,304 for the whole document.
def chained_objects(n, levels):
    """A typed array of n cells whose column nests `levels` single-name object
    columns over a bitmap: it charges (levels + 1) x (n + 1) for few bytes."""
    col = b"\x05\x01\x41k" * levels + b"\x04" + bytes((n + 7) // 8)
    return b"\x0c" + uv(n) + col


LEVELS = 60


def budget_document(excess: int):
    """[A, B]: two typed arrays whose charges exceed the budget by exactly
    `excess`; also returns the offset of B's kind byte. Every charge is paid
    for by cells that exist, so some four million dicts are made."""
    def tail(k):
        return b"\x0c" + uv(k) + b"\x04" + bytes((k + 7) // 8)
    # what B adds to the charges minus what its bytes add to the budget
    net = {}
    for k in range(400):
        net.setdefault(k + 1 - 32 * len(tail(k)), k)
    guess = (4194304 + 128 * LEVELS) // (LEVELS - 3)
    for n in range(guess - 3000, guess + 3000):
        a = chained_objects(n, LEVELS)
        rest = (LEVELS + 1) * (n + 1) - (32 * (2 + 2 + len(a)) + 4194304)
        k = net.get(excess - rest)
        if k is not None:
            body = b"\x07\x02" + a + tail(k)
            assert rest + k + 1 - 32 * len(tail(k)) == excess
            return body, 2 + 2 + len(a) + 1 + len(uv(k))
    raise AssertionError("no document found")


def test_budget_used_up_exactly():
    body, _ = budget_document(0)
    v = loads_binary(doc(body))
    assert len(v) == 2 and len(v[0]) > 60_000


def test_budget_exceeded_by_one():
    body, at = budget_document(1)
    with pytest.raises(WexoError) as info:  # one argument type: the work is large
        loads_binary(doc(body))
    assert (info.value.message, info.value.offset) == ("decoded size too large", at)
