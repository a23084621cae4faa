"""The encoder's layout of each typed column, decided from its cells before it is written.

`_ext.column_plan(pooled, cells)` gives the native encoder's plan for `cells` as a column (or a
typed array's payload) once the strings `pooled` are in its pool: (kind byte, scale, size). The
reference encoder finds the same choice by writing every candidate and keeping the smallest;
each case here must agree with it on the kind, the scale and the size, tie rules included.
"""

from __future__ import annotations

from typing import Any

import pytest
from hypothesis import given
from hypothesis import strategies as st

from wexo import _ext
from wexo._format import (
    COL_BOOL_BITS,
    COL_DECIMAL,
    COL_DELTA_INT,
    COL_DICT_STR,
    COL_VALUES,
)
from wexo.reference import encoder as reference

CHOICE_NAMES = [c[0] for c in _ext.CHOICES]


def reference_plan(
    pooled: list[str], cells: list[Any], array: bool, choices: dict[str, bool]
) -> tuple[int, int, int]:
    """The reference encoder's choice: the smallest candidate it writes, plain winning ties."""
    w = reference._Writer(reference.Options(**choices), None)  # type: ignore[arg-type]
    for s in pooled:
        w.text(s)
    data, _ = w.best_scalar_column(cells, {type(c) for c in cells}, for_array=array)
    return data[0], data[1] if data[0] == COL_DECIMAL else 0, len(data)


def agree(pooled: list[str], cells: list[Any], array: bool = False, **choices: bool) -> tuple[int, int, int]:
    got = _ext.column_plan(pooled, cells, array=array, **choices)
    want = reference_plan(pooled, cells, array, choices)
    if got[2] == 0:  # plain values of mixed kinds are not sized
        assert got[:2] == (COL_VALUES, 0) == want[:2]
    else:
        assert got == want
    return got


# (pooled strings, cells, array, the kind that must win): the ties and the edges of each rule.
LONG = "x" * 40
POOLED_130 = [f"p{i:03}" for i in range(130)]
CASES = [
    # booleans: a bit column wins from 2 cells; one cell ties and stays plain
    ([], [True], False, COL_VALUES),
    ([], [True, False], False, COL_BOOL_BITS),
    ([], [True, False], True, COL_VALUES),  # the typed array's kind byte makes it a tie
    ([], [True, False, True], True, COL_BOOL_BITS),
    ([], [False] * 1000, False, COL_BOOL_BITS),
    # integers: small ones tie between plain and delta (one byte each): plain wins
    ([], [1, 2, 3], False, COL_VALUES),
    ([], list(range(1000, 1010)), False, COL_DELTA_INT),
    ([], [2**62, -(2**62), 2**62], False, COL_DELTA_INT),  # the differences wrap
    ([], [-(2**63), 2**63 - 1], False, COL_DELTA_INT),
    ([], [-(2**63), -(2**63)], False, COL_DELTA_INT),
    ([], [-1, -1, -1, 63, -1, 63], True, COL_DECIMAL),  # scale 0 beats delta by a byte
    ([], [10**6, 2 * 10**6, 3 * 10**6], False, COL_DELTA_INT),
    # decimals: the smallest exact scale; a float that no scale gives back stays plain
    ([], [1.5, 2.25, 3.125], False, COL_DECIMAL),
    ([], [0.1, 0.2, 0.3], False, COL_DECIMAL),
    ([], [1.5, 2, 3], False, COL_DECIMAL),  # ints among decimals
    ([], [0.1 + 0.2, 1.0], False, COL_VALUES),
    ([], [1e300, 1.5], False, COL_VALUES),
    ([], [2.0**53, 1.5], False, COL_VALUES),
    ([], [1.0, 2.0, 3.0], False, COL_VALUES),  # integral floats are the ints 1, 2, 3
    ([], [123456.78] * 5, True, COL_DECIMAL),
    # strings: a dictionary wins where strings repeat; all distinct, plain
    ([], ["ab", "cd", "ef"], False, COL_VALUES),
    ([], ["ab", "ab", "ab", "cd"], False, COL_VALUES),  # references cost what indexes save
    ([], ["a", "a", "a", "a"], False, COL_DICT_STR),
    ([], ["", "", "", ""], False, COL_VALUES),  # 5 bytes plain, 7 as a dictionary
    ([], [""] * 60, False, COL_VALUES),  # an empty string costs what an index does
    ([], ["a", "b"] * 50, True, COL_DICT_STR),
    ([], [LONG, "y" * 40] * 3, False, COL_DICT_STR),
    ([], [LONG, "y" * 40], False, COL_VALUES),
    # the pool as it stands decides: strings pooled already cost a reference either way
    (["ab", "cd"], ["ab", "cd", "ab", "cd", "ab"], False, COL_VALUES),
    ([f"s{i:03}" for i in range(200)], ["s150", "s199"] * 20, False, COL_DICT_STR),
    ([f"s{i:03}" for i in range(200)], ["s150", "s199", "new"], False, COL_VALUES),
    ([f"s{i:03}" for i in range(127)], ["zz", "yy", "zz", "yy"], False, COL_VALUES),
    # past index 127 a reference to a 2-byte string takes 3 bytes, as its spelling does:
    # the tie writes the spelling again (and pools it again)
    (POOLED_130, ["zz", "yy", "zz", "yy", "zz"], False, COL_DICT_STR),
    (POOLED_130 + ["zz"], ["zz", "zz", "ab", "zz"], False, COL_DICT_STR),
    (POOLED_130, ["zz", "yy"], True, COL_VALUES),
    # the most frequent string gets index 0, whatever its first appearance: one-byte indexes
    ([], [f"u{i}" for i in range(200)] + ["u199"] * 300, False, COL_DICT_STR),
    ([], [f"u{i}" for i in range(200)] + ["u199"] * 30, False, COL_VALUES),
    # a non-ASCII string is sized by its UTF-8 bytes
    ([], ["é", "é", "é"], False, COL_VALUES),  # a tie at 8 bytes
    ([], ["é", "é", "é", "é"], False, COL_DICT_STR),
    ([], ["€€", "€€", "ab"], False, COL_VALUES),
]


@pytest.mark.parametrize(("pooled", "cells", "array", "kind"), CASES)
def test_plan_per_kind(pooled: list[str], cells: list[Any], array: bool, kind: int) -> None:
    assert agree(pooled, cells, array)[0] == kind


@pytest.mark.parametrize("off", CHOICE_NAMES)
@pytest.mark.parametrize(
    "cells",
    [[True, False] * 9, list(range(1000, 1040)), [0.5, 1.25, 2.0], ["ab", "cd"] * 20],
    ids=["bools", "ints", "decimals", "strings"],
)
def test_plan_with_a_choice_off(off: str, cells: list[Any]) -> None:
    agree([], cells, **{off: False})


def test_mixed_cells_stay_plain() -> None:
    assert _ext.column_plan([], [1, "a", 2.5]) == (COL_VALUES, 0, 0)
    assert _ext.column_plan([], ["a", True]) == (COL_VALUES, 0, 0)
    agree([], [True, 1, 2.5])


def test_plan_refusals_name_the_cell() -> None:
    with pytest.raises(ValueError, match=r"\$\[1\]\[1\]"):
        _ext.column_plan([], [1, float("nan")])
    with pytest.raises(TypeError):
        _ext.column_plan((), [])  # type: ignore[arg-type]


short_text = st.text(alphabet="abé€\U0001f600", max_size=3)
scalars = st.one_of(
    st.lists(st.booleans(), min_size=1, max_size=40),
    st.lists(st.integers(-(2**63), 2**63 - 1), min_size=1, max_size=30),
    st.lists(st.integers(-300, 300), min_size=1, max_size=30),
    st.lists(
        st.one_of(
            st.integers(-(10**6), 10**6),
            st.decimals(-1000, 1000, places=3, allow_nan=False).map(float),
            st.floats(allow_nan=False, allow_infinity=False),
        ),
        min_size=1,
        max_size=30,
    ),
    st.lists(short_text, min_size=1, max_size=60),
    st.lists(st.integers(0, 250).map(lambda i: f"u{i}"), min_size=1, max_size=400),
)


@given(
    cells=scalars,
    pooled=st.one_of(
        st.lists(short_text, max_size=150),
        st.integers(120, 140).map(lambda n: [f"p{i:03}" for i in range(n)]),
    ),
    array=st.booleans(),
    off=st.sets(st.sampled_from(CHOICE_NAMES), max_size=3),
)
def test_plan_agrees_with_the_reference(
    cells: list[Any], pooled: list[str], array: bool, off: set[str]
) -> None:
    agree(pooled, cells, array, **{name: False for name in off})


@pytest.mark.parametrize(
    "cells",
    [
        [1e9 + 0.5, 2e9 + 0.25],  # past 2^50 at the largest scale: every scale is tried
        [4503599627.5, 1.5],
        [450359962.75, 0.125],
        [-65.61361699999998, 43.42027300000001],  # near a 6-digit decimal, but none
        [-65.613617, 43.420273],
        [0.000001, 0.000002],
        [0.0000015, 1.0],
        [9007199254.740991, 1.5],
    ],
)
def test_decimal_scales_at_the_edges(cells: list[float]) -> None:
    agree([], cells)
    agree([], cells, array=True)
