"""Checks of the benchmark harness itself: python -m pytest bench/test_bench.py

The end-to-end test needs wexo_native (and the peers) importable; it is skipped otherwise.
"""

from __future__ import annotations

import gc
import json
import sys
from pathlib import Path
from typing import Any

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

import bench


@pytest.mark.parametrize(
    ("want", "got"),
    [
        (
            {"a": 1.0, "b": [2.0, -0.0]},
            {"a": 1, "b": [2, 0]},
        ),  # integral floats as ints
        ([[1, 2], {"x": [3]}], ((1, 2), {"x": (3,)})),  # tuples for lists
        ({"k": float("nan")}, {"k": float("nan")}),
    ],
)
def test_known_conversions_pass(want: Any, got: Any) -> None:
    assert bench.first_difference(want, got) is None


@pytest.mark.parametrize(
    ("want", "got", "where"),
    [
        ({"a": True}, {"a": 1}, "$['a']"),  # == alone would accept this
        ({"a": 0}, {"a": False}, "$['a']"),
        ([1.5], [1], "$[0]"),  # a fraction lost
        ([2**60 + 1], [float(2**60 + 1)], "$[0]"),  # an int through a double
        ({"a": 1, "b": 2}, {"b": 2, "a": 1}, "key order"),
        ({"a": 1, "b": 2}, {"a": 1}, "keys differ"),
        ({"a": [1, 2, 3]}, {"a": [1, 2]}, "$['a']"),
        ({"a": "é"}, {"a": b"\xc3\xa9"}, "$['a']"),
        ([None], [[]], "$[0]"),
    ],
)
def test_faults_are_found_and_located(want: Any, got: Any, where: str) -> None:
    diff = bench.first_difference(want, got)
    assert diff is not None
    assert where in diff


def test_rotation_puts_each_decoder_first_once_per_cycle() -> None:
    specs = [bench.DecoderSpec(name, "json", json.loads) for name in "abcd"]
    orders = [[s.name for s in bench.rotated(specs, r)] for r in range(4)]
    assert all(sorted(order) == list("abcd") for order in orders)
    assert sorted(order[0] for order in orders) == list("abcd")


def test_gc_mode_restores_collector_state() -> None:
    was = gc.isenabled()
    try:
        for enabled in (True, False):
            gc.enable()
            with bench.gc_mode(enabled):
                assert gc.isenabled() is enabled
            assert gc.isenabled()
            assert gc.get_freeze_count() == 0
    finally:
        if not was:
            gc.disable()


def test_measure_meets_round_and_time_minimums() -> None:
    specs = [bench.DecoderSpec("json", "json", json.loads)]
    payloads = {"json": b"[1,2,3]"}
    exact = bench.measure(payloads, specs, bench.Settings(0.001, 0.0, 4, 100))
    assert exact["json"].rounds == 4
    timed = bench.measure(payloads, specs, bench.Settings(0.001, 0.02, 2, 1000))
    stats = timed["json"]
    assert stats.rounds * stats.loops * stats.median >= 0.01  # about 0.02 s timed
    assert 0 < stats.q1 <= stats.median <= stats.q3


def test_unknown_file_is_refused(tmp_path: Path) -> None:
    (tmp_path / "a.json").write_text("[]")
    with pytest.raises(SystemExit, match="have: a"):
        bench.select_files(tmp_path, "a,b")


def test_end_to_end_markdown(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    for module in ("wexo", "wexo_native", "orjson", "msgpack", "cbor2"):
        pytest.importorskip(module)
    rows = [
        {"title": f"m{i}", "year": 1990 + i % 7, "rating": i / 4} for i in range(200)
    ]
    (tmp_path / "movies.json").write_text(json.dumps(rows))
    (tmp_path / "other.json").write_text(json.dumps({"xs": [1.5, 2, None, "é"]}))
    argv = ["--corpus", str(tmp_path), "--quick", "--rounds", "2", "--time", "0"]
    assert bench.main([*argv, "--markdown"]) == 0
    out = capsys.readouterr().out
    assert "Warnings" not in out  # every decoder gave the tree back
    for title in ("Encoded size", "Decode time, GC off", "Decode time, GC on"):
        assert f"### {title}" in out
    for row in (
        "| movies ",
        "| other ",
        "| geomean, all (2 files)",
        "| geomean, record-heavy (1)",
    ):
        assert row in out
    assert "| small message (65 B JSON)" in out


def test_single_messages_end_to_end(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    for module in ("wexo", "wexo_native", "orjson", "msgpack"):
        pytest.importorskip(module)
    import single

    trees = {
        "github_events": [{"id": "1", "type": "PushEvent", "public": True}],
        "twitter": {"statuses": [{"id": 5, "text": "hé", "user": {"n": None}}]},
        "citm_catalog": {"performances": [{"id": 1, "prices": [1.5, 2]}]},
        "update-center": {"plugins": {"a": {"name": "a", "labels": ["x"]}}},
        "apache_builds": {"jobs": [{"name": "j", "color": "blue"}]},
        "movies": [{"title": "m", "year": 1999}],
    }
    for stem, tree in trees.items():
        (tmp_path / f"{stem}.json").write_text(json.dumps(tree))
    argv = ["--corpus", str(tmp_path), "--quick", "--rounds", "2", "--time", "0"]
    assert single.main([*argv, "--markdown"]) == 0
    captured = capsys.readouterr()
    assert "warning" not in captured.err  # every decoder gave the record back
    for row in ("| github event ", "| movie ", "| small message ", "| geomean "):
        assert row in captured.out
