"""Decoding, through the native extension module wexo_native."""

from __future__ import annotations

import importlib
from types import ModuleType
from typing import IO, TYPE_CHECKING, Any


def _load() -> ModuleType | None:
    try:
        return importlib.import_module("wexo_native")
    except ImportError:
        return None


_module = _load()


class _NativeMissing(ValueError):
    """Stands in for WexoError when wexo_native cannot be imported; never raised."""


WexoError: type[ValueError] = _module.WexoError if _module is not None else _NativeMissing


if TYPE_CHECKING:

    def loads(data: bytes | bytearray | memoryview) -> Any:
        """Decode one WEXO document into dict, list, str, int, float, bool and None.

        Raises WexoError, a ValueError whose message and offset attributes tell what failed where.
        """

elif _module is not None:
    # wexo_native.loads_binary itself: a wrapper would cost a Python call per
    # document, as much as decoding a small message.
    loads = _module.loads_binary
else:

    def loads(data: bytes | bytearray | memoryview) -> Any:
        """Stands in for wexo_native.loads_binary, which cannot be imported."""
        raise ImportError("wexo.loads needs the extension module wexo_native")


def load(fp: IO[bytes]) -> Any:
    """Read fp to its end and decode it as loads does."""
    return loads(fp.read())
