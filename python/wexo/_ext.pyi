"""The package's native module: the encoder."""
from wexo_native import WexoError as WexoError

def dumps(
    obj: object,
    /,
    *,
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
) -> bytes: ...
