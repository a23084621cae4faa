"""Decoder of the WEXO binary format."""
from collections.abc import Iterable
from typing import Any, Final, SupportsIndex

from _typeshed import ReadableBuffer

__all__: Final[list[str]]

class WexoError(ValueError):
    """Invalid WEXO input."""

    # set on every instance the decoder raises
    message: str
    offset: int

def loads_binary(data: ReadableBuffer | Iterable[SupportsIndex]) -> Any:
    """Decodes WEXO binary into dict/list/str/int/float/bool/None."""
