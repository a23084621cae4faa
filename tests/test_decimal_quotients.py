"""Decimal cells with mantissas past 2**53 are divided exactly in integers: the double nearest
m / 10**s, ties to even, in loads_binary, wexo.loads and loads_arrow alike. Python's int true
division is the oracle."""

from __future__ import annotations

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import wexo
import wexo_native
from conftest import doc
from test_arrow import col_decimal, table, typed

# halfway cases: the exact quotient lies midway between two doubles, for each spacing of doubles
TIES = [10**s * (2**53 + 2 * k + 1) for s in (1, 2, 3) for k in range(3)]
TIES += [10**s * (2**54 + 2 + 8 * k) for s in (1, 2) for k in range(3)]
EDGES = [2**53 + 1, 2**63 - 1, -(2**63), 10**16, 5 * 10**15 + 5, 2**62 + 3]

MANTISSAS = st.integers(2**53 + 1, 2**63 - 1).flatmap(lambda m: st.sampled_from([m, -m]))


def check(scale: int, mantissas: list[int]) -> None:
    want = [m / 10**scale for m in mantissas]
    got = wexo_native.loads_binary(doc(typed(len(mantissas), col_decimal(scale, *mantissas))))
    assert [float(x) for x in got] == want
    pa = pytest.importorskip("pyarrow")
    assert isinstance(pa, object)
    rows = wexo.loads_arrow(doc(table(["v"], len(mantissas), col_decimal(scale, *mantissas))))
    assert rows.column("v").to_pylist() == want


@pytest.mark.parametrize("scale", range(1, 7))
def test_ties_and_edges(scale):
    check(scale, [m for m in TIES + EDGES if -(2**63) <= m < 2**63])


@settings(max_examples=200, deadline=None)
@given(st.integers(1, 6), st.lists(MANTISSAS, min_size=1, max_size=50))
def test_any_large_mantissa(scale, mantissas):
    check(scale, mantissas)
