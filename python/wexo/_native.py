"""Decoding, through the package's native module wexo._ext (over wexo_native's decoder)."""

from __future__ import annotations

import importlib
from types import ModuleType
from typing import IO, TYPE_CHECKING, Any


def _load(name: str) -> ModuleType | None:
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


_module = _load("wexo_native")
_ext = _load("wexo._ext")


class _NativeMissing(ValueError):
    """Stands in for WexoError when wexo_native cannot be imported; never raised."""


WexoError: type[ValueError] = _module.WexoError if _module is not None else _NativeMissing


def _missing(data: Any, **limits: int | None) -> Any:
    raise ImportError("wexo.loads needs the extension module wexo._ext")


# Decode one WEXO document into dict, list, str, int, float, bool and None,
# within limits (the native function's own docstring says which). Called
# directly: no Python frame of ours costs time on every call.
if TYPE_CHECKING:
    from ._ext import loads as loads
else:
    loads = _ext.loads if _ext is not None else _missing


def load(fp: IO[bytes], **limits: int | None) -> Any:
    """Read fp to its end and decode it as loads does, with the same limits (max_cells, max_copies)."""
    return loads(fp.read(), **limits)


def default_limits(size: int) -> tuple[int, int]:
    """The max_cells and max_copies that loads applies to a document of size bytes by default.

    The format's own budgets still apply where they are lower.
    """
    if _ext is None:
        raise ImportError("wexo limits need the extension module wexo._ext")
    return (_ext.CELLS_PER_BYTE * size + _ext.CELLS_BASE,
            _ext.COPIES_PER_BYTE * size + _ext.COPIES_BASE)
