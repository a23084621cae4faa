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


# Lists of fresh dicts go out as tables straight from the dicts: each row's keys are checked
# against the first row's, in order. Every way a later row can differ must give the
# reference encoder's bytes, or its refusal.
def _key(text: str) -> str:
    return "".join(list(text))  # equal text, another object


_TABLE_EDGES = {
    "same keys": lambda: [{"a": i, "b": str(i)} for i in range(5)],
    "equal keys, other objects": lambda: [{_key("alpha"): i, _key("beta"): -i} for i in range(5)],
    "a later row longer": lambda: [{"a": 1}, {"a": 2}, {"a": 3, "b": 4}],
    "a later row shorter": lambda: [{"a": 1, "b": 2}, {"a": 3}],
    "a later row reordered": lambda: [{"a": 1, "b": 2}, {"b": 3, "a": 4}],
    "a later row renamed": lambda: [{"a": 1, "b": 2}, {"a": 3, "c": 4}],
    "an empty first row": lambda: [{}, {"a": 1}],
    "empty rows": lambda: [{}, {}, {}],
    "a table in a cell": lambda: [{"t": [{"x": i, "y": [i]} for i in range(3)]} for _ in range(3)],
    "objects in a column": lambda: [{"o": {"p": i, "q": "z"}} for i in range(4)],
    "a shared row": lambda: (lambda r: [r, r, {"a": 9}])({"a": 1}),
    "a row of a subclass": lambda: [{"a": 1}, type("D", (dict,), {})(a=2)],
    "a non-ASCII key": lambda: [{"é": i, "ü": [i]} for i in range(3)],
}


@pytest.mark.parametrize("make", _TABLE_EDGES.values(), ids=_TABLE_EDGES.keys())
def test_tables_from_fresh_dicts(make) -> None:
    from wexo import _ext, reference

    assert _ext.dumps(make()) == reference.dumps(make())
    assert _ext.dumps(make(), sparse=False) == reference.dumps(make(), sparse=False)


_TABLE_REFUSALS = {
    "a non-str key in a later row": lambda: [{"a": 1}, {"a": 2}, {1: 3}],
    "a lone surrogate in a later key": lambda: [{"a": 1}, {"\ud800": 2}],
    "a lone surrogate in the first key": lambda: [{"\ud800": 1}, {"a": 2}],
    "NaN in a cell": lambda: [{"a": 1.5}, {"a": float("nan")}],
    "an int past 64 bits": lambda: [{"a": 1}, {"a": 2**64}],
    "a set in a cell": lambda: [{"a": 1}, {"a": {1}}],
}


@pytest.mark.parametrize("make", _TABLE_REFUSALS.values(), ids=_TABLE_REFUSALS.keys())
def test_table_refusals_name_the_value(make) -> None:
    from wexo import _ext, reference

    with pytest.raises((TypeError, ValueError)) as want:
        reference.dumps(make())
    with pytest.raises(want.type, match="^" + __import__("re").escape(str(want.value)) + "$"):
        _ext.dumps(make())


def test_rows_whose_snapshot_moves_the_list() -> None:
    # Records of differing key orders, snapshotted after a table in a cell had grown the
    # snapshot's arrays: the array's first element must be read before the rows move it.
    from pathlib import Path

    import wexo_native
    from wexo import _ext, reference

    data = (Path(__file__).parent.parent / "fuzz" / "regressions" / "crash-426ea00bc5946b49").read_bytes()
    tree = wexo_native.loads_binary(data)
    assert _ext.dumps(tree) == reference.dumps(tree)
    assert wexo_native.loads_binary(_ext.dumps(tree)) == tree
