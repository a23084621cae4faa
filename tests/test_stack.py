"""The deepest documents the format admits, decoded on a thread with a small
(512 KiB) stack: each succeeds or fails with its own error, never crashes."""
import os
import threading

import pytest

from conftest import doc, loads_binary, s, uv, WexoError

# Sanitizer builds use several times more stack per frame.
STACK = (4096 if os.environ.get("WEXO_SANITIZER") else 512) * 1024


def on_small_stack(data: bytes):
    result = {}

    def work():
        try:
            result["value"] = loads_binary(data)
        except WexoError as e:
            result["error"] = (e.message, e.offset)

    old = threading.stack_size(STACK)
    try:
        t = threading.Thread(target=work)
        t.start()
        t.join()
    finally:
        threading.stack_size(old)
    return result


def arrays(depth):
    return b"\x07\x01" * depth + b"\x07\x00"


def objects(depth):
    return b"\x08\x01\x41k" * depth + b"\x08\x00"


def anchors(depth):
    return b"\x0a" * depth + b"\x80"


def tables(levels):
    # a one-column, one-row table whose only cell is the next table:
    # table at depth d, its column at d + 1, the cell at d + 2
    body = b"\x80"
    for _ in range(levels):
        body = b"\x09\x01\x41k\x01\x00" + body
    return body


def object_columns(levels):
    # a typed array of one cell whose column is an object column nested levels deep
    body = b"\x01\x02"  # innermost: delta column, one cell of 1
    for _ in range(levels):
        body = b"\x05\x01\x41k" + body
    return b"\x0c\x01" + body


def copy_chain(levels, anchors_n):
    parts = [b"\x0a" + b"\x07\x01" * levels + b"\x80"]
    for i in range(1, anchors_n):
        parts.append(b"\x0a" + b"\x07\x01" * levels + b"\x0b" + uv(i - 1))
    # the reference itself sits under 400 more levels of arrays
    parts.append(b"\x07\x01" * 400 + b"\x0b" + uv(anchors_n - 1))
    return b"\x07" + uv(len(parts)) + b"".join(parts)


CASES = [  # name, body, expected error or None for success
    ("arrays 512", arrays(512), None),
    ("arrays 513", arrays(513), ("nesting too deep", 2 + 2 * 513)),
    ("objects 512", objects(512), None),
    ("objects 513", objects(513), ("nesting too deep", 2 + 4 * 513)),
    ("anchors 512", anchors(512), None),
    ("anchors 513", anchors(513), ("nesting too deep", 2 + 513)),
    ("tables 256", tables(255), None),
    ("tables 257", tables(257), ("nesting too deep", 2 + 6 * 256 + 5)),
    # the typed array's column is at depth 1, each object level one deeper
    ("object columns 511", object_columns(511), None),
    ("object columns 512", object_columns(512), ("nesting too deep", 4 + 4 * 512)),
    ("copy 4096 under 400 arrays", copy_chain(256, 16), None),
]


@pytest.mark.parametrize("name,body,error", CASES, ids=[c[0] for c in CASES])
def test_deep_document_on_small_stack(name, body, error):
    result = on_small_stack(doc(body))
    if error is None:
        assert "value" in result, result.get("error")
    else:
        assert result.get("error") == error
