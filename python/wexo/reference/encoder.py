"""The reference encoder: plain Python trees to the smallest WEXO document it can prove lossless,
byte for byte as the native encoder (wexo.dumps) writes them."""

from __future__ import annotations

import dataclasses
import heapq
import struct
import sys
from collections import Counter
from typing import IO, TYPE_CHECKING, Any, Callable, ClassVar, Sequence

from .._format import (
    COL_BOOL_BITS,
    COL_DECIMAL,
    COL_DELTA_INT,
    COL_DICT_STR,
    COL_OBJECT,
    COL_VALUES,
    EXACT_INT_LIMIT,
    EXPAND_BUDGET,
    MAX_DEPTH,
    MAX_SCALE,
    POOL_MIN_LEN,
    POW10,
    PRESENCE_ALL,
    PRESENCE_BITMAP,
    PROLOGUE,
    SHORT_STR_MAX,
    SIZE_BUDGET_BASE,
    SIZE_BUDGET_PER_BYTE,
    CELLS_BASE,
    CELLS_PER_BYTE,
    COPIES_BASE,
    COPIES_PER_BYTE,
    TAG_ANCHOR,
    TAG_ANCHOR_REF,
    TAG_ARRAY,
    TAG_FALSE,
    TAG_FLOAT,
    TAG_INT,
    TAG_NONE,
    TAG_OBJECT,
    TAG_SHORT_STR,
    TAG_SMALL_INT,
    TAG_SPARSE,
    TAG_STR,
    TAG_STR_REF,
    TAG_TABLE,
    TAG_TRUE,
    TAG_TYPED_ARRAY,
    decimal_cell,
    uvarint,
    uvarint_len,
    wrap64,
    zigzag,
)
from .._ext import CHOICES
from .scan import Scan, scan

_pack_double = struct.Struct("<d").pack
_CONTAINERS = (list, tuple, dict)


class _Choices:
    """What the type checker knows of Options: one bool per choice, named in CHOICES."""

    if TYPE_CHECKING:
        __dataclass_fields__: ClassVar[dict[str, dataclasses.Field[Any]]]

        def __init__(self, **choices: bool) -> None: ...
        def __getattr__(self, name: str) -> bool: ...


# Which encodings the encoder may choose: a frozen dataclass with one bool field per choice of
# the native encoder (wexo._ext.CHOICES), in its order; each is on unless switched off.
if TYPE_CHECKING:

    class Options(_Choices): ...

else:
    Options = dataclasses.make_dataclass(
        "Options",
        [(name, bool, dataclasses.field(default=on)) for name, on, _ in CHOICES],
        bases=(_Choices,),
        frozen=True,
    )
    Options.__module__ = __name__  # make_dataclass takes module= only from 3.12
    Options.__doc__ = "Which encodings the encoder may choose; each is on unless switched off."


def dumps(
    obj: object,
    *,
    default: Callable[[Any], object] | None = None,
    nonfinite: str = "error",
    **choices: bool,
) -> bytes:
    """Encode obj as one WEXO document: the prologue 0F 01, then one value.

    obj is a tree of dict (str keys), list, tuple, str, int (signed 64-bit), float (finite),
    bool and None. Shared containers are allowed, cycles are not. Decoding gives back obj except
    for the format's own conversions: tuples become lists, and a float that is integral and
    below 2**53 in magnitude (-0.0 included) becomes an int.

    Some other types are written as a value of those: datetime.datetime, date and time as
    their ISO 8601 string (an aware time is refused), uuid.UUID as its canonical string, an
    Enum member as its value, a dataclass instance as a dict of its fields in their order.

    - default: called with any other value, and what it returns is written in that value's
      place (converted in turn, up to 254 times in a row). Its exceptions propagate.
    - nonfinite: 'error' (NaN and the infinities raise ValueError) or 'null' (they are
      written as None).

    The other keywords each switch one choice of the encoder off (wexo._ext.CHOICES lists them);
    all are on by default:

    - pool: write a repeated string of 2 or more UTF-8 bytes as a reference to its first
      spelling, where that is shorter.
    - tables: a list of 2 or more dicts with the same keys in the same order as a table.
    - sparse: a list of 2 or more dicts whose keys differ as a sparse table, when one column
      order holds every row's keys in their order and the table comes out smaller.
    - typed_arrays: a list of bools, of numbers or of strings as a typed array, when smaller.
    - delta: integer columns as differences from the cell before.
    - decimal: number columns as integer mantissas over one power of ten, only where the
      decoder's division gives back every cell exactly.
    - dict_str: string columns as indexes into a dictionary of their distinct strings.
    - bool_bits: boolean columns as one bit per cell.
    - object_columns: a column of 2 or more dicts with the same keys as columns of their fields.
    - anchors: a list or dict object that occurs more than once is written once, and referred
      to after that, within the decoder's copy budget and wexo.loads's default limits.

    Column encodings (delta, decimal, dict_str, bool_bits, object_columns) apply to the columns
    of tables and sparse tables, and all but object_columns to typed arrays. Where a column
    has several possible encodings the smallest wins; ties go to plain values.

    The result always decodes under wexo.loads's default limits: where it would make more dicts
    than they allow for its size, object_columns, then bool_bits and sparse, then tables are
    switched off.

    Raises TypeError (unsupported type, non-str key) or ValueError (int out of range, NaN or
    infinity, lone surrogate, cycle, nesting too deep) naming the path of the offending value,
    e.g. $.rows[3].id.
    """
    names = [name for name, _, _ in CHOICES]
    for name in choices:
        if name not in names:
            raise TypeError(f"dumps() got an unexpected keyword argument '{name}'")
    for name in names:
        choice = choices.get(name, True)
        if type(choice) is not bool:
            raise TypeError(f"dumps(): {name} must be True or False, not {type(choice).__name__}")
    options = Options(**choices)
    if default is not None and not callable(default):
        raise TypeError(
            f"dumps(): default must be callable or None, not {type(default).__name__}"
        )
    if not isinstance(nonfinite, str) or nonfinite not in ("error", "null"):
        raise (ValueError if isinstance(nonfinite, str) else TypeError)(
            f"dumps(): nonfinite must be 'error' or 'null', not {nonfinite!r}"
        )
    return encode(obj, options, default, nonfinite == "null")


def dump(obj: object, fp: IO[bytes], **options: Any) -> None:
    """Encode obj as dumps does, with the same keywords, and write the document to fp."""
    fp.write(dumps(obj, **options))


# The choices to switch off in turn. Typed columns charge the format's size budget their cell
# count + 1, and only nested object columns can charge more than the document's length allows.
# wexo.loads's max_cells (by default 2 a byte) counts the dicts of tables, sparse tables and object
# columns and the slots of typed arrays other than bit arrays. Only bit columns, sparse rows and
# object columns make more than one of them per byte of the output: without them every layout
# fits.
_FALLBACKS: list[dict[str, bool]] = [
    {},
    {"object_columns": False},
    {"object_columns": False, "bool_bits": False, "sparse": False},
    {"object_columns": False, "bool_bits": False, "sparse": False, "tables": False},
]


def encode(
    obj: object,
    options: Options,
    default: Callable[[Any], object] | None = None,
    null_nonfinite: bool = False,
) -> bytes:
    """dumps with its options gathered in one record.

    The output fits the format's budgets and wexo.loads's default max_cells for its own size,
    with each rung of _FALLBACKS in turn; the writer keeps its references within the default
    max_copies.
    """
    info = scan(obj, default, null_nonfinite)
    obj = info.root
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(max(limit, 8 * MAX_DEPTH + 1000))
    try:
        for off in _FALLBACKS:
            writer = _Writer(dataclasses.replace(options, **off), info)
            writer.value(obj, 0)
            n = len(writer.out)
            if (writer.charged <= n * SIZE_BUDGET_PER_BYTE + SIZE_BUDGET_BASE
                    and writer.counted <= CELLS_PER_BYTE * n + CELLS_BASE):
                return bytes(writer.out)
    finally:
        sys.setrecursionlimit(limit)
    raise AssertionError("the plainest layout makes no dicts")


def _is_intlike(x: object) -> bool:
    """True for what the decoder hands back as an int: ints, and integral floats below 2**53."""
    t = type(x)
    if t is int:
        return True
    if t is float:
        return -EXACT_INT_LIMIT < x < EXACT_INT_LIMIT and x == int(x)  # type: ignore[operator,call-overload]
    return False


def _header_order(keys: Sequence[tuple[str, ...]]) -> list[str] | None:
    """One column order in which every row's keys appear in their own order, or None.

    A topological order of "a comes right before b in some row", ties broken by first
    appearance, so rows that agree keep their order.
    """
    rank: dict[str, int] = {}
    after: dict[str, set[str]] = {}
    needs: dict[str, int] = {}
    for row in dict.fromkeys(keys):
        for name in row:
            if name not in rank:
                rank[name] = len(rank)
                after[name] = set()
                needs[name] = 0
        for a, b in zip(row, row[1:]):
            if b not in after[a]:
                after[a].add(b)
                needs[b] += 1
    ready = [(rank[name], name) for name, n in needs.items() if n == 0]
    heapq.heapify(ready)
    order: list[str] = []
    while ready:
        _, name = heapq.heappop(ready)
        order.append(name)
        for b in after[name]:
            needs[b] -= 1
            if needs[b] == 0:
                heapq.heappush(ready, (rank[b], b))
    return order if len(order) == len(rank) else None


def _inline_size(n: int) -> int:
    return 1 + n if n <= SHORT_STR_MAX else 1 + uvarint_len(n) + n


class _Writer:
    """Writes one document in the decoder's reading order, mirroring its string pool."""

    def __init__(self, options: Options, info: Scan) -> None:
        self.o = options
        self.info = info
        self.out = bytearray(PROLOGUE)
        self.pool: dict[str, int] = {}  # text -> its lowest pool index
        self.pooled = 0  # entries the decoder's pool will hold at this point
        self.log: list[str | None] | None = None  # pool additions of the trial under way
        self.slots: dict[int, int] = {}  # container id -> anchor slot, once its value is written
        self.n_anchors = 0
        self.expand_left = EXPAND_BUDGET
        self.copied = 0  # slots the references written so far copy (max_copies)
        self.charged = 0  # decoded-size budget used by typed columns and sparse tables
        # What max_cells counts: dicts made by tables, sparse tables and object columns, and
        # slots of typed arrays other than bit arrays.
        self.counted = 0

    # Scalars and strings.

    def text(self, s: str) -> None:
        """A string in any place: value, key, column name, dictionary entry."""
        b = s.encode()
        n = len(b)
        out = self.out
        if n >= POOL_MIN_LEN and self.o.pool:
            index = self.pool.get(s)
            if index is not None and 1 + uvarint_len(index) < _inline_size(n):
                out.append(TAG_STR_REF)
                out += uvarint(index)
                return
            self._pool_add(s)
        if n <= SHORT_STR_MAX:
            out.append(TAG_SHORT_STR | n)
        else:
            out.append(TAG_STR)
            out += uvarint(n)
        out += b

    def _pool_add(self, s: str) -> None:
        if s in self.pool:
            if self.log is not None:
                self.log.append(None)
        else:
            self.pool[s] = self.pooled
            if self.log is not None:
                self.log.append(s)
        self.pooled += 1

    def integer(self, n: int) -> None:
        if 0 <= n <= 0x7F:
            self.out.append(TAG_SMALL_INT | n)
        else:
            self.out.append(TAG_INT)
            self.out += uvarint(zigzag(n))

    def real(self, x: float) -> None:
        # The decoder turns such floats into ints anyway; the int form is shorter.
        if -EXACT_INT_LIMIT < x < EXACT_INT_LIMIT and x == int(x):
            self.integer(int(x))
        else:
            self.out.append(TAG_FLOAT)
            self.out += _pack_double(x)

    # Values.

    def value(self, v: Any, depth: int) -> None:
        t = type(v)
        if t is str:
            self.text(v)
        elif t is int:
            self.integer(v)
        elif t is dict or t is list or t is tuple:
            self.container(v, depth)
        elif v is None:
            self.out.append(TAG_NONE)
        elif v is True:
            self.out.append(TAG_TRUE)
        elif v is False:
            self.out.append(TAG_FALSE)
        elif t is float:
            self.real(v)
        elif isinstance(v, str):
            self.text(str.__str__(v))
        elif isinstance(v, int):
            self.integer(int.__index__(v))
        elif isinstance(v, float):
            self.real(float.__float__(v))
        else:
            self.container(v, depth)

    def container(self, v: Any, depth: int) -> None:
        if v and self.o.anchors:
            key = id(v)
            uses = self.info.uses[key]
            if uses > 1:
                slot = self.slots.get(key)
                if slot is not None:
                    cost = self.info.cost(v)
                    # Within the decoder's copy budget, and within wexo.loads's default
                    # max_copies for the output so far: the output only grows, so the document
                    # stays within the default for its own size.
                    allowed = COPIES_PER_BYTE * len(self.out) + COPIES_BASE
                    if cost <= self.expand_left and self.copied + cost <= allowed:
                        self.expand_left -= cost
                        self.copied += cost
                        self.out.append(TAG_ANCHOR_REF)
                        self.out += uvarint(slot)
                        return
                elif depth + 1 + self.info.height[key] <= MAX_DEPTH:
                    ref = 1 + uvarint_len(self.n_anchors)
                    if (uses - 1) * (self.info.size(v) - ref) > 1:
                        # Reserve the slot first: anchors inside the value get later indices.
                        slot = self.n_anchors
                        self.n_anchors += 1
                        self.out.append(TAG_ANCHOR)
                        self.plain(v, depth + 1)
                        self.slots[key] = slot
                        return
        self.plain(v, depth)

    def plain(self, v: Any, depth: int) -> None:
        out = self.out
        if isinstance(v, dict):
            out.append(TAG_OBJECT)
            out += uvarint(len(v))
            for k, x in v.items():
                self.text(k if type(k) is str else str.__str__(k))
                self.value(x, depth + 1)
            return
        n = len(v)
        if n >= 2 and isinstance(v[0], dict) and (self.o.tables or self.o.sparse):
            if self.rows(v, depth):
                return
        if self.o.typed_arrays and n and not isinstance(v[0], _CONTAINERS):
            if self.typed_array(v):
                return
        out.append(TAG_ARRAY)
        out += uvarint(n)
        for x in v:
            self.value(x, depth + 1)

    # Tables.

    def rows(self, v: Sequence[Any], depth: int) -> bool:
        """Write a list of dicts as a table or sparse table; False when neither fits."""
        if not all(isinstance(r, dict) for r in v):
            return False
        keys = [tuple(r) for r in v]
        first = keys[0]
        if first and self.o.tables and all(k == first for k in keys):
            self.table(v, first, depth)
            return True
        if not self.o.sparse:
            return False
        header = _header_order(keys)
        if not header or not self._sparse_pays(keys, header):
            return False
        self.sparse(v, keys, header, depth)
        return True

    def table(self, rows: Sequence[dict[str, Any]], names: tuple[str, ...], depth: int) -> None:
        out = self.out
        out.append(TAG_TABLE)
        out += uvarint(len(names))
        for name in names:
            self.text(name)
        out += uvarint(len(rows))
        self.counted += len(rows)
        for name in names:
            self.column([r[name] for r in rows], depth + 1)

    def _sparse_pays(self, keys: list[tuple[str, ...]], header: list[str]) -> bool:
        """Whether the sparse layout's fixed cost stays below the keys that objects repeat."""
        n = len(keys)
        counts = Counter(name for row in keys for name in row)
        spelled = sum(_inline_size(len(name.encode())) for name in header)
        bitmap = (n + 7) // 8
        sparse = uvarint_len(len(header)) + spelled + uvarint_len(n)
        sparse += sum(2 + (bitmap if counts[name] < n else 0) for name in header)
        objects = sum(1 + uvarint_len(len(row)) + 2 * len(row) for row in keys)
        objects += spelled - 2 * len(header)
        return sparse < objects

    def sparse(
        self,
        rows: Sequence[dict[str, Any]],
        keys: list[tuple[str, ...]],
        header: list[str],
        depth: int,
    ) -> None:
        out = self.out
        n = len(rows)
        out.append(TAG_SPARSE)
        out += uvarint(len(header))
        for name in header:
            self.text(name)
        out += uvarint(n)
        self.charged += 2 * n
        self.counted += n
        present: dict[str, list[int]] = {name: [] for name in header}
        for r, row in enumerate(keys):
            for name in row:
                present[name].append(r)
        for name in header:
            where = present[name]
            if len(where) == n:
                out.append(PRESENCE_ALL)
                self.column([row[name] for row in rows], depth + 1)
                continue
            bitmap = bytearray((n + 7) // 8)
            for r in where:
                bitmap[r >> 3] |= 1 << (r & 7)
            out.append(PRESENCE_BITMAP)
            out += bitmap
            self.column([rows[r][name] for r in where], depth + 1)

    # Typed columns.

    def column(self, cells: list[Any], depth: int) -> None:
        """One typed column of a table, a sparse table or an object column, at this depth."""
        n = len(cells)
        self.charged += n + 1
        types = {type(c) for c in cells}
        if types == {dict} and n >= 2 and self.o.object_columns:
            names = tuple(cells[0])
            if names and all(tuple(c) == names for c in cells):
                self.object_column(cells, names, depth)
                return
        if types and types <= {bool, int, float, str}:
            data, log = self.best_scalar_column(cells, types, for_array=False)
            self.commit(data, log)
            return
        self.out.append(COL_VALUES)
        for c in cells:
            self.value(c, depth + 1)

    def object_column(
        self, cells: list[dict[str, Any]], names: tuple[str, ...], depth: int
    ) -> None:
        out = self.out
        out.append(COL_OBJECT)
        out += uvarint(len(names))
        self.counted += len(cells)
        for name in names:
            self.text(name)
        for name in names:
            self.column([c[name] for c in cells], depth + 1)

    def typed_array(self, items: Sequence[Any]) -> bool:
        """Write a list of scalars as a typed array if that is smaller than a plain array."""
        if len(items) < 2:
            return False  # one cell never repays the kind byte
        types = {type(x) for x in items}
        if len(types) > 1 and not types <= {int, float}:
            return False
        if not types <= {bool, int, float, str}:
            return False
        data, log = self.best_scalar_column(items, types, for_array=True)
        if data[0] == COL_VALUES:
            return False
        n = len(items)
        self.charged += n + 1
        if data[0] != COL_BOOL_BITS:
            self.counted += n  # max_cells counts the list's slots but for bits
        self.out.append(TAG_TYPED_ARRAY)
        self.out += uvarint(n)
        self.commit(data, log)
        return True

    def best_scalar_column(
        self, cells: Sequence[Any], types: set[type], for_array: bool
    ) -> tuple[bytes, list[str | None]]:
        """The smallest column (kind byte and payload) for scalar cells, not yet written.

        Plain values come first and win ties. For a typed array the plain candidate stands for
        a plain array, which needs no kind byte.
        """
        o = self.o
        plain = self.trial(lambda: self._values(cells))
        found = [plain]
        if types == {bool}:
            if o.bool_bits:
                found.append((_bool_bits(cells), []))
        elif types <= {int, float}:
            ints = all(_is_intlike(x) for x in cells)
            if ints and o.delta:
                found.append((_delta(cells), []))
            if o.decimal:
                dec = _decimal(cells, ints)
                if dec is not None:
                    found.append((dec, []))
        elif types == {str} and o.dict_str:
            found.append(self.trial(lambda: self._dictionary(cells)))
        extra = 1 if for_array else 0
        return min(found, key=lambda c: len(c[0]) + (extra if c[0][0] != COL_VALUES else 0))

    def _values(self, cells: Sequence[Any]) -> None:
        self.out.append(COL_VALUES)
        for c in cells:
            self.value(c, MAX_DEPTH)  # scalars only: the depth is never looked at

    def _dictionary(self, cells: Sequence[str]) -> None:
        # Most frequent first, so the common strings get one-byte indexes.
        counts = Counter(cells)
        entries = sorted(counts, key=lambda s: -counts[s])
        index = {s: i for i, s in enumerate(entries)}
        out = self.out
        out.append(COL_DICT_STR)
        out += uvarint(len(entries))
        for s in entries:
            self.text(s)
        for c in cells:
            out += uvarint(index[c])

    def trial(self, write: Callable[[], None]) -> tuple[bytes, list[str | None]]:
        """What write() writes here, and its pool additions; the pool is left as it was."""
        out, log, pooled = self.out, self.log, self.pooled
        self.out = bytearray()
        self.log = []
        try:
            write()
            return bytes(self.out), self.log
        finally:
            for s in self.log:
                if s is not None:
                    del self.pool[s]
            self.out, self.log, self.pooled = out, log, pooled

    def commit(self, data: bytes, log: list[str | None]) -> None:
        """Write what a trial produced and replay its pool additions."""
        self.out += data
        for s in log:
            if s is not None:
                self.pool[s] = self.pooled
            self.pooled += 1
        if self.log is not None:
            self.log.extend(log)


def _bool_bits(cells: Sequence[bool]) -> bytes:
    bits = bytearray((len(cells) + 7) // 8)
    for k, c in enumerate(cells):
        if c:
            bits[k >> 3] |= 1 << (k & 7)
    return bytes((COL_BOOL_BITS,)) + bits


def _delta(cells: Sequence[int | float]) -> bytes:
    out = bytearray((COL_DELTA_INT,))
    prev = 0
    for c in cells:
        x = int(c)
        out += uvarint(zigzag(wrap64(x - prev)))
        prev = x
    return bytes(out)


def _fits(x: float, scale: int) -> bool:
    if not -EXACT_INT_LIMIT < x < EXACT_INT_LIMIT:
        return False  # the mantissa would pass 2**53
    m = round(x * POW10[scale])
    if abs(m) > EXACT_INT_LIMIT:
        return False
    q = decimal_cell(m, scale)
    return type(q) is float and q == x


def _decimal(cells: Sequence[int | float], ints: bool) -> bytes | None:
    """A decimal column at the smallest scale that gives every cell back exactly, or None."""
    scale = 0
    if not ints:
        for c in cells:
            if _is_intlike(c):
                continue
            while not _fits(float(c), scale):
                scale += 1
                if scale > MAX_SCALE:
                    return None
    out = bytearray((COL_DECIMAL, scale))
    factor = 10**scale
    for c in cells:
        if _is_intlike(c):
            m = int(c) * factor
            want: int | float = int(c)
        else:
            m = round(c * POW10[scale])
            want = c
        if scale and abs(m) > EXACT_INT_LIMIT:
            return None
        got = decimal_cell(m, scale)
        if type(got) is not type(want) or got != want:
            return None
        out += uvarint(zigzag(m))
    return bytes(out)
