"""Encoding: the native encoder of wexo._ext (the reference encoder is wexo.reference.dumps)."""

from __future__ import annotations

from typing import IO, Any, Callable, Literal

from ._ext import dumps


def dump(
    obj: object,
    fp: IO[bytes],
    *,
    default: Callable[[Any], object] | None = None,
    nonfinite: Literal["error", "null"] = "error",
    pool: bool = True,
    tables: bool = True,
    sparse: bool = True,
    typed_arrays: bool = True,
    delta: bool = True,
    decimal: bool = True,
    dict_str: bool = True,
    bool_bits: bool = True,
    object_columns: bool = True,
    anchors: bool = True,
) -> None:
    """Encode obj as dumps does, with the same keywords, and write the document to fp."""
    fp.write(
        dumps(
            obj, default=default, nonfinite=nonfinite, pool=pool, tables=tables, sparse=sparse,
            typed_arrays=typed_arrays, delta=delta, decimal=decimal, dict_str=dict_str, bool_bits=bool_bits,
            object_columns=object_columns, anchors=anchors,
        )  # fmt: skip
    )


__all__ = ["dump", "dumps"]
