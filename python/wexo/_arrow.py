"""Tables straight into Arrow: loads_arrow."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    # pyarrow ships no type information; it is optional besides.
    import pyarrow  # type: ignore[import-untyped, import-not-found, unused-ignore]

from ._native import UNSET, limit_keywords


class _Batch:
    """One record batch in the Arrow PyCapsule interface, handed over once."""

    __slots__ = ("_capsules",)

    def __init__(self, capsules: tuple[object, object]) -> None:
        self._capsules = capsules

    def __arrow_c_array__(self, requested_schema: object = None) -> tuple[object, object]:
        return self._capsules


def loads_arrow(
    data: Any,
    *,
    path: tuple[str | int, ...] | None = None,
    max_cells: int | None = UNSET,
    max_copies: int | None = UNSET,
) -> pyarrow.Table:
    """Decodes a document whose root is a table or a sparse table into a pyarrow.Table.

    Each column becomes one Arrow array, with no Python object per cell: integer
    columns int64, decimal columns float64 (int64 at scale 0), dictionary string
    columns dictionary<int32, string>, bit columns bool, object columns structs, and
    plain columns the type their cells need (a dense union where they cannot share
    one). Rows a sparse column leaves out are null. The limits are those of loads; a
    malformed document raises the WexoError that loads raises.
    """
    try:
        import pyarrow as pa  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        raise ImportError(
            "wexo.loads_arrow needs pyarrow (14 or newer): pip install pyarrow, "
            "or from a checkout of wexo: pip install '.[arrow]'"
        ) from None
    from . import _ext

    limits = limit_keywords(max_cells, max_copies)
    keywords: dict[str, Any] = {"path": path, **limits}
    batch = pa.record_batch(_Batch(_ext.loads_columns(data, **keywords)))
    return pa.Table.from_batches([batch])
