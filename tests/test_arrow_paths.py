"""Record lists anywhere in a document: plain arrays of objects, lists at a path, columns left
out. Everything outside what is built is still read and checked, within the same limits."""
from __future__ import annotations

import threading
from typing import Any

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

pa = pytest.importorskip("pyarrow")

import wexo  # noqa: E402
from conftest import WexoError, arr, doc, loads_binary, obj, s, uv  # noqa: E402
from test_arrow import (COLUMN_CELLS, SANITIZER, col_ints, col_object, col_values, counts_blocks,  # noqa: E402
                        loads_arrow_dicts, records, rows_agree, small, table, typed)
from test_encoder_native import OPTION_SETS, TREES  # noqa: E402
from test_leaks import blocks_per_call  # noqa: E402

loads_arrow = wexo.loads_arrow
ROWS = [{"id": 1, "name": "ann"}, {"id": 2, "name": "bob"}, {"id": 3, "name": None}]
EVERY_CHOICE_OFF = {name: False for name, _, _ in wexo._ext.CHOICES}


def columns(data: bytes, **kw: Any) -> pa.Table:
    """The native call with its own keywords (fields, dictionaries), as a table."""
    from wexo._arrow import _Batch

    return pa.Table.from_batches([pa.record_batch(_Batch(wexo._ext.loads_columns(data, **kw)))])


def at(tree: Any, path: tuple[Any, ...]) -> Any:
    for step in path:
        tree = tree[step]
    return tree


def failure(fn: Any) -> tuple[Any, ...]:
    try:
        fn()
    except WexoError as e:
        return (WexoError, e.message, e.offset)
    except (KeyError, IndexError, TypeError, ValueError) as e:
        return (type(e), e.args[0])
    return ("ok",)


# ---- plain arrays of objects at the root

ROOTS = [  # id, document
    ("no records", wexo.dumps([])),
    ("one record", wexo.dumps([{"a": 1, "b": "x"}])),
    ("records, every choice off", wexo.dumps(ROWS, **EVERY_CHOICE_OFF)),
    ("records of differing keys, no sparse tables", wexo.dumps([{"a": 1}, {"b": 2}], sparse=False)),
    ("one record shared three times", wexo.dumps([ROWS[0]] * 3, tables=False, sparse=False)),
    ("an anchored table", doc(b"\x0a" + table(["a"], 2, col_ints(1, 2)))),
    ("a typed array of objects", doc(typed(2, col_object(["a"], col_ints(1, 2))))),
    ("a typed array of no cells", doc(typed(0, b"\x04"))),
]


@pytest.mark.parametrize("data", [c[1] for c in ROOTS], ids=[c[0] for c in ROOTS])
def test_arrays_of_objects_are_tables(data):
    want = loads_binary(data)
    t = loads_arrow(data)
    assert t.num_rows == len(want) and rows_agree(t.to_pylist(), want)
    if not want:
        assert t.num_columns == 0


# ---- paths

TREE = {
    "meta": {"count": 3, "next": None},
    "statuses": ROWS,
    "pages": [[{"a": 1}], [{"a": 2}, {"a": 3.5}]],
    "one": [{"x": "only"}],
    "none": [],
    "again": ROWS,  # the same list: with anchors, a reference to the first
}
PATHS = [("statuses",), ("pages", 0), ("pages", 1), ("pages", -2), ("one",), ("none",), ("again",)]
OPTIONS = [{}, {"tables": False, "sparse": False}, {"anchors": False}, EVERY_CHOICE_OFF]


@pytest.mark.parametrize("options", OPTIONS, ids=lambda o: ",".join(o) or "all")
@pytest.mark.parametrize("path", PATHS, ids=str)
def test_the_list_at_a_path(path, options):
    data = wexo.dumps(TREE, **options)
    got = loads_arrow(data, path=path)
    assert rows_agree(got.to_pylist(), at(TREE, path))


MISSES = [  # path, exception type, message (its first argument)
    (("nope",), KeyError, "loads_arrow(): path ('nope',): the object at step 0 has no key 'nope'"),
    (("pages", 2), IndexError,
     "loads_arrow(): path ('pages', 2): index 2 at step 1 is out of the array's range"),
    (("pages", -3), IndexError,
     "loads_arrow(): path ('pages', -3): index -3 at step 1 is out of the array's range"),
    (("meta", "count", "x"), TypeError, "loads_arrow(): path ('meta', 'count', 'x'): step 2 ('x') meets an int"),
    (("pages", "a"), TypeError, "loads_arrow(): path ('pages', 'a'): step 1 ('a') meets an array"),
    ((0,), TypeError, "loads_arrow(): path (0,): step 0 (0) meets an object"),
    (("statuses", 0), TypeError,
     "loads_arrow(): path ('statuses', 0): step 1 (0) meets a table, whose rows a path cannot enter"),
    (("meta",), TypeError,
     "loads_arrow() needs a table, a sparse table or an array of objects at path ('meta',), not an object"),
    (("meta", "count"), TypeError,
     "loads_arrow() needs a table, a sparse table or an array of objects at path ('meta', 'count'), not an int"),
    (("pages",), TypeError, "loads_arrow() needs a table, a sparse table or an array of objects at path "
     "('pages',), not an array holding values other than objects"),
]


@pytest.mark.parametrize("path,kind,message", MISSES, ids=[str(m[0]) for m in MISSES])
def test_a_path_that_leads_to_no_record_list(path, kind, message):
    assert failure(lambda: loads_arrow(wexo.dumps(TREE), path=path)) == (kind, message)


@pytest.mark.parametrize("path,message", [
    (["statuses"], "loads_arrow(): path must be a tuple or None, not list"),
    ("statuses", "loads_arrow(): path must be a tuple or None, not str"),
    (("statuses", 1.5), "loads_arrow(): a path holds str keys and int indexes, not float"),
    ((True,), "loads_arrow(): a path holds str keys and int indexes, not bool"),
])
def test_paths_of_other_types_are_refused_before_decoding(path, message):
    assert failure(lambda: loads_arrow(b"", path=path)) == (TypeError, message)


def test_an_empty_path_is_the_root():
    data = wexo.dumps(ROWS)
    assert loads_arrow(data, path=()).to_pylist() == loads_arrow(data).to_pylist()


# Documents whose fault lies outside the list at ("a",): before it, after it, inside a skipped
# object, in the object along the path. (Keys of one character are not pooled: a reference to
# entry 0 names the first string of two bytes or more.)
RECORDS = arr(obj((s("k"), small(1))))
FAULTS = [  # id, document body
    ("bad tag after", obj((s("a"), RECORDS), (s("b"), b"\x0e"))),
    ("truncated after", obj((s("a"), RECORDS), (s("b"), s("xyz")[:-1]))),
    ("trailing bytes", obj((s("a"), RECORDS)) + b"\x00"),
    ("repeated key along the path", obj((s("a"), RECORDS), (s("a"), small(1)))),
    ("repeated key, the second one chosen", obj((s("b"), small(1)), (s("b"), small(2)), (s("a"), RECORDS))),
    ("repeated key in a skipped object",
     obj((s("x"), obj((s("k"), small(1)), (s("k"), small(2)))), (s("a"), RECORDS))),
    ("repeated key in a skipped object of 40 keys",
     obj((s("x"), obj(*[(s(f"k{i}"), small(i)) for i in range(40)], (s("k7"), small(0)))), (s("a"), RECORDS))),
    ("repeated key by pool reference in a skipped object",
     obj((s("x"), obj((s("kk"), small(1)), (b"\x06\x00", small(2)))), (s("a"), RECORDS))),
    ("repeated key inside the records", obj((s("a"), arr(obj((s("k"), small(1)), (s("k"), small(1))))))),
    ("repeated key of a column left out", obj((s("a"), arr(obj((s("k"), small(1)), (s("j"), small(1)),
                                                                 (s("j"), small(2))))))),
    ("bad UTF-8 in a skipped string", obj((s("x"), s(b"\xff\xfe")), (s("a"), RECORDS))),
    ("reference to an anchor not yet made", obj((s("a"), RECORDS), (s("b"), b"\x0b\x00"))),
    ("bad dictionary index in a skipped table", obj((s("x"), table(["v"], 1, b"\x03\x01" + s("q") + uv(1))),
                                                   (s("a"), RECORDS))),
]


@pytest.mark.parametrize("body", [f[1] for f in FAULTS], ids=[f[0] for f in FAULTS])
def test_the_whole_document_is_checked(body):
    data = doc(body)
    want = failure(lambda: loads_binary(data))
    assert want[0] is WexoError
    assert failure(lambda: loads_arrow(data, path=("a",))) == want
    assert failure(lambda: columns(data, path=("a",), fields=("k",))) == want


def test_the_limits_count_the_whole_document():
    # typed arrays outside the path count toward max_cells; anchored lists copied outside it,
    # toward max_copies
    shared = list(range(50))
    tree = {"skip": [[1, 2, 3]] * 4 + [shared, shared, shared], "rows": ROWS}
    data = wexo.dumps(tree)
    outcomes = set()
    for cells in (0, 3, 6, 10, 20, 40, None):
        for copies in (0, 10, 60, 120, None):
            limits = {"max_cells": cells, "max_copies": copies}
            want = failure(lambda: wexo.loads(data, **limits))
            got = failure(lambda: loads_arrow(data, path=("rows",), **limits))
            assert got == want, limits
            outcomes.add(want[0])
    assert outcomes == {"ok", WexoError}


def test_nothing_outside_the_path_is_built():
    # a 1 MiB string named by 4,095 references: 4 GiB if each were copied into a column
    long = s("x" * (1 << 20))
    copies = table(["v"], 4096, col_values(long, *[b"\x06\x00"] * 4095))
    data = doc(obj((s("s"), copies), (s("r"), RECORDS)))
    assert loads_arrow(data, path=("r",)).to_pylist() == [{"k": 1}]
    with pytest.raises(WexoError, match="decoded size too large"):
        loads_arrow(data, path=("s",))
    # nor a column left out
    wide = doc(table(["s", "k"], 4096, col_values(long, *[b"\x06\x00"] * 4095), col_ints(*range(4096))))
    assert columns(wide, fields=("k",)).column("k").to_pylist() == list(range(4096))
    with pytest.raises(WexoError, match="decoded size too large"):
        columns(wide, fields=("s",))


@pytest.mark.parametrize("fields,names", [
    (("name",), ["name"]), (("name", "id"), ["id", "name"]), (("zzz",), []), ((), []), (None, ["id", "name"]),
])
@pytest.mark.parametrize("options", OPTIONS, ids=lambda o: ",".join(o) or "all")
def test_fields_builds_only_those_columns(fields, names, options):
    data = wexo.dumps(ROWS, **options)
    t = columns(data, fields=fields)
    assert t.column_names == names and t.num_rows == 3
    assert t.to_pylist() == [{k: r[k] for k in names} for r in ROWS]


def test_dictionary_columns_are_strings_unless_asked():
    rows = [{"c": "red" if i % 3 else "blue"} for i in range(30)]
    data = wexo.dumps(rows)
    assert wexo.dumps(rows, dict_str=False) != data  # the encoder chose a dictionary column
    assert loads_arrow(data).schema == loads_arrow(wexo.dumps(rows, dict_str=False)).schema
    assert loads_arrow(data).schema.field("c").type == pa.string()
    assert loads_arrow_dicts(data).schema.field("c").type == pa.dictionary(pa.int32(), pa.string())
    assert loads_arrow_dicts(data).to_pylist() == loads_arrow(data).to_pylist() == rows


NOT_DICTS = TREES.filter(lambda t: not isinstance(t, dict))
PLACES = [  # a tree holding rows, the path to them
    lambda rows, other: ({"a": other, "b": rows}, ("b",)),
    lambda rows, other: ([other, {"x": rows}], (1, "x")),
    lambda rows, other: ({"a": [rows, other]}, ("a", 0)),
    lambda rows, other: ({"a": rows, "b": [other, rows]}, ("b", -1)),  # shared: a reference
    lambda rows, other: (rows, ()),
]


@settings(max_examples=20 if SANITIZER else 150, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(records(COLUMN_CELLS) | st.just([]), NOT_DICTS, st.sampled_from(PLACES), OPTION_SETS)
def test_paths_agree_with_loads(rows, other, place, options):
    tree, path = place(rows, other)
    data = wexo.dumps(tree, **options)
    try:
        got = loads_arrow(data, path=path)
    except TypeError as e:  # a step into a list the encoder wrote as a table
        assert "a path cannot enter" in str(e)
        return
    assert rows_agree(got.to_pylist(), at(wexo.loads(data), path))


# ---- threads and leaks

def test_threads_share_the_work_and_agree():
    big = wexo.dumps({"meta": 1, "rows": [{"id": i, "s": f"n{i % 97}", "x": i / 4} for i in range(20_000)]})
    nul = doc(table(["a\0b"], 1, col_ints(1)))
    jobs = [(big, ("rows",)), (big, ("meta",)), (big[:-1], ("rows",)), (nul, None), (big, ("nope",))]
    want = [failure(lambda d=d, p=p: loads_arrow(d, path=p)) for d, p in jobs]
    tables = {loads_arrow(big, path=("rows",)).to_pylist().__len__()}
    results: list[Any] = [None] * 4
    barrier = threading.Barrier(4)

    def work(t: int) -> None:
        barrier.wait()
        results[t] = [[failure(lambda d=d, p=p: loads_arrow(d, path=p)) for d, p in jobs] for _ in range(3)]

    threads = [threading.Thread(target=work, args=(t,)) for t in range(4)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert tables == {20_000}
    for got in results:
        assert got == [want] * 3


@counts_blocks
@pytest.mark.parametrize("path", [("statuses",), ("pages", 1), ("nope",), ("pages", 9), ("meta",)], ids=str)
def test_no_leaks(path):
    data = wexo.dumps(TREE)
    assert blocks_per_call(lambda: failure(lambda: loads_arrow(data, path=path)), n=500) < 0.05
    bad = doc(obj((s("a"), RECORDS), (s("b"), b"\x0e")))
    assert blocks_per_call(lambda: failure(lambda: loads_arrow(bad, path=path)), n=500) < 0.05


# ---- types follow the values, not the encoder's choice of column

@settings(max_examples=20 if SANITIZER else 200, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(records(COLUMN_CELLS | TREES), OPTION_SETS)
def test_types_do_not_depend_on_the_encoding(rows, options):
    def schema(data: bytes) -> Any:
        try:
            return loads_arrow(data).schema
        except ValueError as e:  # what Arrow cannot hold (a NUL in a name), alike
            return str(e)

    assert schema(wexo.dumps(rows, **options)) == schema(wexo.dumps(rows, **EVERY_CHOICE_OFF))
