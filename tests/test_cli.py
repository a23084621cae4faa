"""The wexo command: encode, decode and inspect, through main() and as python -m wexo."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest
import wexo
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
    assert capsys.readouterr().err == "wexo: offset 3: trailing data\n"


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
