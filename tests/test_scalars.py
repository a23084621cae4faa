"""Prologue, tag dispatch, varints, ints, floats, trailing data and nesting depth."""
import pytest

from conftest import arr, check, decode, f64, fails, loads_binary, uv, zz, WexoError

SCALARS = [  # body after the prologue, expected value
    (b"\x00", None),                                   # none
    (b"\x01", False),                                  # false
    (b"\x02", True),                                   # true
    (b"\x80", 0),                                      # smallest small int
    (b"\xff", 127),                                    # largest small int
    (b"\x03\x00", 0),                                  # int, zigzag 0
    (b"\x03\x01", -1),                                 # zigzag 1
    (b"\x03\x02", 1),                                  # zigzag 2
    (b"\x03\x03", -2),                                 # zigzag 3
    (b"\x03\xfe" + b"\xff" * 8 + b"\x01", 2**63 - 1),  # largest int64
    (b"\x03" + b"\xff" * 9 + b"\x01", -(2**63)),       # smallest int64
    (b"\x03\x80\x00", 0),                              # non-minimal varint accepted
    (b"\x03\xff\x80\x00", -64),                        # zigzag 127 in three bytes
    (b"\x03\x80\x80\x80\x80\x80\x80\x80\x80\x80\x00", 0),  # ten bytes, last 0x00
    (f64(1.0), 1),                                     # integral float becomes int
    (f64(-3.0), -3),
    (f64(2.5), 2.5),
    (f64(-0.0), 0),                                    # negative zero becomes int 0
    (f64(2.0**53 - 1), 2**53 - 1),                     # largest integral below 2^53
    (f64(2.0**53), 2.0**53),                           # 2^53 stays a float
    (f64(-(2.0**53)), -(2.0**53)),
    (f64(1e300), 1e300),
    (f64(5e-324), 5e-324),                             # smallest subnormal
    (f64(1.7976931348623157e308), 1.7976931348623157e308),
    (f64(0.1), 0.1),
]

ERRORS = [  # body, message, offset from the document's first byte
    (b"", "truncated input", 2),                          # prologue only
    (b"\x0e", "bad tag 0x0e", 2),                         # first unassigned tag
    (b"\x3f", "bad tag 0x3f", 2),
    (b"\x60", "bad tag 0x60", 2),
    (b"\x7f", "bad tag 0x7f", 2),
    (b"\x00\x00", "trailing data", 3),
    (b"\x80\x0e", "trailing data", 3),                    # trailing bytes are not read
    (b"\x03", "truncated input", 3),                      # int without varint
    (b"\x03\x80", "truncated input", 3),                  # varint cut off
    (b"\x03\xff\xff\xff", "truncated input", 3),
    (b"\x03" + b"\xff" * 9 + b"\x02", "varint overflows 64 bits", 3),  # bit 64 set
    (b"\x03" + b"\xff" * 9 + b"\x81", "varint overflows 64 bits", 3),  # eleventh byte announced
    (b"\x03" + b"\x80" * 9 + b"\x80\x00", "varint overflows 64 bits", 3),
    (b"\x04", "truncated input", 3),                      # float, no payload
    (b"\x04" + b"\x00" * 7, "truncated input", 3),        # float, seven bytes
    (f64(float("inf")), "float is not finite", 3),
    (f64(float("-inf")), "float is not finite", 3),
    (f64(float("nan")), "float is not finite", 3),
    (b"\x04\x01\x00\x00\x00\x00\x00\xf0\xff", "float is not finite", 3),  # negative NaN payload
    (b"\x07\x01\x0e", "bad tag 0x0e", 4),                 # offsets count the prologue
]


@pytest.mark.parametrize("body,expected", SCALARS)
def test_scalar(decoder, body, expected):
    decoder.check(body, expected)


@pytest.mark.parametrize("body,message,offset", ERRORS)
def test_error(decoder, body, message, offset):
    decoder.fails(body, message, offset)


@pytest.mark.parametrize("tag", [t for t in range(0x0E, 0x40)] + list(range(0x60, 0x80)))
def test_every_unassigned_tag(decoder, tag):
    decoder.fails(bytes([tag]), f"bad tag 0x{tag:02x}", 2)


def test_every_small_int():
    for v in range(128):
        check(bytes([0x80 | v]), v)


@pytest.mark.parametrize("n", [0, 1, 63, 64, -64, -65, 2**31, -(2**31) - 1, 2**62, 2**63 - 1, -(2**63)])
def test_zigzag_ints(decoder, n):
    decoder.check(b"\x03" + zz(n), n)


def test_varint_of_2_64_minus_1_as_count_is_refused():
    # nine 0xff then 0x01 is 2^64 - 1: a valid varint, a count far above any bound
    fails(b"\x07" + b"\xff" * 9 + b"\x01", "truncated input", 13)


PROLOGUE_ERRORS = [  # whole input, message, offset
    (b"", "not a WEXO binary document", 0),
    (b"\x0f", "not a WEXO binary document", 0),
    (b"\x00", "not a WEXO binary document", 0),
    (b"\x0e\x01\x00", "not a WEXO binary document", 0),
    (b"\x0f\x02\x00", "unsupported binary version 2", 1),
    (b"\x0f\xff", "unsupported binary version 255", 1),
    (b"\x0f\x00", "unsupported binary version 0", 1),
    (b"\x0f\x01", "truncated input", 2),
]


@pytest.mark.parametrize("data,message,offset", PROLOGUE_ERRORS)
def test_prologue(decoder, data, message, offset):
    decoder.fails(data, message, offset, raw=True)


def nested(depth: int, inner: bytes) -> bytes:
    """inner wrapped in depth one-element arrays."""
    return b"\x07\x01" * depth + inner


def test_depth_512_decodes():
    v = decode(nested(512, b"\x07\x00"))
    for _ in range(512):
        assert type(v) is list and len(v) == 1
        v = v[0]
    assert v == []


def test_depth_513_fails_at_tag_even_at_end_of_input():
    fails(nested(513, b"\x00"), "nesting too deep", 2 + 2 * 513)
    # an anchor at depth 512 as the last byte: its value would be at depth 513,
    # and the depth test comes before the end-of-input test
    fails(nested(512, b"\x0a"), "nesting too deep", 2 + 2 * 512 + 1)


def test_error_is_value_error_with_attributes():
    with pytest.raises(ValueError) as info:
        loads_binary(b"\x0f\x01\x00\x00")
    e = info.value
    assert type(e) is WexoError
    assert type(e.message) is str and type(e.offset) is int
    assert str(e).split(": ", 2)[2] == e.message
