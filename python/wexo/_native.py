"""Decoding, through the package's native module wexo._ext (over wexo_native's decoder)."""

from __future__ import annotations

import io
from typing import IO, Any

from wexo_native import WexoError

from . import _ext
from ._ext import loads

UNSET: Any = object()  # a limit left out: the default for the input's size


def limit_keywords(max_cells: int | None, max_copies: int | None) -> dict[str, int | None]:
    """The limits a caller gave, as keywords for the native entry points; those left out
    (UNSET) are absent, so that the native defaults apply."""
    given = (("max_cells", max_cells), ("max_copies", max_copies))
    return {name: value for name, value in given if value is not UNSET}


def not_binary(function: str, why: str = ", not text mode") -> TypeError:
    """The refusal of a file not opened in binary mode, for wexo.FUNCTION()."""
    return TypeError(f"wexo.{function}() needs a file opened in binary mode ('rb'){why}")


def load(
    fp: IO[bytes], *, max_cells: int | None = UNSET, max_copies: int | None = UNSET
) -> Any:
    """Read fp (opened in binary mode) to its end and decode it as loads does, with the same
    limits."""
    if isinstance(fp, io.TextIOBase):
        raise not_binary("load")
    try:
        data = fp.read()
    except UnicodeDecodeError:
        raise not_binary("load") from None
    if isinstance(data, str):
        raise not_binary("load", ": read() gave str")
    return loads(data, **limit_keywords(max_cells, max_copies))


def default_limits(size: int) -> tuple[int, int]:
    """The max_cells and max_copies that loads applies to a document of size bytes by default.

    The format's own budgets still apply where they are lower.
    """
    return (_ext.CELLS_PER_BYTE * size + _ext.CELLS_BASE,
            _ext.COPIES_PER_BYTE * size + _ext.COPIES_BASE)


__all__ = ["WexoError", "default_limits", "load", "loads"]
