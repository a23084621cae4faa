"""Tables straight into Arrow: loads_arrow and read_arrow, with the schema= and mixed= options.

The native reader (wexo._ext.loads_columns) builds the columns; this module asks it through one
helper, _columns, and then gives the table the caller's schema (a vectorised cast per column,
cell by cell only to name the first cell that cannot be converted) or turns columns that mix
kinds into text.
"""

from __future__ import annotations

import datetime as _dt
import io
import json
import mmap
import os
import struct
from typing import TYPE_CHECKING, Any, Callable

if TYPE_CHECKING:
    # pyarrow ships no type information; it is optional besides.
    import pyarrow  # type: ignore[import-untyped, import-not-found, unused-ignore]

from ._native import UNSET, limit_keywords, not_binary

MIXED = ("union", "string", "error")

# Without a schema, dictionary string columns come back as plain strings.
_DICTIONARIES = False

_EPOCH = _dt.datetime(1970, 1, 1)
_EPOCH_UTC = _dt.datetime(1970, 1, 1, tzinfo=_dt.timezone.utc)
_EPOCH_DAY = _dt.date(1970, 1, 1).toordinal()
# Microseconds in one tick of each unit; nanoseconds are the one finer unit.
_TICK_US = {"s": 1_000_000, "ms": 1_000, "us": 1}
_REPR_LIMIT = 60  # characters of a refused value in a message, before it is shortened


class _Batch:
    """One record batch in the Arrow PyCapsule interface, handed over once."""

    __slots__ = ("_capsules",)

    def __init__(self, capsules: tuple[object, object]) -> None:
        self._capsules = capsules

    def __arrow_c_array__(self, requested_schema: object = None) -> tuple[object, object]:
        return self._capsules


def _pyarrow() -> Any:
    try:
        import pyarrow as pa  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        raise ImportError(
            "wexo.loads_arrow needs pyarrow (14 or newer): pip install pyarrow, "
            "or from a checkout of wexo: pip install '.[arrow]'"
        ) from None
    # pa.compute, for the casts.
    import pyarrow.compute  # type: ignore[import-untyped, import-not-found, unused-ignore]

    return pa


def _columns(
    data: Any,
    limits: dict[str, int | None],
    path: tuple[str | int, ...] | None,
    known: _Known | None = None,
) -> tuple[pyarrow.Table, bool]:
    """The native reader's table: the record list at path (the root when None). Without a
    caller's schema (known), every column, dictionary string columns as plain strings; with
    one, only its columns, dictionaries kept where it asks for any, and whether the table
    already has its types (compared natively, before pyarrow imports the table)."""
    pa = _pyarrow()
    from . import _ext

    fields, dictionaries = (None, _DICTIONARIES) if known is None else (known.fields,
                                                                         known.dictionaries)
    capsules = _ext.loads_columns(data, path=path, fields=fields, dictionaries=dictionaries,
                                  **limits)
    same = known is not None and _ext.same_schema(capsules[0], known.capsule)
    return pa.Table.from_batches([pa.record_batch(_Batch(capsules))]), same


def _check_path(path: object) -> tuple[str | int, ...] | None:
    if path is None:
        return None
    if not isinstance(path, tuple):
        raise TypeError(f"loads_arrow(): path must be a tuple or None, not {type(path).__name__}")
    for step in path:
        if isinstance(step, bool) or not isinstance(step, (str, int)):
            raise TypeError("loads_arrow(): a path holds str keys and int indexes, "
                            f"not {type(step).__name__}")
    return path


def loads_arrow(
    data: Any,
    *,
    path: tuple[str | int, ...] | None = None,
    schema: pyarrow.Schema | None = None,
    mixed: str = "union",
    max_cells: int | None = UNSET,
    max_copies: int | None = UNSET,
) -> pyarrow.Table:
    """Decodes a record list (a table, a sparse table or an array of objects) into a
    pyarrow.Table.

    Each column becomes one Arrow array, with no Python object per cell: integer
    columns int64, decimal columns float64 (int64 at scale 0), dictionary string
    columns string, bit columns bool, object columns structs, and plain columns the
    type their cells need (a dense union where they cannot share one). Rows a sparse
    column leaves out are null. The limits are those of loads; a malformed document
    raises the WexoError that loads raises.

    path: the steps (keys and indexes) from the root to the record list to read.
    schema: a pyarrow.Schema; the result has exactly its columns, in its order and of its
    types. A cell it cannot hold raises ValueError naming the cell ($[3].price); a column
    the document lacks is all nulls; other columns are left out.
    mixed: what a column whose cells mix kinds becomes where no schema decides: "union" (a
    dense union), "string" (strings as they are, other values as compact JSON text) or
    "error" (ValueError naming the column).
    """
    pa = _pyarrow()
    if not isinstance(mixed, str) or mixed not in MIXED:
        raise ValueError(f'mixed must be "union", "string" or "error", not {mixed!r}')
    if schema is not None and not isinstance(schema, pa.Schema):
        raise TypeError(f"schema must be a pyarrow.Schema, not {type(schema).__name__}")
    steps = _check_path(path)
    limits = limit_keywords(max_cells, max_copies)
    if schema is None:
        table, _ = _columns(data, limits, steps)
        if mixed == "union":
            return table
        return _unmixed(pa, table, mixed)
    known = _known(pa, schema)
    table, same = _columns(data, limits, steps, known)
    if same:  # the schema is the document's own
        return table if schema.metadata is None else table.replace_schema_metadata(
            schema.metadata)
    return _conform(pa, table, schema, _Where(steps or ()))


class _Known:
    """What loads_arrow needs to know of a caller's schema: whether it holds a dictionary type
    (the reader then keeps the format's dictionaries), and its Arrow C form, which the table's
    is compared with natively before the table is imported: comparing the two in pyarrow costs
    more, for a large nested schema, than the call it serves (the table's schema is new each
    call, and pyarrow computes a fingerprint for each new schema it compares)."""

    __slots__ = ("schema", "fields", "dictionaries", "capsule")

    def __init__(self, pa: Any, schema: Any) -> None:
        self.schema = schema
        self.fields = tuple(schema.names)
        self.dictionaries = any(_has(pa, f.type, pa.types.is_dictionary) for f in schema)
        self.capsule = schema.__arrow_c_schema__()


# By the schema's id, since a caller reads file after file with one schema; each entry holds
# its schema, so that the id is not reused while the entry lasts.
_KNOWN: dict[int, _Known] = {}


def _known(pa: Any, schema: Any) -> _Known:
    known = _KNOWN.get(id(schema))
    if known is None or known.schema is not schema:
        if len(_KNOWN) >= 16:
            _KNOWN.clear()
        known = _KNOWN[id(schema)] = _Known(pa, schema)
    return known


def read_arrow(
    source: str | os.PathLike[str] | os.PathLike[bytes] | Any,
    *,
    path: tuple[str | int, ...] | None = None,
    schema: pyarrow.Schema | None = None,
    mixed: str = "union",
    max_cells: int | None = UNSET,
    max_copies: int | None = UNSET,
) -> pyarrow.Table:
    """loads_arrow of a file's bytes: source is a path or a binary file object (one with
    read()). A path is mapped into memory rather than read, where it can be."""
    options: dict[str, Any] = {"path": path, "schema": schema, "mixed": mixed,
                               "max_cells": max_cells, "max_copies": max_copies}
    if hasattr(source, "read"):
        if isinstance(source, io.TextIOBase):
            raise not_binary("read_arrow")
        try:
            data = source.read()
        except UnicodeDecodeError:
            raise not_binary("read_arrow") from None
        if isinstance(data, str):
            raise not_binary("read_arrow", ": read() gave str")
        return loads_arrow(data, **options)
    if isinstance(source, (bytes, bytearray, memoryview)):
        raise TypeError("wexo.read_arrow() needs a path or a binary file object, not "
                        f"{type(source).__name__}: wexo.loads_arrow() decodes a document's bytes")
    if not isinstance(source, (str, os.PathLike)):
        raise TypeError("wexo.read_arrow() needs a path or a binary file object, "
                        f"not {type(source).__name__}")
    with open(source, "rb") as f:
        try:
            view = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
        except (ValueError, OSError):
            # An empty file cannot be mapped, nor can a pipe or some special files.
            return loads_arrow(f.read(), **options)
    # The table's buffers are the reader's own: nothing refers to the mapping once it returns.
    with view:
        return loads_arrow(view, **options)


# ---- where a cell is, as the encoder names paths


class _Where:
    """The path of the table's rows ("$" then the path= steps) and of a cell below it."""

    __slots__ = ("root",)

    def __init__(self, root: tuple[str | int, ...]) -> None:
        self.root = root

    def text(self, steps: tuple[str | int, ...]) -> str:
        from .reference.scan import segment

        return "$" + "".join(segment(s) for s in (*self.root, *steps))


def _shown(value: object) -> str:
    text = repr(value)
    return text if len(text) <= _REPR_LIMIT else text[: _REPR_LIMIT - 3] + "..."


class _Refused(Exception):
    """A cell the target type cannot hold: its steps below the row, its value and the type."""

    def __init__(self, steps: tuple[str | int, ...], value: object, target: object) -> None:
        super().__init__()
        self.steps, self.value, self.target = steps, value, target


# ---- mixed="string" and mixed="error"


def _has(pa: Any, t: Any, test: Callable[[Any], bool]) -> bool:
    """Whether t or a type nested in it passes test."""
    if test(t):
        return True
    if pa.types.is_struct(t) or pa.types.is_union(t):
        return any(_has(pa, t.field(k).type, test) for k in range(t.num_fields))
    if _is_list(pa, t):
        return _has(pa, t.value_type, test)
    return False


def _first_union(pa: Any, t: Any) -> Any:
    if pa.types.is_union(t):
        return t
    if pa.types.is_struct(t):
        for k in range(t.num_fields):
            found = _first_union(pa, t.field(k).type)
            if found is not None:
                return found
    if _is_list(pa, t):
        return _first_union(pa, t.value_type)
    return None


def _texts(pa: Any, t: Any) -> Any:
    """t with every union replaced by string."""
    if pa.types.is_union(t):
        return pa.string()
    if pa.types.is_struct(t):
        return pa.struct([t.field(k).with_type(_texts(pa, t.field(k).type))
                          for k in range(t.num_fields)])
    if pa.types.is_list(t):
        return pa.list_(t.value_field.with_type(_texts(pa, t.value_type)))
    if pa.types.is_large_list(t):
        return pa.large_list(t.value_field.with_type(_texts(pa, t.value_type)))
    return t


def _unmixed(pa: Any, table: Any, mixed: str) -> Any:
    for k, field in enumerate(table.schema):
        union = _first_union(pa, field.type)
        if union is None:
            continue
        if mixed == "error":
            kinds = ", ".join(sorted(union.field(i).name for i in range(union.num_fields)))
            raise ValueError(f"column {field.name!r} mixes kinds ({kinds}): "
                             'pass mixed="string" or a schema')
        target = field.with_type(_texts(pa, field.type))
        # Text takes every value, so this conversion cannot refuse a cell.
        column = _column(pa, _one_array(table.column(k)), target.type, field.name, _Where(()))
        table = table.set_column(k, target, column)
    return table


# ---- a schema's columns


def _conform(pa: Any, table: Any, schema: Any, where: _Where) -> Any:
    have = {name: k for k, name in enumerate(table.column_names)}
    n = table.num_rows
    arrays = []
    for field in schema:
        k = have.get(field.name)
        if k is None:
            column = pa.nulls(n, field.type)
        else:
            column = _column(pa, _one_array(table.column(k)), field.type, field.name, where)
        if not field.nullable and column.null_count:
            row = column.is_null().to_pylist().index(True)
            raise ValueError(f"cannot convert {where.text((row, field.name))} (None) to "
                             f"{field.type}: the field is not nullable")
        arrays.append(column)
    return pa.Table.from_arrays(arrays, schema=schema)


def _one_array(column: Any) -> Any:
    return column.chunk(0) if column.num_chunks == 1 else column.combine_chunks()


def _column(pa: Any, arr: Any, target: Any, name: str, where: _Where) -> Any:
    """arr converted to target: vectorised where it can be, else cell by cell, which names the
    first cell that cannot be converted."""
    fast = _fast(pa, arr, target)
    if fast is not None:
        return fast
    convert = _converter(pa, target)
    cells = []
    for row, value in enumerate(arr.to_pylist()):
        try:
            cells.append(convert(value, (row, name)))
        except _Refused as r:
            raise ValueError(f"cannot convert {where.text(r.steps)} ({_shown(r.value)}) "
                             f"to {r.target}") from None
    try:
        return pa.array(cells, type=target)
    except (pa.ArrowException, TypeError, ValueError, OverflowError) as err:
        raise ValueError(f"cannot convert column {name!r} to {target}: {err}") from None


def _is_text(pa: Any, t: Any) -> bool:
    types = pa.types
    if types.is_dictionary(t):
        t = t.value_type
    return bool(types.is_string(t) or types.is_large_string(t)
                or getattr(types, "is_string_view", lambda _: False)(t))


def _is_list(pa: Any, t: Any) -> bool:
    types = pa.types
    return bool(types.is_list(t) or types.is_large_list(t) or types.is_fixed_size_list(t))


def _castable(pa: Any, src: Any, dst: Any) -> bool:
    """Whether Arrow's safe cast from src to dst converts exactly as the cell rules do."""
    types = pa.types
    if types.is_null(src):
        return True
    if _is_text(pa, dst):
        # Arrow writes 1.0 as "1" and 1e-07 as "1e-07": floats go through the cell rule.
        return _is_text(pa, src) or types.is_integer(src) or types.is_boolean(src)
    if types.is_integer(dst) or types.is_floating(dst):
        # Arrow refuses a float with a fraction, and every int beyond 2**53 for a double even
        # where it is exact (2**60): the cells then decide.
        return bool(types.is_integer(src) or types.is_floating(src))
    if types.is_timestamp(dst) or types.is_date32(dst):
        # An offset in the text for a zoned timestamp, none for a naive one; no fraction lost.
        return _is_text(pa, src)
    return False


def _fast(pa: Any, arr: Any, dst: Any) -> Any:
    """arr as dst by whole arrays, or None where that cannot be done or fails."""
    src = arr.type
    types = pa.types
    if src == dst:
        return arr
    if types.is_union(src) and _is_text(pa, dst):
        return _union_text(pa, arr, dst)
    if types.is_struct(src) and types.is_struct(dst) and dst.num_fields:
        parts = arr.flatten()  # the children as the rows see them: the struct's nulls included
        children = []
        for k in range(dst.num_fields):
            field = dst.field(k)
            at = src.get_field_index(field.name)
            child = (pa.nulls(len(arr), field.type) if at < 0
                     else _fast(pa, parts[at], field.type))
            if child is None:
                return None
            children.append(child)
        mask = arr.is_null() if arr.null_count else None
        return pa.StructArray.from_arrays(children, fields=list(dst), mask=mask)
    if (types.is_list(src) or types.is_large_list(src)) and (
            types.is_list(dst) or types.is_large_list(dst)):
        values = _fast(pa, arr.values, dst.value_type)
        if values is None:
            return None
        offsets = arr.offsets
        kind = pa.ListArray if types.is_list(dst) else pa.LargeListArray
        if types.is_list(dst) != types.is_list(src):
            offsets = offsets.cast(pa.int32() if types.is_list(dst) else pa.int64())
        mask = arr.is_null() if arr.null_count else None
        return kind.from_arrays(offsets, values, type=dst, mask=mask)
    if not _castable(pa, src, dst):
        return None
    try:
        return pa.compute.cast(arr, dst, safe=True)
    except (pa.ArrowException, TypeError, ValueError, OverflowError):
        return None


def _union_text(pa: Any, arr: Any, dst: Any) -> Any:
    """A dense union's cells as text: each member converted whole, then taken in row order."""
    if arr.type.mode != "dense":
        return None
    string = pa.string()
    members, base, start = [], [0] * 128, 0
    for k in range(arr.type.num_fields):
        child = arr.field(k)
        if _castable(pa, child.type, string):
            text = pa.compute.cast(child, string)
        else:
            text = pa.array([None if v is None else _json_text(v) for v in child.to_pylist()],
                            type=string)
        members.append(text)
        base[arr.type.type_codes[k]] = start
        start += len(text)
    # Row i is member code[i]'s cell offset[i]: in the joined members, base[code] + offset.
    first = pa.array(base, type=pa.int64()).take(arr.type_codes)
    rows = pa.compute.add(first, arr.offsets.cast(pa.int64()))
    joined = pa.concat_arrays(members) if members else pa.array([], type=string)
    out = joined.take(rows)
    return out if out.type == dst else pa.compute.cast(out, dst)


# ---- cell by cell


def _json_text(value: object) -> str:
    """A cell's compact JSON text; an integral float within 2**53 is written as the int it
    decodes as."""
    if type(value) is float and value.is_integer() and abs(value) <= 2**53:
        value = int(value)
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


Convert = Callable[[Any, "tuple[str | int, ...]"], Any]


def _converter(pa: Any, t: Any) -> Convert:
    """A function of (cell, steps) giving the cell as pyarrow.array takes it for t, or raising
    _Refused."""
    types = pa.types

    def refuse(value: Any, steps: tuple[str | int, ...]) -> Any:
        raise _Refused(steps, value, t)

    if types.is_null(t):
        return lambda v, steps: v if v is None else refuse(v, steps)
    if types.is_boolean(t):
        return lambda v, steps: v if v is None or type(v) is bool else refuse(v, steps)
    if _is_text(pa, t):
        return lambda v, steps: v if v is None or type(v) is str else _json_text(v)
    if types.is_integer(t):
        lo, hi = ((0, 2**t.bit_width - 1) if types.is_unsigned_integer(t)
                  else (-(2 ** (t.bit_width - 1)), 2 ** (t.bit_width - 1) - 1))

        def integer(v: Any, steps: tuple[str | int, ...]) -> Any:
            if v is None:
                return None
            if type(v) is float and v.is_integer():
                v = int(v)
            if type(v) is not int or not lo <= v <= hi:
                refuse(v, steps)
            return v

        return integer
    if types.is_floating(t):
        narrow = {16: "e", 32: "f", 64: ""}[t.bit_width]

        def floating(v: Any, steps: tuple[str | int, ...]) -> Any:
            if v is None or type(v) is float:
                return v
            if type(v) is not int:
                refuse(v, steps)
            # An int converts only where the float holds it exactly.
            try:
                f = float(v)
                held = struct.unpack(narrow, struct.pack(narrow, f))[0] if narrow else f
            except OverflowError:
                refuse(v, steps)
            if int(held) != v:
                refuse(v, steps)
            return f

        return floating
    if types.is_timestamp(t):
        return _timestamp(t, refuse)
    if types.is_date32(t) or types.is_date64(t):
        per_day = 1 if types.is_date32(t) else 86_400_000

        def date(v: Any, steps: tuple[str | int, ...]) -> Any:
            if v is None:
                return None
            try:
                day = _dt.date.fromisoformat(v)
            except (TypeError, ValueError):
                refuse(v, steps)
            return (day.toordinal() - _EPOCH_DAY) * per_day

        return date
    if types.is_time32(t) or types.is_time64(t):
        return _time(t, refuse)
    if types.is_struct(t):
        fields = [(t.field(k).name, _converter(pa, t.field(k).type)) for k in range(t.num_fields)]

        def struct_(v: Any, steps: tuple[str | int, ...]) -> Any:
            if v is None:
                return None
            if type(v) is not dict:
                refuse(v, steps)
            return {name: convert(v.get(name), (*steps, name)) for name, convert in fields}

        return struct_
    if types.is_map(t):
        # dumps writes a map's (key, item) pairs as 2-item lists
        key, value = _converter(pa, t.key_type), _converter(pa, t.item_type)

        def map_(v: Any, steps: tuple[str | int, ...]) -> Any:
            if v is None:
                return None
            if type(v) is not list or any(type(p) is not list or len(p) != 2 for p in v):
                refuse(v, steps)
            return [(key(p[0], (*steps, k, 0)), value(p[1], (*steps, k, 1))) for k, p in enumerate(v)]

        return map_
    if _is_list(pa, t):
        item = _converter(pa, t.value_type)
        size = t.list_size if types.is_fixed_size_list(t) else None

        def list_(v: Any, steps: tuple[str | int, ...]) -> Any:
            if v is None:
                return None
            if type(v) is not list or (size is not None and len(v) != size):
                refuse(v, steps)
            return [item(x, (*steps, k)) for k, x in enumerate(v)]

        return list_

    def other(v: Any, steps: tuple[str | int, ...]) -> Any:
        if v is None:
            return None
        try:
            pa.scalar(v, type=t)
        except (pa.ArrowException, TypeError, ValueError, OverflowError):
            refuse(v, steps)
        return v

    return other


def _ticks(micros: int, unit: str) -> int | None:
    """micros in ticks of unit, or None where a tick would drop part of it."""
    if unit == "ns":
        return micros * 1000
    per = _TICK_US[unit]
    return micros // per if micros % per == 0 else None


def _timestamp(t: Any, refuse: Callable[..., Any]) -> Convert:
    zoned = t.tz is not None

    def timestamp(v: Any, steps: tuple[str | int, ...]) -> Any:
        if v is None:
            return None
        try:
            # Python before 3.11 reads no "Z" for UTC; Arrow does.
            moment = _dt.datetime.fromisoformat(v[:-1] + "+00:00" if v.endswith("Z") else v)
        except (AttributeError, TypeError, ValueError):
            refuse(v, steps)
        # As Arrow's own parsing: a zoned column takes times with an offset, a naive one
        # times without.
        if (moment.tzinfo is not None) != zoned:
            refuse(v, steps)
        delta = moment - (_EPOCH_UTC if zoned else _EPOCH)
        micros = (delta.days * 86_400 + delta.seconds) * 1_000_000 + delta.microseconds
        ticks = _ticks(micros, t.unit)
        if ticks is None:
            refuse(v, steps)
        return ticks

    return timestamp


def _time(t: Any, refuse: Callable[..., Any]) -> Convert:
    def time(v: Any, steps: tuple[str | int, ...]) -> Any:
        if v is None:
            return None
        try:
            clock = _dt.time.fromisoformat(v)
        except (TypeError, ValueError):
            refuse(v, steps)
        if clock.tzinfo is not None:
            refuse(v, steps)
        micros = ((clock.hour * 60 + clock.minute) * 60 + clock.second) * 1_000_000
        ticks = _ticks(micros + clock.microsecond, t.unit)
        if ticks is None:
            refuse(v, steps)
        return ticks

    return time
