"""The reference decoder: a reading of a WEXO document in Python, written for clarity.

It makes the same checks in the same order as the native decoder and stops at the first
failure with the same message and offset; the tests hold the two to each other. On request it
also records a line per value and column it reads (what the inspect command lists) and counts
what it reads by kind (its summary).
"""

from __future__ import annotations

import dataclasses
import struct
import sys
from typing import Any, Callable

from .._format import (
    COL_BOOL_BITS,
    COL_NAMES,
    COL_OBJECT,
    DOC_MAGIC,
    DOC_VERSION,
    EXPAND_BUDGET,
    MAX_COPY_DEPTH,
    MAX_COUNT,
    MAX_DEPTH,
    MAX_SCALE,
    POOL_MIN_LEN,
    PRESENCE_ALL,
    PRESENCE_BITMAP,
    SIZE_BUDGET_BASE,
    SIZE_BUDGET_PER_BYTE,
    TAG_SPARSE,
    TAG_STR,
    TAG_STR_REF,
    decimal_cell,
    float_result,
    unzigzag,
    wrap64,
)

_unpack_double = struct.Struct("<d").unpack_from
_PREVIEW = 6  # cells shown for a scalar column
_TEXT = 40  # characters shown of a string


# What each tag below 0x0E holds, for the summary.
_TAG_KINDS = ("null", "false", "true", "int", "float", "str", "str (pool reference)", "array",
              "object", "table", "anchor", "anchor reference", "typed array", "sparse table")


class DecodeFailure(Exception):
    """The first failure of a document: the decoder's message and absolute offset."""

    def __init__(self, message: str, offset: int) -> None:
        super().__init__(f"wexo: offset {offset}: {message}")
        self.message = message
        self.offset = offset


@dataclasses.dataclass
class Line:
    offset: int
    level: int
    text: str


class _Refused(Exception):
    """An anchor copy ran out of the expansion budget."""


def show(value: Any) -> str:
    """A short view of a decoded value."""
    if isinstance(value, str):
        text = value if len(value) <= _TEXT else value[:_TEXT] + "…"
        escaped = text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")
        return f'"{escaped}"'
    if isinstance(value, list):
        return f"[{len(value)} items]"
    if isinstance(value, dict):
        return f"{{{len(value)} keys}}"
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "true" if value else "false"
    return repr(value)


def _preview(cells: list[Any]) -> str:
    shown = ", ".join(show(c) for c in cells[:_PREVIEW])
    return f"[{shown}, …]" if len(cells) > _PREVIEW else f"[{shown}]"


class Walker:
    """Decodes one document; with listing=True it also records one Line per value and column.

    max_cells and max_copies are wexo.loads's limits: max_cells counts the dicts that tables,
    sparse tables and object columns make and the slots of typed arrays other than bit arrays,
    max_copies lowers the copy budget where it is lower.
    None leaves the format's own budgets only.
    """

    def __init__(
        self,
        data: bytes,
        listing: bool = False,
        max_cells: int | None = None,
        max_copies: int | None = None,
        tally: bool = False,
    ) -> None:
        self.buf = data
        self.len = len(data)
        self.pos = 2
        self.pool: list[str] = []
        self.anchors: list[Any] = []
        self.filled: list[bool] = []
        self.expand_budget = EXPAND_BUDGET
        self.size_budget = self.len * SIZE_BUDGET_PER_BYTE + SIZE_BUDGET_BASE
        self.copy_limit: int | None = None  # max_copies, where it is below the format's budget
        if max_copies is not None and max_copies < self.expand_budget:
            self.expand_budget = self.copy_limit = max_copies
        self.cell_limit = max_cells
        self.cell_budget = max_cells
        self.lines: list[Line] | None = [] if listing else None
        self.level = 0
        # With tally: how many of each kind of value, column and reference were read.
        self.tally: dict[str, list[int]] | None = {} if tally else None
        self.start_budgets = (self.size_budget, self.expand_budget)

    def count_kind(self, kind: str, cells: int = 0) -> None:
        if self.tally is not None:
            entry = self.tally.setdefault(kind, [0, 0])
            entry[0] += 1
            entry[1] += cells

    # Listing.

    def note(self, offset: int, text: str) -> Line | None:
        if self.lines is None:
            return None
        line = Line(offset, self.level, text)
        self.lines.append(line)
        return line

    # The document.

    def run(self) -> Any:
        b = self.buf
        if self.len < 2 or b[0] != DOC_MAGIC:
            raise DecodeFailure("not a WEXO binary document", 0)
        if b[1] != DOC_VERSION:
            raise DecodeFailure(f"unsupported binary version {b[1]}", 1)
        self.note(0, f"prologue, version {DOC_VERSION}")
        result = self.value(0, "")
        if self.pos != self.len:
            raise DecodeFailure("trailing data", self.pos)
        return result

    # Primitives.

    def remaining(self) -> int:
        return max(self.len - self.pos, 0)

    def uvarint(self) -> int:
        start = self.pos
        n = 0
        for i in range(10):
            if self.pos >= self.len:
                raise DecodeFailure("truncated input", start)
            byte = self.buf[self.pos]
            self.pos += 1
            if i == 9 and byte > 1:
                raise DecodeFailure("varint overflows 64 bits", start)
            n |= (byte & 0x7F) << (7 * i)
            if byte < 0x80:
                return n
        raise AssertionError("the tenth byte ends every varint")

    def count(self, per_byte: int = 1) -> int:
        n = self.uvarint()
        if n > MAX_COUNT or n > per_byte * self.remaining():
            raise DecodeFailure("truncated input", self.pos)
        return n

    def sint(self) -> int:
        return unzigzag(self.uvarint())

    # Values.

    def value(self, depth: int, label: str) -> Any:
        at = self.pos
        if depth > MAX_DEPTH:
            raise DecodeFailure("nesting too deep", at)
        if at >= self.len:
            raise DecodeFailure("truncated input", at)
        t = self.buf[at]
        self.pos += 1
        if self.tally is not None:
            if t <= TAG_SPARSE:
                self.count_kind(_TAG_KINDS[t])
            elif t >= 0x80:
                self.count_kind("int (small, in the tag)")
            elif 0x40 <= t <= 0x5F:
                self.count_kind("str (short)")
        if t >= 0x80:
            self.note(at, f"{label}int {t & 0x7F}")
            return t & 0x7F
        if 0x40 <= t <= 0x5F:
            return self.string(t & 0x1F, at, label)
        if t > TAG_SPARSE:
            raise DecodeFailure(f"bad tag 0x{t:02x}", at)
        return self._READERS[t](self, depth, at, label)

    def none(self, depth: int, at: int, label: str) -> None:
        self.note(at, f"{label}null")

    def false(self, depth: int, at: int, label: str) -> bool:
        self.note(at, f"{label}false")
        return False

    def true(self, depth: int, at: int, label: str) -> bool:
        self.note(at, f"{label}true")
        return True

    def int_(self, depth: int, at: int, label: str) -> int:
        n = self.sint()
        self.note(at, f"{label}int {n}")
        return n

    def float_(self, depth: int, at: int, label: str) -> int | float:
        p = self.pos
        if p + 8 > self.len:
            raise DecodeFailure("truncated input", p)
        bits = int.from_bytes(self.buf[p : p + 8], "little")
        if bits & 0x7FFFFFFFFFFFFFFF > 0x7FEFFFFFFFFFFFFF:
            raise DecodeFailure("float is not finite", p)
        self.pos = p + 8
        x = float_result(_unpack_double(self.buf, p)[0])
        self.note(at, f"{label}float {x!r}")
        return x

    def long_str(self, depth: int, at: int, label: str) -> str:
        n = self.count()
        return self.string(n, at, label)

    def body(self, n: int) -> str:
        s = self.pos
        if n > self.len - s:
            raise DecodeFailure("truncated input", s)
        try:
            text = self.buf[s : s + n].decode("utf-8")
        except UnicodeDecodeError:
            raise DecodeFailure("string is not valid UTF-8", s) from None
        self.pos = s + n
        if n >= POOL_MIN_LEN:
            self.pool.append(text)
        return text

    def string(self, n: int, at: int, label: str) -> str:
        text = self.body(n)
        entry = f" (pool #{len(self.pool) - 1})" if n >= POOL_MIN_LEN else ""
        self.note(at, f"{label}str {show(text)}{entry}")
        return text

    def pool_ref(self) -> tuple[int, str]:
        i = self.uvarint()
        if i >= len(self.pool):
            raise DecodeFailure("bad string reference", self.pos)
        return i, self.pool[i]

    def str_ref(self, depth: int, at: int, label: str) -> str:
        i, text = self.pool_ref()
        self.note(at, f"{label}str-ref #{i} {show(text)}")
        return text

    def key(self) -> str:
        at = self.pos
        if at >= self.len:
            raise DecodeFailure("truncated input", at)
        t = self.buf[at]
        self.pos += 1
        if self.tally is not None and (t in (TAG_STR, TAG_STR_REF) or 0x40 <= t <= 0x5F):
            self.count_kind("key (pool reference)" if t == TAG_STR_REF else "key (inline)")
        if t == TAG_STR_REF:
            return self.pool_ref()[1]
        if t == TAG_STR:
            return self.body(self.count())
        if 0x40 <= t <= 0x5F:
            return self.body(t & 0x1F)
        raise DecodeFailure("key must be a string", at)

    def array(self, depth: int, at: int, label: str) -> list[Any]:
        n = self.count()
        self.note(at, f"{label}array n={n}")
        self.level += 1
        items = [self.value(depth + 1, f"[{k}] ") for k in range(n)]
        self.level -= 1
        return items

    def object(self, depth: int, at: int, label: str) -> dict[str, Any]:
        n = self.count()
        self.note(at, f"{label}object n={n}")
        self.level += 1
        result: dict[str, Any] = {}
        for _ in range(n):
            name = self.key()
            v = self.value(depth + 1, f"{show(name)}: ")
            if name in result:
                raise DecodeFailure(f"duplicate key '{name}'", self.pos)
            result[name] = v
        self.level -= 1
        return result

    # Anchors.

    def anchor(self, depth: int, at: int, label: str) -> Any:
        slot = len(self.anchors)
        self.anchors.append(None)
        self.filled.append(False)
        self.note(at, f"{label}anchor #{slot}")
        self.level += 1
        v = self.value(depth + 1, "")
        self.level -= 1
        self.anchors[slot] = v
        self.filled[slot] = True
        return v

    def anchor_ref(self, depth: int, at: int, label: str) -> Any:
        i = self.uvarint()
        if i >= len(self.anchors) or not self.filled[i]:
            raise DecodeFailure("bad anchor reference", self.pos)
        try:
            copy = self.deep_copy(self.anchors[i], 0)
        except _Refused:
            if self.copy_limit is None:
                raise DecodeFailure("reference expansion too large", self.pos) from None
            raise DecodeFailure(f"reference expansion too large: over max_copies={self.copy_limit}"
                                " (max_copies=None lifts it)", self.pos) from None
        self.note(at, f"{label}anchor-ref #{i} {show(copy)}")
        return copy

    def deep_copy(self, x: Any, d: int) -> Any:
        if d > MAX_COPY_DEPTH:
            raise DecodeFailure("nesting too deep", 0)
        if type(x) is list:
            self.expand_budget -= len(x) + 1
            if self.expand_budget < 0:
                raise _Refused
            return [self.deep_copy(e, d + 1) for e in x]
        if type(x) is dict:
            self.expand_budget -= len(x) + 1
            if self.expand_budget < 0:
                raise _Refused
            return {k: self.deep_copy(e, d + 1) for k, e in x.items()}
        return x

    def limit_cells(self, n: int, at: int) -> None:
        """Charges max_cells n dicts of a table, sparse table or object column, or n slots."""
        if self.cell_budget is None:
            return
        self.cell_budget -= n
        if self.cell_budget < 0:
            raise DecodeFailure(f"decoded size too large: over max_cells={self.cell_limit}"
                                " (max_cells=None lifts it)", at)

    # Names.

    def unique_keys(self, count: int, dup: str) -> list[str]:
        names: list[str] = []
        seen: set[str] = set()
        for _ in range(count):
            name = self.key()
            if name in seen:
                raise DecodeFailure(f"{dup} '{name}'", self.pos)
            seen.add(name)
            names.append(name)
        return names

    def header(self) -> list[str]:
        c = self.uvarint()
        if c > MAX_COUNT or c > self.remaining():
            raise DecodeFailure("truncated input", self.pos)
        if c == 0:
            raise DecodeFailure("empty table header", self.pos)
        return self.unique_keys(c, "duplicate column")

    # Typed columns.

    def typed_array(self, depth: int, at: int, label: str) -> list[Any]:
        n = self.count(8)
        if self.size_budget < n + 1:
            raise DecodeFailure("decoded size too large", self.pos)
        if self.pos >= self.len or self.buf[self.pos] != COL_BOOL_BITS:
            self.limit_cells(n, self.pos)  # the list's slots, except for bits
        self.note(at, f"{label}typed-array n={n}")
        self.level += 1
        cells = self.column(n, depth + 1, "")
        self.level -= 1
        return cells

    def column(self, n: int, depth: int, label: str) -> list[Any]:
        at = self.pos
        if depth > MAX_DEPTH:
            raise DecodeFailure("nesting too deep", at)
        self.size_budget -= n + 1
        if self.size_budget < 0:
            raise DecodeFailure("decoded size too large", at)
        return self.kind_and_cells(n, depth, label)

    def kind_and_cells(self, n: int, depth: int, label: str) -> list[Any]:
        at = self.pos
        if at >= self.len:
            raise DecodeFailure("truncated input", at)
        kind = self.buf[at]
        self.pos += 1
        if kind > COL_OBJECT:
            raise DecodeFailure("bad column kind", at)
        line = self.note(at, f"{label}{COL_NAMES[kind]} n={n}")
        self.count_kind(f"column {COL_NAMES[kind]}", n)
        self.level += 1
        cells = self._PAYLOADS[kind](self, n, depth, line)
        self.level -= 1
        return cells

    def values_col(self, n: int, depth: int, line: Line | None) -> list[Any]:
        return [self.value(depth + 1, f"[{k}] ") for k in range(n)]

    def delta_col(self, n: int, depth: int, line: Line | None) -> list[Any]:
        acc = 0
        cells = []
        for _ in range(n):
            acc = wrap64(acc + self.sint())
            cells.append(acc)
        if line is not None:
            line.text += " " + _preview(cells)
        return cells

    def decimal_col(self, n: int, depth: int, line: Line | None) -> list[Any]:
        at = self.pos
        if at >= self.len or self.buf[at] > MAX_SCALE:
            raise DecodeFailure("bad decimal scale", at)
        scale = self.buf[at]
        self.pos += 1
        cells = [decimal_cell(self.sint(), scale) for _ in range(n)]
        if line is not None:
            line.text += f" scale={scale} {_preview(cells)}"
        return cells

    def dict_col(self, n: int, depth: int, line: Line | None) -> list[Any]:
        d = self.uvarint()
        if d > MAX_COUNT or d > self.remaining():
            raise DecodeFailure("truncated input", self.pos)
        entries = [self.key() for _ in range(d)]
        cells = []
        for _ in range(n):
            i = self.uvarint()
            if i >= d:
                raise DecodeFailure("bad dictionary index", self.pos)
            cells.append(entries[i])
        if line is not None:
            line.text += f" D={d} {_preview(cells)}"
        return cells

    def bool_col(self, n: int, depth: int, line: Line | None) -> list[Any]:
        size = (n + 7) // 8
        if self.remaining() < size:
            raise DecodeFailure("truncated input", self.pos)
        bits = self.buf[self.pos : self.pos + size]
        self.pos += size
        cells = [bool(bits[k >> 3] >> (k & 7) & 1) for k in range(n)]
        if line is not None:
            line.text += " " + _preview(cells)
        return cells

    def object_col(self, n: int, depth: int, line: Line | None) -> list[Any]:
        self.limit_cells(n, self.pos - 1)  # at the kind byte
        k = self.uvarint()
        if k > MAX_COUNT or k > self.remaining():
            raise DecodeFailure("truncated input", self.pos)
        if k == 0:
            raise DecodeFailure("empty object column", self.pos)
        names = self.unique_keys(k, "duplicate key")
        if line is not None:
            line.text += " fields " + ", ".join(show(name) for name in names)
        rows: list[dict[str, Any]] = [{} for _ in range(n)]
        for name in names:
            cells = self.column(n, depth + 1, f"{show(name)}: ")
            for row, cell in zip(rows, cells):
                row[name] = cell
        return rows

    # Tables.

    def table(self, depth: int, at: int, label: str) -> list[Any]:
        names = self.header()
        n = self.count(8)
        if self.size_budget < n + 1:
            raise DecodeFailure("decoded size too large", self.pos)
        self.limit_cells(n, self.pos)
        self.note(at, f"{label}table {len(names)} columns x {n} rows")
        self.level += 1
        rows: list[dict[str, Any]] = [{} for _ in range(n)]
        for name in names:
            cells = self.column(n, depth + 1, f"column {show(name)}: ")
            for row, cell in zip(rows, cells):
                row[name] = cell
        self.level -= 1
        return rows

    def sparse(self, depth: int, at: int, label: str) -> list[Any]:
        names = self.header()
        n = self.count(8)
        self.size_budget -= 2 * n
        if self.size_budget < 0:
            raise DecodeFailure("decoded size too large", self.pos)
        self.limit_cells(n, self.pos)
        self.note(at, f"{label}sparse {len(names)} columns x {n} rows")
        self.level += 1
        rows: list[dict[str, Any]] = [{} for _ in range(n)]
        for name in names:
            o = self.pos
            if o >= self.len:
                raise DecodeFailure("truncated input", o)
            flag = self.buf[o]
            self.pos += 1
            label = f"column {show(name)}: "
            if flag == PRESENCE_ALL:
                present = list(range(n))
                cells = self.column(n, depth + 1, label)
            elif flag == PRESENCE_BITMAP:
                present, cells = self.partial(n, depth, label)
            else:
                raise DecodeFailure("bad presence flag", o + 1)
            for r, cell in zip(present, cells):
                rows[r][name] = cell
        self.level -= 1
        return rows

    def partial(self, n: int, depth: int, label: str) -> tuple[list[int], list[Any]]:
        size = (n + 7) // 8
        if self.remaining() < size:
            raise DecodeFailure("truncated input", self.pos)
        bitmap = self.buf[self.pos : self.pos + size]
        self.pos += size
        present = [r for r in range(n) if bitmap[r >> 3] >> (r & 7) & 1]
        p = sum(bin(byte).count("1") for byte in bitmap)
        if p > n or (n % 8 and bitmap[-1] >> (n % 8)):
            raise DecodeFailure("bad presence bitmap", self.pos)
        if depth + 1 > MAX_DEPTH:
            raise DecodeFailure("nesting too deep", self.pos)
        self.size_budget -= p + 1
        if self.size_budget < 0:
            raise DecodeFailure("decoded size too large", self.pos)
        return present, self.kind_and_cells(p, depth + 1, f"{label}{p} of {n} rows, ")

    _READERS: list[Callable[[Walker, int, int, str], Any]] = [
        none,
        false,
        true,
        int_,
        float_,
        long_str,
        str_ref,
        array,
        object,
        table,
        anchor,
        anchor_ref,
        typed_array,
        sparse,
    ]
    _PAYLOADS: list[Callable[[Walker, int, int, Line | None], list[Any]]] = [
        values_col,
        delta_col,
        decimal_col,
        dict_col,
        bool_col,
        object_col,
    ]


def walk(walker: Walker) -> Any:
    """walker.run() with room for the deepest document the format allows."""
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(max(limit, 4 * MAX_COPY_DEPTH + 6 * MAX_DEPTH))
    try:
        return walker.run()
    finally:
        sys.setrecursionlimit(limit)


def loads(
    data: bytes, *, max_cells: int | None = None, max_copies: int | None = None
) -> Any:
    """Decode a document in Python, raising DecodeFailure as the native decoder raises WexoError.

    The limits are those of wexo.loads; None (the default here) leaves the format's own budgets
    only, as wexo_native.loads_binary.
    """
    return walk(Walker(bytes(data), max_cells=max_cells, max_copies=max_copies))
