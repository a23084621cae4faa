"""Streams of documents: documents written back to back, each with its own prologue."""

from __future__ import annotations

import io
from collections.abc import Iterator
from typing import Any, Protocol

from ._ext import StreamDecoder, iter_loads
from ._native import UNSET, limit_keywords, not_binary


class Readable(Protocol):
    """What iter_load reads: a binary file object (read1 is used where it has one)."""

    def read(self, size: int = ..., /) -> bytes: ...


def iter_load(
    fp: Readable,
    *,
    max_cells: int | None = UNSET,
    max_copies: int | None = UNSET,
    chunk_size: int = 65536,
) -> Iterator[Any]:
    """Yield the documents of a binary file object (a file, a pipe, socket.makefile("rb")) in
    order, reading it chunk_size bytes at a time: memory is bounded by the largest document plus
    a chunk. A stream that ends inside a document raises WexoError as loads would refuse the
    bytes left (e.g. "truncated input"), with offsets from the start of the stream."""
    if isinstance(fp, io.TextIOBase):
        raise not_binary("iter_load")
    if not isinstance(chunk_size, int) or isinstance(chunk_size, bool) or chunk_size < 1:
        raise ValueError("wexo.iter_load(): chunk_size must be a positive int")
    decoder = StreamDecoder(**limit_keywords(max_cells, max_copies))
    return _documents(fp, decoder, chunk_size)


def _documents(fp: Readable, decoder: StreamDecoder, chunk_size: int) -> Iterator[Any]:
    # read1 returns what one read of the source gives (a socket's or a pipe's bytes as they
    # come) instead of waiting for a whole chunk.
    read = getattr(fp, "read1", None) or fp.read
    feed = decoder.feed
    while True:
        chunk = read(chunk_size)
        if isinstance(chunk, str):
            raise not_binary("iter_load", ": read() gave str")
        if not chunk:
            break
        feed(chunk)
        yield from decoder
    decoder._end()
    yield from decoder


__all__ = ["StreamDecoder", "iter_load", "iter_loads"]
