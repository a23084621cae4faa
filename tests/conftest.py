"""Helpers shared by the decoder tests: building documents and comparing results exactly."""
from __future__ import annotations

import os
import struct
from pathlib import Path
from typing import Any, Callable

import pytest
from hypothesis import Phase, settings

# `pytest --hypothesis-profile=explicit` runs only the @example cases of the property tests:
# every run then tries the same inputs, so a planted fault is killed, or not, alike each time
# (scripts/mutants.py -- --hypothesis-profile=explicit).
settings.register_profile("explicit", phases=[Phase.explicit])

import wexo_native
from wexo_native import WexoError, loads_binary

PROLOGUE = b"\x0f\x01"

# Real JSON documents: the ones the repository ships, and those of the folder WEXO_CORPUS names
# (more of them: a benchmark corpus, say).
OWN_CORPUS = Path(__file__).resolve().parent / "data" / "corpus"


def corpus_files() -> list[Path]:
    files = sorted(OWN_CORPUS.glob("*.json"))
    extra = os.environ.get("WEXO_CORPUS")
    if extra:
        seen = {p.name for p in files}
        files += [p for p in sorted(Path(extra).glob("*.json")) if p.name not in seen]
    return files

# Every vector runs through each of these argument types.
KINDS: list[Callable[[bytes], Any]] = [bytes, bytearray, memoryview]


def doc(body: bytes) -> bytes:
    """A document: the prologue, then body."""
    return PROLOGUE + body


def uv(n: int) -> bytes:
    """Unsigned LEB128 varint."""
    out = bytearray()
    while True:
        b = n & 0x7F
        n >>= 7
        if n:
            out.append(b | 0x80)
        else:
            out.append(b)
            return bytes(out)


def zz(n: int) -> bytes:
    """Zigzag varint of a signed 64-bit integer."""
    return uv(((n << 1) ^ (n >> 63)) & 0xFFFFFFFFFFFFFFFF)


def s(text: str | bytes) -> bytes:
    """A string value in its shortest inline form."""
    raw = text.encode() if isinstance(text, str) else text
    if len(raw) < 32:
        return bytes([0x40 | len(raw)]) + raw
    return b"\x05" + uv(len(raw)) + raw


def f64(x: float) -> bytes:
    return b"\x04" + struct.pack("<d", x)


def arr(*items: bytes) -> bytes:
    return b"\x07" + uv(len(items)) + b"".join(items)


def obj(*pairs: tuple[bytes, bytes]) -> bytes:
    return b"\x08" + uv(len(pairs)) + b"".join(k + v for k, v in pairs)


def same(a: Any, b: Any) -> bool:
    """Deep equality that also demands equal types (True is not 1, 1.0 is not 1)
    and equal dict key order. Iterative, so deep trees do not hit recursion limits."""
    stack = [(a, b)]
    while stack:
        x, y = stack.pop()
        if type(x) is not type(y):
            return False
        if isinstance(x, list):
            if len(x) != len(y):
                return False
            stack.extend(zip(x, y))
        elif isinstance(x, dict):
            if list(x) != list(y):
                return False
            stack.extend((x[k], y[k]) for k in x)
        elif isinstance(x, float):
            if not (x == y and str(x) == str(y)):
                return False
        elif x != y:
            return False
    return True


def decode(body: bytes) -> Any:
    """Decodes body as bytes, bytearray and memoryview; all three must agree."""
    data = doc(body)
    results = [loads_binary(kind(data)) for kind in KINDS]
    for r in results[1:]:
        assert same(r, results[0])
    return results[0]


def check(body: bytes, expected: Any) -> None:
    got = decode(body)
    assert same(got, expected), f"{got!r} != {expected!r}"


def fails(body: bytes, message: str, offset: int, *, raw: bool = False) -> WexoError:
    """Asserts the exact message and offset of the failure, for every argument type."""
    data = body if raw else doc(body)
    err = None
    for kind in KINDS:
        with pytest.raises(WexoError) as info:
            loads_binary(kind(data))
        err = info.value
        assert (err.message, err.offset) == (message, offset)
        assert str(err) == f"wexo: offset {offset}: {message}"
        assert err.args == (f"wexo: offset {offset}: {message}",)
    assert err is not None
    return err


__all__ = ["PROLOGUE", "OWN_CORPUS", "corpus_files", "doc", "uv", "zz", "s", "f64", "arr", "obj", "same", "decode",
           "check", "fails", "wexo_native", "loads_binary", "WexoError"]
