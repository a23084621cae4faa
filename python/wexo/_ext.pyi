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

# The encoder's choices, one keyword of dumps each, in order: (name, default, what switching it
# off does).
CHOICES: Final[tuple[tuple[str, bool, str], ...]]

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
    path: tuple[str | int, ...] | None = ...,
    fields: tuple[str, ...] | None = ...,
    dictionaries: bool = ...,
) -> tuple[object, object]:
    """A record list as Arrow data: capsules ("arrow_schema", "arrow_array") of one struct array."""

def dumps_columns(
    data: object,
    /,
    *,
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
) -> bytes | int | str:
    """Arrow record batches (a stream capsule, or a schema and array capsule pair) as one
    document whose root is a table: the bytes; or the first row holding a refused value; or
    why they are not written here."""

def same_schema(a: object, b: object, /) -> bool:
    """Whether two "arrow_schema" capsules hold the same type (metadata of the top aside)."""

def column_plan(
    pooled: list[str], cells: list[object], /, *, array: bool = ..., **choices: bool
) -> tuple[int, int, int]:
    """The layout dumps gives cells as a typed column once pooled is written: (kind, scale, bytes)."""

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
    """Encode obj as one WEXO document: the prologue 0F 01, then one value.

    default converts what the encoder cannot write; nonfinite is 'error' or 'null'. The other
    keywords are the encoder's choices (CHOICES), each on by default; each one False does this:

    - pool: write repeated strings in full each time (default: in full once, then as a short
      reference)
    - tables: write lists of records with the same keys record by record (default: as a
      table, the keys once, then a column per key)
    - sparse: write lists of records whose keys differ record by record (default: as a table
      with a presence map per row, when smaller)
    - typed_arrays: write lists of only numbers, only booleans or only strings value by
      value (default: as one typed block, when smaller)
    - delta: in tables and typed blocks, write integers as they are (default: as differences
      from the one before, when smaller)
    - decimal: in tables and typed blocks, write decimal numbers as floats (default: as
      integers over one power of ten, where that is exact)
    - dict_str: in tables and typed blocks, write strings as they are (default: as indexes
      into a list of the distinct strings, when smaller)
    - bool_bits: in tables and typed blocks, write booleans one byte each (default: one bit
      each)
    - object_columns: in tables, write a column of records record by record (default: a
      column per key, when the records have the same keys)
    - anchors: write a list or object that occurs several times in full each time (default:
      once, then as a reference)
    """

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
