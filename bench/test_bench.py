"""Checks of the benchmark harness (harness.py) and its drivers: python -m pytest bench/test_bench.py

The end-to-end tests need wexo_native, wexo._ext (and the peers) importable; they are
skipped otherwise.
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import sys
from pathlib import Path
from typing import Any

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

import bench
import bench_encode
import bench_stream
import harness


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
    assert harness.first_difference(want, got) is None


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
    diff = harness.first_difference(want, got)
    assert diff is not None
    assert where in diff


def test_rotation_puts_each_decoder_first_once_per_cycle() -> None:
    specs = [bench.Contender(name, "json", json.loads) for name in "abcd"]
    orders = [[s.name for s in harness.rotated(specs, r)] for r in range(4)]
    assert all(sorted(order) == list("abcd") for order in orders)
    assert sorted(order[0] for order in orders) == list("abcd")


def test_gc_mode_restores_collector_state() -> None:
    was = gc.isenabled()
    try:
        for enabled in (True, False):
            gc.enable()
            with harness.gc_mode(enabled):
                assert gc.isenabled() is enabled
            assert gc.isenabled()
            assert gc.get_freeze_count() == 0
    finally:
        if not was:
            gc.disable()


def test_measure_meets_round_and_time_minimums(
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    # A fake clock: every call takes 0.1 ms. On a busy machine real samples vary
    # so much that the median says little about the time spent.
    monkeypatch.setattr(harness, "time_loop", lambda fn, arg, k: k * 1e-4)
    specs = [bench.Contender("json", "json", json.loads)]
    payloads = {"json": b"[1,2,3]"}
    exact = bench.measure(payloads, specs, harness.Settings(0.001, 0.0, 4, 100))
    assert exact["json"].rounds == 4
    timed = bench.measure(payloads, specs, harness.Settings(0.001, 0.02, 2, 1000))
    stats = timed["json"]
    assert stats.loops == 10  # calls in a loop of 1 ms
    assert stats.rounds == 20  # loops until 0.02 s have been timed
    assert stats.q1 == stats.median == stats.q3 == pytest.approx(1e-4)


def test_measure_calls_interleaves_and_times_each_call(
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    order: list[str] = []
    cost = {"fast": 1e-5, "slow": 1e-3}  # seconds per call

    def fake_loop(fn: Any, arg: str, k: int) -> float:
        fn(arg)
        return k * cost[arg]

    monkeypatch.setattr(harness, "time_loop", fake_loop)
    calls = [harness.Call(name, order.append, name) for name in cost]
    got = harness.measure_calls(calls, harness.Settings(0.01, 0.0, 3, 100))
    assert got["fast"].median == pytest.approx(1e-5)
    assert got["slow"].median == pytest.approx(1e-3)
    assert got["fast"].loops > got["slow"].loops
    timed = order[-6:]  # after calibration: three rounds, the order rotated each round
    assert timed == ["fast", "slow", "slow", "fast", "fast", "slow"]


def test_unknown_file_is_refused(tmp_path: Path) -> None:
    (tmp_path / "a.json").write_text("[]")
    with pytest.raises(SystemExit, match="have: a"):
        harness.select_files(tmp_path, "a,b")


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


def _tiny_corpus(tmp_path: Path) -> list[str]:
    rows = [
        {"title": f"m{i}", "year": 1990 + i % 7, "rating": i / 4} for i in range(200)
    ]
    (tmp_path / "movies.json").write_text(json.dumps(rows))
    (tmp_path / "other.json").write_text(json.dumps({"xs": [1.5, 2, None, "é"]}))
    return ["--corpus", str(tmp_path), "--quick", "--rounds", "2", "--time", "0"]


def test_encode_end_to_end_markdown(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    for module in ("wexo", "wexo_native", "wexo._ext", "orjson", "msgpack"):
        pytest.importorskip(module)
    assert bench_encode.main([*_tiny_corpus(tmp_path), "--markdown"]) == 0
    out = capsys.readouterr().out
    assert "Warnings" not in out  # every encoder ran; wexo's output decodes to the tree
    for title in (
        "Encoded size (relative to compact JSON)",
        "Encode time, GC off (ratio to msgpack.packb)",
        "Encode time, GC on (ratio to msgpack.packb)",
    ):
        assert f"### {title}" in out
    for row in (
        "| movies ",
        "| other ",
        "| total ",
        "| geomean, all (2 files)",
        "| geomean, record-heavy (1)",
        "| max over files",
        "| small message (65 B JSON)",
    ):
        assert row in out
    lines = out.splitlines()
    header = lines[lines.index("### Encode time, GC off (ratio to msgpack.packb)") + 2]
    cells = [c.strip() for c in header.split("|")[1:-1]]
    assert cells[:10] == [  # msgpack is the base, its time shown, ratios to it
        *("file", "wexo µs", "msgpack µs", "wexo", "wexo (choices off)"),
        *("orjson", "msgspec", "json", "pickle", "marshal"),
    ]
    assert "same bytes" in out  # the native encoder gives the reference's bytes
    assert "wexo.dumps, GC off: geomean " in out
    assert "wexo.dumps, GC on: geomean " in out


def _stats(median: float) -> harness.Stats:
    return harness.Stats(median, median, median, rounds=3, loops=1)


def _case(
    name: str, wexo: float, msgpack: float, orjson: float
) -> bench_encode.EncodeCase:
    sizes = {"wexo": 40, "msgpack": 70, "orjson": 100, "json": 100}
    case = bench_encode.EncodeCase(name, sizes, 40, True, reference_s=wexo * 50)
    times = {"wexo": wexo, "msgpack": msgpack, "orjson": orjson, "json": 3 * msgpack}
    case.times["GC off"] = {key: _stats(t) for key, t in times.items()}
    return case


def test_encode_summaries_name_the_worst_file() -> None:
    files = [_case("a", 1.0, 1.0, 0.5), _case("b", 4.0, 1.0, 1.0)]  # wexo 1x and 4x
    run_ = bench_encode.EncodeRun(
        files,
        _case("small", 0.5, 1.0, 0.25),
        ["GC off"],
        harness.Settings(1, 1, 1, 1),
        [],
    )
    line = bench_encode.targets_line(run_, "GC off")
    assert "geomean 2.00× msgpack.packb" in line  # sqrt(1 * 4)
    assert "worst file 4.00× (b;" in line
    assert "small message 0.50×" in line
    assert "geomean 2.83× orjson.dumps" in line  # sqrt(2 * 4)
    table = bench_encode.times_table(
        run_, "GC off", ["wexo", "msgpack", "orjson", "json"], markdown=True
    )
    mean = next(r for r in table.splitlines() if "geomean, all" in r)
    worst = next(r for r in table.splitlines() if "max over files" in r)
    assert [c.strip() for c in mean.split("|")[4:7]] == ["2.00", "0.71", "3.00"]
    assert [c.strip() for c in worst.split("|")[4:7]] == ["4.00", "1.00", "3.00"]
    assert mean.split("|")[-2].strip() == "50"  # speed-up over the reference


def test_encode_failing_peer_is_left_out(capsys: pytest.CaptureFixture[str]) -> None:
    for module in ("wexo", "wexo_native", "wexo._ext", "orjson", "msgpack"):
        pytest.importorskip(module)
    real = bench_encode.load_encoders()

    def refuses(tree: Any) -> bytes:
        raise TypeError("no")

    encoders = bench_encode.Encoders(
        {**real.dumps, "orjson": refuses}, real.reference, real.loads, real.versions
    )
    warnings: list[str] = []
    case = bench_encode.run_case(
        "x",
        [1, "a"],
        encoders,
        [("GC off", False)],
        harness.Settings(0.001, 0, 2, 2),
        warnings,
    )
    assert warnings == ["x: orjson raised TypeError: no; not timed"]
    assert "orjson" not in case.sizes and "orjson" not in case.times["GC off"]
    assert case.identical and case.reference_size == case.sizes["wexo"]
    run_ = bench_encode.EncodeRun(
        [case], case, ["GC off"], harness.Settings(1, 1, 1, 1), []
    )
    table = bench_encode.times_table(run_, "GC off", list(real.dumps), markdown=False)
    assert "–" in table.splitlines()[2]  # the file's row shows no orjson ratio


# --------------------------------------------------------------------------- encode sections


@pytest.mark.parametrize(
    ("text", "sections"),
    [
        ("files", ("files",)),
        ("table,files", ("files", "table")),  # always in their own order
        (" single , table,single", ("single", "table")),
        ("files,single,table", bench_encode.SECTIONS),
    ],
)
def test_sections_are_parsed_in_order(text: str, sections: tuple[str, ...]) -> None:
    assert bench_encode.parse_sections(text) == sections


@pytest.mark.parametrize("text", ["", ",", "file", "files,tables"])
def test_unknown_or_no_section_is_refused(text: str) -> None:
    with pytest.raises(argparse.ArgumentTypeError, match="choose from files, single, table"):
        bench_encode.parse_sections(text)


def test_section_and_rows_options_reach_the_run() -> None:
    args = bench_encode.parse_args(["--section", "table", "--rows", "800,16_000"])
    assert (args.section, args.rows) == (("table",), (800, 16_000))
    defaults = bench_encode.parse_args([])
    assert (defaults.section, defaults.rows) == (bench_encode.SECTIONS, (50_000, 200_000, 800_000))
    for bad in ("x", "800,", "7"):  # a table holds at least 8 rows (5 of 8 names distinct)
        with pytest.raises(argparse.ArgumentTypeError):
            bench_encode.parse_rows(bad)


@pytest.mark.parametrize("n", [8, 13, 800, 80_000])
def test_table_rows_hold_five_eighths_distinct_names(n: int) -> None:
    rows = bench_encode.table_rows(n)
    assert [list(r) for r in rows[:2]] == [["id", "name", "v"]] * 2
    assert [r["id"] for r in rows] == list(range(n))
    names = [r["name"] for r in rows]
    assert len(set(names)) == n * 5 // 8  # 800,000 rows: 500,000 names
    assert all(type(r["v"]) is float and round(r["v"], 2) == r["v"] for r in rows)
    assert bench_encode.table_rows(n) == rows  # the same table on every run
    if n >= 800:
        # repeats are shuffled in, not appended: names first seen late exist, and early repeats
        first_seen = {name: i for i, name in reversed(list(enumerate(names)))}
        late = sum(i >= n * 5 // 8 for i in first_seen.values())
        assert 0 < late < n * 5 // 8
        assert bench_encode.table_rows(n, seed=2) != rows


def test_choices_off_passes_every_choice_as_false() -> None:
    seen: dict[str, Any] = {}

    def fake(tree: Any, **kw: Any) -> bytes:
        seen.update(kw, tree=tree)
        return b""

    bench_encode.choices_off(fake, ["pool", "tables", "bool_bits"])([1])
    assert seen == {"tree": [1], "pool": False, "tables": False, "bool_bits": False}
    with pytest.raises(SystemExit, match="not a keyword name"):
        bench_encode.choices_off(fake, ["pool", "x)"])


def test_choices_off_is_wexo_with_every_choice_off() -> None:
    for module in ("wexo", "wexo._ext"):
        pytest.importorskip(module)
    import wexo
    import wexo._ext

    names = [name for name, _, _ in wexo._ext.CHOICES]
    tree = [{"id": i, "s": "ab" * (i % 3), "ok": i % 2 == 0} for i in range(50)]
    off = bench_encode.choices_off(wexo.dumps, names)(tree)
    assert off == wexo.dumps(tree, **dict.fromkeys(names, False))
    assert off != wexo.dumps(tree)


def _table_case(rows: int, medians: dict[str, float]) -> bench_encode.TableCase:
    sizes = {key: (10 if key == "wexo" else 30) * rows for key in medians}
    case = bench_encode.EncodeCase(f"{rows} rows", sizes, 0, None, math.nan)
    case.times["GC off"] = {key: _stats(t) for key, t in medians.items()}
    return bench_encode.TableCase(rows, rows * 5 // 8, case)


def test_table_figures_are_per_row() -> None:
    cases = [
        _table_case(1_000_000, {"wexo": 0.5, "msgpack": 0.25, "orjson": 0.1}),
        _table_case(8_000, {"wexo": 0.004, "msgpack": 0.001}),  # orjson failed here
    ]
    table = bench_encode.table_table(cases, "GC off", markdown=True)
    lines = table.splitlines()
    assert [c.strip() for c in lines[0].split("|")[1:-1]] == [
        *("rows", "distinct names", "wexo B/row", "msgpack B/row", "wexo ns/row"),
        *("msgpack ns/row", "orjson ns/row", "wexo/msgpack", "off/msgpack", "spread"),
    ]
    big = [c.strip() for c in lines[2].split("|")[1:-1]]
    assert big[:9] == ["1,000,000", "625,000", "10.00", "30.00", "500.0", "250.0", "100.0",
                       "2.00", "–"]
    small = [c.strip() for c in lines[3].split("|")[1:-1]]
    assert small[4:8] == ["500.0", "125.0", "–", "4.00"]


def test_identity_line_counts_what_was_checked() -> None:
    cases = [_case(name, 1.0, 1.0, 1.0) for name in "abc"]
    cases[1].identical = False
    cases[2].identical = None  # the reference did not run
    cases[0].identical_off = True
    line = bench_encode.identity_line(cases, "tables")
    assert line.startswith("wexo.dumps gave the reference encoder's bytes on 1 of 2 tables; ")
    assert "every choice off on 1 of 1 (1 not checked: " in line


def test_single_table_rows_and_geomean() -> None:
    cases = [_case("a", 1.0, 2.0, 0.5), _case("b", 4.0, 2.0, 1.0)]
    for c in cases:
        c.times["GC on"] = c.times.pop("GC off")
    table = bench_encode.single_table(cases, ["wexo", "msgpack", "orjson"], markdown=True)
    rows = {r.split("|")[1].strip(): [c.strip() for c in r.split("|")[2:-1]]
            for r in table.splitlines()[2:]}
    assert rows["a"] == ["100", "1,000,000,000", "2,000,000,000", "0.50", "0.25", "0%"]
    assert rows["geomean (2)"][3:5] == ["1.00", "0.35"]  # sqrt(0.5 * 2), sqrt(0.25 * 0.5)


def test_encode_sections_end_to_end(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    for module in ("wexo", "wexo_native", "wexo._ext", "orjson", "msgpack", "msgspec"):
        pytest.importorskip(module)
    (tmp_path / "movies.json").write_text(json.dumps([{"title": "m", "year": 1999}]))
    (tmp_path / "gsoc-2018.json").write_text(json.dumps({"0": {"name": "p", "tags": ["a"]}}))
    argv = ["--corpus", str(tmp_path), "--quick", "--rounds", "2", "--time", "0", "--gc", "on"]
    assert bench_encode.main([*argv, "--section", "single,table", "--rows", "800,16",
                              "--markdown"]) == 0
    out = capsys.readouterr().out
    assert "Warnings" not in out  # outputs decode to the trees and are the reference's
    assert "### Encode time" not in out  # no files section
    assert "### Single records, GC on (ns per call; ratio to msgpack.packb)" in out
    for row in ("| movie ", "| gsoc project ", "| small message ", "| geomean (3) "):
        assert row in out
    assert "on 3 of 3 records; wexo (choices off) gave" in out
    assert "### High-cardinality table (rows of id, name, v; 5/8 of the names distinct)" in out
    cells = [[c.strip() for c in r.split("|")[1:3]] for r in out.splitlines()
             if r.startswith("| 800 ") or r.startswith("| 16 ")]
    assert cells == [["800", "500"], ["16", "10"]]
    assert "on 2 of 2 tables; " in out


# --------------------------------------------------------------------------- icount --encode


def _icount() -> Any:
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "scripts"))
    import icount

    return icount


ANNOTATED = """\
--------------------------------------------------------------------------------
Ir
--------------------------------------------------------------------------------
1,000,000 (100.0%)  PROGRAM TOTALS

--------------------------------------------------------------------------------
Ir                 file:function
--------------------------------------------------------------------------------
900,000 (90.00%)  ???:wexo::enc::Writer::value(wexo::Child const&, unsigned long) [/b/wexo/_ext.abi3.so]
700,000 (70.00%)  ???:wexo::enc::Writer::value(wexo::Child const&, unsigned long)'2 [/b/wexo/_ext.abi3.so]
 50,000 ( 5.00%)  /src/x.cpp:wexo::enc::f(wexo::Vec<unsigned char, 0ul>&) [clone .constprop.0] [/b/wexo/_ext.abi3.so]
 20,000 ( 2.00%)  /py/Include/object.h:wexo::enc::f(wexo::Vec<unsigned char, 0ul>&) [clone .constprop.0]
 30,000 ( 3.00%)  /py/Objects/dictobject.c:_PyDict_Next [/lib/libpython3.11.so.1.0]
  2,296 ( 0.00%)  events annotated
"""


def test_annotated_profile_is_read_per_function() -> None:
    icount = _icount()
    ext = "/b/wexo/_ext.abi3.so"
    value = ("wexo::enc::Writer::value(wexo::Child const&, unsigned long)", ext)
    f = ("wexo::enc::f(wexo::Vec<unsigned char, 0ul>&) [clone .constprop.0]", ext)
    total, exclusive = icount.parse_annotated(ANNOTATED, inclusive=False)
    assert total == 1_000_000
    # recursion levels and the lines of inlined headers add up; the object is inherited
    assert exclusive == {value: 1_600_000, f: 70_000,
                         ("_PyDict_Next", "/lib/libpython3.11.so.1.0"): 30_000}
    _, inclusive = icount.parse_annotated(ANNOTATED, inclusive=True)
    assert inclusive[value] == 900_000  # the outermost level holds the deeper ones
    assert inclusive[f] == 50_000


@pytest.mark.parametrize(
    ("json_bytes", "calls", "want"),
    [(100_000, 20, 20), (2_000_000, 20, 3), (1_000, 20, 2_000), (50, 20, 2_000), (50_000, 5, 10)],
)
def test_encode_calls_scale_with_the_document(json_bytes: int, calls: int, want: int) -> None:
    assert _icount().encode_calls(json_bytes, calls) == want


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
        "gsoc-2018": {"0": {"name": "p", "tags": ["a"]}, "1": {"name": "q", "tags": []}},
    }
    for stem, tree in trees.items():
        (tmp_path / f"{stem}.json").write_text(json.dumps(tree))
    argv = ["--corpus", str(tmp_path), "--quick", "--rounds", "2", "--time", "0"]
    assert single.main([*argv, "--markdown"]) == 0
    captured = capsys.readouterr()
    assert "warning" not in captured.err  # every decoder gave the record back
    for row in ("| github event ", "| movie ", "| gsoc project ", "| small message ", "| geomean "):
        assert row in captured.out


# --------------------------------------------------------------------------- bench_arrow


@pytest.mark.parametrize(
    ("want", "got"),
    [
        ([{"a": 1, "b": 2.5}], [{"a": 1.0, "b": 2.5}]),  # an int in a float64 column
        ([{"a": 1}, {"a": 2, "b": "x"}], [{"a": 1, "b": None}, {"a": 2, "b": "x"}]),  # sparse
        ([{"s": {"x": 1}}, {"s": {"y": True}}],  # a struct carries every key of the column
         [{"s": {"x": 1, "y": None}}, {"s": {"x": None, "y": True}}]),
        ([{"l": [1, 2.5, float("nan")]}], [{"l": [1.0, 2.5, float("nan")]}]),
    ],
)
def test_arrow_rows_accepted(want: Any, got: Any) -> None:
    import bench_arrow

    assert bench_arrow.arrow_difference(want, got) is None


@pytest.mark.parametrize(
    ("want", "got", "where"),
    [
        ([{"a": True}], [{"a": 1}], "$[0]['a']"),  # a bool is not an int
        ([{"a": 1}], [{"a": True}], "$[0]['a']"),
        ([{"a": 2**60 + 1}], [{"a": float(2**60 + 1)}], "$[0]['a']"),  # through a double
        ([{"a": "1"}], [{"a": 1}], "$[0]['a']"),  # a value changed in type
        ([{"a": 1, "b": 2}], [{"a": 1}], "key 'b' missing"),  # a field dropped
        ([{"a": 1}], [{"a": 1, "b": 0}], "extra key 'b'"),  # only None may be added
        ([{"a": None}], [{"a": []}], "$[0]['a']"),
        ([{"a": [1, 2]}], [{"a": [1]}], "2 items"),
        ([{"a": 1}, {"a": 2}], [{"a": 1}], "2 items"),
    ],
)
def test_arrow_row_faults_are_found_and_located(want: Any, got: Any, where: str) -> None:
    import bench_arrow

    diff = bench_arrow.arrow_difference(want, got)
    assert diff is not None
    assert where in diff


def test_arrow_lists_are_selected_by_label_or_file() -> None:
    import bench_arrow

    chosen = bench_arrow.select_lists("twitter,flights-20k.json,random.result")
    assert [label for label, _, _ in chosen] == ["twitter.statuses", "flights-20k", "random.result"]
    with pytest.raises(SystemExit, match="have: flights-20k, movies"):
        bench_arrow.select_lists("canada")


def test_arrow_end_to_end_markdown(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    for module in ("wexo", "wexo_native", "wexo._ext", "pyarrow"):
        pytest.importorskip(module)
    import bench_arrow
    import wexo

    if not hasattr(wexo, "loads_arrow"):
        pytest.skip("wexo has no loads_arrow")
    trees = {  # movies' Title mixes str and int: from_pylist refuses it
        "flights-20k": [{"date": f"d{i}", "delay": i - 5, "origin": "DTW"} for i in range(300)],
        "movies": [{"Title": "a" if i % 3 else i, "Year": 1990 + i % 7} for i in range(200)],
        "random": {"result": [{"id": i, "ok": i % 2 == 0} for i in range(50)]},
        "citm_catalog": {"performances": [{"id": i, "prices": [1.5, i]} for i in range(40)]},
        "twitter": {"statuses": [  # "r" in every third record, from the third on
            {"id": i, "n": None if i % 2 else {"x": "é"}, **({"r": i} if i % 3 == 2 else {})}
            for i in range(30)
        ]},
        "github_events": [{"id": str(i), "type": "PushEvent" if i % 2 else "WatchEvent",
                           "payload": {"size": i} if i % 2 else {"action": "started"}} for i in range(10)],
    }
    for stem, tree in trees.items():
        (tmp_path / f"{stem}.json").write_text(json.dumps(tree))
    argv = ["--corpus", str(tmp_path), "--quick", "--rounds", "2", "--time", "0"]
    assert bench_arrow.main([*argv, "--markdown", "--gc", "on"]) == 0
    out = capsys.readouterr().out
    assert "Warnings" not in out  # loads_arrow gave the rows back; memory was measured
    assert "### Columnar decode time, GC on" in out
    assert "### Memory of one call" in out
    movies = next(r for r in out.splitlines() if r.startswith("| movies "))
    assert [c.strip() for c in movies.split("|")[7:9]] == ["fails", "fails"]
    assert "from_pylist fails on movies: " in out
    # from_pylist takes its columns from the first record: twitter's "r" is lost
    assert "from_pylist's table differs from the rows on twitter.statuses" in out
    assert "| geomean (5 / 6 lists) " in out
    assert "Peak memory of loads_arrow on flights-20k: " in out
    assert "method: VmHWM" in out or "method: ru_maxrss" in out


def test_stream_benchmark_end_to_end() -> None:
    for module in ("wexo", "wexo_native", "wexo._ext", "msgpack"):
        pytest.importorskip(module)
    settings = harness.Settings(sample_s=0.001, budget_s=0.0, min_rounds=2, max_rounds=2)
    table = bench_stream.iteration(300, settings, [("GC on", True)])
    assert "300 records" in table
    for row in ("| msgpack.Unpacker (feed) ", "| wexo.iter_loads ", "| wexo.StreamDecoder ",
                "| loads_binary loop, pre-split "):
        assert row in table
    feed = bench_stream.feed_cost(200_000, 4096, 1)
    assert feed.splitlines()[-1].endswith("| yes |")
    memory = bench_stream.memory(2 * 2**20, 1024)
    assert "| wexo.iter_load(f) |" in memory and "| wexo.iter_loads(f.read()) |" in memory


# --------------------------------------------------------------------------- harness


def test_stats_keep_the_best_sample_and_the_quartiles() -> None:
    stats = harness.summarize([3e-6, 1e-6, 2e-6, 9e-6, 4e-6], loops=7)
    assert (stats.best, stats.median, stats.rounds, stats.loops) == (1e-6, 3e-6, 5, 7)
    assert (stats.q1, stats.q3) == (2e-6, 4e-6)
    assert stats.spread == pytest.approx((4e-6 - 2e-6) / 3e-6)


def test_clock_choice_reaches_every_loop(monkeypatch: pytest.MonkeyPatch) -> None:
    # Fake clocks: each reading advances by a step of its own, so a loop's
    # elapsed time names the clock that timed it.
    def ticking(step: float) -> Any:
        now = [0.0]

        def read() -> float:
            now[0] += step
            return now[0]

        return read

    monkeypatch.setattr(harness, "CLOCKS", {"wall": ticking(1.0), "cpu": ticking(0.25)})
    try:
        harness.use_clock("cpu")
        assert harness.time_loop(len, "x", 3) == 0.25
        harness.use_clock("wall")
        assert harness.time_loop(len, "x", 3) == 1.0
    finally:
        monkeypatch.undo()
        harness.use_clock("wall")


@pytest.mark.parametrize(
    ("argv", "labels"),
    [([], ["GC off", "GC on"]), (["--gc", "on"], ["GC on"]), (["--gc", "off"], ["GC off"])],
)
def test_prepare_gives_settings_and_collector_modes(argv: list[str], labels: list[str]) -> None:
    args = harness.arg_parser("x").parse_args([*argv, "--quick", "--rounds", "3", "--time", "0"])
    try:
        settings, modes = harness.prepare(args)
    finally:
        harness.use_clock("wall")
    assert settings == harness.Settings(0.005, 0.0, 3, 10_000)
    assert [label for label, _ in modes] == labels
    assert all(enabled == (label == "GC on") for label, enabled in modes)


def test_measure_modes_times_each_collector_setting(monkeypatch: pytest.MonkeyPatch) -> None:
    seen: list[bool] = []

    def fake_loop(fn: Any, arg: Any, k: int) -> float:
        seen.append(gc.isenabled())
        return k * 1e-4

    monkeypatch.setattr(harness, "time_loop", fake_loop)
    steps: list[str] = []
    calls = [harness.Call("a", len, "x")]
    got = harness.measure_modes(calls, harness.Settings(0.001, 0.0, 2, 2),
                                [("GC off", False), ("GC on", True)], steps)
    assert list(got) == ["GC off", "GC on"] and list(got["GC on"]) == ["a"]
    assert [s.split()[:2] for s in steps] == [["GC", "off"], ["GC", "on"]]
    assert False in seen and True in seen
