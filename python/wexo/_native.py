"""Decoding, through the package's native module wexo._ext (over wexo_native's decoder)."""

from __future__ import annotations

import io
from typing import IO, Any

from wexo_native import WexoError

from . import _ext
from ._ext import loads

_UNSET: Any = object()  # a limit left out: the default for the document's size


def load(
    fp: IO[bytes], *, max_cells: int | None = _UNSET, max_copies: int | None = _UNSET
) -> Any:
    """Read fp (opened in binary mode) to its end and decode it as loads does, with the same
    limits."""
    if isinstance(fp, io.TextIOBase):
        raise TypeError("wexo.load() needs a file opened in binary mode ('rb'), not text mode")
    try:
        data = fp.read()
    except UnicodeDecodeError:
        raise TypeError(
            "wexo.load() needs a file opened in binary mode ('rb'), not text mode"
        ) from None
    if isinstance(data, str):
        raise TypeError("wexo.load() needs a file opened in binary mode ('rb'): read() gave str")
    limits = {}
    if max_cells is not _UNSET:
        limits["max_cells"] = max_cells
    if max_copies is not _UNSET:
        limits["max_copies"] = max_copies
    return loads(data, **limits)


def default_limits(size: int) -> tuple[int, int]:
    """The max_cells and max_copies that loads applies to a document of size bytes by default.

    The format's own budgets still apply where they are lower.
    """
    return (_ext.CELLS_PER_BYTE * size + _ext.CELLS_BASE,
            _ext.COPIES_PER_BYTE * size + _ext.COPIES_BASE)


__all__ = ["WexoError", "default_limits", "load", "loads"]
