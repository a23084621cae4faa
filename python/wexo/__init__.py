"""WEXO: a compact binary encoding of JSON-like trees.

dumps and dump encode through the native module wexo._ext (the pure-Python encoder in
wexo.reference is the reference it is tested against); loads and load decode through wexo._ext,
over wexo_native's decoder, whose WexoError reports malformed input. By default they bound what
a document may build in proportion to its size (max_cells, max_copies). loads_arrow decodes a
table into a pyarrow.Table and read_arrow a file's table (pyarrow is needed for them only: the
arrow extra); dumps_arrow writes Arrow data (a table, a record batch, a polars or pandas
DataFrame) as the document dumps writes for its rows, from the Arrow buffers. iter_loads,
iter_load and StreamDecoder read streams of documents written back to back.
"""

from pkgutil import extend_path

# A build directory on sys.path holds the native part of this package in a
# wexo/ folder of its own; installed, both parts share one folder.
__path__ = extend_path(__path__, __name__)

__version__ = "0.1.0"

# The package is its native module and the Python around it: without wexo._ext nothing works.
try:
    from . import _ext  # noqa: E402, F401
except ImportError as err:
    raise ImportError(
        f"wexo needs its native module wexo._ext, which did not load ({err}); "
        "reinstall the wexo-native package, or from a checkout of wexo: pip install ."
    ) from err

from ._arrow import loads_arrow, read_arrow  # noqa: E402
from ._arrow_write import dumps_arrow  # noqa: E402
from ._dumps import dump, dumps  # noqa: E402
from ._native import WexoError, load, loads  # noqa: E402
from ._stream import StreamDecoder, iter_load, iter_loads  # noqa: E402

__all__ = [
    "dump", "dumps", "dumps_arrow", "iter_load", "iter_loads", "load", "loads", "loads_arrow",
    "read_arrow", "StreamDecoder", "WexoError",
]
