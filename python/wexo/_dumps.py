"""Encoding: the native encoder of wexo._ext, or the reference encoder where it is not built."""

from __future__ import annotations

from typing import IO

try:
    from ._ext import dumps
except ImportError:  # a checkout without the built module: same results, slower
    from ._encode import dumps


def dump(obj: object, fp: IO[bytes], **options: bool) -> None:
    """Encode obj as dumps does, with the same keywords, and write the document to fp."""
    fp.write(dumps(obj, **options))


__all__ = ["dump", "dumps"]
