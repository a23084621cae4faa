"""Arrays and objects: counts and their bounds, keys, duplicates, order, and
the bound on what nested arrays may reserve before a document fails."""
import time
import tracemalloc

import pytest

from conftest import arr, check, decode, f64, fails, obj, s, uv, loads_binary, doc, WexoError

VALUES = [  # body, expected
    (b"\x07\x00", []),
    (b"\x08\x00", {}),
    (arr(b"\x81", s("hi")), [1, "hi"]),
    (arr(b"\x00", b"\x01", b"\x02", b"\x80"), [None, False, True, 0]),
    (arr(arr(), arr(arr())), [[], [[]]]),
    (obj((s("a"), b"\x81"), (s("b"), arr(b"\x02"))), {"a": 1, "b": [True]}),
    (obj((s("z"), b"\x80"), (s("a"), b"\x81"), (s("m"), b"\x82")), {"z": 0, "a": 1, "m": 2}),
    (obj((b"\x05\x01k", b"\x00")), {"k": None}),           # long-form key
    (obj((s(""), b"\x80")), {"": 0}),                       # empty key
    (b"\x07\x80\x00", []),                                  # non-minimal count
    (obj((s("ab"), s("cd")), (b"\x06\x01", b"\x06\x00")), {"ab": "cd", "cd": "ab"}),  # pooled value as key
    # floats in arrays take a path of their own: the same values
    (arr(f64(1.5), f64(2.0), f64(-0.0), f64(2.0 ** 53)), [1.5, 2, 0, 9007199254740992.0]),
    (arr(b"\x80", f64(-1e300), b"\x00"), [0, -1e300, None]),
    (arr(arr(f64(0.25)), f64(3.0)), [[0.25], 3]),
]

ERRORS = [  # body, message, offset
    (b"\x07", "truncated input", 3),                        # no count
    (b"\x07\x05\x80\x80\x80\x80", "truncated input", 4),    # count 5, four bytes left
    (b"\x08\x05\x80\x80\x80\x80", "truncated input", 4),
    (b"\x07\xff\xff\xff\xff\x07" + b"\x80" * 8, "truncated input", 8),  # above 2^31 - 1
    (b"\x07\x02\x80", "truncated input", 4),                # count above remaining (1 byte)
    (b"\x07\x01\x80\x81", "trailing data", 5),
    (b"\x08\x01", "truncated input", 4),                    # count passes only if bytes remain
    (b"\x08\x01\x41", "truncated input", 5),                # key cut off
    (b"\x08\x02\x41a\x80", "truncated input", 7),           # input ends where a key's tag should be
    (b"\x08\x01\x03\x02", "key must be a string", 4),       # int key
    (b"\x08\x01\x81\x80", "key must be a string", 4),       # small-int key
    (b"\x08\x01\x00\x80", "key must be a string", 4),       # None key
    (b"\x08\x01\x07\x00", "key must be a string", 4),       # array key
    (obj((s("a"), b"\x80"), (s("a"), b"\x81")), "duplicate key 'a'", 10),
    (obj((s("ab"), b"\x80"), (b"\x06\x00", b"\x81")), "duplicate key 'ab'", 11),
    (obj((s("a"), b"\x80"), (s("b"), b"\x80"), (s("a"), arr(b"\x80"))), "duplicate key 'a'", 15),
    (obj((s("a\x00b"), b"\x80"), (s("a\x00b"), b"\x80")), "duplicate key 'a\x00b'", 14),
    (obj((s("é"), b"\x80"), (s("é"), b"\x80")), "duplicate key 'é'", 12),
    (obj((s("x"), b"\x0e")), "bad tag 0x0e", 6),
    # keys given as pool references
    (b"\x08\x01\x06", "truncated input", 5),              # index missing
    (b"\x08\x01\x06\x80", "truncated input", 5),          # index cut off: its first byte
    (b"\x08\x02\x06\x00\x80", "bad string reference", 6),  # nothing pooled yet
    (obj((s("ab"), b"\x80"), (b"\x06\x01", b"\x80")), "bad string reference", 10),
    (obj((s("ab"), s("cd")), (b"\x06\x01", b"\x80"), (b"\x06\x00", b"\x81")),
     "duplicate key 'ab'", 16),                             # key pooled from a value, then a repeat
    (obj((s("ab"), b"\x80"), (b"\x06\x80\x00", b"\x81")), "duplicate key 'ab'", 12),  # long index
    (arr(b"\x80", b"\x0e"), "bad tag 0x0e", 5),
    # floats in arrays: the same faults
    (arr(f64(float("inf"))), "float is not finite", 5),
    (arr(b"\x80", f64(float("nan"))), "float is not finite", 6),
    (b"\x07\x01\x04" + b"\x00" * 7, "truncated input", 5),   # one byte short
    (b"\x07\x02\x80\x04", "truncated input", 6),              # count passes, payload missing
]


@pytest.mark.parametrize("body,expected", VALUES)
def test_value(decoder, body, expected):
    decoder.check(body, expected)


@pytest.mark.parametrize("body,message,offset", ERRORS)
def test_error(decoder, body, message, offset):
    decoder.fails(body, message, offset)


def test_keys_keep_document_order():
    keys = [f"k{i}" for i in range(50)][::-1]
    v = decode(obj(*[(s(k), b"\x80") for k in keys]))
    assert list(v) == keys


def test_pooled_key_is_shared_between_objects():
    v = decode(arr(obj((s("id"), b"\x81")), obj((b"\x06\x00", b"\x82"))))
    assert next(iter(v[0])) is next(iter(v[1]))


@pytest.mark.parametrize("element", [b"\x80", f64(1.5)])
def test_nonempty_array_at_depth_513_fails_at_first_element(element):
    body = b"\x07\x01" * 512 + b"\x07\x01" + element
    fails(body, "nesting too deep", 2 + 1024 + 2)


def test_object_value_at_depth_513():
    body = b"\x07\x01" * 512 + obj((s("k"), b"\x80"))
    fails(body, "nesting too deep", 2 + 1024 + 4)
    body = b"\x07\x01" * 511 + obj((s("k"), b"\x80"))
    v = decode(body)
    for _ in range(511):
        v = v[0]
    assert v == {"k": 0}


def nested_claims(size: int) -> bytes:
    """512 nested arrays, each announcing every remaining byte as an element,
    then filler: the document can only fail, at the end of the input."""
    depth = 512
    body = bytearray()
    # fill from the inside out so each count equals the bytes after it
    tail = b"\x80" * (size - 4 * depth)
    for _ in range(depth):
        tail = b"\x07" + uv(len(tail)) + tail
    body += tail
    return bytes(body)


def test_nested_arrays_claiming_all_remaining_bytes_fail_cheaply():
    body = nested_claims(1 << 20)
    data = doc(body)
    tracemalloc.start()
    t0 = time.perf_counter()
    with pytest.raises(WexoError) as info:
        loads_binary(data)
    elapsed = time.perf_counter() - t0
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    # every level but the first grows as its elements arrive
    assert (info.value.message, info.value.offset) == ("truncated input", len(data))
    assert peak < 64 << 20, peak  # reserving every claim would take gigabytes
    print(f"1 MiB of nested claims: {elapsed * 1e3:.1f} ms, peak {peak >> 20} MiB")
