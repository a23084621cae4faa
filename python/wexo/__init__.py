"""WEXO: a compact binary encoding of JSON-like trees.

dumps and dump encode (in Python); loads and load decode through the native module
wexo_native, whose WexoError reports malformed input.
"""

from ._encode import dump, dumps
from ._native import WexoError, load, loads

__all__ = ["dump", "dumps", "load", "loads", "WexoError"]
