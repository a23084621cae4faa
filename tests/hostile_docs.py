"""Hostile WEXO documents: adversarial inputs at the decoder's limits, each about as
small as its effect allows, with what each should end in.

Every builder returns a Doc: the body without the two-byte prologue, the work it asks
for and what the relevant limit admits (in one unit), and its expected verdict (error:
(message, offset) or None for a result; an offset of None when it depends on the size).
tests/test_hostile.py and tests/test_limits.py check the verdicts; scripts/hostile.py
measures the documents (time, peak memory) and prints the report. No measurement here.

The decoder's limits, as the format defines them:
  size_budget   = input length x 32 + 4,194,304 cells, charged n + 1 by every
                  typed column (at every level of object columns), 2 x N by a
                  sparse table and P + 1 by each of its bitmap columns;
                  checked (not charged) by tables (R + 1) and typed arrays (n + 1)
  expand_budget = 16,777,216 copied slots, charged by anchor references:
                  every copied list or dict costs its length + 1
  nesting       = 512 levels of values and typed columns, 4096 levels of copy
  counts        = at most the unread bytes; row counts and typed-array counts
                  at most 8 x the unread bytes

Sets: fixed_docs() (the FIXED table: the exact edges of each budget and of nesting),
scaled_docs(scales) (the SCALED table: each family at several input sizes), and
limit_docs() (at wexo.loads's default limits).
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Callable

from wexo._format import uvarint

PROLOGUE = b"\x0f\x01"
SIZE_BASE = 4_194_304
SIZE_PER_BYTE = 32
EXPAND = 16_777_216
MAX_DEPTH = 512
MAX_COPY_DEPTH = 4096

KB = 1000
DICT_BYTES = 200  # a small dict as the decoder builds it, GC header included (3.11, 64-bit)
SLOT_BYTES = 8


# --------------------------------------------------------------------------
# Encoding helpers


def uv(n: int) -> bytes:
    """Unsigned LEB128 varint."""
    return uvarint(n)


def vlen(n: int) -> int:
    return len(uv(n))


def sstr(raw: bytes) -> bytes:
    """A string in its shortest inline form."""
    if len(raw) < 32:
        return bytes([0x40 | len(raw)]) + raw
    return b"\x05" + uv(len(raw)) + raw


def bits(n: int) -> bytes:
    """ceil(n / 8) bitmap bytes, alternating cells (True, False, ...)."""
    return b"\x55" * ((n + 7) // 8)


def size_budget(body_len: int) -> int:
    """The size budget of a document whose body (after the prologue) has body_len bytes."""
    return (body_len + 2) * SIZE_PER_BYTE + SIZE_BASE


def name3(i: int) -> bytes:
    """The i-th distinct 3-byte printable name, as a short string (4 bytes)."""
    a, r = divmod(i, 95 * 95)
    b, c = divmod(r, 95)
    return bytes([0x43, 32 + a, 32 + b, 32 + c])


# --------------------------------------------------------------------------
# The document record


@dataclass
class Doc:
    name: str
    body: bytes
    units: int                 # work the document asks for, in `unit`
    unit: str
    bound: int                 # what the relevant limit admits, in the same unit
    error: tuple[str, int] | None = None  # expected (message, offset), None for success
    family: str = ""
    scale: int = 0
    predicted_bytes: int = 0   # rough size of the result, to skip what the machine cannot hold
    uncharged: int = 0         # result slots the format checks but never charges (table row lists)
    note: str = ""

    @property
    def data(self) -> bytes:
        return PROLOGUE + self.body


# --------------------------------------------------------------------------
# 1-2. Size budget: typed arrays, tables, sparse tables


def bool_array(size: int) -> Doc:
    """One typed array of bool bits filling `size` bytes: the cheapest cells (8 per byte)."""
    nbytes = max(size - 6, 1)
    n = 8 * nbytes
    body = b"\x0c" + uv(n) + b"\x04" + bits(n)
    return Doc("bool typed array", body, n + 1, "cells", size_budget(len(body)),
               predicted_bytes=n * SLOT_BYTES)


def chain_typed_array(n: int, depth: int) -> tuple[bytes, int]:
    """A typed array of n cells whose column is `depth` nested one-field object
    columns over a bool leaf: (depth + 1) x (n + 1) cells charged."""
    body = b"\x0c" + uv(n) + b"\x05\x01\x40" * depth + b"\x04" + bits(n)
    return body, (depth + 1) * (n + 1)


def chain_table(n: int, depth: int) -> tuple[bytes, int]:
    body = b"\x09\x01\x40" + uv(n) + b"\x05\x01\x40" * depth + b"\x04" + bits(n)
    return body, (depth + 1) * (n + 1)


def chain_sparse(n: int, depth: int) -> tuple[bytes, int]:
    body = b"\x0d\x01\x40" + uv(n) + b"\x00" + b"\x05\x01\x40" * depth + b"\x04" + bits(n)
    return body, 2 * n + (depth + 1) * (n + 1)


def chain_sparse_bitmap(n: int, depth: int) -> tuple[bytes, int]:
    """Sparse table of n rows, one bitmap column with every row present."""
    bitmap = b"\xff" * (n // 8) + (bytes([(1 << (n % 8)) - 1]) if n % 8 else b"")
    body = (b"\x0d\x01\x40" + uv(n) + b"\x01" + bitmap + b"\x05\x01\x40" * depth
            + b"\x04" + bits(n))
    return body, 2 * n + (depth + 1) * (n + 1)


def bool_filler(m: int) -> bytes:
    return b"\x0c" + uv(m) + b"\x04" + bits(m)


def at_budget(label: str, main: Callable[[int, int], tuple[bytes, int]], depth: int,
              over: bool) -> Doc:
    """[main(n), filler] whose charges use up the size budget exactly; with `over`,
    the filler announces one cell more and fails at its kind byte."""
    # The filler's bytes add more budget (32 each) than its cells use (8 per byte),
    # so the main part must overshoot the budget of its own bytes a little: from
    # the largest n that fits with 8 more bytes...
    lo, hi = 1, 1 << 26
    while lo < hi:
        mid = (lo + hi + 1) // 2
        body, charge = main(mid, depth)
        if charge <= size_budget(2 + len(body) + 8):
            lo = mid
        else:
            hi = mid - 1
    # ...upwards, the first n and filler size m that meet the budget exactly.
    for cand in range(lo, lo + 2000):
        body, charge = main(cand, depth)
        base_len = 2 + len(body)
        for m in range(1, 4000):
            if m % 8 == 0 or vlen(m) != vlen(m + 1):
                continue  # one more cell must not need one more byte
            total_len = base_len + 2 + vlen(m) + (m + 7) // 8
            if charge + m + 1 != size_budget(total_len):
                continue
            mm = m + 1 if over else m
            full = b"\x07\x02" + body + bool_filler(mm)
            assert len(full) == total_len
            units = charge + mm + 1
            err = ("decoded size too large", 2 + base_len + 1 + vlen(mm)) if over else None
            dicts = depth * cand + (cand if main is not chain_typed_array else 0)
            return Doc(f"{label} at size budget" + (" +1 cell" if over else ""), full,
                       units, "cells", size_budget(total_len), err,
                       predicted_bytes=dicts * DICT_BYTES + cand * SLOT_BYTES,
                       note=f"{depth} object levels x {cand} rows",
                       uncharged=cand if main is chain_table else 0)
    raise RuntimeError(f"no exact size-budget document for {label}")


def table_bools(size: int, columns: int = 16) -> Doc:
    """A table of `columns` bool columns, as many rows as `size` bytes hold."""
    head = b"\x09" + uv(columns) + b"".join(name3(i) for i in range(columns))
    r = max(8 * ((size - len(head) - 4) // columns - 1), 0)
    body = head + uv(r) + (b"\x04" + bits(r)) * columns
    cells = columns * (r + 1)
    return Doc(f"table {columns} bool cols", body, cells, "cells", size_budget(len(body)),
               predicted_bytes=r * (DICT_BYTES + 24 * columns), uncharged=r)


def sparse_bools(size: int, columns: int = 16) -> Doc:
    """A sparse table of `columns` bitmap columns, every other row present, bool cells."""
    head = b"\x0d" + uv(columns) + b"".join(name3(i) for i in range(columns))
    per_col = (size - len(head) - 4) // columns - 2
    n = max(8 * (per_col * 2 // 3) // 8 * 8, 16) // 16 * 16
    bitmap = b"\x55" * (n // 8)
    p = n // 2
    body = head + uv(n) + (b"\x01" + bitmap + b"\x04" + bits(p)) * columns
    charge = 2 * n + columns * (p + 1)
    return Doc(f"sparse {columns} bitmap cols", body, charge, "cells", size_budget(len(body)),
               predicted_bytes=n * (DICT_BYTES + 12 * columns))


def chain_scaled(size: int, depth: int = 4) -> Doc:
    """A typed array whose column is `depth` nested object columns over bool bits:
    the charges multiply with depth at no cost in bytes."""
    n = 8 * (size - 3 * depth - 8)
    body, charge = chain_typed_array(n, depth)
    return Doc(f"object-column chain x{depth}", body, charge, "cells", size_budget(len(body)),
               predicted_bytes=depth * n * DICT_BYTES)


# --------------------------------------------------------------------------
# 3. Expansion budget


def ref_big_list(over: bool) -> Doc:
    """An anchored list of 4095 ints (a copy costs 4096) referenced 4096 times:
    exactly 16,777,216; one more reference fails."""
    refs = 4096 + over
    body = (b"\x07" + uv(refs + 1) + b"\x0a\x07" + uv(4095) + b"\x80" * 4095
            + b"\x0b\x00" * refs)
    err = ("reference expansion too large", len(body) + 2) if over else None
    return Doc("4095-list x 4096 refs" + (" +1" if over else ""), body, 4096 * refs,
               "slots", EXPAND, err, predicted_bytes=refs * 4096 * SLOT_BYTES)


def _expansion_plan(nested: bool, leaf: int, over: bool) -> tuple[bytes, int]:
    """Anchors each holding two copies of the previous one (flat: [ref a, ref a];
    nested: [definition of a, ref a]), then references chosen greedily so that the
    copies cost exactly the expansion budget; `over` adds one reference costing 1."""
    items: list[bytes] = [b"\x0a\x07\x00"]  # anchor 0: the empty list, a copy costs 1
    spent = 0
    # sizes[j] = cost of one copy of level j
    sizes = [leaf + 1]
    per_level = 1 if nested else 2  # copies made while defining the next level
    build = 0
    while build + per_level * sizes[-1] + (3 + 2 * sizes[-1]) <= EXPAND:
        build += per_level * sizes[-1]
        sizes.append(3 + 2 * sizes[-1])
    levels = len(sizes)
    leaf_def = b"\x0a\x07" + uv(leaf) + b"\x80" * leaf
    if not nested:
        slots = list(range(1, 1 + levels))  # level j is anchor 1 + j
        items.append(leaf_def)
        for j in range(1, levels):
            a = uv(slots[j - 1])
            items.append(b"\x0a\x07\x02\x0b" + a + b"\x0b" + a)
            spent += 2 * sizes[j - 1]
    else:
        # Outermost first: level levels-1 is anchor 1, level 0 is anchor `levels`.
        slots = [levels - j for j in range(levels)]
        enc = leaf_def
        for j in range(1, levels):
            enc = b"\x0a\x07\x02" + enc + b"\x0b" + uv(slots[j - 1])
            spent += sizes[j - 1]
        items.append(enc)
    nxt = 1 + levels
    left = EXPAND - spent
    for j in reversed(range(levels)):
        while sizes[j] <= left:
            items.append(b"\x0b" + uv(slots[j]))
            left -= sizes[j]
    if left > 0:  # an anchored list of left - 1 ints, copied once
        items.append(b"\x0a\x07" + uv(left - 1) + b"\x80" * (left - 1))
        items.append(b"\x0b" + uv(nxt))
        left = 0
    if over:
        items.append(b"\x0b\x00")
    body = b"\x07" + uv(len(items)) + b"".join(items)
    return body, EXPAND + over


def ref_doubling(nested: bool, over: bool) -> Doc:
    body, units = _expansion_plan(nested, 1000, over)
    err = ("reference expansion too large", len(body) + 2) if over else None
    kind = "nested anchors" if nested else "doubling anchors"
    return Doc(f"{kind} at expansion budget" + (" +1" if over else ""), body, units, "slots",
               EXPAND, err, predicted_bytes=EXPAND * SLOT_BYTES)


def refs_scaled(size: int, width: int = 10) -> Doc:
    """N references to an anchored list of `width` ints; N grows with the input."""
    n = max((size - width - 8) // 2, 1)
    body = (b"\x07" + uv(n + 1) + b"\x0a\x07" + uv(width) + b"\x80" * width
            + b"\x0b\x00" * n)
    units = n * (width + 1)
    err = ("reference expansion too large", None) if units > EXPAND else None
    return Doc(f"refs to {width}-list", body, units, "slots", EXPAND, err,
               predicted_bytes=n * (width * SLOT_BYTES + 80))


# --------------------------------------------------------------------------
# 4. Nesting


def _nesting(name: str, label: str, unit: bytes, levels: int, at: int) -> Callable[[int], Doc]:
    """The builder of k containers of one kind, each `unit` (adding `levels`
    levels of depth) holding the next, the innermost an int: past MAX_DEPTH it
    fails with "nesting too deep" `at` bytes into the unit that crosses it."""

    def build(k: int) -> Doc:
        body = unit * k + b"\x80"
        crossed = 2 + len(unit) * (MAX_DEPTH // levels) + at
        err = None if levels * k <= MAX_DEPTH else ("nesting too deep", crossed)
        return Doc(f"{label} {k} deep", body, levels * k, "levels", MAX_DEPTH, err)

    build.__name__ = build.__qualname__ = name
    return build


# name, label, unit, levels of depth per unit, offset of the refusal in the unit that crosses
# (tables and sparse tables: a table in the one value column of the one before, two levels
# each; at depth 512 the column (513) fails at its kind byte)
nest_arrays = _nesting("nest_arrays", "arrays", b"\x07\x01", 1, 2)
nest_objects = _nesting("nest_objects", "objects", b"\x08\x01\x40", 1, 3)
nest_anchors = _nesting("nest_anchors", "anchors", b"\x0a", 1, 1)
nest_tables = _nesting("nest_tables", "tables-in-values", b"\x09\x01\x40\x01\x00", 2, 4)
nest_sparse = _nesting("nest_sparse", "sparse-in-values", b"\x0d\x01\x40\x01\x00\x00", 2, 5)
nest_sparse_bitmap = _nesting("nest_sparse_bitmap", "sparse-bitmap-in-values",
                              b"\x0d\x01\x40\x01\x01\x01\x00", 2, 6)


def nest_object_columns(k: int) -> Doc:
    """A typed array of one cell whose column is k nested object columns over a
    bool leaf: the leaf column sits at depth k + 1."""
    body = b"\x0c\x01" + b"\x05\x01\x40" * k + b"\x04\x01"
    err = None if k + 1 <= MAX_DEPTH else ("nesting too deep", 2 + 2 + 3 * k)
    return Doc(f"object columns {k} deep", body, k + 1, "levels", MAX_DEPTH, err)


def deep_copy_doc(total: int) -> Doc:
    """A reference whose copy reaches `total` levels: anchors of nested lists
    around a reference to the previous anchor, each adding up to 500 levels."""
    chunks = []
    left = total
    while left > 0:
        c = min(500, left)
        chunks.append(c)
        left -= c
    items = []
    for j, c in enumerate(chunks):
        inner = b"\x07\x00" if j == 0 else b"\x0b" + uv(j - 1)
        items.append(b"\x0a" + b"\x07\x01" * c + inner)
    items.append(b"\x0b" + uv(len(chunks) - 1))
    body = b"\x07" + uv(len(items)) + b"".join(items)
    err = None if total <= MAX_COPY_DEPTH else ("nesting too deep", 0)
    return Doc(f"reference copy {total} deep", body, total, "levels", MAX_COPY_DEPTH, err)


# --------------------------------------------------------------------------
# 5. Name lists


def names_distinct(size: int) -> Doc:
    """A header of N distinct equal-length (3-byte) names over a table of no rows."""
    n = max((size - 8) // 5, 17)
    body = b"\x09" + uv(n) + b"".join(name3(i) for i in range(n)) + b"\x00" + b"\x04" * n
    return Doc("header, distinct 3-byte names", body, n, "names", len(body),
               predicted_bytes=n * 150)


def names_mixed(size: int) -> Doc:
    """Distinct names of mixed lengths (decimal numerals)."""
    names = []
    total = 0
    i = 0
    while total < size - 16:
        nm = sstr(str(i).encode())
        names.append(nm)
        total += len(nm) + 1
        i += 1
    body = b"\x09" + uv(len(names)) + b"".join(names) + b"\x00" + b"\x04" * len(names)
    return Doc("header, distinct mixed-length names", body, len(names), "names", len(body),
               predicted_bytes=len(names) * 150)


def names_prefix(size: int) -> Doc:
    """Distinct 28-byte names sharing a 22-byte prefix: every probe collision compares bytes."""
    n = max((size - 8) // 30, 17)
    names = [sstr(b"p" * 22 + f"{i:06d}".encode()) for i in range(n)]
    body = b"\x09" + uv(n) + b"".join(names) + b"\x00" + b"\x04" * n
    return Doc("header, long common-prefix names", body, n, "names", len(body),
               predicted_bytes=n * 200)


def names_duplicate_last(size: int) -> Doc:
    """N distinct names, then the first one again: fails at the very end of the header."""
    n = max((size - 8) // 5, 17)
    names = [name3(i) for i in range(n - 1)] + [name3(0)]
    head = b"\x09" + uv(n) + b"".join(names)
    body = head + b"\x00" + b"\x04" * n
    text = name3(0)[1:].decode()
    return Doc("header, duplicate last name", body, n, "names", len(body),
               ("duplicate column '" + text + "'", 2 + len(head)), predicted_bytes=n * 150)


def names_pool_long(size: int, count: int) -> Doc:
    """`count` long pooled strings of equal length differing only in their last
    byte, then as many table headers as fit, each naming all of them by pool
    reference. Comparing or hashing a name costs its length, not the 2 bytes of
    the reference."""
    half = size // 2
    length = max(half // count - 4, 32)
    strings = [b"q" * (length - 1) + bytes([0x21 + i]) for i in range(count)]
    pool = b"".join(sstr(t) for t in strings)
    table = (b"\x09" + uv(count) + b"".join(b"\x06" + uv(i) for i in range(count))
             + b"\x00" + b"\x04" * count)
    tables = max((size - len(pool) - 8) // len(table), 1)
    body = b"\x07" + uv(count + tables) + pool + table * tables
    if count <= 16:
        work = tables * count * (count - 1) // 2 * length  # bytes compared
    else:
        work = tables * count * length  # bytes hashed
    return Doc(f"headers of {count} pooled long names", body, tables * count, "names",
               len(body), note=f"{work / 1e6:.0f} MB of name bytes {'compared' if count <= 16 else 'hashed'}",
               predicted_bytes=tables * 100)


# --------------------------------------------------------------------------
# 6. Strings and the pool


def pool_entries(size: int) -> Doc:
    n = max((size - 6) // 3, 1)
    body = b"\x07" + uv(n) + b"\x42ab" * n
    return Doc("pool entries (2-byte strings)", body, n, "strings", len(body),
               predicted_bytes=n * 90)


def pool_refs(size: int) -> Doc:
    n = max((size - 9) // 2, 1)
    body = b"\x07" + uv(n + 1) + b"\x42ab" + b"\x06\x00" * n
    return Doc("refs to one pool entry", body, n, "refs", len(body), predicted_bytes=n * 8)


def long_string_refs(size: int) -> Doc:
    length = size // 2
    n = max((size - length - 12) // 2, 1)
    body = b"\x07" + uv(n + 1) + sstr(b"z" * length) + b"\x06\x00" * n
    return Doc("refs to one long string", body, n, "refs", len(body),
               predicted_bytes=n * 8 + length)


# --------------------------------------------------------------------------
# 7. Announcements: counts that claim every remaining byte


def rest_count(size: int, used: int) -> int:
    """The count that, written after `used` bytes of a `size`-byte body, announces every byte
    after it (its own varint length included in the reckoning)."""
    for v in range(1, 6):
        count = size - (used + v)
        if vlen(count) == v:
            return count
    raise ValueError(size)


def announce_arrays(size: int, levels: int = 512) -> Doc:
    """`levels` nested arrays, each announcing every byte after its count; the
    innermost is then filled with small ints and the next-outer array finds
    the input ended. Only the outermost may be pre-sized."""
    size = max(size, 1600)
    out = bytearray()
    for _ in range(levels):
        count = rest_count(size, len(out) + 1)
        out += b"\x07" + uv(count)
    out += b"\x80" * (size - len(out))
    err = ("truncated input", size + 2) if levels > 1 else None
    announced = size * levels
    return Doc(f"{levels} arrays announcing all bytes", bytes(out), announced, "slots",
               MAX_DEPTH * size, err, predicted_bytes=size * SLOT_BYTES * 2)


def fill_string(n: int) -> bytes:
    """A string value of exactly n >= 1 encoded bytes."""
    if n <= 32:
        return bytes([0x40 | (n - 1)]) + b"x" * (n - 1)
    for v in range(1, 6):
        if vlen(n - 1 - v) == v:
            return b"\x05" + uv(n - 1 - v) + b"x" * (n - 1 - v)
    raise ValueError(n)


def announce_objects(size: int, levels: int = 512) -> Doc:
    """`levels` nested objects, each announcing every byte after its count; the
    innermost holds one entry whose string fills the input, then needs a second key."""
    size = max(size, 2600)
    out = bytearray()
    for i in range(levels):
        count = rest_count(size, len(out) + 1)
        out += b"\x08" + uv(count) + (b"\x40" if i < levels - 1 else b"")
    out += b"\x41\x00" + fill_string(size - len(out) - 2)
    body = bytes(out)
    return Doc(f"{levels} objects announcing all bytes", body, size * levels, "slots",
               MAX_DEPTH * size, ("truncated input", len(body) + 2), predicted_bytes=size * 64)


def _announce_nested(size: int, prefix: bytes, suffix: bytes, room: Callable[[int], int],
                     charge: Callable[[int], int]) -> tuple[bytes, list[int], int]:
    """256 levels of prefix + uv(count) + suffix, each a container whose first
    cell is the next level (two levels of depth each), each announcing the
    largest count that its bound (8 x the unread bytes) and what the size budget
    has left (`room`) allow; then a string cell filling the input to `size`,
    after which the innermost level finds the input ended."""
    counts = [1] * (MAX_DEPTH // 2)
    for _ in range(30):
        head = sum(len(prefix) + vlen(c) + len(suffix) for c in counts)
        total = max(size, head + 1)
        budget = size_budget(total)
        new = []
        pos = 0
        for c_old in counts:
            pos += len(prefix) + vlen(c_old)
            c = min(8 * (total - pos), room(budget), 0x7FFFFFFF)
            if c < 1:
                break  # the budget is spent: no further level could start
            budget -= charge(c)
            new.append(c)
            pos += len(suffix)
        if new == counts:
            break
        counts = new
    body = b"".join(prefix + uv(c) + suffix for c in counts)
    body += fill_string(total - len(body))
    assert len(body) == total
    return body, counts, size_budget(total)


def announce_typed_arrays(size: int) -> Doc:
    body, counts, bound = _announce_nested(size, b"\x0c", b"\x00", lambda b: b - 1,
                                           lambda c: c + 1)
    return Doc("nested typed arrays announcing 8x", body, sum(counts), "slots", bound,
               ("truncated input", len(body) + 2), predicted_bytes=sum(counts) * SLOT_BYTES,
               note=f"{len(counts)} levels")


def announce_tables(size: int) -> Doc:
    body, counts, bound = _announce_nested(size, b"\x09\x01\x40", b"\x00",
                                           lambda b: b - 1, lambda c: c + 1)
    return Doc("nested tables announcing 8x rows", body, sum(counts), "row dicts", bound,
               ("truncated input", len(body) + 2), predicted_bytes=sum(counts) * DICT_BYTES,
               note=f"{len(counts)} levels")


def announce_sparse(size: int) -> Doc:
    body, counts, bound = _announce_nested(size, b"\x0d\x01\x40", b"\x00\x00",
                                           lambda b: (b - 1) // 3, lambda c: 3 * c + 1)
    return Doc("nested sparse announcing 8x rows", body, sum(3 * c + 1 for c in counts), "cells",
               bound, ("truncated input", len(body) + 2),
               predicted_bytes=sum(counts) * 80, note=f"{len(counts)} levels")


def spend_down(leftover: int, tail: bytes, pad: int = 100 * KB) -> tuple[bytes, int]:
    """Nested typed arrays of value columns whose charges leave exactly `leftover`
    of the size budget; the innermost one's first cell is `tail`, its second a
    string of `pad` bytes, and the input ends before its third. Cheap: the
    charges only pre-size lists of empty slots. Returns the body and the offset
    of the tail in the document."""
    counts: list[int] = []
    for _ in range(30):
        head = sum(2 + vlen(c) for c in counts)
        total = head + len(tail) + pad
        need = size_budget(total) - leftover
        new = []
        pos = 0
        while need > 0:
            vl = vlen(counts[len(new)]) if len(new) < len(counts) else 1
            pos += 1 + vl
            c = min(8 * (total - pos), 0x7FFFFFFF, need - 1)
            if 0 < need - (c + 1) < 4:
                c = need - 5  # leave at least 3 cells for the innermost array
            new.append(c)
            need -= c + 1
            pos += 1
        if new == counts:
            break
        counts = new
    assert 2 * len(counts) + 2 <= MAX_DEPTH
    levels = b"".join(b"\x0c" + uv(c) + b"\x00" for c in counts)
    assert counts[-1] >= 2
    body = levels + tail + fill_string(pad)
    assert size_budget(len(body)) - sum(c + 1 for c in counts) == leftover
    return body, 2 + len(levels)


# --------------------------------------------------------------------------
# 8. Dictionary-string columns


def dict_big(size: int) -> Doc:
    """A dictionary of D distinct strings for a single cell."""
    d = max((size - 10) // 4, 1)
    body = b"\x0c\x01\x03" + uv(d) + b"".join(name3(i) for i in range(d)) + b"\x00"
    return Doc("dict column, D entries, 1 cell", body, d, "entries", len(body),
               predicted_bytes=d * 130)


def dict_ref_entries(size: int) -> Doc:
    """A dictionary of D entries that are all pool references to one long string."""
    length = min(1000, size // 4)
    d = max((size - length - 12) // 2, 1)
    body = (b"\x07\x02" + sstr(b"w" * length) + b"\x0c\x01\x03" + uv(d) + b"\x06\x00" * d
            + b"\x00")
    return Doc("dict column, D pool-ref entries", body, d, "entries", len(body),
               predicted_bytes=d * 40)


def dict_many_cells(size: int) -> Doc:
    n = max(size - 10, 1)
    body = b"\x0c" + uv(n) + b"\x03\x01\x42ab" + b"\x00" * n
    return Doc("dict column, 1 entry, n cells", body, n + 1, "cells", size_budget(len(body)),
               predicted_bytes=n * SLOT_BYTES)


def delta_ints(size: int) -> Doc:
    n = max(size - 8, 1)
    body = b"\x0c" + uv(n) + b"\x01" + b"\x02" * n
    return Doc("delta-int column", body, n + 1, "cells", size_budget(len(body)),
               predicted_bytes=n * 40)


# --------------------------------------------------------------------------
# Sets of documents


# The documents at the format's limits: (family, builder, made for a full run only). Each
# document carries its expected verdict (Doc.error: None for a result).
FIXED: list[tuple[str, Callable[[], Doc], bool]] = [
    ("size budget", lambda: at_budget("typed array", chain_typed_array, 500, False), False),
    ("size budget", lambda: at_budget("typed array", chain_typed_array, 500, True), False),
    # each of these makes ~4.3 million dicts
    *(("size budget", (lambda lb=label, m=main, o=over: at_budget(lb, m, 500, o)), True)
      for label, main in (("table", chain_table), ("sparse table", chain_sparse),
                          ("sparse bitmap", chain_sparse_bitmap))
      for over in (False, True)),
    *(("expansion", (lambda o=over: ref_big_list(o)), False) for over in (False, True)),
    *(("expansion", (lambda n=nested, o=over: ref_doubling(n, o)), False)
      for nested in (False, True) for over in (False, True)),
    *(("nesting", (lambda b=build, k=k: b(k)), False)
      for build, deepest in ((nest_arrays, 512), (nest_objects, 512), (nest_anchors, 512),
                             (nest_tables, 256), (nest_sparse, 256), (nest_sparse_bitmap, 256),
                             (nest_object_columns, 511), (deep_copy_doc, MAX_COPY_DEPTH))
      for k in (deepest, deepest + 1)),
]


def fixed_docs(quick: bool = False) -> list[Doc]:
    """The documents of FIXED, those for a full run left out when quick."""
    docs = []
    for family, build, full_only in FIXED:
        if quick and full_only:
            continue
        d = build()
        d.family = family
        docs.append(d)
    return docs


def default_cells(total_len: int) -> int:
    from wexo import _ext
    return _ext.CELLS_PER_BYTE * total_len + _ext.CELLS_BASE


def default_copies(total_len: int) -> int:
    from wexo import _ext
    return _ext.COPIES_PER_BYTE * total_len + _ext.COPIES_BASE


def at_default_cells(label: str, main: Callable[[int, int], tuple[bytes, int]], depth: int,
                     pad: int) -> Doc:
    """[main(n), a string of `pad` bytes] with the largest n whose cells fit wexo.loads's
    default max_cells for the document's size: the most a document that size may build.
    max_cells counts the rows (or the typed array's slots) and the dicts of every object
    level: (depth + 1) x n."""
    def build(n: int) -> tuple[bytes, int]:
        body, _ = main(n, depth)
        return b"\x07\x02" + body + sstr(b"p" * pad), (depth + 1) * n

    lo, hi = 1, 1 << 24
    while lo < hi:
        mid = (lo + hi + 1) // 2
        body, charge = build(mid)
        if charge <= default_cells(2 + len(body)):
            lo = mid
        else:
            hi = mid - 1
    body, charge = build(lo)
    return Doc(f"{label} at default max_cells", body, charge, "cells",
               default_cells(2 + len(body)), note=f"{depth} object levels x {lo} rows")


def bit_table_at_default(columns: int, pad: int) -> Doc:
    """[a table of r rows and `columns` bit columns, a string of `pad` bytes] with the largest
    r whose row dicts fit the default max_cells, or the bits the document can hold: bit cells
    cost no limit, so with 4 columns or more the rows are bounded by the bytes alone."""
    names = b"".join(sstr(bytes([0x61 + k])) for k in range(columns))

    def build(r: int) -> bytes:
        cols = (b"\x04" + bits(r)) * columns
        return b"\x07\x02\x09" + uv(columns) + names + uv(r) + cols + sstr(b"p" * pad)

    lo, hi = 1, 1 << 22
    while lo < hi:
        mid = (lo + hi + 1) // 2
        body = build(mid)
        if mid <= default_cells(2 + len(body)) and 2 + len(body) < 64 * 1024:
            lo = mid
        else:
            hi = mid - 1
    body = build(lo)
    return Doc(f"table of {columns} bit columns at default max_cells", body, lo, "cells",
               default_cells(2 + len(body)), note=f"{lo} rows x {columns} bools",
               predicted_bytes=lo * DICT_BYTES)


def wide_table_announced(size: int) -> Doc:
    """A table of k names announcing r rows, then nothing: k x r entries if its rows were
    pre-sized with every name. Under wexo.loads's limits they are not (k x r exceeds what the
    remaining bytes can fill), and the document fails small."""
    k = size // 4
    names = b"".join(b"\x43" + bytes([48 + i // 5625, 48 + (i // 75) % 75, 48 + i % 75])
                     for i in range(k))
    r = size // 40
    body = b"\x09" + uv(k) + names + uv(r) + b"\x00" * r
    return Doc("wide table announced, nothing after", body, k * r, "entries", k * r,
               ("truncated input", None), note=f"{k} names x {r} rows")


def at_default_copies(size: int) -> Doc:
    """An anchored list of m one-key dicts ({"k": None}: 2 slots, about 200 bytes each
    copied) and about size / 4 references to it, m as large as wexo.loads's default
    max_copies allows for the document's size."""
    r = max(size // 4, 1)

    def build(m: int) -> bytes:
        return (b"\x07" + uv(r + 1) + b"\x0a\x07" + uv(m) + b"\x08\x01\x41k\x00" * m
                + b"\x0b\x00" * r)

    m = 0
    while (r * (3 * (m + 1) + 1) <= default_copies(2 + len(build(m + 1)))):
        m += 1
    body = build(m)
    return Doc("one-key dicts copied at default max_copies", body, r * (3 * m + 1), "slots",
               default_copies(2 + len(body)), note=f"{r} refs to {m} dicts")


def limit_docs() -> list[Doc]:
    """Documents at wexo.loads's default limits, about 1 KB and 60 KB."""
    docs = []
    for pad in (0, 56 * KB):
        docs += [at_default_cells("table", chain_table, 1, pad),
                 at_default_cells("typed array", chain_typed_array, 1, pad),
                 at_default_cells("typed array", chain_typed_array, 500, pad),
                 at_default_cells("sparse table", chain_sparse, 1, pad),
                 bit_table_at_default(1, pad), bit_table_at_default(4, 0),
                 at_default_copies(max(pad, 1 * KB))]
    docs += [bit_table_at_default(4, 1 * KB), bit_table_at_default(8, 0),
             wide_table_announced(40 * KB)]
    for d in docs:
        d.family = "at default limits"
    return docs


SCALED: list[tuple[str, Callable[[int], Doc]]] = [
    ("bool typed array", bool_array),
    ("delta-int column", delta_ints),
    ("table 16 bool cols", table_bools),
    ("sparse 16 bitmap cols", sparse_bools),
    ("object-column chain x4", chain_scaled),
    ("refs to 10-list", refs_scaled),
    ("names distinct", names_distinct),
    ("names mixed", names_mixed),
    ("names prefix", names_prefix),
    ("names duplicate last", names_duplicate_last),
    ("names pooled long x16", lambda s: names_pool_long(s, 16)),
    ("names pooled long x17", lambda s: names_pool_long(s, 17)),
    ("pool entries", pool_entries),
    ("pool refs", pool_refs),
    ("long string refs", long_string_refs),
    ("dict big", dict_big),
    ("dict pool-ref entries", dict_ref_entries),
    ("dict many cells", dict_many_cells),
    ("announce arrays", announce_arrays),
    ("announce objects", announce_objects),
    ("announce typed arrays", announce_typed_arrays),
    ("announce tables", announce_tables),
    ("announce sparse", announce_sparse),
]


def scaled_docs(scales: list[int]) -> list[Doc]:
    docs = []
    for family, build in SCALED:
        for sz in scales:
            d = build(sz)
            d.family = family
            d.scale = sz
            docs.append(d)
    return docs
