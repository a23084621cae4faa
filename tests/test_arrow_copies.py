"""References in loads_arrow: an anchored value is copied again from its bytes, never through
Python objects. Each copy must charge what the decoder's copy charges (every container its
elements + 1), refuse what it refuses (the copy budget, max_copies, 4,096 levels), and leave the
string pool as the decoder leaves it, so that later string references name the same strings."""

from __future__ import annotations

import pytest

pa = pytest.importorskip("pyarrow")

import wexo  # noqa: E402
from conftest import WexoError, arr, doc, f64, obj, s  # noqa: E402
from test_arrow import (agrees, col_bits, col_decimal, col_dict, col_ints, col_object,  # noqa: E402
                        col_values, every, small, some, sparse, table, typed)


def anchor(value: bytes) -> bytes:
    return b"\x0a" + value


def ref(i: int) -> bytes:
    return b"\x0b" + bytes([i])


def nest(levels: int, inner: bytes) -> bytes:
    return b"\x07\x01" * levels + inner


# Anchored values of every shape a cell can hold, each followed by references to it; the
# decoder's copy charges each list and dict its elements + 1.
SHAPES = {
    "scalar string": s("pooled"),
    "list": arr(small(1), s("ab"), f64(0.5)),
    "object": obj((s("k"), arr(small(1), small(2))), (s("l"), obj())),
    "empty list": arr(),
    "table": table(["a", "b"], 3, col_ints(1, 2, 3), col_values(s("x"), arr(small(1)), obj())),
    "sparse table": sparse(["a", "b"], 4, some([True, False, True, False], col_ints(5, 6)),
                           some([False, False, False, True], col_values(arr(small(1), small(2))))),
    "empty sparse rows": sparse(["a"], 3, some([False, False, False], col_ints())),
    "typed ints": typed(4, col_ints(1, 2, 3, 4)),
    "typed bits": typed(9, col_bits(*[True, False, True] * 3)),
    "typed decimals": typed(2, col_decimal(2, 150, -2**60)),
    "typed dictionary": typed(3, col_dict(["red", "green"], 0, 1, 0)),
    "typed objects": typed(2, col_object(["p", "q"], col_ints(1, 2), col_values(arr(), s("zz")))),
    "table of objects": table(["o"], 2, col_object(["p"], col_values(arr(small(1)), obj((s("z"), small(3)))))),
    "nested anchors and references": arr(anchor(arr(s("inner"), small(7))), ref(1), obj((s("m"), ref(1)))),
}


@pytest.mark.parametrize("name", SHAPES)
def test_copies_charge_and_read_as_the_decoder_copies(name):
    value = SHAPES[name]
    # three references, then a string reference to a string first spelled inside the anchored
    # value (index 0 when it holds one): copying must not pool its strings again
    cells = [anchor(value), ref(0), ref(0), ref(0), b"\x06\x00", s("after")]
    data = doc(table(["v"], len(cells), col_values(*cells)))
    try:
        wexo.loads(data, max_copies=None)
    except WexoError:
        cells = cells[:4]  # the value spells no string: no reference to one
        data = doc(table(["v"], len(cells), col_values(*cells)))
    assert agrees(data, max_copies=None) == "ok"
    # every budget from none to more than three copies need: the same verdict, the same offset
    for copies in range(0, 80):
        agrees(data, lambda d: wexo.loads(d, max_copies=copies), max_copies=copies)


def chain(last: int) -> list[bytes]:
    """Anchors 0 to 7 each 500 lists deep around a reference to the one before (4,000 levels for
    anchor 7), then anchor 8, `last` lists around a reference to anchor 7."""
    cells = [anchor(nest(500, small(1)))]
    for i in range(1, 8):
        cells.append(anchor(nest(500, ref(i - 1))))
    cells.append(anchor(nest(last, ref(7))))
    return cells


@pytest.mark.parametrize("last, message", [(96, None), (97, ("nesting too deep", 0))])
def test_copies_4096_levels_deep_and_one_more(last, message):
    cells = chain(last) + [ref(8)]
    data = doc(table(["v"], len(cells), col_values(*cells)))
    if message is None:
        # the decoder accepts it; Arrow's types cannot nest that deep, which is refused after
        assert agrees(data, max_copies=None) == "arrow"
        return
    with pytest.raises(WexoError) as info:
        wexo.loads_arrow(data, max_copies=None)
    assert (info.value.message, info.value.offset) == message
    assert agrees(data, max_copies=None) == "wexo"


def test_too_deep_and_over_budget_at_once_give_the_decoders_verdict():
    # the last reference passes both the copy budget and the depth limit; which the decoder meets
    # first depends on the order of its copy, so both verdicts must occur over these budgets
    cells = chain(97) + [ref(8)]
    data = doc(table(["v"], len(cells), col_values(*cells)))
    verdicts = set()
    for copies in (None, 40_000, 45_000, 50_000, 60_000, 70_000, 80_000, 10**6):
        kind = agrees(data, lambda d: wexo.loads(d, max_copies=copies), max_copies=copies)
        assert kind == "wexo"
        try:
            wexo.loads(data, max_copies=copies)
        except WexoError as e:
            verdicts.add(e.message.split(":")[0])
    assert verdicts == {"nesting too deep", "reference expansion too large"}


def test_references_build_no_python_objects_per_cell():
    # a reference to an anchored table of 20,000 rows, copied ten times: the copies are Arrow
    # rows, and the pool is left as the decoder leaves it
    rows = 20_000
    inner = table(["n", "s"], rows, col_ints(*range(rows)), col_dict(["a", "b"], *[i % 2 for i in range(rows)]))
    cells = [anchor(inner)] + [ref(0)] * 10
    data = doc(table(["v"], len(cells), col_values(*cells)))
    got = wexo.loads_arrow(data, max_copies=None).column("v").to_pylist()
    assert len(got) == 11 and all(len(c) == rows for c in got)
    assert got[10][rows - 1] == {"n": rows - 1, "s": "b"}


@pytest.mark.parametrize("cells", [
    # a copy reads pooled names again; the names pooled after it must keep their own fields
    [anchor(obj((s("aa"), small(1)))), ref(0), obj((s("bb"), small(2)))],
    [arr(anchor(arr(anchor(obj((s("aa"), small(0)), (s("bb"), small(0)))), ref(1),
                    obj((s("cc"), small(0)))))), ref(0)],
    [anchor(obj((s("aa"), small(1)), (s("bb"), small(2)))), ref(0), obj((s("cc"), small(3)), (s("aa"), small(4))),
     b"\x08\x02\x06\x02" + small(5) + b"\x06\x00" + small(6)],
])
def test_names_pooled_after_a_copy_keep_their_fields(cells):
    data = doc(table(["v"], len(cells), col_values(*cells)))
    assert agrees(data, max_copies=None) == "ok"
