"""Lists of distinct names: table headers and object-column field names,
compared by their bytes; the pairwise scan up to 16 names and the hashed set
above, which must report exactly the same first duplicate."""
import pytest

from conftest import arr, check, decode, fails, s, uv


def table_of(names: list[bytes]) -> tuple[bytes, int]:
    """A zero-row table with one delta column per name. Returns the body and
    the offset just after the last name."""
    head = b"\x09" + uv(len(names)) + b"".join(names)
    return head + b"\x00" + b"\x01" * len(names), 2 + len(head)


def names_of(texts) -> list[bytes]:
    return [s(t) for t in texts]


def one_row(names):
    """A one-row table, every column a delta of 1."""
    head = b"\x09" + uv(len(names)) + b"".join(names)
    return head + b"\x01" + b"\x01\x02" * len(names)


VALID = [  # names, expected keys
    ([b"\x40"], [""]),                                        # the empty name
    (names_of(["a", "A"]), ["a", "A"]),                       # case matters
    (names_of(["\u00e9", "e\u0301"]), ["\u00e9", "e\u0301"]),  # canonically equal, other bytes
    (names_of(["ab", "abc", "b"]), ["ab", "abc", "b"]),       # prefixes are distinct
    ([b"\x05\x02id", b"\x41x"], ["id", "x"]),                 # long form
    (names_of([f"c{i}" for i in range(17)]), [f"c{i}" for i in range(17)]),  # hashed
    (names_of([f"n{i}" for i in range(300)]), [f"n{i}" for i in range(300)]),
    (names_of(["a\x00", "a"]), ["a\x00", "a"]),
]


@pytest.mark.parametrize("names,keys", VALID)
def test_valid_header(decoder, names, keys):
    v = decoder.decode(one_row(names))
    assert list(v[0]) == keys


def dup_cases():
    """Duplicates at the same place in a short and a long list, so the scan
    and the hashed set must agree on message and offset."""
    cases = []
    for size in (2, 3, 16, 17, 40, 1000):
        fill = [f"f{i}" for i in range(size - 2)]
        cases.append((f"last repeats first, {size}", ["id"] + fill + ["id"], "id"))
        cases.append((f"adjacent, {size}", fill + ["zz", "zz"], "zz"))
        cases.append((f"first of two repeats, {size}",
                      ["a", "b"] + fill[: max(0, size - 4)] + ["b", "a"], "b"))
    return cases


@pytest.mark.parametrize("label,texts,dup", dup_cases(), ids=[c[0] for c in dup_cases()])
def test_duplicate_column(decoder, label, texts, dup):
    names = names_of(texts)
    body, _ = table_of(names)
    first = next(i for i, t in enumerate(texts) if texts.index(t) != i)
    offset = 2 + 1 + len(uv(len(names))) + sum(len(n) for n in names[: first + 1])
    decoder.fails(body, f"duplicate column '{dup}'", offset)


def test_hashed_and_scanned_lists_fail_alike():
    short = names_of(["q", "q"])
    long = names_of(["q"] + [f"p{i}" for i in range(15)] + ["q"])
    e1 = fails(table_of(short)[0], "duplicate column 'q'", 2 + 2 + 4)
    e2 = fails(table_of(long)[0], "duplicate column 'q'", table_of(long)[1])
    assert e1.message == e2.message


def upto(*parts: bytes) -> int:
    """The document offset just after the given leading parts of a body."""
    return 2 + sum(len(p) for p in parts)


X15 = b"".join(s(f"x{i}") for i in range(15))
POOLED = [  # body building the pool first, then a header, message, offset
    # inline "ab", then a reference to it: the reference repeats the name
    (b"\x09\x02\x42ab\x06\x00\x00\x01\x01", "duplicate column 'ab'", upto(b"\x09\x02\x42ab\x06\x00")),
    # a pooled value "ab" earlier, then a header: reference first, inline second
    (arr(s("ab"), b"\x09\x02\x06\x00\x42ab\x00\x01\x01"), "duplicate column 'ab'",
     upto(b"\x07\x02\x42ab", b"\x09\x02\x06\x00\x42ab")),
    # the same with 17 names: the hashed set
    (arr(s("ab"), b"\x09\x11\x06\x00" + X15 + b"\x42ab"), "duplicate column 'ab'",
     upto(b"\x07\x02\x42ab", b"\x09\x11\x06\x00", X15, b"\x42ab")),
    (b"\x09\x02\x42a\x00\x42a\x00\x00\x01\x01", "duplicate column 'a\x00'", 10),
]


@pytest.mark.parametrize("body,message,offset", POOLED)
def test_pooled_duplicates(decoder, body, message, offset):
    decoder.fails(body, message, offset)


HEADER_ERRORS = [  # body, message, offset
    (b"\x09\x00", "empty table header", 4),
    (b"\x09\x80\x00", "empty table header", 5),
    (b"\x09\x03\x41a", "truncated input", 4),                 # count above the unread bytes
    (b"\x09\xff\xff\xff\xff\x07" + b"\x41a" * 4, "truncated input", 8),
    (b"\x09", "truncated input", 3),
    (b"\x09\x02\x41a\x00\x00", "key must be a string", 6),   # None as a name
    (b"\x09\x01\x81\x00", "key must be a string", 4),
    (b"\x09\x02\x41a\x41", "truncated input", 7),             # short name cut off (1 byte needed)
    (b"\x09\x01\x05\x09ab", "truncated input", 6),     # length above the unread bytes
    (b"\x09\x01\x06\x00", "bad string reference", 6),
    (b"\x09\x01\x42\xc3\x28", "string is not valid UTF-8", 5),
    (b"\x09\x01\x06\x80", "truncated input", 5),
]


@pytest.mark.parametrize("body,message,offset", HEADER_ERRORS)
def test_header_error(decoder, body, message, offset):
    decoder.fails(body, message, offset)


def test_column_name_enters_the_pool():
    v = decode(arr(b"\x09\x01\x42id\x01\x01\x02", b"\x06\x00"))
    assert v == [[{"id": 1}], "id"]
    assert next(iter(v[0][0])) is v[1]


def test_object_column_duplicate_uses_key_message():
    # typed array of one object cell whose names repeat: 17 names take the set
    names = names_of([f"k{i}" for i in range(16)] + ["k3"])
    body = b"\x0c\x01\x05" + uv(17) + b"".join(names)
    fails(body, "duplicate key 'k3'", 2 + 4 + sum(len(n) for n in names))


LONG_A = "q" * 39 + "!"
LONG_B = "q" * 39 + "?"


@pytest.mark.parametrize("count", [2, 16, 17])
def test_long_pooled_names_compare_by_bytes(count):
    # two long pooled strings differing only in their last byte are distinct;
    # the same text pooled twice (two entries) is a duplicate, by reference
    # or inline, in the scanned and the hashed list alike
    pooled = arr(s(LONG_A), s(LONG_B), s(LONG_A))            # entries 0, 1, 2
    fill = b"".join(s(f"f{i:02d}") for i in range(count - 2))
    ok = b"\x07\x04" + pooled[2:] + b"\x09" + uv(count) + b"\x06\x00\x06\x01" + fill \
        + b"\x00" + b"\x04" * count
    v = decode(ok)
    assert v[3] == []
    for second in (b"\x06\x02", s(LONG_A)):
        head = b"\x09" + uv(count) + b"\x06\x00" + fill + second
        body = b"\x07\x04" + pooled[2:] + head
        fails(body, f"duplicate column '{LONG_A}'", 2 + len(body))


def test_repeated_headers_of_long_pooled_names():
    # each header names two long pooled strings by reference: decoded by their
    # cached hashes, never by rescanning the strings
    big_a, big_b = "x" * 5000 + "a", "x" * 5000 + "b"
    n = 2000
    head = s(big_a) + s(big_b)
    table = b"\x09\x02\x06\x00\x06\x01\x00\x04\x04"
    v = decode(b"\x07" + uv(n + 2) + head + table * n)
    assert len(v) == n + 2 and v[2] == []
