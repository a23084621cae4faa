"""Arrow data written as one document: dumps_arrow."""

from __future__ import annotations

from typing import Any

from . import _ext
from ._dumps import dumps


def dumps_arrow(data: Any, /, **choices: Any) -> bytes:
    """Writes Arrow data as one document whose root is a table, as dumps writes the rows.

    data is a pyarrow.Table or RecordBatch, an object with __arrow_c_stream__ (a polars
    DataFrame, a DuckDB relation, a pandas DataFrame from 2.2 on) or one with
    __arrow_c_array__ giving a struct array; a table of several chunks is one table. The
    document is the one wexo.dumps(table.to_pylist(), **choices) writes, byte for byte,
    written from the Arrow buffers with no Python object per cell and without the
    interpreter lock. The keywords are dumps's but default: nonfinite and the choices.
    What dumps refuses in to_pylist()'s values is refused the same way, with the same
    message naming the row and the column: uint64 values above 2**63-1, NaN and the
    infinities (None with nonfinite="null"), binary, decimal and duration values.
    Dates, times and timestamps are written as dumps writes datetime values (nanoseconds
    cut to the microsecond below). A timestamp with a named time zone, and types the
    encoder has no value for (unions, intervals, ...), are written through to_pylist().
    """
    try:
        import pyarrow as pa  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        raise ImportError(
            "wexo.dumps_arrow needs pyarrow (14 or newer): pip install pyarrow, "
            "or from a checkout of wexo: pip install '.[arrow]'"
        ) from None
    if isinstance(data, pa.Table):
        table = data
    elif isinstance(data, pa.RecordBatch):
        table = pa.Table.from_batches([data])
    elif hasattr(type(data), "__arrow_c_stream__"):
        table = pa.table(data)
    elif hasattr(type(data), "__arrow_c_array__"):
        table = pa.Table.from_batches([pa.record_batch(data)])
    else:
        raise TypeError(
            "dumps_arrow() takes a pyarrow.Table or RecordBatch, or an object with "
            f"__arrow_c_stream__ or __arrow_c_array__, not {type(data).__qualname__}"
        )
    written = _ext.dumps_columns(table.__arrow_c_stream__(), **choices)
    if isinstance(written, bytes):
        return written
    if isinstance(written, int):
        # The first row that holds a refused value: dumps names the value's path in it.
        dumps([None] * written + table.slice(written, 1).to_pylist(), **choices)
        raise SystemError(f"wexo: dumps_arrow refused row {written}, which dumps writes")
    # Not written from the buffers (the reason in written): written as dumps writes the rows.
    return dumps(table.to_pylist(), **choices)
