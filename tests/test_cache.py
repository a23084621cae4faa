"""The cache of short names across calls: identity within each result, reuse
across calls, bounded work on hostile documents, and sub-interpreters."""
import os
import sys
import time

import pytest

from conftest import arr, doc, obj, s, uv, loads_binary

SANITIZER = bool(os.environ.get("WEXO_SANITIZER"))


def keys(d):
    return list(d)


# Documents whose two names of equal text are both spelled inline: each
# occurrence must be its own object, whatever earlier calls cached.
INLINE_TWICE = {  # name: body, how to get the two name objects from the result
    "object keys": (arr(obj((s("abc"), b"\x81")), obj((s("abc"), b"\x82"))),
                    lambda r: (keys(r[0])[0], keys(r[1])[0])),
    # two one-column tables, each with the inline header name abc
    "table headers": (arr(b"\x09\x01\x43abc\x01\x00\x81", b"\x09\x01\x43abc\x01\x00\x82"),
                      lambda r: (keys(r[0][0])[0], keys(r[1][0])[0])),
    # two object columns with the field abc
    "object columns": (arr(b"\x0c\x01\x05\x01\x43abc\x00\x81", b"\x0c\x01\x05\x01\x43abc\x00\x82"),
                       lambda r: (keys(r[0][0])[0], keys(r[1][0])[0])),
    # a key, then a header name of the same text
    "key then header": (arr(obj((s("abc"), b"\x81")), b"\x09\x01\x43abc\x01\x00\x82"),
                        lambda r: (keys(r[0])[0], keys(r[1][0])[0])),
    # a 64-byte name, the longest kept
    "longest kept": (arr(obj((s("k" * 64), b"\x81")), obj((s("k" * 64), b"\x82"))),
                     lambda r: (keys(r[0])[0], keys(r[1])[0])),
}


@pytest.mark.parametrize("name", INLINE_TWICE)
def test_inline_twice_gives_distinct_objects(name):
    body, pick = INLINE_TWICE[name]
    results = [loads_binary(doc(body)) for _ in range(3)]  # the later calls hit the cache
    for r in results:
        a, b = pick(r)
        assert a == b and type(a) is str
        assert a is not b


def test_pool_reference_gives_the_same_object():
    body = arr(obj((s("abc"), b"\x81")), obj((b"\x06\x00", b"\x82")), b"\x06\x00")
    for _ in range(3):
        r = loads_binary(doc(body))
        assert r == [{"abc": 1}, {"abc": 2}, "abc"]
        assert keys(r[0])[0] is keys(r[1])[0] is r[2]


def test_a_pooled_name_is_the_object_later_references_give_within_the_document():
    # a cached name enters the pool like any other: the value reference after
    # it yields the very object the key is
    body = arr(obj((s("name"), b"\x81")), obj((s("name"), b"\x82")), b"\x06\x01")
    for _ in range(3):
        r = loads_binary(doc(body))
        assert keys(r[0])[0] is not keys(r[1])[0]
        assert r[2] is keys(r[1])[0]


def test_names_are_reused_across_calls():
    body = obj((s("score"), b"\x81"), (s("active"), b"\x02"))
    first = loads_binary(doc(body))
    second = loads_binary(doc(body))
    assert first == second == {"score": 1, "active": True}
    assert all(a is b for a, b in zip(first, second))


def test_values_and_long_names_are_not_cached():
    long = "n" * 65
    body = obj((s(long), s("value")))
    first = loads_binary(doc(body))
    second = loads_binary(doc(body))
    assert keys(first)[0] is not keys(second)[0]
    assert first[long] is not second[long]


def test_dictionary_entries_are_not_cached():
    body = b"\x0c\x02\x03\x01\x43xyz\x00\x00"
    first, second = loads_binary(doc(body)), loads_binary(doc(body))
    assert first == second == ["xyz", "xyz"]
    assert first[0] is first[1] and first[0] is not second[0]


def test_many_distinct_names_decode_exactly():
    # far more names than the cache holds, twice over, and in other orders
    names = [f"field_{i:05d}" for i in range(5000)]
    for order in (names, names[::-1], names):
        body = obj(*[(s(n), uv(i % 100 | 0x80)[:1]) for i, n in enumerate(order)])
        r = loads_binary(doc(body))
        assert keys(r) == order
        assert all(r[n] == i % 100 for i, n in enumerate(order))


def test_invalid_utf8_and_truncation_are_reported_as_before():
    loads_binary(doc(obj((s("ab"), b"\x81"))))  # cached
    with pytest.raises(ValueError) as e:
        loads_binary(doc(obj((b"\x42\xc3\x28", b"\x81"))))
    assert (e.value.message, e.value.offset) == ("string is not valid UTF-8", 5)
    with pytest.raises(ValueError) as e:
        loads_binary(doc(b"\x08\x01\x42a"))
    assert (e.value.message, e.value.offset) == ("truncated input", 5)
    with pytest.raises(ValueError) as e:  # a duplicate of a cached name, inline twice
        loads_binary(doc(obj((s("ab"), b"\x81"), (s("ab"), b"\x82"))))
    assert (e.value.message, e.value.offset) == ("duplicate key 'ab'", 12)


def per_byte(body: bytes) -> float:
    data = doc(body)
    best = float("inf")
    for _ in range(7):
        t = time.perf_counter()
        loads_binary(data)
        best = min(best, time.perf_counter() - t)
    return best / len(data)


# Each document grows tenfold between the two sizes. The results stay small
# enough (under a megabyte) that the interpreter's allocator and the
# processor's caches cost the same per byte at both sizes.
HOSTILE = {  # name: (n -> body, smaller n)
    # every name new: each lookup misses and replaces a slot
    "distinct names": (lambda n: obj(*[(s(f"k{i:07d}"), b"\x80") for i in range(n)]), 1500),
    # names that differ only in their middle bytes
    "middle bytes": (lambda n: obj(*[(s(f"prefix__{i:08d}__suffix"), b"\x80")
                                     for i in range(n)]), 1500),
    # one name spelled inline n times: every occurrence after the first gets its own object
    "one name inline": (lambda n: arr(*[obj((s("same_name"), b"\x80")) for _ in range(n)]),
                        300),
}


@pytest.mark.parametrize("name", HOSTILE)
def test_hostile_names_cost_linear_time(name):
    make, n = HOSTILE[name]
    small, large = per_byte(make(n)), per_byte(make(10 * n))
    assert large < 4 * small


def test_cache_references_are_released_on_replacement():
    name = "victim_name_" + "x" * 20
    r = loads_binary(doc(obj((s(name), b"\x81"))))
    key = keys(r)[0]
    del r
    held = sys.getrefcount(key)
    # replace every slot many times over
    for j in range(4):
        loads_binary(doc(obj(*[(s(f"other{j}_{i:05d}"), b"\x80") for i in range(4000)])))
    assert sys.getrefcount(key) == held - 1


# ---- sub-interpreters

def sub_code(body: bytes, main_key_id: int) -> str:
    return f"""
import sys
sys.path[:0] = {[p for p in sys.path if p]!r}
import wexo_native
data = {doc(body)!r}
a = wexo_native.loads_binary(data)
b = wexo_native.loads_binary(data)
assert a == b == {{"shared_name": 1}}, (a, b)
ka, kb = list(a)[0], list(b)[0]
# no object of the main interpreter, and none kept across calls here
assert id(ka) != {main_key_id} and id(kb) != {main_key_id}
assert ka is not kb
try:
    wexo_native.loads_binary(data[:-1])
except wexo_native.WexoError as e:
    assert e.offset == len(data) - 1
"""


def test_shared_gil_subinterpreter_never_sees_main_objects():
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("no _testcapi.run_in_subinterp")
    body = obj((s("shared_name"), b"\x81"))
    main = loads_binary(doc(body))
    assert keys(loads_binary(doc(body)))[0] is keys(main)[0]
    assert testcapi.run_in_subinterp(sub_code(body, id(keys(main)[0]))) == 0
    # the main interpreter's cache is intact afterwards
    again = loads_binary(doc(body))
    assert again == main and keys(again)[0] is keys(main)[0]


def test_isolated_subinterpreter_refuses_the_module():
    code = f"import sys\nsys.path[:0] = {[p for p in sys.path if p]!r}\nimport wexo_native\n"
    if sys.version_info >= (3, 13):
        interpreters = pytest.importorskip("_interpreters")
        iid = interpreters.create("isolated")
        try:
            err = interpreters.exec(iid, code)
        finally:
            interpreters.destroy(iid)
        assert err is not None and err.type.__name__ == "ImportError", err
    elif sys.version_info >= (3, 12):
        interpreters = pytest.importorskip("_xxsubinterpreters")
        iid = interpreters.create(isolated=True)
        try:
            with pytest.raises(interpreters.RunFailedError, match="ImportError"):
                interpreters.run_string(iid, code)
        finally:
            interpreters.destroy(iid)
    else:
        pytest.skip("no isolated sub-interpreters before 3.12")


EXIT_SCRIPT = """
import atexit, sys
sys.path[:0] = {path!r}

def check():
    # runs after the module's own exit hook: atexit calls last in, first out
    after = sys.getrefcount(key)
    again = list(wexo_native.loads_binary(data))[0]
    print(held - after, again is key, sys.getrefcount(key) == after)

atexit.register(check)
import wexo_native
data = {data!r}
key = list(wexo_native.loads_binary(data))[0]
assert list(wexo_native.loads_binary(data))[0] is key
held = sys.getrefcount(key)
"""


def test_names_are_released_at_exit_and_not_kept_after():
    import subprocess
    data = doc(obj((s("exit_name"), b"\x81")))
    code = EXIT_SCRIPT.format(path=[p for p in sys.path if p], data=data)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["1", "False", "True"]
