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


# ---- one table of byte vectors, three decoders
#
# The decoder's tables (a body and its value, or a body and its failure's message and offset) run
# through the `decoder` fixture: the native decoder (wexo_native.loads_binary, over every
# argument type), the reference decoder in Python (wexo.reference.loads) and the Arrow path
# (wexo.loads_arrow), each held to the same verdicts.

# A table of one column named "x" and one row, whose values column holds the body's value:
# 09 (a table), 01 4178 (one name, "x"), 01 (one row), 00 (a values column). The cell sits two
# levels below the root, and every offset past the prologue moves by len(CELL) - 2.
CELL = b"\x0f\x01\x09\x01\x41x\x01\x00"


def in_a_cell(body: bytes) -> bytes:
    """The document whose root table holds body's value as its one cell."""
    return CELL + body


def arrow_norm(x: Any) -> Any:
    """x with what the Arrow path may not show the same way taken out: numbers compare by value
    (an int-valued cell of a float64 column comes back as a float; the decoder's ints stay
    within int64, so none is lost), and a key holding None is dropped (a list of dicts with
    different keys becomes one struct column, whose fields a dict leaves out come back as None).
    Dicts compare without their order, for the same reason. A mixed-kind list becomes a dense
    union, whose to_pylist() gives each element back as it is. A bool stays apart from the
    numbers."""
    if isinstance(x, dict):
        return {k: arrow_norm(v) for k, v in x.items() if v is not None}
    if isinstance(x, list):
        return [arrow_norm(v) for v in x]
    if isinstance(x, bool):
        return ("bool", x)
    if isinstance(x, (int, float)):
        return ("number", x)
    return x


def _verdict(run: Callable[[], Any]) -> tuple[str, Any]:
    """("value", what run gives) or ("error", (message, offset)) for a WexoError."""
    try:
        return ("value", run())
    except WexoError as e:
        return ("error", (e.message, e.offset))


class Decoder:
    """One decoder's way of running the tables: check(body, value), fails(body, message,
    offset), and decode(body) for the value alone."""

    name = ""

    def decode(self, body: bytes) -> Any:
        raise NotImplementedError

    def check(self, body: bytes, expected: Any) -> None:
        got = self.decode(body)
        assert same(got, expected), f"{got!r} != {expected!r}"

    def fails(self, body: bytes, message: str, offset: int, *, raw: bool = False) -> None:
        raise NotImplementedError

    def agrees(self, data: bytes) -> str:
        """Holds this decoder to loads_binary on a whole document, well-formed or not; returns
        "value" or "error", loads_binary's verdict."""
        raise NotImplementedError


class NativeDecoder(Decoder):
    """wexo_native.loads_binary, through bytes, bytearray and memoryview."""

    name = "loads_binary"

    def decode(self, body: bytes) -> Any:
        return decode(body)

    def fails(self, body: bytes, message: str, offset: int, *, raw: bool = False) -> None:
        fails(body, message, offset, raw=raw)

    def agrees(self, data: bytes) -> str:
        verdicts = [_verdict(lambda: loads_binary(kind(data))) for kind in KINDS]
        for v in verdicts[1:]:
            assert v[0] == verdicts[0][0]
            assert same(v[1], verdicts[0][1]) if v[0] == "value" else v == verdicts[0]
        return verdicts[0][0]


class ReferenceDecoder(Decoder):
    """The reference decoder in Python, with the format's own budgets (as loads_binary)."""

    name = "reference"

    def decode(self, body: bytes) -> Any:
        from wexo.reference import loads

        return loads(doc(body))

    def fails(self, body: bytes, message: str, offset: int, *, raw: bool = False) -> None:
        from wexo.reference import DecodeFailure, loads

        with pytest.raises(DecodeFailure) as info:
            loads(body if raw else doc(body))
        assert (info.value.message, info.value.offset) == (message, offset)
        assert str(info.value) == f"wexo: offset {offset}: {message}"

    def agrees(self, data: bytes) -> str:
        from wexo.reference import DecodeFailure, loads

        want = _verdict(lambda: loads_binary(data))
        try:
            got: tuple[str, Any] = ("value", loads(data))
        except DecodeFailure as e:
            got = ("error", (e.message, e.offset))
        assert got[0] == want[0], (got, want)
        assert same(got[1], want[1]) if got[0] == "value" else got == want
        return want[0]


class ArrowDecoder(Decoder):
    """wexo.loads_arrow over the body's value as the one cell of a table (in_a_cell), held to
    what wexo.loads gives for the same bytes: the cell's value (as arrow_norm compares), or the
    same WexoError's message and offset."""

    name = "loads_arrow"

    def __init__(self) -> None:
        import wexo

        self.loads = wexo.loads
        self.loads_arrow = wexo.loads_arrow

    def agree(self, data: bytes) -> tuple[str, Any]:
        """Holds loads_arrow to wexo.loads on data; returns wexo.loads's verdict."""
        want = _verdict(lambda: self.loads(data))
        try:
            got = _verdict(lambda: self.loads_arrow(data).to_pylist())
        except ValueError as e:
            # What Arrow cannot hold (a NUL in a name, types nested past what Arrow imports, a
            # column past 32-bit offsets) is refused once the document has decoded.
            assert want[0] == "value" and str(e).startswith("wexo: "), (e, want)
            return want
        if want[0] == "error":
            assert got == want
        else:
            assert got[0] == "value", (got, want)
            assert len(got[1]) == len(want[1]) == 1, (got, want)
            assert list(got[1][0]) == list(want[1][0]) == ["x"], (got, want)
            assert arrow_norm(got[1][0]["x"]) == arrow_norm(want[1][0]["x"]), (got, want)
        return want

    def decode(self, body: bytes) -> Any:
        verdict = self.agree(in_a_cell(body))
        assert verdict[0] == "value", verdict
        return verdict[1][0]["x"]

    def check(self, body: bytes, expected: Any) -> None:
        # Where the wrapping moves a value past a limit (nesting, a budget that grows with the
        # input), the verdicts still agree; where it decodes, the cell is the body's value.
        verdict = self.agree(in_a_cell(body))
        if verdict[0] == "value":
            got = verdict[1][0]["x"]
            assert same(got, expected), f"{got!r} != {expected!r}"

    def fails(self, body: bytes, message: str, offset: int, *, raw: bool = False) -> None:
        # A fault of the prologue is the document's own: there is no cell to put it in.
        if raw:
            assert self.agree(body) == ("error", (message, offset))
        else:
            self.agree(in_a_cell(body))

    def agrees(self, data: bytes) -> str:
        # The document's value as the cell, where it has a prologue to take off.
        return self.agree(in_a_cell(data[2:]) if data[:2] == PROLOGUE else data)[0]


DECODERS: dict[str, Callable[[], Decoder]] = {
    "loads_binary": NativeDecoder, "reference": ReferenceDecoder, "loads_arrow": ArrowDecoder,
}


@pytest.fixture(params=list(DECODERS))
def decoder(request: pytest.FixtureRequest) -> Decoder:
    """Each of the three decoders in turn (loads_arrow only where pyarrow is installed)."""
    if request.param == "loads_arrow":
        pytest.importorskip("pyarrow")
    return DECODERS[request.param]()


__all__ = ["PROLOGUE", "OWN_CORPUS", "corpus_files", "doc", "uv", "zz", "s", "f64", "arr", "obj", "same", "decode",
           "check", "fails", "wexo_native", "loads_binary", "WexoError", "CELL", "in_a_cell", "arrow_norm",
           "Decoder"]
