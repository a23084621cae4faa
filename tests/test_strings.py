"""Inline strings, the string pool, pool references and invalid UTF-8."""
import pytest

from conftest import arr, check, decode, fails, obj, s, uv

STRINGS = [  # body, expected
    (b"\x40", ""),                                      # empty short string
    (b"\x41a", "a"),
    (b"\x5f" + b"x" * 31, "x" * 31),                    # longest short string
    (b"\x05\x00", ""),                                  # long form, empty
    (b"\x05\x20" + b"y" * 32, "y" * 32),
    (b"\x05\x80\x01" + b"z" * 128, "z" * 128),          # two-byte length
    (b"\x05\x83\x00abc", "abc"),                        # non-minimal length
    (b"\x42\xc3\xa9", "\u00e9"),                        # two bytes, one character
    (b"\x44\xf0\x9f\x98\x80", "\U0001f600"),            # four-byte sequence
    (b"\x43\xef\xbf\xbf", "\uffff"),
    (b"\x44\xf4\x8f\xbf\xbf", "\U0010ffff"),            # highest code point
    (b"\x43a\x00b", "a\x00b"),                          # a zero byte is a character
]

ERRORS = [  # body, message, offset
    (b"\x41", "truncated input", 3),                    # short string, no byte
    (b"\x5fabc", "truncated input", 3),
    (b"\x05", "truncated input", 3),                    # no length
    (b"\x05\x03ab", "truncated input", 4),              # two of three bytes
    (b"\x05\x80", "truncated input", 3),                # length varint cut off
    (b"\x05\xff\xff\xff\xff\x07" + b"a" * 4, "truncated input", 8),  # length above 2^31 - 1
    (b"\x05" + b"\xff" * 9 + b"\x02", "varint overflows 64 bits", 3),
    (b"\x42\xc3\x28", "string is not valid UTF-8", 3),  # bad continuation byte
    (b"\x41\xff", "string is not valid UTF-8", 3),
    (b"\x42\xc0\x80", "string is not valid UTF-8", 3),  # overlong NUL
    (b"\x43\xe0\x80\x80", "string is not valid UTF-8", 3),  # overlong
    (b"\x43\xed\xa0\x80", "string is not valid UTF-8", 3),  # encoded surrogate U+D800
    (b"\x44\xf4\x90\x80\x80", "string is not valid UTF-8", 3),  # above U+10FFFF
    (b"\x41\xc3", "string is not valid UTF-8", 3),      # cut-off sequence
    (b"\x05\x02\xe2\x82", "string is not valid UTF-8", 4),
    (b"\x06\x00", "bad string reference", 4),           # empty pool
    (arr(b"\x41a", b"\x06\x00"), "bad string reference", 8),  # one-byte strings are not pooled
    (arr(b"\x40", b"\x06\x00"), "bad string reference", 7),
    (arr(s("ab"), b"\x06\x01"), "bad string reference", 9),
    (b"\x06", "truncated input", 3),
    (b"\x06\x80", "truncated input", 3),
]


@pytest.mark.parametrize("body,expected", STRINGS)
def test_string(decoder, body, expected):
    decoder.check(body, expected)


@pytest.mark.parametrize("body,message,offset", ERRORS)
def test_error(decoder, body, message, offset):
    decoder.fails(body, message, offset)


def test_reference_is_the_same_object():
    v = decode(arr(s("ab"), b"\x06\x00", b"\x06\x00"))
    assert v == ["ab", "ab", "ab"]
    assert v[0] is v[1] is v[2]


def test_pool_order_skips_short_strings():
    # a, bc, d, ef: the pool holds bc (0) and ef (1)
    v = decode(arr(s("a"), s("bc"), s("d"), s("ef"), b"\x06\x00", b"\x06\x01"))
    assert v == ["a", "bc", "d", "ef", "bc", "ef"]
    assert v[4] is v[1] and v[5] is v[3]


def test_equal_inline_strings_are_distinct_entries():
    v = decode(arr(s("xy"), s("xy"), b"\x06\x00", b"\x06\x01"))
    assert v[0] == v[1] and v[0] is not v[1]
    assert v[2] is v[0] and v[3] is v[1]


def test_long_form_and_two_byte_utf8_are_pooled():
    v = decode(arr(b"\x05\x02hi", b"\x42\xc3\xa9", b"\x06\x00", b"\x06\x01"))
    assert v == ["hi", "\u00e9", "hi", "\u00e9"]
    assert v[2] is v[0] and v[3] is v[1]


def test_keys_enter_the_pool_and_values_serve_as_keys():
    # {"key": "val"}, then the key as a value, then the value as a key
    body = arr(obj((s("key"), s("val"))), b"\x06\x00", obj((b"\x06\x01", b"\x80")))
    v = decode(body)
    assert v == [{"key": "val"}, "key", {"val": 0}]
    assert v[1] is next(iter(v[0]))
    assert next(iter(v[2])) is v[0]["key"]


def test_string_inside_failed_document_is_released():
    fails(arr(s("abc"), b"\x0e"), "bad tag 0x0e", 8)


def test_many_pool_entries_with_long_indexes():
    items = [s(f"s{i:04d}") for i in range(300)]
    v = decode(arr(*items, b"\x06" + uv(299), b"\x06" + uv(128)))
    assert v[300] is v[299] and v[301] is v[128]
