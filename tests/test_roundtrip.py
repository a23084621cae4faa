"""Random trees and real JSON documents through the encoder and back through the native decoder."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

import pytest
import wexo
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from wexo import _ext
from wexo.reference import loads as reference_loads

from conftest import OWN_CORPUS, corpus_files

# A few public documents ship with the tests (data/corpus/SOURCES.md); the folder WEXO_CORPUS
# names, when set, adds more.
OPTIONS = [name for name, _, _ in _ext.CHOICES]
OPTION_SETS = [{}, dict.fromkeys(OPTIONS, False), *({name: False} for name in OPTIONS)]


def expected(x: Any) -> Any:
    """x as the decoder gives it back: tuples as lists, integral floats below 2**53 as ints."""
    if isinstance(x, dict):
        return {k: expected(v) for k, v in x.items()}
    if isinstance(x, (list, tuple)):
        return [expected(v) for v in x]
    if type(x) is float and abs(x) < 2**53 and x == int(x):
        return int(x)
    return x


def same(a: Any, b: Any) -> bool:
    """Equal in type and value all the way down, dict key order included."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return bool(a == b)


NAMES = st.sampled_from(["id", "name", "a", "", "é", "price", "tags", "long key " * 4])
scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-(2**63), 2**63 - 1),
    st.integers(-200, 200),
    st.floats(allow_nan=False, allow_infinity=False),
    st.decimals(-(10**6), 10**6, places=3, allow_nan=False).map(float),
    st.sampled_from([-0.0, 2.0**53, 2.0**53 + 2, 1e300, 0.1, 5e-324]),
    st.text(max_size=40),
    st.sampled_from(["red", "green", "x", "", "ünïcode", "y" * 40]),
)


def _records(children: st.SearchStrategy[Any]) -> st.SearchStrategy[Any]:
    """Lists of dicts: keys that vary (sparse tables), the same keys (tables), nested objects."""
    varied = st.lists(st.dictionaries(NAMES, children, max_size=4), min_size=2, max_size=8)
    uniform = st.builds(
        lambda keys, cells: [dict(zip(keys, c)) for c in cells],
        st.lists(NAMES, unique=True, min_size=1, max_size=3),
        st.lists(st.lists(children, min_size=3, max_size=3), min_size=2, max_size=8),
    )
    nested = st.lists(st.tuples(children, children), min_size=2, max_size=6).map(
        lambda pairs: [{"p": {"x": a, "y": b}} for a, b in pairs]
    )
    return st.one_of(varied, uniform, nested)


def _extend(children: st.SearchStrategy[Any]) -> st.SearchStrategy[Any]:
    shared = children.map(lambda c: [c, c, {"again": c}])  # one object in several places
    return st.one_of(
        st.lists(children, max_size=8),
        st.lists(children, max_size=4).map(tuple),
        st.dictionaries(NAMES, children, max_size=5),
        st.lists(scalars, max_size=12),
        _records(children),
        shared,
    )


trees = st.recursive(scalars, _extend, max_leaves=40)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(trees)
def test_random_trees_round_trip_under_every_option(tree: Any) -> None:
    want = expected(tree)
    for options in OPTION_SETS:
        data = wexo.dumps(tree, **options)
        assert same(wexo.loads(data), want), options  # within the default limits
        assert same(reference_loads(data), want), options
    assert len(wexo.dumps(tree)) <= len(wexo.dumps(tree, **OPTION_SETS[1]))


@given(st.lists(st.dictionaries(NAMES, scalars, max_size=6), min_size=2, max_size=30))
@settings(max_examples=200, deadline=None)
def test_record_lists_round_trip(rows: list[dict[str, Any]]) -> None:
    for options in OPTION_SETS[:3]:
        assert same(wexo.loads(wexo.dumps(rows, **options)), expected(rows))


@given(
    st.lists(st.floats(allow_nan=False, allow_infinity=False, width=32), min_size=2, max_size=20)
)
@settings(max_examples=200, deadline=None)
def test_decimal_columns_give_back_every_float(cells: list[float]) -> None:
    rounded = [round(x, 3) for x in cells]
    for values in (cells, rounded, [{"v": x} for x in rounded]):
        assert same(wexo.loads(wexo.dumps(values)), expected(values))


OWN_FILES = sorted(OWN_CORPUS.glob("*.json"))
CORPUS_FILES = corpus_files()


def test_the_corpus_shipped_with_the_tests_is_there() -> None:
    assert len(OWN_FILES) >= 2, f"no documents in {OWN_CORPUS}"


@pytest.mark.parametrize("path", CORPUS_FILES, ids=lambda p: p.name)
def test_corpus_round_trips(path: Path) -> None:
    tree = json.loads(path.read_bytes())
    data = wexo.dumps(tree)
    assert same(wexo.loads(data), expected(tree))
    assert len(data) < path.stat().st_size
