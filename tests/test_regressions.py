"""Inputs kept from fuzzing: every file in fuzz/regressions/ (inputs that once
crashed or misbehaved) and every seed in fuzz/seeds/ decodes to a plain tree
or raises WexoError, through every argument type, and all types agree."""
from __future__ import annotations

from pathlib import Path
from typing import Any

import pytest

from conftest import KINDS, Decoder, WexoError, loads_binary, same

FUZZ = Path(__file__).resolve().parents[1] / "fuzz"
REGRESSIONS = sorted(p for p in (FUZZ / "regressions").glob("*")
                     if p.is_file() and not p.name.startswith("."))
SEEDS = sorted(p for p in (FUZZ / "seeds").glob("*") if p.is_file())

PLAIN = (dict, list, str, int, float, bool, type(None))


def plain(tree: object) -> bool:
    """Only dict (str keys), list, str, int, float, bool and None, all of exact types."""
    stack = [tree]
    while stack:
        x = stack.pop()
        if type(x) not in PLAIN:
            return False
        if type(x) is list:
            stack.extend(x)
        elif type(x) is dict:
            if any(type(k) is not str for k in x):
                return False
            stack.extend(x.values())
    return True


def outcome(data: bytes) -> tuple[str, object]:
    """("ok", tree) or ("error", (message, offset)), the same for every argument type."""
    seen = []
    for kind in KINDS:
        try:
            tree = loads_binary(kind(data))
        except WexoError as e:
            assert isinstance(e.message, str) and isinstance(e.offset, int)
            assert 0 <= e.offset <= len(data)
            assert str(e) == f"wexo: offset {e.offset}: {e.message}"
            seen.append(("error", (e.message, e.offset)))
        else:
            assert plain(tree)
            seen.append(("ok", tree))
    first = seen[0]
    for other in seen[1:]:
        assert other[0] == first[0]
        assert same(other[1], first[1]) if first[0] == "ok" else other[1] == first[1]
    return first


@pytest.mark.skipif(not REGRESSIONS, reason="no regression inputs in fuzz/regressions")
@pytest.mark.parametrize("path", REGRESSIONS, ids=[p.name for p in REGRESSIONS])
def test_regression_input(path: Path) -> None:
    outcome(path.read_bytes())


@pytest.mark.skipif(not SEEDS, reason="no seeds in fuzz/seeds")
def test_every_seed_decodes_or_fails_cleanly() -> None:
    kinds = {"ok": 0, "error": 0}
    for path in SEEDS:
        kinds[outcome(path.read_bytes())[0]] += 1
    # the seeds hold both valid documents and broken ones
    assert kinds["ok"] > 0 and kinds["error"] > 0, kinds


@pytest.mark.skipif(not SEEDS, reason="no seeds in fuzz/seeds")
def test_every_decoder_agrees_on_the_fuzz_inputs(decoder: Decoder) -> None:
    """The seeds and regressions, mostly malformed, through the reference decoder and through
    loads_arrow (each document's value as a table's one cell): loads_binary's verdict, value or
    message and offset."""
    kinds = {"value": 0, "error": 0}
    for path in REGRESSIONS + SEEDS:
        kinds[decoder.agrees(path.read_bytes())] += 1
    assert kinds["value"] > 0 and kinds["error"] > 0, kinds


def test_the_arrow_decoder_is_held_to_the_decoders_verdict() -> None:
    """The fixture's Arrow path fails where loads_arrow strays: a cell of another value or kind,
    another message or offset, a failure where the decoder decodes."""
    pa = pytest.importorskip("pyarrow")
    from conftest import ArrowDecoder, WexoError

    def table(cell: Any) -> Any:
        return pa.Table.from_pylist([{"x": cell}])

    def failing(message: str, offset: int) -> Any:
        def run(data: bytes) -> Any:
            e = WexoError(f"wexo: offset {offset}: {message}")
            e.message, e.offset = message, offset
            raise e
        return run

    strays = [  # body, what loads_arrow gives instead
        (b"\x81", lambda d: table(2)),
        (b"\x81", lambda d: table(True)),
        (b"\x07\x02\x81\x82", lambda d: table([1, 3])),
        (b"\x81", failing("truncated input", 8)),
        (b"\x07\x05\x80", failing("truncated input", 11)),  # the decoder says offset 10
        (b"\x07\x05\x80", failing("bad tag 0x0e", 10)),
    ]
    for body, stray in strays:
        arrow = ArrowDecoder()
        arrow.agree(b"\x0f\x01\x09\x01\x41x\x01\x00" + body)  # the real one agrees
        arrow.loads_arrow = stray
        with pytest.raises(AssertionError):
            arrow.agree(b"\x0f\x01\x09\x01\x41x\x01\x00" + body)
