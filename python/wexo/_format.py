"""Wire constants and the small byte-level helpers shared by the encoder and the walker."""

from __future__ import annotations

DOC_MAGIC = 0x0F
DOC_VERSION = 0x01
PROLOGUE = bytes((DOC_MAGIC, DOC_VERSION))

TAG_NONE = 0x00
TAG_FALSE = 0x01
TAG_TRUE = 0x02
TAG_INT = 0x03
TAG_FLOAT = 0x04
TAG_STR = 0x05
TAG_STR_REF = 0x06
TAG_ARRAY = 0x07
TAG_OBJECT = 0x08
TAG_TABLE = 0x09
TAG_ANCHOR = 0x0A
TAG_ANCHOR_REF = 0x0B
TAG_TYPED_ARRAY = 0x0C
TAG_SPARSE = 0x0D
TAG_SHORT_STR = 0x40  # 0x40 to 0x5F: the length sits in the low five bits
TAG_SMALL_INT = 0x80  # 0x80 to 0xFF: the value sits in the low seven bits

COL_VALUES = 0x00
COL_DELTA_INT = 0x01
COL_DECIMAL = 0x02
COL_DICT_STR = 0x03
COL_BOOL_BITS = 0x04
COL_OBJECT = 0x05
COL_NAMES = ("values", "delta-int", "decimal", "dict-str", "bool-bits", "object-column")

PRESENCE_ALL = 0x00
PRESENCE_BITMAP = 0x01

MAX_DEPTH = 512  # deepest value, and deepest typed column
MAX_COPY_DEPTH = 4096  # deepest object below a referenced anchor value
MAX_COUNT = 0x7FFFFFFF  # every count and length
MAX_SCALE = 6  # decimal columns
EXPAND_BUDGET = 1 << 24  # container slots copied by all anchor references of a document
SIZE_BUDGET_BASE = 1 << 22  # decoded-size budget: len * 32 + this
SIZE_BUDGET_PER_BYTE = 32
# wexo.loads's default limits for a document of n bytes, which the encoder keeps its output within:
# max_cells (dicts made by tables, sparse tables and object columns, and slots of typed arrays
# other than bit arrays) and max_copies (slots copied by references), each PER_BYTE * n + BASE.
CELLS_PER_BYTE = 2
CELLS_BASE = 4096
COPIES_PER_BYTE = 2
COPIES_BASE = 4096
POOL_MIN_LEN = 2  # inline strings of at least this many UTF-8 bytes enter the pool
SHORT_STR_MAX = 0x1F
SMALL_INT_MAX = 0x7F
INT64_MIN = -(1 << 63)
INT64_MAX = (1 << 63) - 1
EXACT_INT_LIMIT = 1 << 53  # floats below this magnitude that are integral decode as int

POW10 = tuple(10.0**s for s in range(MAX_SCALE + 1))


def uvarint(n: int) -> bytes:
    """Unsigned LEB128 of n (0 <= n < 2**64)."""
    if n < 0x80:
        return bytes((n,))
    out = bytearray()
    while n >= 0x80:
        out.append((n & 0x7F) | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def uvarint_len(n: int) -> int:
    """Byte length of uvarint(n)."""
    size = 1
    while n >= 0x80:
        n >>= 7
        size += 1
    return size


def zigzag(n: int) -> int:
    """Signed 64-bit n to its zigzag code: 0, -1, 1, -2 give 0, 1, 2, 3."""
    return n << 1 if n >= 0 else ((-n) << 1) - 1


def unzigzag(v: int) -> int:
    """Inverse of zigzag over the unsigned 64-bit codes."""
    return (v >> 1) ^ -(v & 1)


def wrap64(n: int) -> int:
    """n reduced to the signed 64-bit range, two's complement."""
    return ((n - INT64_MIN) & 0xFFFFFFFFFFFFFFFF) + INT64_MIN


def float_result(q: float) -> int | float:
    """What the decoder makes of a double: an int when integral and below 2**53, else the float."""
    if -EXACT_INT_LIMIT < q < EXACT_INT_LIMIT and q == int(q):
        return int(q)
    return q


def decimal_cell(m: int, scale: int) -> int | float:
    """The cell a decimal column gives for mantissa m at this scale."""
    if scale == 0:
        return m
    if abs(m) > EXACT_INT_LIMIT:
        return float_result(m / 10**scale)  # int true division: the exact quotient, rounded once
    return float_result(float(m) / POW10[scale])
