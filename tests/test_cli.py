"""The wexo command: encode, decode and inspect, through main() and as python -m wexo."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest
import wexo
from hypothesis import given
from hypothesis import strategies as st
from wexo._cli import main

TREE = {"orders": [{"id": 1, "ok": True}, {"id": 2, "ok": False}], "name": "ünï"}


def test_encode_then_decode_files(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    src, doc, out = tmp_path / "in.json", tmp_path / "doc.wexo", tmp_path / "out.json"
    src.write_text(json.dumps(TREE), encoding="utf-8")
    assert main(["encode", str(src), "-o", str(doc)]) == 0
    assert doc.read_bytes() == wexo.dumps(TREE)
    assert main(["encode", str(src), "-o", str(doc), "--no-tables", "--no-pool"]) == 0
    assert doc.read_bytes() == wexo.dumps(TREE, tables=False, pool=False)
    assert main(["decode", str(doc), "-o", str(out), "--indent", "2"]) == 0
    assert out.read_text(encoding="utf-8") == json.dumps(TREE, indent=2, ensure_ascii=False) + "\n"
    assert capsys.readouterr().err == ""


def test_encode_refuses_what_it_cannot_write(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    src, doc = tmp_path / "in.json", tmp_path / "doc.wexo"
    src.write_text('{"rows": [{"id": 18446744073709551616}]}')
    assert main(["encode", str(src), "-o", str(doc)]) == 1
    assert not doc.exists()
    assert "int outside the signed 64-bit range at $.rows[0].id" in capsys.readouterr().err
    src.write_text("{not json")
    assert main(["encode", str(src)]) == 1
    assert "not valid JSON" in capsys.readouterr().err


def test_decode_reports_the_failing_offset(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    doc = tmp_path / "bad.wexo"
    doc.write_bytes(b"\x0f\x01\x00\x00")
    assert main(["decode", str(doc)]) == 1
    assert capsys.readouterr().err == f"wexo: {doc}: offset 3: trailing data\n"


def test_inspect_lists_each_value_with_offset_and_nesting(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    doc = tmp_path / "doc.wexo"
    doc.write_bytes(wexo.dumps({"t": [{"a": 1000, "b": "ab"}, {"a": 1001, "b": "ab"}], "n": None}))
    assert main(["inspect", str(doc)]) == 0
    assert capsys.readouterr().out.splitlines() == [
        "       0  prologue, version 1",
        "       2  object n=2",
        "       6    \"t\": table 2 columns x 2 rows",
        "      13      column \"a\": delta-int n=2 [1000, 1001]",
        "      17      column \"b\": values n=2",
        "      18        [0] str \"ab\" (pool #0)",
        "      21        [1] str-ref #0 \"ab\"",
        "      25    \"n\": null",
    ]  # fmt: skip


BROKEN = [  # body after the prologue, message, offset
    ("", "truncated input", 2),
    ("07 02 81 0e", "bad tag 0x0e", 5),
    ("00 00", "trailing data", 3),
    ("03 ff ff ff ff ff ff ff ff ff 02", "varint overflows 64 bits", 3),
    ("04 00 00 00 00 00 00 f0 7f", "float is not finite", 3),
    ("42 c3 28", "string is not valid UTF-8", 3),
    ("07 02 41 61 06 00", "bad string reference", 8),
    ("08 02 42 61 62 80 06 00 81", "duplicate key 'ab'", 11),
    ("08 01 80 80", "key must be a string", 4),
    ("07 02 0a 07 01 0b 00 80", "bad anchor reference", 9),
    ("09 00", "empty table header", 4),
    ("09 02 41 61 41 61 01", "duplicate column 'a'", 8),
    ("09 01 41 61 02 06", "bad column kind", 7),
    ("0c 02 02 07", "bad decimal scale", 5),
    ("0c 01 03 00 00", "bad dictionary index", 7),
    ("0c 02 05 00", "empty object column", 6),
    ("0d 01 41 61 03 01 0d", "bad presence bitmap", 9),
    ("0d 01 41 61 03 02", "bad presence flag", 8),
    ("09 01 41 61 11 04 00", "truncated input", 7),
    ("07 01" * 512 + "07 01 00", "nesting too deep", 2 + 2 * 513),
]  # fmt: skip


@pytest.mark.parametrize(("body", "message", "offset"), BROKEN)
def test_inspect_marks_where_decoding_fails(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], body: str, message: str, offset: int
) -> None:
    data = b"\x0f\x01" + bytes.fromhex(body)
    with pytest.raises(wexo.WexoError) as caught:
        wexo.loads(data)
    assert (caught.value.message, caught.value.offset) == (message, offset)  # type: ignore[attr-defined]
    doc = tmp_path / "bad.wexo"
    doc.write_bytes(data)
    assert main(["inspect", str(doc)]) == 1
    out = capsys.readouterr().out.splitlines()
    assert out[-1].split() == [str(offset), "!!", *message.split()]
    assert out[0].split()[0] == "0"  # what was read before the failure is listed


def test_python_dash_m_pipes_stdin_to_stdout() -> None:
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    run = [sys.executable, "-m", "wexo"]
    encoded = subprocess.run(
        [*run, "encode"], input=json.dumps(TREE).encode(), capture_output=True, env=env
    )
    assert encoded.returncode == 0 and encoded.stdout == wexo.dumps(TREE)
    decoded = subprocess.run([*run, "decode"], input=encoded.stdout, capture_output=True, env=env)
    assert decoded.returncode == 0 and json.loads(decoded.stdout) == TREE
    broken = subprocess.run([*run, "inspect"], input=b"\x0f\x02\x00", capture_output=True, env=env)
    assert broken.returncode == 1
    assert broken.stdout.decode().splitlines() == ["       1  !! unsupported binary version 2"]


# Every failure: exit status 1 and one line on stderr naming the file and the cause.
# Each row: file name, its content (None: not created), arguments ({f} is the file's path,
# {d} the directory), the expected line after "wexo: ".
FAILURES = [
    # JSON too deep for json.loads: its RecursionError, not a traceback
    ("deep.json", b"[" * 100_000 + b"]" * 100_000, ["encode", "{f}", "-o", "{d}/o"],
     "{f}: JSON nested too deeply to read"),
    # parsed, then refused by the encoder; the path of 513 steps is shortened
    ("deep.json", b"[" * 600 + b"]" * 600, ["encode", "{f}", "-o", "{d}/o"],
     "{f}: cannot encode: nesting deeper than 512 levels at $[0][0]...[0] (depth 512)"),
    # a 5,000-digit int: out of range at its path, without Python's hint about int digits
    ("big.json", b'{"a": [1, ' + b"9" * 5000 + b"]}", ["encode", "{f}", "-o", "{d}/o"],
     "{f}: cannot encode: int outside the signed 64-bit range at $.a[1]"),
    ("big.json", b'{"a": -' + b"9" * 5000 + b"}", ["encode", "{f}", "-o", "{d}/o"],
     "{f}: cannot encode: int outside the signed 64-bit range at $.a"),
    # out of 64 bits but short enough for int(): the encoder's own message
    ("big.json", b"[18446744073709551616]", ["encode", "{f}", "-o", "{d}/o"],
     "{f}: cannot encode: int outside the signed 64-bit range at $[0]"),
    ("inf.json", b'{"x": 1e999}', ["encode", "{f}", "-o", "{d}/o"],
     "{f}: cannot encode: float is not finite at $.x"),
    ("nan.json", b"[NaN]", ["encode", "{f}", "-o", "{d}/o"],
     "{f}: cannot encode: float is not finite at $[0]"),
    ("sur.json", b'["\\ud800"]', ["encode", "{f}", "-o", "{d}/o"],
     "{f}: cannot encode: string is not valid UTF-8 (lone surrogate) at $[0]"),
    # a long key in a long path: each step is cut too
    ("key.json", b'{"' + b"k" * 200 + b'": ' + b"[" * 600 + b"]" * 600 + b"}",
     ["encode", "{f}", "-o", "{d}/o"],
     "{f}: cannot encode: nesting deeper than 512 levels at "
     "$." + "k" * 20 + "...[0]...[0] (depth 512)"),
    ("bad.json", b"{not json", ["encode", "{f}", "-o", "{d}/o"],
     "{f}: not valid JSON: Expecting property name enclosed in double quotes: "
     "line 1 column 2 (char 1)"),
    ("latin.json", b'["\xe9"]', ["encode", "{f}", "-o", "{d}/o"],
     None),  # not UTF-8: json's own message, whatever it is, after "not valid JSON: "
    # unreadable inputs
    ("missing.json", None, ["encode", "{f}", "-o", "{d}/o"],
     "{f}: cannot read: No such file or directory"),
    ("missing.wexo", None, ["decode", "{f}"], "{f}: cannot read: No such file or directory"),
    ("missing.wexo", None, ["inspect", "{f}"], "{f}: cannot read: No such file or directory"),
    (".", None, ["decode", "{d}"], "{d}: cannot read: Is a directory"),
    # unwritable outputs
    ("ok.json", b"[1]", ["encode", "{f}", "-o", "{d}/no/such/dir"],
     "{d}/no/such/dir: cannot write: No such file or directory"),
    ("ok.wexo", b"\x0f\x01\x00", ["decode", "{f}", "-o", "{d}"], "{d}: cannot write: Is a directory"),
    # decoding errors name the file
    ("bad.wexo", b"\x0f\x01\x07\x05\x80", ["decode", "{f}"], "{f}: offset 4: truncated input"),
    ("bad.wexo", b"\x0f\x02", ["decode", "{f}"], "{f}: offset 1: unsupported binary version 2"),
    ("bad.wexo", b"\x0f\x01\x07\x05\x80", ["inspect", "{f}"], "{f}: offset 4: truncated input"),
]  # fmt: skip


@pytest.mark.parametrize(("name", "content", "argv", "line"), FAILURES)
def test_failures_are_one_line_naming_the_file(
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
    name: str,
    content: bytes | None,
    argv: list[str],
    line: str | None,
) -> None:
    path = tmp_path / name
    if content is not None:
        path.write_bytes(content)
    fill = {"f": str(path), "d": str(tmp_path)}
    assert main([a.format(**fill) for a in argv]) == 1
    err = capsys.readouterr().err
    assert err.endswith("\n") and err.count("\n") == 1, err
    if line is None:
        assert err.startswith(f"wexo: {path}: not valid JSON: "), err
    else:
        assert err == "wexo: " + line.format(**fill) + "\n"
    assert not (tmp_path / "o").exists()


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("command", ["encode", "decode"])
def test_a_full_disk_is_one_line(tmp_path: Path, command: str) -> None:
    src = tmp_path / "in"
    src.write_bytes(json.dumps(TREE).encode() if command == "encode" else wexo.dumps(TREE))
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    run = [sys.executable, "-m", "wexo", command, str(src)]
    named = subprocess.run([*run, "-o", "/dev/full"], capture_output=True, env=env)
    assert named.returncode == 1
    assert named.stderr.decode() == "wexo: /dev/full: cannot write: No space left on device\n"
    with open("/dev/full", "wb") as full:
        piped = subprocess.run(run, stdout=full, stderr=subprocess.PIPE, env=env)
    assert piped.returncode == 1
    assert piped.stderr.decode() == "wexo: <stdout>: cannot write: No space left on device\n"


def test_deep_json_in_a_real_process_and_stdin_named(tmp_path: Path) -> None:
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    deep = b"[" * 100_000 + b"]" * 100_000
    out = subprocess.run([sys.executable, "-m", "wexo", "encode"], input=deep,
                         capture_output=True, env=env)  # fmt: skip
    assert (out.returncode, out.stdout) == (1, b"")
    assert out.stderr.decode() == "wexo: <stdin>: JSON nested too deeply to read\n"


@pytest.mark.skipif(not hasattr(os, "openpty"), reason="needs a pseudo-terminal")
def test_encode_writes_binary_to_a_terminal_only_when_told(tmp_path: Path) -> None:
    src = tmp_path / "in.json"
    src.write_text(json.dumps(TREE))
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    run = [sys.executable, "-m", "wexo", "encode", str(src)]
    for extra, status in [([], 1), (["-o", "-"], 0)]:
        leader, follower = os.openpty()
        try:
            out = subprocess.run([*run, *extra], stdout=follower, stderr=subprocess.PIPE, env=env)
        finally:
            os.close(follower)
            os.close(leader)
        assert out.returncode == status, out.stderr
        if status:
            assert out.stderr.decode() == (
                "wexo: not writing binary WEXO to a terminal; "
                "give -o FILE, or -o - to write it anyway\n"
            )
        else:
            assert out.stderr == b""


def _copy_chain(total: int) -> bytes:
    """A document whose anchor references copy out to a tree `total` levels deep."""
    items, left, j = [], total, 0
    while left > 0:
        c = min(500, left)
        inner = b"\x07\x00" if j == 0 else b"\x0b" + bytes([j - 1])
        items.append(b"\x0a" + b"\x07\x01" * c + inner)
        left, j = left - c, j + 1
    items.append(b"\x0b" + bytes([j - 1]))
    return b"\x0f\x01\x07" + bytes([len(items)]) + b"".join(items)


# Deeper than the interpreter's default recursion limit; indented output grows with the
# square of the depth, so that case goes less deep.
@pytest.mark.parametrize(("depth", "indent"), [(4000, []), (1500, ["--indent", "1"])])
def test_decode_writes_a_tree_thousands_of_levels_deep(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], depth: int, indent: list[str]
) -> None:
    doc, out = tmp_path / "deep.wexo", tmp_path / "deep.json"
    doc.write_bytes(_copy_chain(depth))
    # its references copy more than the default limits allow a document this small
    assert main(["decode", str(doc), "-o", str(out), "--no-limits", *indent]) == 0
    assert capsys.readouterr().err == ""
    text = out.read_text()
    assert text.count("[") == text.count("]") > depth


def test_version(capsys: pytest.CaptureFixture[str]) -> None:
    from importlib.metadata import PackageNotFoundError, version

    with pytest.raises(SystemExit) as done:
        main(["--version"])
    assert done.value.code == 0
    shown = capsys.readouterr().out
    try:
        assert shown == f"wexo {version('wexo-native')}\n"
    except PackageNotFoundError:
        assert shown.startswith("wexo ")


def test_help_explains_every_option(capsys: pytest.CaptureFixture[str]) -> None:
    from wexo import _ext
    from wexo._cli import _OPTION_HELP

    assert list(_OPTION_HELP.items()) == [(name, words) for name, _, words in _ext.CHOICES]
    for command in ["encode", "decode", "inspect"]:
        with pytest.raises(SystemExit):
            main([command, "--help"])
        text = " ".join(capsys.readouterr().out.split())
        assert "do not use" not in text
        if command == "encode":
            for name, words in _OPTION_HELP.items():
                assert f"--no-{name.replace('_', '-')} {words}" in text


SHORTENED = [  # path, shortened
    ("$.rows[3].id", "$.rows[3].id"),                              # short: as it is
    ("$" + "[0]" * 600, "$[0][0]...[0] (depth 600)"),
    ("$" + ".a" * 30 + "[12]", "$.a.a...[12] (depth 31)"),
    ('$["' + "x" * 100 + '"].b' + "[1]" * 30, '$["' + "x" * 19 + "....b...[1] (depth 32)"),
    ("$" + "?" * 100, "$" + "?" * 29 + "..." + "?" * 30),            # not steps: cut in the middle
]  # fmt: skip


@pytest.mark.parametrize(("path", "short"), SHORTENED)
def test_long_paths_are_shortened(path: str, short: str) -> None:
    from wexo._cli import shorten_path

    assert shorten_path(path) == short


def test_real_documents_round_trip_through_the_command_line(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    for src in sorted((Path(__file__).resolve().parent / "data" / "corpus").glob("*.json")):
        doc, out = tmp_path / (src.stem + ".wexo"), tmp_path / src.name
        assert main(["encode", str(src), "-o", str(doc)]) == 0
        assert main(["decode", str(doc), "-o", str(out)]) == 0
        assert json.loads(out.read_bytes()) == json.loads(src.read_bytes())
        assert main(["inspect", str(doc)]) == 0
    assert capsys.readouterr().err == ""


# The JSON writer: json.dumps's very text, at any depth, under every layout option.
LAYOUTS = [  # command-line options, the json.dumps keywords they stand for
    ([], {}),
    (["--indent", "2"], {"indent": 2}),
    (["--indent", "0"], {"indent": 0}),
    (["--compact"], {"separators": (",", ":")}),
    (["--sort-keys"], {"sort_keys": True}),
    (["--compact", "--sort-keys"], {"separators": (",", ":"), "sort_keys": True}),
    (["--indent", "3", "--sort-keys"], {"indent": 3, "sort_keys": True}),
]  # fmt: skip

WRITER_TREES = [
    {"b": [1, -2.5, 1e300, "ü\n\"\\", None, True, False], "a": {}, "c": [], "": [[]]},
    [{"z": 1, "a": [{"y": 2, "b": 3}]}, "x" * 3, 2**63 - 1, -(2**63), 5e-324],
    "just a string",
    0.1,
]


@pytest.mark.parametrize(("argv", "keywords"), LAYOUTS)
def test_decode_writes_json_dumps_text_under_every_layout(
    tmp_path: Path, argv: list[str], keywords: dict[str, Any]
) -> None:
    from wexo._json import iter_chunks

    for tree in WRITER_TREES:
        doc, out = tmp_path / "t.wexo", tmp_path / "t.json"
        doc.write_bytes(wexo.dumps(tree))
        assert main(["decode", str(doc), "-o", str(out), *argv]) == 0
        expected = json.dumps(wexo.loads(doc.read_bytes()), ensure_ascii=False, **keywords)
        assert out.read_text(encoding="utf-8") == expected + "\n"
        # the writer that takes over from json.dumps on deep trees: the same text
        indent = keywords.get("indent")
        separators = keywords.get(
            "separators", (",", ": ") if indent is not None else (", ", ": ")
        )
        chunks = iter_chunks(tree, indent=indent, sort_keys=bool(keywords.get("sort_keys")),
                             separators=separators)
        assert "".join(chunks) == expected


@given(
    tree=st.recursive(
        st.none() | st.booleans() | st.integers(-(2**63), 2**63 - 1)
        | st.floats(allow_nan=False, allow_infinity=False) | st.text(max_size=5),
        lambda c: st.lists(c, max_size=4) | st.dictionaries(st.text(max_size=3), c, max_size=4),
        max_leaves=25,
    ),
    indent=st.sampled_from([None, 0, 1, 4]),
    sort_keys=st.booleans(),
    compact=st.booleans(),
)
def test_stack_writer_matches_json_dumps(
    tree: Any, indent: int | None, sort_keys: bool, compact: bool
) -> None:
    from wexo._json import iter_chunks

    separators = (",", ":") if compact else (",", ": ") if indent is not None else (", ", ": ")
    expected = json.dumps(tree, ensure_ascii=False, indent=indent, sort_keys=sort_keys,
                          separators=separators)
    got = "".join(iter_chunks(tree, indent=indent, sort_keys=sort_keys, separators=separators))
    assert got == expected


def test_the_json_writer_follows_any_depth() -> None:
    from wexo._json import dumps as json_text

    tree: Any = {"leaf": [1.5]}
    for k in range(100_000):
        tree = {"k": tree} if k % 2 else [tree]
    text = json_text(tree)
    assert len(text) == 50_000 * len('{"k": []}') + len('{"leaf": [1.5]}')
    assert text.startswith('{"k": [{"k": [') and text.endswith("}]}]}")
    assert json_text(tree, compact=True).count(":") == 50_001
    shallow = {"a": [1, {"b": None}]}
    assert json_text(shallow, indent=1) == json.dumps(shallow, indent=1)


@pytest.mark.parametrize(
    ("argv", "error"),
    [
        (["decode", "--indent", "-1"], "argument --indent: must not be negative: -1"),
        (["decode", "--indent", "2", "--compact"],
         "argument --compact: not allowed with argument --indent"),
        (["inspect", "--depth", "-2"], "argument --depth: must not be negative: -2"),
        (["inspect", "--depth", "x"], "argument --depth: not a whole number: 'x'"),
    ],
)  # fmt: skip
def test_usage_errors_exit_2(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], argv: list[str], error: str
) -> None:
    doc = tmp_path / "d.wexo"
    doc.write_bytes(wexo.dumps([1]))
    with pytest.raises(SystemExit) as done:
        main([*argv, str(doc)])
    assert done.value.code == 2
    assert capsys.readouterr().err.splitlines()[-1].endswith(error)


@pytest.mark.parametrize(
    ("command", "content", "line"),
    [
        ("decode", b' \n{"a": 1}', "{f}: not a WEXO binary document: it looks like JSON; "
         "'wexo encode' converts JSON to WEXO"),
        ("decode", b"[1, 2]", "{f}: not a WEXO binary document: it looks like JSON; "
         "'wexo encode' converts JSON to WEXO"),
        ("decode", b"\x00\x01", "{f}: offset 0: not a WEXO binary document"),
        ("encode", b"\x0f\x01\x07\x01\xa8", "{f}: not JSON: it looks like a WEXO document; "
         "'wexo decode' converts WEXO to JSON"),
        ("encode", b"\x0f\x01\x00", "{f}: not JSON: it looks like a WEXO document; "
         "'wexo decode' converts WEXO to JSON"),
        ("encode", b'["\xe9"]', "{f}: not valid JSON: not UTF-8 (byte 2)"),
    ],
)  # fmt: skip
def test_the_wrong_kind_of_file_hints_at_the_other_command(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], command: str, content: bytes, line: str
) -> None:
    path = tmp_path / "in"
    path.write_bytes(content)
    assert main([command, str(path), "-o", str(tmp_path / "out")]) == 1
    assert capsys.readouterr().err == "wexo: " + line.format(f=path) + "\n"


def test_inspect_depth_and_summary(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    shared = [1, 2, 3]
    tree = {"rows": [{"id": i, "ok": i % 2 == 0, "tag": "abc"} for i in range(10)],
            "flags": [True, False] * 8, "s": [shared, shared], "name": "abc"}
    doc = tmp_path / "d.wexo"
    doc.write_bytes(wexo.dumps(tree))
    assert main(["inspect", str(doc)]) == 0
    full = capsys.readouterr().out.splitlines()
    assert main(["inspect", "--depth", "1", str(doc)]) == 0
    shallow = capsys.readouterr().out.splitlines()
    levels = [(len(line[10:]) - len(line[10:].lstrip())) // 2 for line in full]
    kept = [line for line, level in zip(full, levels) if level <= 1]
    assert shallow == [*kept, f"{'':>8}  ({len(full) - len(kept)} lines deeper than 1 not shown)"]
    assert main(["inspect", "--depth", "0", str(doc)]) == 0
    assert capsys.readouterr().out.splitlines()[:2] == full[:2]

    assert main(["inspect", "--summary", str(doc)]) == 0
    text = capsys.readouterr().out
    assert text.startswith(f"document: {len(doc.read_bytes()):,} bytes\n")
    rows = {line.split("  ")[1].strip(): line.split()[-1] for line in text.splitlines()
            if line.startswith("  ") and "columns" not in line}
    assert rows["table"] == "1" and rows["typed array"] == "1"
    assert rows["anchor"] == "1" and rows["anchor reference"] == "1"
    assert "bool-bits" in text and "anchors: 1, 1 references, 4 container slots copied" in text
    assert "string pool: " in text and "budgets used: " in text


def test_inspect_summary_of_a_broken_document_ends_at_the_fault(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    doc = tmp_path / "d.wexo"
    doc.write_bytes(b"\x0f\x01\x07\x02\x81\x05\x09ab")
    assert main(["inspect", "--summary", str(doc)]) == 1
    out = capsys.readouterr()
    assert out.out.splitlines()[-1] == "!! offset 7: truncated input"
    assert out.err == f"wexo: {doc}: offset 7: truncated input\n"


LINES = [{"id": 1, "tags": ["a", "b"]}, [], "text", 7, {"t": [{"x": 1}, {"x": 2}]}, None]


def test_lines_round_trip_files(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    src, stream, out = tmp_path / "in.jsonl", tmp_path / "s.wexo", tmp_path / "out.jsonl"
    src.write_text("\n".join(json.dumps(x) for x in LINES[:3]) + "\n\n  \n"
                   + "\n".join(json.dumps(x) for x in LINES[3:]) + "\n")
    assert main(["encode", "--lines", str(src), "-o", str(stream), "--no-tables"]) == 0
    assert stream.read_bytes() == b"".join(wexo.dumps(x, tables=False) for x in LINES)
    assert main(["decode", "--lines", str(stream), "-o", str(out), "--sort-keys"]) == 0
    assert out.read_text() == "".join(
        json.dumps(x, separators=(",", ":"), sort_keys=True) + "\n" for x in LINES)
    assert capsys.readouterr().err == ""


@pytest.mark.parametrize(("text", "error"), [
    ('{"a": 1}\n[1,\n', "line 2: not valid JSON: Expecting value"),
    ('1\n\n{"a": NaN}\n', "line 3: cannot encode: float is not finite at $.a"),
    ('1\n[18446744073709551616]\n', "line 2: cannot encode: int outside the signed 64-bit"),
])
def test_encode_lines_names_the_line(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], text: str, error: str
) -> None:
    src, stream = tmp_path / "in.jsonl", tmp_path / "s.wexo"
    src.write_text(text)
    assert main(["encode", "--lines", str(src), "-o", str(stream)]) == 1
    err = capsys.readouterr().err
    assert err.startswith(f"wexo: {src}: {error}") and err.count("\n") == 1


@pytest.mark.parametrize(("tail", "error"), [
    (b"\x0f\x01\x0e", "offset 2: bad tag 0x0e"),
    (wexo.dumps("x" * 40)[:-1], "offset 4: truncated input"),
    (b"\x0f", "offset 0: not a WEXO binary document"),
])
def test_decode_lines_writes_the_documents_before_a_fault(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], tail: bytes, error: str
) -> None:
    stream = tmp_path / "s.wexo"
    head = wexo.dumps([1]) + wexo.dumps({"k": "v"})
    stream.write_bytes(head + tail)
    assert main(["decode", "--lines", str(stream)]) == 1
    out, err = capsys.readouterr()
    assert out == '[1]\n{"k":"v"}\n'
    off, _, message = error.partition(": ")
    shifted = int(off.split()[1]) + len(head)
    assert err == f"wexo: {stream}: offset {shifted}: {message}\n"


def test_lines_stream_through_pipes() -> None:
    text = "".join(json.dumps(x) + "\n" for x in LINES * 50)
    enc = subprocess.run([sys.executable, "-m", "wexo", "encode", "--lines", "-"],
                         input=text.encode(), capture_output=True, timeout=120, check=True)
    assert list(wexo.iter_loads(enc.stdout)) == LINES * 50
    dec = subprocess.run([sys.executable, "-m", "wexo", "decode", "--lines", "-", "-o", "-"],
                         input=enc.stdout, capture_output=True, timeout=120, check=True)
    assert dec.stdout.decode() == "".join(
        json.dumps(x, separators=(",", ":")) + "\n" for x in LINES * 50)


def test_decode_lines_answers_each_document_as_it_comes() -> None:
    # The writer waits for each JSON line before sending the next document: a reader that
    # waited for the whole input would never answer.
    p = subprocess.Popen([sys.executable, "-m", "wexo", "decode", "--lines", "-"],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    assert p.stdin and p.stdout
    for x in LINES:
        p.stdin.write(wexo.dumps(x))
        p.stdin.flush()
        assert json.loads(p.stdout.readline()) == x
    p.stdin.close()
    assert p.wait(timeout=60) == 0
    p.stdout.close()


def test_decode_lines_refuses_json_lines_with_a_hint(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    src = tmp_path / "in.jsonl"
    src.write_text('{"a": 1}\n')
    assert main(["decode", "--lines", str(src)]) == 1
    assert "'wexo encode --lines' converts JSON Lines to WEXO" in capsys.readouterr().err
