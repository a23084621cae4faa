"""The reference implementations of the format, in plain Python, written for clarity over speed.

- encoder (dumps, dump, encode, Options) makes the same bytes as the native encoder,
  wexo.dumps, for every tree and every choice; scan is its first pass (validation, paths).
- decoder (loads, Walker, DecodeFailure) makes the same checks in the same order as the native
  decoder, and fails with the same message and offset; the inspect command lists what it reads.

The tests hold the native code to these; the package's public API never runs them.
"""

from .decoder import DecodeFailure, Walker, loads
from .encoder import Options, dump, dumps, encode

__all__ = ["DecodeFailure", "Options", "Walker", "dump", "dumps", "encode", "loads"]
