"""Tables: row dicts built column by column, one key object per column, the
row-count bounds, and columns read in full even without rows."""
import pytest

from conftest import arr, check, decode, fails, s, uv, zz

TABLES = [  # body, expected
    (b"\x09\x02\x41a\x41b\x02\x01\x02\x02\x04\x01", [{"a": 1, "b": True}, {"a": 2, "b": False}]),
    (b"\x09\x01\x41a\x00\x04", []),                         # no rows, bitmap column, no bytes
    (b"\x09\x01\x41a\x00\x03\x01\x42xy", []),               # no rows, dictionary still read
    (b"\x09\x01\x40\x01\x00\x80", [{"": 0}]),                # the empty column name
    (b"\x09\x03\x41z\x41a\x41m\x01\x00\x80\x00\x81\x00\x82", [{"z": 0, "a": 1, "m": 2}]),
    (b"\x09\x01\x41v\x03\x00\x00\x41x" + arr(b"\x80"), [{"v": None}, {"v": "x"}, {"v": [0]}]),
    (b"\x09\x01\x41o\x02\x05\x01\x41i\x01\x02\x02",          # object column in a table
     [{"o": {"i": 1}}, {"o": {"i": 2}}]),
    (b"\x09\x01\x41t\x01\x00\x09\x01\x41u\x01\x00\x80",      # a table inside a values column
     [{"t": [{"u": 0}]}]),
]

H = b"\x09\x01\x41a"  # a header of one column named a
ERRORS = [  # body, message, offset
    (b"\x09\x00", "empty table header", 4),
    (b"\x09\x02\x41a\x41a\x00", "duplicate column 'a'", 8),
    (H + b"\x11\x04\x00", "truncated input", 7),            # 17 rows, 2 bytes left
    (H + b"\x80\x80\x80\x80\x08\x04", "truncated input", 11),  # above 2^31 - 1
    (H, "truncated input", 6),                                 # no row count
    (H + b"\x00", "truncated input", 7),                      # no kind byte
    (H + b"\x00\x02\x07", "bad decimal scale", 8),           # no rows, column still read
    (b"\x09\x02\x41a\x41b\x01\x01\x02\x06", "bad column kind", 11),
    (H + b"\x01\x00\x0e", "bad tag 0x0e", 8),
]


@pytest.mark.parametrize("body,expected", TABLES)
def test_table(decoder, body, expected):
    decoder.check(body, expected)


@pytest.mark.parametrize("body,message,offset", ERRORS)
def test_error(decoder, body, message, offset):
    decoder.fails(body, message, offset)


def test_row_count_bound_is_eight_per_byte():
    # the bound counts every unread byte after the count, the kind byte included
    check(H + b"\x10\x04\xff\x00", [{"a": True}] * 8 + [{"a": False}] * 8)
    fails(H + b"\x10\x04\xff", "truncated input", 8)   # 16 <= 8 x 2: on to the bitmap
    fails(H + b"\x11\x04\xff", "truncated input", 7)   # 17 > 8 x 2: refused at the count


def test_one_key_object_per_column():
    body = b"\x09\x02\x42id\x44name" + uv(50) + b"\x01" + b"\x02" * 50 + b"\x03\x01\x42xy" + b"\x00" * 50
    v = decode(body)
    assert len(v) == 50
    k_id, k_name = list(v[0])
    for row in v:
        a, b = list(row)
        assert a is k_id and b is k_name
    assert v[0]["name"] is v[49]["name"]


def test_rows_are_distinct_dicts():
    v = decode(b"\x09\x01\x41a\x03\x04\x00")
    assert len({id(r) for r in v}) == 3


def test_first_column_work_is_dropped_on_failure():
    fails(b"\x09\x02\x41a\x41b\x02\x01\x02\x02\x06", "bad column kind", 12)


def test_table_at_depth_512_reads_header_then_fails():
    body = b"\x07\x01" * 512 + b"\x09\x01\x41a\x01\x01\x02"
    fails(body, "nesting too deep", 2 + 1024 + 5)
    # its header is read first: a bad header fails as such
    fails(b"\x07\x01" * 512 + b"\x09\x00" + b"\x00" * 4, "empty table header", 2 + 1024 + 2)


def test_round_trip_against_list_of_dicts():
    rows = [{"id": i, "ok": i % 3 == 0, "name": ["x", "yy", "zzz"][i % 3], "p": i * 0.25}
            for i in range(40)]
    names = [s(k) for k in ("id", "ok", "name", "p")]
    cols = [
        b"\x01" + zz(0) + zz(1) * 39,
        b"\x04" + bytes(sum(1 << b for b in range(8) if (8 * byte + b) % 3 == 0)
                        for byte in range(5)),
        b"\x03\x03\x41x\x42yy\x43zzz" + bytes(i % 3 for i in range(40)),
        b"\x02\x02" + b"".join(zz(25 * i) for i in range(40)),
    ]
    body = b"\x09\x04" + b"".join(names) + uv(40) + b"".join(cols)
    check(body, [{"id": r["id"], "ok": r["ok"], "name": r["name"],
                  "p": int(r["p"]) if r["p"] == int(r["p"]) else r["p"]} for r in rows])
