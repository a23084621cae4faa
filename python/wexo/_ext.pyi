"""The package's native module: the encoder, and the decoder's entry points with limits."""
from collections.abc import Iterable, Iterator
from typing import Any, Callable, Final, Literal, SupportsIndex

from _typeshed import ReadableBuffer
from wexo_native import WexoError as WexoError

# The default limits: max_cells = CELLS_PER_BYTE x input bytes + CELLS_BASE,
# max_copies = COPIES_PER_BYTE x input bytes + COPIES_BASE.
CELLS_PER_BYTE: Final[int]
CELLS_BASE: Final[int]
COPIES_PER_BYTE: Final[int]
COPIES_BASE: Final[int]

def loads(
    data: ReadableBuffer | Iterable[SupportsIndex],
    *,
    max_cells: int | None = ...,
    max_copies: int | None = ...,
) -> Any:
    """Decodes one WEXO document within limits (None lifts one; the format's budgets stay)."""

def loads_columns(
    data: ReadableBuffer | Iterable[SupportsIndex],
    *,
    max_cells: int | None = ...,
    max_copies: int | None = ...,
) -> tuple[object, object]:
    """A root table as Arrow data: capsules ("arrow_schema", "arrow_array") of one struct array."""

def dumps(
    obj: object,
    /,
    *,
    default: Callable[[Any], object] | None = ...,
    nonfinite: Literal["error", "null"] = ...,
    pool: bool = ...,
    tables: bool = ...,
    sparse: bool = ...,
    typed_arrays: bool = ...,
    delta: bool = ...,
    decimal: bool = ...,
    dict_str: bool = ...,
    bool_bits: bool = ...,
    object_columns: bool = ...,
    anchors: bool = ...,
) -> bytes:
    """Encode obj as one WEXO document: the prologue 0F 01, then one value."""

def iter_loads(
    data: ReadableBuffer | Iterable[SupportsIndex],
    *,
    max_cells: int | None = ...,
    max_copies: int | None = ...,
) -> Iterator[Any]:
    """The documents written back to back in data, in order."""

class StreamDecoder:
    """Decodes a stream of documents that arrives in pieces."""

    def __init__(self, *, max_cells: int | None = ..., max_copies: int | None = ...) -> None: ...
    def feed(self, data: ReadableBuffer | Iterable[SupportsIndex], /) -> None: ...
    def __iter__(self) -> StreamDecoder: ...
    def __next__(self) -> Any: ...
    @property
    def pending(self) -> int: ...
    def _end(self) -> None: ...
    def _tries(self) -> tuple[int, int]: ...
