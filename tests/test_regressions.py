"""Inputs kept from fuzzing: every file in fuzz/regressions/ (inputs that once
crashed or misbehaved) and every seed in fuzz/seeds/ decodes to a plain tree
or raises WexoError, through every argument type, and all types agree."""
from __future__ import annotations

from pathlib import Path

import pytest

from conftest import KINDS, WexoError, loads_binary, same

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
