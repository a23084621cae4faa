"""The native encoder against the reference encoder: identical bytes for every tree and every
choice of options, the same refusals, and the traps of a tree that runs code of its own."""

from __future__ import annotations

import collections
import gc
import json
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import wexo
from wexo import _ext
from wexo.reference import dumps as reference
from wexo_native import loads_binary

from conftest import corpus_files
from test_leaks import blocks_per_call

OPTIONS = [name for name, _, _ in _ext.CHOICES]

native = _ext.dumps


def test_package_encodes_natively():
    assert wexo.dumps is _ext.dumps


# Trees that exercise every choice: scalars of every kind, repeated strings, lists of rows with
# shared and differing keys, columns of numbers that fit decimals or not, shared containers.
NAMES = st.sampled_from(["id", "name", "a", "b", "value", "x" * 40, "é", "k\"ey", "日本"])
TEXT = st.one_of(NAMES, st.text(max_size=40))
FLOATS = st.one_of(
    st.floats(allow_nan=False, allow_infinity=False),
    st.sampled_from([0.5, 1.25, -3.75, 0.1, 2.675, 1e-7, 123456.789, 2.0**53, -0.0, 1e300]),
    st.integers(-10**6, 10**6).map(lambda n: n / 100),
)
INTS = st.one_of(st.integers(-2**63, 2**63 - 1), st.integers(-200, 200))
SCALARS = st.one_of(st.none(), st.booleans(), INTS, FLOATS, TEXT)


def rows(children):
    keys = st.lists(NAMES, max_size=5, unique=True)
    return st.lists(st.dictionaries(NAMES, children, max_size=5), min_size=2, max_size=8) | \
        keys.flatmap(lambda ks: st.lists(
            st.fixed_dictionaries({k: children for k in ks}), min_size=2, max_size=8))


def columns(children):
    return st.one_of(st.lists(st.booleans(), min_size=2, max_size=20),
                     st.lists(INTS, min_size=2, max_size=20),
                     st.lists(st.one_of(INTS, FLOATS), min_size=2, max_size=20),
                     st.lists(NAMES, min_size=2, max_size=20),
                     st.lists(st.one_of(st.integers(-999, 999).map(lambda n: n / 4), st.integers(-9, 9)),
                              min_size=2, max_size=20))


TREES = st.recursive(
    SCALARS,
    lambda children: st.one_of(
        st.lists(children, max_size=6),
        st.lists(children, max_size=4).map(tuple),
        st.dictionaries(TEXT, children, max_size=6),
        rows(children),
        columns(children),
    ),
    max_leaves=40,
)


@st.composite
def shared_trees(draw):
    """A tree some of whose containers stand in several places."""
    parts = draw(st.lists(TREES, min_size=1, max_size=4))
    picks = draw(st.lists(st.integers(0, len(parts) - 1), min_size=1, max_size=12))
    shape = draw(st.sampled_from(["list", "rows", "dict"]))
    if shape == "list":
        return [parts[i] for i in picks]
    if shape == "rows":
        return [{"k": parts[i], "n": i} for i in picks]
    return {f"f{j}": parts[i] for j, i in enumerate(picks)}


OPTION_SETS = st.fixed_dictionaries({}, optional={name: st.booleans() for name in OPTIONS})


SANITIZER = bool(os.environ.get("WEXO_SANITIZER"))


# Under the sanitizers the reference encoder is slow; fewer trees still reach every path.
@settings(max_examples=60 if SANITIZER else 400, deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(st.one_of(TREES, shared_trees()), OPTION_SETS)
def test_same_bytes_as_the_reference(tree, options):
    assert native(tree, **options) == reference(tree, **options)


@pytest.mark.parametrize("off", [[]] + [[name] for name in OPTIONS] + [OPTIONS])
def test_same_bytes_on_a_mixed_document(off):
    shared = {"deep": [[1, 2], [3, 4]], "s": "shared string"}
    tree = {
        "rows": [{"id": i, "price": i * 0.25, "name": f"n{i % 3}", "ok": i % 2 == 0,
                  "pos": {"x": i, "y": -i}} for i in range(40)],
        "sparse": [{"a": 1}, {"a": 2, "b": "x"}, {"b": "y", "c": [1]}, {"a": 3}] * 5,
        "typed": [[1.5, 2.25, 3.0], [True, False] * 9, list(range(-50, 50, 7)), ["aa", "bb"] * 9],
        "shared": [shared, shared, shared],
        "big": [2**62, -2**63, 1e300, -0.0, 2.0**53],
    }
    options = dict.fromkeys(off, False)
    assert native(tree, **options) == reference(tree, **options)


CORPUS_FILES = corpus_files()


@pytest.mark.skipif(SANITIZER, reason="compares bytes only; the reference encoder is slow there")
@pytest.mark.parametrize("path", CORPUS_FILES, ids=lambda p: p.name)
def test_corpus_byte_for_byte(path):
    tree = json.loads(path.read_text(encoding="utf-8"))
    assert native(tree) == reference(tree)


class Odd:
    pass


d = {}
d["self"] = d
l: list = []
l.append([l])

REFUSALS = [  # tree
    Odd(),
    {"a": [1, Odd()]},
    {1: "x"},
    {"x": {None: 1}},
    [2**63],
    [-(2**63) - 1],
    {"deep": [float("inf")]},
    [float("nan")],
    ["ok", "\ud800"],
    {"\udc80": 1},
    {"odd key!": {"\udc80x": 1}},
    d,
    l,
    {"a": [[[[b"bytes"]]]]},
    [{"a b": {"c\"d\\": [1, 2, set()]}}],
]


@pytest.mark.parametrize("tree", REFUSALS, ids=range(len(REFUSALS)))
def test_same_refusals(tree):
    with pytest.raises((TypeError, ValueError)) as want:
        reference(tree)
    with pytest.raises((TypeError, ValueError)) as got:
        native(tree)
    assert type(got.value) is type(want.value)
    assert str(got.value) == str(want.value)


def nested(depth, leaf=None):
    tree = [] if leaf is None else [leaf]
    for _ in range(depth - 1):
        tree = [tree]
    return tree


@pytest.mark.parametrize("depth,ok", [(512, True), (513, False), (100_000, False)])
def test_nesting_limit_without_recursion(depth, ok):
    tree = nested(depth, 1)
    if ok:
        assert loads_binary(native(tree)) == tree
        return
    with pytest.raises(ValueError) as caught:
        native(tree)
    assert str(caught.value) == "nesting deeper than 512 levels at $[0][0]...[0] (depth 512)"


def test_shared_container_too_deep_where_repeated():
    inner = nested(300, 1)
    tree = [inner, nested(300, inner)]
    with pytest.raises(ValueError) as want:
        reference(tree)
    with pytest.raises(ValueError) as got:
        native(tree)
    assert str(got.value) == str(want.value)


# Trees whose containers run code of their own.

def test_ordered_dict_follows_its_own_order():
    od = collections.OrderedDict([("a", 1), ("b", 2), ("c", 3)])
    od.move_to_end("a")
    data = native({"od": od, "rows": [od, collections.OrderedDict(od)]})
    assert data == reference({"od": od, "rows": [od, collections.OrderedDict(od)]})
    assert list(loads_binary(data)["od"]) == ["b", "c", "a"]


class Mutating(dict):
    """A dict subclass whose items() empties the tree around it and drops its own entries."""

    victim: list = []

    def items(self):
        pairs = list(super().items())
        Mutating.victim.clear()
        self.clear()
        gc.collect()
        return iter(pairs)


def test_subclass_code_that_mutates_the_tree_reads_no_freed_memory():
    for _ in range(3):
        strings = [f"value {i}" * 3 for i in range(50)]
        victim = [{"k": s, "n": [i, i + 0.5]} for i, s in enumerate(strings)]
        Mutating.victim = victim
        tree = [victim, Mutating(x=[1, 2, 3], y="text" * 10), victim]
        del strings
        data = native(tree)
        out = loads_binary(data)
        # each container is written as it was when the encoder reached it
        assert out[1] == {"x": [1, 2, 3], "y": "text" * 10}
        assert out[0] == [{"k": f"value {i}" * 3, "n": [i, i + 0.5]} for i in range(50)]


class Lying(list):
    def __iter__(self):
        yield from ["from", "iter"]

    def __len__(self):
        return 99


class S(str):
    def __str__(self):
        return "not me"

    def __hash__(self):
        return 7  # the encoder hashes the text, never through the subclass


class I(int):
    def __index__(self):
        raise AssertionError("__index__ called")


class F(float):
    def __float__(self):
        raise AssertionError("__float__ called")


def test_subclasses_encode_as_their_base_values():
    tree = {S("key"): [S("text"), I(5), F(2.5), True, False, I(300), F(3.0)]}
    assert native(tree) == reference(tree)
    assert loads_binary(native(tree)) == {"key": ["text", 5, 2.5, True, False, 300, 3]}
    # A list subclass is written as it iterates, its count included (the reference encoder
    # takes the count from len(), which this one contradicts).
    assert loads_binary(native({"l": Lying([1])})) == {"l": ["from", "iter"]}
    out = loads_binary(native([True, 1, 1.0]))
    assert [type(x) for x in out] == [bool, int, int]


def test_shared_containers_become_anchors_and_copies():
    shared = [{"a": i, "b": "text"} for i in range(20)]
    tree = [shared, shared, shared]
    data = native(tree)
    assert data == reference(tree)
    out = loads_binary(data)
    assert out == tree and out[0] is not out[1]


def refuse(tree):
    def run():
        try:
            native(tree)
        except (TypeError, ValueError):
            pass
    return run


LEAK_CASES = {
    "scalars": lambda: native([1, 2.5, "x" * 40, None, True, -(2**40)]),
    "tables": lambda: native([{"a": i, "b": i / 4, "c": "x"} for i in range(30)]),
    "sparse": lambda: native([{"a": 1}, {"b": 2}, {"a": 3, "b": 4}] * 4),
    "anchors": lambda: native([[1, 2, 3]] * 5),
    "subclass": lambda: native(collections.OrderedDict(a=[1, (2, 3)], b=S("x"))),
    "refused type": refuse({"a": [1, Odd()]}),
    "refused key": refuse({"a": {1: 2}}),
    "refused deep": refuse(nested(600, 1)),
    "refused cycle": refuse(d),
    "refused surrogate": refuse(collections.OrderedDict(a="\ud800")),
}


@pytest.mark.skipif(bool(os.environ.get("WEXO_SANITIZER")), reason="PYTHONMALLOC=malloc counts no blocks")
@pytest.mark.parametrize("name", list(LEAK_CASES))
def test_no_reference_leaks(name):
    assert blocks_per_call(LEAK_CASES[name], 2000, warm=200) < 0.05


MEMORY = textwrap.dedent("""
    import resource
    from wexo import _ext
    tree = [{"k%d" % (i % 50): "v" * (i % 7), "n": i} for i in range(400_000)]
    with open("/proc/self/statm") as f:
        used = int(f.read().split()[0]) * resource.getpagesize()
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (used + (24 << 20), hard))
    try:
        _ext.dumps(tree)
    except MemoryError:
        print("MemoryError")
    else:
        print("no error")
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    print(len(_ext.dumps([1, 2, 3])))
""")


@pytest.mark.skipif(bool(os.environ.get("WEXO_SANITIZER")),
                    reason="the child would need the sanitizer runtime; its shadow memory defeats the limit")
def test_running_out_of_memory_raises_memory_error():
    out = subprocess.run([sys.executable, "-c", MEMORY], capture_output=True, text=True, timeout=120)
    assert out.stdout.split() == ["MemoryError", "7"], out.stdout + out.stderr


@pytest.mark.skipif(bool(os.environ.get("WEXO_SANITIZER")),
                    reason="a sanitizer build imports the sanitizer's runtime")
def test_exports_and_imports_of_the_encoder_module():
    import test_module

    lib = Path(_ext.__file__)
    nm = test_module.tool("nm")
    defined = subprocess.run([nm, "-D", "--defined-only", str(lib)], capture_output=True,
                             text=True, check=True).stdout.split()
    assert [w for w in defined if w.startswith(("Py", "_"))] == ["PyInit__ext"]
    readelf = subprocess.run([test_module.tool("readelf"), "-d", str(lib)], capture_output=True,
                             text=True, check=True).stdout
    needed = re.findall(r"\(NEEDED\).*\[(.*)\]", readelf)
    assert needed and not [n for n in needed if "python" in n]
    undefined = subprocess.run([nm, "-D", "--undefined-only", str(lib)], capture_output=True,
                               text=True, check=True).stdout
    assert not re.search(r"_Zn[wa]|__cxa_throw|_Unwind", undefined)
    abi3info = pytest.importorskip("abi3info")
    allowed = {sym.name for table in (abi3info.FUNCTIONS, abi3info.DATAS)
               for sym, entry in table.items() if (entry.added.major, entry.added.minor) <= (3, 10)}
    interpreter = {line.split()[-1] for line in undefined.splitlines()
                   if line.strip() and "@" not in line and line.split()[-2] != "w"}
    assert interpreter and sorted(interpreter - allowed) == []
