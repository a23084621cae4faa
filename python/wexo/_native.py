"""Decoding, through the native extension module wexo_native."""

from __future__ import annotations

import importlib
from types import ModuleType
from typing import IO, Any


def _load() -> ModuleType | None:
    try:
        return importlib.import_module("wexo_native")
    except ImportError:
        return None


_module = _load()


class _NativeMissing(ValueError):
    """Stands in for WexoError when wexo_native cannot be imported; never raised."""


WexoError: type[ValueError] = _module.WexoError if _module is not None else _NativeMissing


def loads(data: bytes | bytearray | memoryview) -> Any:
    """Decode one WEXO document into dict, list, str, int, float, bool and None.

    Raises WexoError, a ValueError whose message and offset attributes tell what failed where.
    """
    if _module is None:
        raise ImportError("wexo.loads needs the extension module wexo_native")
    return _module.loads_binary(data)


def load(fp: IO[bytes]) -> Any:
    """Read fp to its end and decode it as loads does."""
    return loads(fp.read())
