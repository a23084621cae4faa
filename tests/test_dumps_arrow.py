"""wexo.dumps_arrow: Arrow data written as the document wexo.dumps writes for to_pylist()."""

from __future__ import annotations

import datetime
import decimal
import json
import threading
from pathlib import Path

import pytest

pa = pytest.importorskip("pyarrow")
pytest.importorskip("pandas")  # to_pylist gives nanosecond timestamps as pandas.Timestamp

from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import wexo  # noqa: E402
from wexo import _ext  # noqa: E402
from conftest import OWN_CORPUS  # noqa: E402
from test_leaks import blocks_per_call  # noqa: E402

CHOICE_NAMES = [name for name, _, _ in _ext.CHOICES]


def oracle(table, **choices) -> bytes:
    return wexo.dumps(table.to_pylist(), **choices)


def same_bytes(table, **choices) -> bytes:
    got = wexo.dumps_arrow(table, **choices)
    assert got == oracle(table, **choices)
    return got


def chunked(arr):
    """The array as a column of three chunks, the middle one a slice."""
    n = len(arr)
    return pa.chunked_array([arr.slice(0, n // 3), arr.slice(n // 3, n // 3), arr.slice(2 * (n // 3))])


US = 1_700_000_000_123_456
NS = US * 1000 + 789
ENTRIES = pa.map_(pa.string(), pa.int64())

# Every type the writer reads, with nulls; each column sits next to an int column.
TYPES = {
    "int8": pa.array([1, -128, None, 127, 5], pa.int8()),
    "int16": pa.array([1, -300, None, 300, 5], pa.int16()),
    "int32": pa.array([1, -70000, None, 2**31 - 1, 1], pa.int32()),
    "int64": pa.array([1, -(2**63), None, 2**63 - 1, 1000], pa.int64()),
    "uint8": pa.array([0, 255, None, 3, 3], pa.uint8()),
    "uint16": pa.array([0, 65535, None, 3, 3], pa.uint16()),
    "uint32": pa.array([0, 2**32 - 1, None, 3, 3], pa.uint32()),
    "uint64": pa.array([0, 2**63 - 1, None, 3, 3], pa.uint64()),
    "float16": pa.array([1.5, -0.0, None, 65504.0, 0.1], pa.float16()),
    "float32": pa.array([1.5, 0.1, None, 3.0, 1e30], pa.float32()),
    "float64": pa.array([1.25, 0.1, None, 2.0**60, -3.5], pa.float64()),
    "decimal-like": pa.array([1.25, 2.5, None, 3.75, 100.0], pa.float64()),
    "bool": pa.array([True, False, None, True, True], pa.bool_()),
    "string": pa.array(["a", "héllo", None, "", "a"], pa.string()),
    "large_string": pa.array(["ab", "ab", None, "x" * 300, "ab"], pa.large_string()),
    "string_view": pa.array(["short", "a much longer string view", None, "short", "x"], pa.string_view()),
    "null": pa.nulls(5),
    "dict_str": pa.array(["x", "y", None, "x", "x"]).dictionary_encode(),
    "dict_int16_idx": pa.DictionaryArray.from_arrays(
        pa.array([0, 1, None, 1, 0], pa.int16()), pa.array(["red", None])
    ),
    "dict_int_values": pa.array([10, 20, None, 10, 10]).dictionary_encode(),
    "list": pa.array([[1, 2], [], None, [None, 3], [1, 2]], pa.list_(pa.int64())),
    "large_list": pa.array([["a"], ["b", None], None, [], ["a"]], pa.large_list(pa.string())),
    "fixed_size_list": pa.array([[1.5, 2], [3, 4], None, [None, 5], [1, 1]], pa.list_(pa.float64(), 2)),
    "list_of_lists": pa.array([[[1], []], None, [[2, 3]], [], [None]], pa.list_(pa.list_(pa.int8()))),
    "struct": pa.array(
        [{"x": 1, "y": "a"}, {"x": None, "y": "b"}, None, {"x": 3, "y": None}, {"x": 1, "y": "a"}],
        pa.struct([("x", pa.int32()), ("y", pa.string())]),
    ),
    "struct_nested": pa.array(
        [{"p": {"q": [1]}}, {"p": None}, None, {"p": {"q": None}}, {"p": {"q": []}}],
        pa.struct([("p", pa.struct([("q", pa.list_(pa.int64()))]))]),
    ),
    "list_of_structs": pa.array(
        [[{"a": 1}], [{"a": 2}, None], None, [], [{"a": None}]], pa.list_(pa.struct([("a", pa.int64())]))
    ),
    "map": pa.array([[("a", 1)], [], None, [("b", None), ("a", 2)], [("a", 1)]], ENTRIES),
    "ts_s": pa.array([0, US // 10**6, None, -1, 253402300799], pa.timestamp("s")),
    "ts_ms": pa.array([0, US // 1000, None, -1, 1], pa.timestamp("ms")),
    "ts_us": pa.array([0, US, None, -1, 1], pa.timestamp("us")),
    "ts_ns": pa.array([0, NS, None, -1, 1000], pa.timestamp("ns")),
    "ts_us_utc": pa.array([0, US, None, -1, 1], pa.timestamp("us", "UTC")),
    "ts_ms_plus": pa.array([0, US // 1000, None, -1, 1], pa.timestamp("ms", "+05:30")),
    "ts_ns_minus": pa.array([0, NS, None, -1, 1], pa.timestamp("ns", "-08:00")),
    "date32": pa.array([0, 19000, None, -719162, 2932896], pa.date32()),
    "date64": pa.array([0, 19000 * 86400000, None, -86400000, 86400000], pa.date64()),
    "time32_s": pa.array([0, 3723, None, 86399, 1], pa.time32("s")),
    "time32_ms": pa.array([0, 3723001, None, 86399999, 1], pa.time32("ms")),
    "time64_us": pa.array([0, 3723000123, None, 86399999999, 1], pa.time64("us")),
    "time64_ns": pa.array([0, 3723000123456, None, 86399999999999, 999], pa.time64("ns")),
    "all_null_binary": pa.array([None] * 5, pa.binary()),
    "all_null_decimal": pa.array([None] * 5, pa.decimal128(5, 2)),
    "all_null_duration": pa.array([None] * 5, pa.duration("s")),
}


def table_of(arr) -> pa.Table:
    return pa.table({"k": pa.array(range(len(arr)), pa.int64()), "v": arr})


@pytest.mark.parametrize("name", TYPES)
def test_every_type_writes_the_bytes_dumps_writes(name):
    arr = TYPES[name]
    same_bytes(table_of(arr))
    same_bytes(table_of(arr).slice(1, 3))  # offsets into every buffer
    same_bytes(pa.table({"k": chunked(pa.array(range(len(arr)))), "v": chunked(arr)}))
    same_bytes(pa.table({"v": arr}), tables=False)  # the snapshot of every row
    same_bytes(table_of(arr), nonfinite="null")


@pytest.mark.parametrize("off", CHOICE_NAMES)
def test_each_choice_off_in_turn(off):
    table = pa.table({name: arr for name, arr in TYPES.items()})
    same_bytes(table, **{off: False})
    same_bytes(pa.concat_tables([table, table.slice(2)]), **{off: False})


CORNERS = {
    "zero rows": pa.table({"a": pa.array([], pa.int64()), "b": pa.array([], pa.string())}),
    "one row": pa.table({"a": [1], "b": [{"x": [1, 2]}]}),
    "zero columns, two rows": pa.table({"a": [1, 2]}).drop_columns(["a"]),
    "zero columns, many rows": pa.table({"a": range(30_000)}).drop_columns(["a"]),
    "zero columns, zero rows": pa.table({}),
    # A bit column of 10^4 rows is more dicts than wexo.loads admits for its size: bools
    # are then written a byte each, as dumps does.
    "bools past the cell limit": pa.table({"b": pa.array([True, False] * 10_000)}),
    "many chunks": pa.Table.from_batches([pa.record_batch({"a": [i, None], "b": ["x", "y"]}) for i in range(50)]),
    "names that are not identifiers": pa.table({"a b": [1, 2], "": [3, 4], "é": ["x", "x"]}),
    "empty chunks": pa.Table.from_batches(
        [pa.record_batch({"a": pa.array([], pa.int64())}), pa.record_batch({"a": [1, 2]}),
         pa.record_batch({"a": pa.array([], pa.int64())})]
    ),
    # structs without nulls are written as object columns straight from their fields
    "structs without nulls, nested": pa.table({
        "s": pa.array([{"a": {"x": i, "y": [i, 1.5]}, "b": f"v{i % 3}"} for i in range(40)]),
        "t": pa.array([{"z": i % 2 == 0} for i in range(40)]),
    }).slice(3, 30),
    # the pool refers to the first spelling of a date's text through every later column
    "the same dates in several columns": pa.table({
        "a": pa.array([None, 0, 86400000], pa.timestamp("ms", "UTC")),
        "b": pa.array([0, 1, 0], pa.timestamp("ms", "UTC")),
        "c": pa.array([[0], [86400000], []], pa.list_(pa.timestamp("ms", "UTC"))),
    }),
    "empty struct": pa.table({"s": pa.array([{}, {}, None], pa.struct([]))}),
    "dictionary with null values": pa.table(
        {"d": pa.DictionaryArray.from_arrays(pa.array([0, 1, 2, None, 1]), pa.array(["a", None, "c"]))}
    ),
    "dictionary arrays of differing chunks": pa.table(
        {"d": pa.chunked_array([pa.array(["a", "b"]).dictionary_encode(), pa.array(["b", "c", "b"]).dictionary_encode()])}
    ),
    "nonfinite float16 and float32 kept when null": pa.table(
        {"f": pa.array([1.0, None], pa.float32()), "h": pa.array([0.5, 2.0], pa.float16())}
    ),
    "pooled strings across columns and nesting": pa.table(
        {"a": ["shared", "other"], "b": [["shared"], ["other", "shared"]], "c": [{"shared": "other"}, None]}
    ),
}


@pytest.mark.parametrize("name", CORNERS)
def test_corners_write_what_dumps_writes(name):
    table = CORNERS[name]
    same_bytes(table)
    for off in ("tables", "bool_bits", "pool"):
        same_bytes(table, **{off: False})


def test_more_chunks_than_places_for_lazy_containers():
    # 5 columns (the root, a list and its items, a struct and its field) in 14,000 chunks:
    # past a Child's 16 bits of place, every container is snapshotted at once.
    kind = pa.struct([("a", pa.float64())])
    batch = pa.record_batch({"l": pa.array([[1, 2]]), "s": pa.array([{"a": None}], kind)})
    table = pa.Table.from_batches([batch] * 14_000)
    same_bytes(table)
    same_bytes(table, object_columns=False)
    last = pa.record_batch({"l": pa.array([[1, 2]]), "s": pa.array([{"a": NAN}], kind)})
    bad = pa.Table.from_batches([batch] * 13_999 + [last])
    assert refusal(bad) == (ValueError, "float is not finite at $[13999].s.a")
    with pytest.raises(ValueError, match=r"^float is not finite at \$\[13999\]\.s\.a$"):
        wexo.dumps_arrow(bad)


def test_zero_columns_and_zero_rows_are_plain_arrays():
    assert wexo.dumps_arrow(CORNERS["zero rows"]) == wexo.dumps([])
    assert wexo.dumps_arrow(CORNERS["zero columns, two rows"]) == wexo.dumps([{}, {}])
    assert wexo.loads(wexo.dumps_arrow(CORNERS["one row"])) == [{"a": 1, "b": {"x": [1, 2]}}]


# Written through to_pylist() (the reason is in dumps_columns's answer): the same bytes
# still, or to_pylist()'s own refusal.
FALLBACKS = {
    "named time zone": (pa.array([0, US, None], pa.timestamp("us", "Europe/London")), "a named time zone"),
    "struct with a name twice": (
        pa.StructArray.from_arrays([pa.array([1, 2, 3]), pa.array([4, 5, 6])], names=["x", "x"]),
        "a name twice in a struct",
    ),
    "string array of bytes that are not UTF-8": (
        pa.Array.from_buffers(pa.string(), 2, [None, pa.py_buffer(b"\x00\x00\x00\x00\x01\x00\x00\x00\x03\x00\x00\x00"),
                                                pa.py_buffer(b"a\xff\xfe")]),
        "a value to_pylist() gives as what the encoder does not take",
    ),
    "dense union": (
        pa.UnionArray.from_dense(pa.array([0, 1, 0], pa.int8()), pa.array([0, 0, 1], pa.int32()),
                                 [pa.array([1, 2]), pa.array(["a"])]),
        "a type to_pylist() gives as Python objects the encoder does not take",
    ),
}


@pytest.mark.parametrize("name", FALLBACKS)
def test_what_is_not_read_from_the_buffers_is_written_as_dumps_writes_it(name):
    arr, why = FALLBACKS[name]
    table = table_of(arr)
    assert _ext.dumps_columns(table.__arrow_c_stream__()) == why
    assert verdict(lambda: wexo.dumps_arrow(table)) == verdict(lambda: oracle(table))


def verdict(run):
    try:
        return run()
    except Exception as e:  # noqa: BLE001 - the same failure is the point
        return type(e), str(e)


def refusal(table, **choices) -> tuple[type, str]:
    with pytest.raises((TypeError, ValueError)) as info:
        oracle(table, **choices)
    return info.type, str(info.value)


HINT = " (a default= function can convert it)"
NAN = float("nan")

REFUSALS = [
    (pa.table({"a": [1, 2, 3], "b": pa.array([1, 2**64 - 1, 3], pa.uint64())}),
     ValueError, "int outside the signed 64-bit range at $[1].b"),
    (pa.table({"a": [1.0, 2.0, NAN]}), ValueError, "float is not finite at $[2].a"),
    (pa.table({"a": pa.array([1.0, float("-inf")], pa.float32())}), ValueError, "float is not finite at $[1].a"),
    (pa.table({"a": pa.array([1.0, float("inf")], pa.float16())}), ValueError, "float is not finite at $[1].a"),
    (pa.table({"a": [None, b"x"]}), TypeError, "unsupported type bytes at $[1].a" + HINT),
    (pa.table({"a": pa.array([None, b"xy"], pa.large_binary())}), TypeError, "unsupported type bytes at $[1].a" + HINT),
    (pa.table({"a": pa.array([b"xy"], pa.binary(2))}), TypeError, "unsupported type bytes at $[0].a" + HINT),
    (pa.table({"a": pa.array([None, decimal.Decimal("1.5")], pa.decimal128(4, 1))}),
     TypeError, "unsupported type decimal.Decimal at $[1].a" + HINT),
    (pa.table({"a": pa.array([decimal.Decimal("1.5")], pa.decimal256(40, 1))}),
     TypeError, "unsupported type decimal.Decimal at $[0].a" + HINT),
    (pa.table({"a": pa.array([None, datetime.timedelta(1)], pa.duration("us"))}),
     TypeError, "unsupported type datetime.timedelta at $[1].a" + HINT),
    # the first refused value in the rows' order: row 1 of the later column before row 2
    (pa.table({"x": [1.0, 2.0, NAN], "y": [b"a" if i == 1 else None for i in range(3)]}),
     TypeError, "unsupported type bytes at $[1].y" + HINT),
    (pa.table({"x": [1.0, NAN, 3.0], "y": [None, b"a", None]}), ValueError, "float is not finite at $[1].x"),
    (pa.table({"s": pa.array([{"q": [1.0]}, {"q": [2.0, NAN]}])}), ValueError, "float is not finite at $[1].s.q[1]"),
    (pa.table({"m": pa.array([[("k", b"v")]], pa.map_(pa.string(), pa.binary()))}),
     TypeError, "unsupported type bytes at $[0].m[0][1]" + HINT),
    (pa.table({"d": pa.array([1.0, NAN, 1.0]).dictionary_encode()}), ValueError, "float is not finite at $[1].d"),
    (pa.table({"odd key": [NAN]}), ValueError, 'float is not finite at $[0]["odd key"]'),
]


@pytest.mark.parametrize("table, kind, message", REFUSALS)
def test_refusals_match_dumps(table, kind, message):
    assert refusal(table) == (kind, message)
    with pytest.raises(kind) as info:
        wexo.dumps_arrow(table)
    assert str(info.value) == message
    # sliced and chunked: the row counts from the table's start
    longer = pa.concat_tables([table.slice(0, 1), table])
    with pytest.raises(kind) as info:
        wexo.dumps_arrow(longer)
    assert (info.type, str(info.value)) == refusal(longer)


def test_nonfinite_null_writes_none():
    table = pa.table({"a": [1.5, NAN, float("inf")], "b": pa.array([1.0, float("-inf"), 2.0], pa.float32())})
    assert wexo.loads(same_bytes(table, nonfinite="null")) == [
        {"a": 1.5, "b": 1}, {"a": None, "b": None}, {"a": None, "b": 2}
    ]


def test_bad_arguments():
    with pytest.raises(TypeError, match="not list$"):
        wexo.dumps_arrow([{"a": 1}])
    with pytest.raises(TypeError, match="not dict$"):
        wexo.dumps_arrow({"a": [1]})
    table = pa.table({"a": [1, 2]})
    with pytest.raises(TypeError, match="unexpected keyword argument 'default'"):
        wexo.dumps_arrow(table, default=str)
    with pytest.raises(TypeError) as info:
        wexo.dumps_arrow(table, pool=1)
    assert str(info.value) == "dumps_arrow(): pool must be True or False, not int"
    with pytest.raises(ValueError) as info:
        wexo.dumps_arrow(table, nonfinite="zero")
    assert str(info.value) == "dumps_arrow(): nonfinite must be 'error' or 'null', not 'zero'"
    with pytest.raises(TypeError, match="arrow_array_stream"):
        _ext.dumps_columns(object())


def test_sources_other_than_a_table():
    table = pa.table({"a": [1, 2, None], "b": ["x", "y", "x"]})
    expected = oracle(table)
    batch = table.to_batches()[0]
    assert wexo.dumps_arrow(batch) == expected
    assert wexo.dumps_arrow(pa.RecordBatchReader.from_batches(table.schema, [batch])) == expected

    class Stream:  # the PyCapsule interface alone
        def __arrow_c_stream__(self, requested_schema=None):
            return table.__arrow_c_stream__(requested_schema)

    class Array:
        def __arrow_c_array__(self, requested_schema=None):
            return batch.__arrow_c_array__(requested_schema)

    assert wexo.dumps_arrow(Stream()) == expected
    assert wexo.dumps_arrow(Array()) == expected
    assert _ext.dumps_columns(batch.__arrow_c_array__()) == expected


def test_polars():
    pl = pytest.importorskip("polars")
    df = pl.DataFrame({"a": [1, None, 3], "s": ["x", "y", None], "l": [[1], [], None], "f": [0.5, 1.0, None]})
    assert wexo.dumps_arrow(df) == wexo.dumps(df.to_dicts())


def test_pandas():
    pd = pytest.importorskip("pandas")
    if not hasattr(pd.DataFrame, "__arrow_c_stream__"):
        pytest.skip("pandas before 2.2")
    df = pd.DataFrame({"a": [1, 2, 3], "s": ["x", "y", "x"], "f": [0.5, 1.5, 2.0]})
    assert wexo.dumps_arrow(df) == oracle(pa.table(df))
    assert wexo.loads(wexo.dumps_arrow(df)) == [
        {"a": 1, "s": "x", "f": 0.5}, {"a": 2, "s": "y", "f": 1.5}, {"a": 3, "s": "x", "f": 2}
    ]


def test_duckdb():
    duckdb = pytest.importorskip("duckdb")
    rel = duckdb.sql("select i, i % 3 = 0 as b, 'n' || (i % 4)::varchar as s from range(50) t(i)")
    assert wexo.dumps_arrow(rel) == oracle(rel.arrow().read_all() if hasattr(rel.arrow(), "read_all") else rel.arrow())


def corpus_lists():
    out = []
    own = json.loads((OWN_CORPUS / "twitter.json").read_text())["statuses"]
    out.append(("twitter statuses", own))
    out.append(("github_events", json.loads((OWN_CORPUS / "github_events.json").read_text())))
    shared = Path("/work/shared/corpus")
    for path in sorted(shared.glob("*.json")) if shared.is_dir() else []:
        data = json.loads(path.read_text())
        if isinstance(data, list) and len(data) > 1 and all(isinstance(r, dict) for r in data):
            out.append((path.stem, data[:3000]))
    return out


@pytest.mark.parametrize("name, rows", corpus_lists(), ids=lambda x: x if isinstance(x, str) else "")
def test_corpus_record_lists(name, rows):
    try:
        table = pa.Table.from_pylist(rows)
    except (pa.ArrowInvalid, pa.ArrowTypeError, pa.ArrowNotImplementedError):
        pytest.skip("pyarrow finds no one type for these records")
    data = same_bytes(table)
    assert len(data) <= len(wexo.dumps(rows)) * 1.5  # the nulls of missing keys cost a little
    same_bytes(table.slice(7, 40), **{CHOICE_NAMES[3]: False})


def test_round_trip_through_loads_arrow():
    table = pa.table({
        "i": pa.array([1, None, -5], pa.int64()), "f": [0.5, None, 2.25], "s": ["a", None, "a"],
        "b": [True, None, False], "st": pa.array([{"x": 1}, {"x": 2}, {"x": None}]),
    })
    back = wexo.loads_arrow(wexo.dumps_arrow(table))
    assert back.to_pylist() == table.to_pylist()
    assert back.column_names == table.column_names


def test_leaks():
    table = pa.table({k: v for k, v in TYPES.items() if not k.startswith("ts_ns")})
    assert blocks_per_call(lambda: wexo.dumps_arrow(table), n=300) <= 0.02
    bad = pa.table({"a": [1.0, NAN]})

    def refused():
        with pytest.raises(ValueError):
            wexo.dumps_arrow(bad)

    assert blocks_per_call(refused, n=300) <= 0.02
    stream = pa.table({"a": [1, 2]})
    assert blocks_per_call(lambda: _ext.dumps_columns(stream.__arrow_c_stream__()), n=1000) <= 0.02


def test_threads_share_one_table():
    n = 20_000
    table = pa.table({
        "id": pa.array(range(n)), "name": pa.array([f"n{i % 97}" for i in range(n)]),
        "score": pa.array([i / 8 for i in range(n)]), "tags": pa.array([[i % 3, i % 5] for i in range(n)]),
    })
    expected = oracle(table)
    results: list[bytes] = []
    lock = threading.Lock()

    def work():
        for _ in range(3):
            got = wexo.dumps_arrow(table)
            with lock:
                results.append(got)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 12 and all(r == expected for r in results)


# ---- generated tables

SCALARS = [
    (pa.int64(), st.integers(-(2**63), 2**63 - 1)),
    (pa.int8(), st.integers(-128, 127)),
    (pa.uint32(), st.integers(0, 2**32 - 1)),
    (pa.float64(), st.floats(allow_nan=False, allow_infinity=False)),
    (pa.float32(), st.floats(width=32, allow_nan=False, allow_infinity=False)),
    (pa.float64(), st.sampled_from([0.5, 1.25, 3.0, 0.1, -2.75, 100.0])),
    (pa.bool_(), st.booleans()),
    (pa.string(), st.text(max_size=6)),
    (pa.string(), st.sampled_from(["a", "bb", "ccc", "a long one"])),
    (pa.timestamp("ms", "UTC"), st.integers(-(10**12), 10**13)),
    (pa.date32(), st.integers(-10**5, 10**5)),
]


@st.composite
def columns(draw, depth=0):
    kind = draw(st.integers(0, 4 if depth < 2 else 1))
    if kind <= 1:
        typ, values = draw(st.sampled_from(SCALARS))
        make = lambda: draw(st.none() | values)  # noqa: E731
        return typ, make
    if kind == 2:
        typ, inner = draw(columns(depth + 1))
        return pa.list_(typ), lambda: draw(st.none() | st.lists(st.builds(inner), max_size=3))
    if kind == 3:
        fields = draw(st.lists(columns(depth + 1), min_size=1, max_size=3))
        typ = pa.struct([(f"f{i}", t) for i, (t, _) in enumerate(fields)])

        def make():
            if draw(st.booleans()) and draw(st.booleans()):
                return None
            return {f"f{i}": m() for i, (_, m) in enumerate(fields)}

        return typ, make
    typ, values = draw(st.sampled_from(SCALARS[7:9]))
    return pa.dictionary(pa.int32(), typ), lambda: draw(st.none() | values)


@st.composite
def tables(draw):
    cols = draw(st.lists(columns(), min_size=1, max_size=4))
    n = draw(st.integers(0, 12))
    data = {f"c{i}": pa.array([m() for _ in range(n)], t) for i, (t, m) in enumerate(cols)}
    table = pa.table(data)
    if n > 2 and draw(st.booleans()):
        cut = draw(st.integers(1, n - 1))
        table = pa.concat_tables([table.slice(0, cut), table.slice(cut)])
    if n > 2 and draw(st.booleans()):
        table = table.slice(1, n - 2)
    return table


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(tables(), st.sampled_from([None, *CHOICE_NAMES]))
def test_generated_tables(table, off):
    same_bytes(table, **({off: False} if off else {}))


# ---- both ways: every type of the README's mapping comes back as it was, given its schema

_WHEN = datetime.datetime(2024, 3, 9, 14, 5, 7, 120)
_PLUS1 = datetime.timezone(datetime.timedelta(hours=1))
ROUND_TRIPS = {  # name: (Arrow type, cells)
    "int8": (pa.int8(), [1, -2, None]), "int16": (pa.int16(), [300, None, -3]),
    "int32": (pa.int32(), [2**31 - 1, None, -1]), "int64": (pa.int64(), [2**62, None, -(2**63)]),
    "uint8": (pa.uint8(), [255, None, 0]), "uint16": (pa.uint16(), [65535, 1, None]),
    "uint32": (pa.uint32(), [2**32 - 1, None, 0]), "uint64": (pa.uint64(), [2**63 - 1, None, 5]),
    "float16": (pa.float16(), [1.5, None, -2.0]), "float32": (pa.float32(), [1.5, None, 0.1]),
    "float64": (pa.float64(), [1.5, None, 2.0]), "bool": (pa.bool_(), [True, None, False]),
    "string": (pa.string(), ["a", None, "été"]), "large_string": (pa.large_string(), ["a", None, ""]),
    "dictionary": (pa.dictionary(pa.int32(), pa.string()), ["a", None, "a"]),
    "list": (pa.list_(pa.int64()), [[1, 2], None, []]),
    "large_list": (pa.large_list(pa.string()), [["x"], None, []]),
    "fixed_size_list": (pa.list_(pa.int32(), 2), [[1, 2], None, [3, 4]]),
    "struct": (pa.struct([("a", pa.int64()), ("b", pa.string())]), [{"a": 1, "b": "x"}, None, {"a": None, "b": "y"}]),
    "map": (pa.map_(pa.string(), pa.int64()), [[("k", 1), ("l", None)], None, []]),
    "timestamp[s]": (pa.timestamp("s"), [_WHEN.replace(microsecond=0), None, datetime.datetime(1900, 1, 1)]),
    "timestamp[ms]": (pa.timestamp("ms"), [_WHEN.replace(microsecond=120000), None, _WHEN.replace(microsecond=0)]),
    "timestamp[us]": (pa.timestamp("us"), [_WHEN, None, _WHEN]),
    "timestamp[us, UTC]": (pa.timestamp("us", "UTC"), [_WHEN.replace(tzinfo=datetime.timezone.utc), None, None]),
    "timestamp[us, +01:00]": (pa.timestamp("us", "+01:00"), [_WHEN.replace(tzinfo=_PLUS1), None, None]),
    "date32": (pa.date32(), [_WHEN.date(), None, datetime.date(1, 1, 1)]),
    "date64": (pa.date64(), [_WHEN.date(), None, _WHEN.date()]),
    "time32[s]": (pa.time32("s"), [datetime.time(14, 5, 7), None, datetime.time(0, 0)]),
    "time32[ms]": (pa.time32("ms"), [datetime.time(14, 5, 7, 120000), None, datetime.time(1)]),
    "time64[us]": (pa.time64("us"), [datetime.time(14, 5, 7, 120), None, datetime.time(23, 59, 59, 999999)]),
    "null": (pa.null(), [None, None, None]),
}


@pytest.mark.parametrize("name", list(ROUND_TRIPS))
def test_round_trip_with_the_schema(name):
    arrow_type, cells = ROUND_TRIPS[name]
    t = pa.table({"v": pa.array(cells, arrow_type), "k": [1, 2, 3]})
    back = wexo.loads_arrow(wexo.dumps_arrow(t), schema=t.schema)
    assert back.equals(t), (back.column("v").to_pylist(), back.schema)


def test_round_trip_of_every_type_at_once_in_chunks():
    everything = pa.table({n: pa.array(c, ty) for n, (ty, c) in ROUND_TRIPS.items()})
    chunked = pa.concat_tables([everything.slice(0, 1), everything.slice(1)])
    assert wexo.loads_arrow(wexo.dumps_arrow(chunked), schema=everything.schema).equals(everything)
