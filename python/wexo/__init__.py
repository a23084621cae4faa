"""WEXO: a compact binary encoding of JSON-like trees.

dumps and dump encode (in Python); loads and load decode through the native module
wexo_native: loads is its loads_binary itself (one document in, dict, list, str, int,
float, bool or None out), and WexoError, a ValueError with message and offset
attributes, reports malformed input.
"""

from pkgutil import extend_path

# A build directory on sys.path holds the native part of this package in a
# wexo/ folder of its own; installed, both parts share one folder.
__path__ = extend_path(__path__, __name__)

from ._encode import dump, dumps  # noqa: E402
from ._native import WexoError, load, loads  # noqa: E402

__all__ = ["dump", "dumps", "load", "loads", "WexoError"]
