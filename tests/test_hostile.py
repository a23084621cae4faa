"""Adversarial documents at the decoder's limits: each ends in its result or its
exact error, the cells made stay within the size budget, the copies within the
expansion budget, and peak traced memory within a generous multiple of what the
budgets admit. The documents come from hostile_docs.py; scripts/hostile.py times them."""
from __future__ import annotations

import itertools
import time
import tracemalloc

import pytest

from conftest import decode, fails, loads_binary, same, uv, WexoError

import hostile_docs as hostile  # the document builders (scripts/hostile.py measures them)

MiB = 1 << 20
EXPAND = 16_777_216
X = 1000  # what spend_down leaves of the size budget


def budget(body: bytes) -> int:
    return (len(body) + 2) * 32 + 4_194_304


def container_charge(x) -> int:
    """Sum of (length + 1) over every list and dict of a result: what copying all
    of it would cost."""
    kinds = {list, dict}
    total = 0
    stack = [x]
    while stack:
        y = stack.pop()
        items = y if type(y) is list else y.values()
        total += len(y) + 1
        # The element scan runs in C: compress/map/type, no Python per element.
        stack.extend(itertools.compress(items, map(kinds.__contains__, map(type, items))))
    return total


def peak_of(data: bytes, loads=loads_binary) -> int:
    """Peak traced memory of one decode, freeing the result included."""
    tracemalloc.start()
    tracemalloc.reset_peak()
    base = tracemalloc.get_traced_memory()[0]
    try:
        r = loads(data)
        del r
    except WexoError:
        pass
    peak = tracemalloc.get_traced_memory()[1] - base
    tracemalloc.stop()
    return peak


def expect(d) -> object:
    """Decodes a hostile document: its expected error exactly, or its result."""
    if d.error is None:
        return decode(d.body)
    msg, off = d.error
    fails(d.body, msg, off)
    return None


def depth_of(x) -> int:
    """Nesting of lists and dicts (a scalar is 0, [] is 1), iteratively."""
    best = 0
    stack = [(x, 0)]
    while stack:
        y, d = stack.pop()
        if type(y) is list:
            best = max(best, d + 1)
            stack.extend((e, d + 1) for e in y)
        elif type(y) is dict:
            best = max(best, d + 1)
            stack.extend((e, d + 1) for e in y.values())
    return best


# ---------------------------------------------------------------------------
# Nesting: the deepest document of every container kind decodes, one level more
# fails with "nesting too deep" where the level is crossed.

NESTING = [
    # builder, levels, depth of the result when it decodes
    (hostile.nest_arrays, 512, 512),
    (hostile.nest_arrays, 513, None),
    (hostile.nest_objects, 512, 512),
    (hostile.nest_objects, 513, None),
    (hostile.nest_anchors, 512, 0),
    (hostile.nest_anchors, 513, None),
    (hostile.nest_tables, 256, 512),
    (hostile.nest_tables, 257, None),
    (hostile.nest_sparse, 256, 512),
    (hostile.nest_sparse, 257, None),
    (hostile.nest_sparse_bitmap, 256, 512),
    (hostile.nest_sparse_bitmap, 257, None),
    (hostile.nest_object_columns, 511, 512),
    (hostile.nest_object_columns, 512, None),
    (hostile.deep_copy_doc, 4096, None),
    (hostile.deep_copy_doc, 4097, None),
]


@pytest.mark.parametrize("build,levels,depth", NESTING,
                         ids=[f"{b.__name__}-{n}" for b, n, _ in NESTING])
def test_nesting_limits(build, levels, depth):
    d = build(levels)
    r = expect(d)
    if d.error is None and depth is not None:
        assert depth_of(r) == depth


def test_reference_copy_4096_levels():
    r = decode(hostile.deep_copy_doc(4096).body)
    # The last element is the copy: 4096 lists around the innermost empty one.
    assert depth_of(r[-1]) == 4097
    assert r[-1] is not r[-2]
    assert same(r[-1], r[-2])


# ---------------------------------------------------------------------------
# Size budget: the last charge that fits succeeds, one cell more fails, for
# every kind of charge and check. spend_down leaves exactly X of the budget.

BOUNDARY = [
    # tail, expected (message, offset of the failure relative to the tail) or None
    # for "fits" (then the decode ends at the truncated end of the input)
    ("typed array n + 1 = X", b"\x0c" + uv(X - 1) + b"\x00", None),
    ("typed array n + 1 = X + 1", b"\x0c" + uv(X) + b"\x00",
     ("decoded size too large", 1 + len(uv(X)))),
    ("table R + 1 = X", b"\x09\x01\x40" + uv(X - 1) + b"\x00", None),
    ("table R + 1 = X + 1", b"\x09\x01\x40" + uv(X) + b"\x00",
     ("decoded size too large", 3 + len(uv(X)))),
    ("sparse 2N + N + 1 = X", b"\x0d\x01\x40" + uv(333) + b"\x00\x00", None),
    ("sparse 2N = X, column over", b"\x0d\x01\x40" + uv(500) + b"\x00\x00",
     ("decoded size too large", 3 + len(uv(500)) + 1)),
    ("sparse 2N = X + 2", b"\x0d\x01\x40" + uv(501) + b"\x00\x00",
     ("decoded size too large", 3 + len(uv(501)))),
]


@pytest.mark.parametrize("name,tail,error", BOUNDARY, ids=[b[0] for b in BOUNDARY])
def test_size_budget_boundary(name, tail, error):
    body, at = hostile.spend_down(X, tail)
    if error is None:
        fails(body, "truncated input", len(body) + 2)
    else:
        fails(body, error[0], at + error[1])


def test_sparse_bitmap_charge_boundary():
    # 256 rows (2 x 256), a full bool column (257), then a bitmap column of P
    # present rows charging P + 1: P = X - 770 uses the rest exactly, P + 1 is over.
    n = 256
    head = b"\x0d\x02\x41a\x41b" + uv(n) + b"\x00\x04" + b"\x00" * (n // 8)
    for p, ok in ((X - 770, True), (X - 769, False)):
        bitmap = bytearray(n // 8)
        for r in range(p):
            bitmap[r // 8] |= 1 << (r % 8)
        tail = head + b"\x01" + bytes(bitmap) + b"\x04" + b"\x00" * ((p + 7) // 8)
        body, at = hostile.spend_down(X, tail)
        if ok:
            fails(body, "truncated input", len(body) + 2)
        else:
            fails(body, "decoded size too large", at + len(head) + 1 + len(bitmap))


def test_typed_array_chain_at_budget():
    """~4.3 million dicts from a 2.6 KB document: the charges meet the budget
    exactly, and the result holds no more cells than the budget admits."""
    d = hostile.at_budget("typed array", hostile.chain_typed_array, 500, False)
    assert d.units == budget(d.body)
    r = loads_binary(d.data)
    try:
        rows, filler = r
        # Every row is the same 500-level chain of one-entry dicts over a bool.
        for row in (rows[0], rows[len(rows) // 2], rows[-1]):
            assert depth_of(row) == 500
        slots = len(rows) * (1 + 500) + len(filler)
        assert slots <= budget(d.body) < slots + 501 + 2 * 501
    finally:
        del r


# ---------------------------------------------------------------------------
# Expansion budget: exact, and one slot over.

EXPANSION = [
    lambda: hostile.ref_big_list(False),
    lambda: hostile.ref_big_list(True),
    lambda: hostile.ref_doubling(False, False),
    lambda: hostile.ref_doubling(False, True),
    lambda: hostile.ref_doubling(True, False),
    lambda: hostile.ref_doubling(True, True),
]


@pytest.mark.parametrize("build", EXPANSION,
                         ids=["big-list", "big-list+1", "doubling", "doubling+1",
                              "nested", "nested+1"])
def test_expansion_budget(build):
    d = build()
    if d.error is not None:
        fails(d.body, *d.error)
        return
    r = loads_binary(d.data)
    try:
        # Every container spelled in the input needs at least its tag and count,
        # so all but EXPAND of the result's container charge is the input's own.
        assert EXPAND < container_charge(r) <= EXPAND + len(d.body)
    finally:
        del r


# ---------------------------------------------------------------------------
# Announcements: counts claiming all the input fail fast, within memory bounds.

ANNOUNCE = [
    # builder, size, multiple of the input allowed as traced peak
    (hostile.announce_arrays, 1_000_000, None),
    (hostile.announce_objects, 1_000_000, None),
]


@pytest.mark.parametrize("build,size,_", ANNOUNCE, ids=["arrays", "objects"])
def test_announced_nesting_fails_small(build, size, _):
    d = build(size)
    fails(d.body, *d.error)
    assert peak_of(d.data) < 64 * MiB


def test_announced_typed_arrays_within_budget():
    d = hostile.announce_typed_arrays(100_000)
    fails(d.body, *d.error)
    assert d.units <= budget(d.body)
    # Pre-sized empty slots: 8 bytes for each cell the budget admits, twice over.
    assert peak_of(d.data) < 2 * 8 * budget(d.body)


def test_announced_sparse_within_budget():
    d = hostile.announce_sparse(1_000)
    fails(d.body, *d.error)
    assert d.units <= budget(d.body)
    # Empty row dicts: at most one per two cells charged, 64 to 80 bytes each.
    assert peak_of(d.data) < 2 * 80 * budget(d.body) // 2


def test_announced_tables_within_budget():
    d = hostile.announce_tables(2_000)
    fails(d.body, *d.error)
    assert d.units <= budget(d.body)
    # Empty row dicts, at most one per cell charged: rows pre-filled with their
    # keys while the open tables' rows cannot fit in the input would take over
    # twice as much.
    peak = peak_of(d.data)
    assert peak < 80 * budget(d.body), f"{peak / MiB:.0f} MiB"


# ---------------------------------------------------------------------------
# Names, strings, dictionaries: results and exact failures.


@pytest.mark.parametrize("count", [2, 16, 17, 1000])
def test_duplicate_last_name(count):
    names = [hostile.name3(i) for i in range(count - 1)] + [hostile.name3(0)]
    head = b"\x09" + uv(count) + b"".join(names)
    fails(head + b"\x00" + b"\x04" * count,
          "duplicate column '" + hostile.name3(0)[1:].decode() + "'", 2 + len(head))


@pytest.mark.parametrize("build", [hostile.names_distinct, hostile.names_mixed,
                                   hostile.names_prefix])
def test_long_name_lists(build):
    d = build(50_000)
    assert decode(d.body) == []


@pytest.mark.parametrize("count", [16, 17])
def test_pooled_long_names(count):
    d = hostile.names_pool_long(20_000, count)
    r = decode(d.body)
    assert len(set(r[:count])) == count and len({len(t) for t in r[:count]}) == 1
    assert all(t == [] for t in r[count:])


def cost_per_byte(data: bytes, runs: int = 5) -> float:
    """Best time of a few decodes, per input byte (freeing the result excluded)."""
    best = float("inf")
    for _ in range(runs):
        t0 = time.perf_counter()
        r = loads_binary(data)
        best = min(best, time.perf_counter() - t0)
        del r
    return best / len(data)


@pytest.mark.parametrize("count", [16, 17])
def test_pooled_long_names_cost_linear(count):
    # Names ten times longer in a ten times larger document: comparing or
    # hashing their bytes on each use, instead of comparing their cached
    # hashes, makes each byte cost about ten times more. A ratio within one
    # run, never an absolute time.
    small, large = (hostile.names_pool_long(size, count).data for size in (100_000, 1_000_000))
    ratio = cost_per_byte(large) / cost_per_byte(small)
    assert ratio < 4, f"cost per byte grew {ratio:.1f} times"


def test_pool_refs_share_one_object():
    r = decode(hostile.pool_refs(10_000).body)
    assert r[0] == "ab" and all(x is r[0] for x in r)
    r = decode(hostile.long_string_refs(10_000).body)
    assert len(r[0]) == 5000 and all(x is r[0] for x in r)


def test_pool_entries_distinct_objects():
    r = decode(hostile.pool_entries(3_000).body)
    assert r == ["ab"] * len(r)
    assert len(set(map(id, r))) == len(r)


@pytest.mark.parametrize("build,cells", [(hostile.dict_big, 1),
                                         (hostile.dict_ref_entries, 1),
                                         (hostile.dict_many_cells, None)])
def test_dictionary_columns(build, cells):
    d = build(20_000)
    r = decode(d.body)
    if build is hostile.dict_ref_entries:
        assert r[1] == [r[0]] and r[1][0] is r[0]
    elif cells == 1:
        assert r == [" " * 3]
    else:
        assert len(r) == d.units - 1 and all(x is r[0] for x in r) and r[0] == "ab"


# Under wexo.loads's limits: what the documents at the default max_cells build, and rows
# announced with many names and never filled, which are not pre-sized with every name.
LIMIT_DOCS = {d.name + f" ({len(d.data)} bytes)": d for d in hostile.limit_docs()}


@pytest.mark.slow
@pytest.mark.parametrize("name", list(LIMIT_DOCS))
def test_documents_under_64_kb_stay_small_under_the_default_limits(name):
    import wexo

    d = LIMIT_DOCS[name]
    if len(d.data) >= 64 * 1024:
        pytest.skip("64 KB or more")
    if d.error is None:
        assert same(wexo.loads(d.data), loads_binary(d.data))
    else:
        with pytest.raises(WexoError) as info:
            wexo.loads(d.data)
        assert info.value.message == d.error[0]
    assert peak_of(d.data, wexo.loads) < 48 * MiB
