"""The installed package and the type stub satisfy mypy in strict mode."""
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "usage.py"


@pytest.mark.parametrize("target", [["-p", "wexo"], [str(EXAMPLE)]], ids=["package", "example"])
def test_mypy_strict(tmp_path, target):
    pytest.importorskip("mypy")
    import wexo
    # an installed package is found by mypy itself; a checkout's through MYPYPATH
    where = Path(wexo.__file__).resolve().parents[1]
    env = dict(os.environ)
    if where.name != "site-packages":
        env["MYPYPATH"] = str(where)
    out = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path), *target],
        capture_output=True, text=True, cwd=tmp_path, timeout=300, env=env)
    assert out.returncode == 0, out.stdout + out.stderr


def test_example_runs():
    """examples/usage.py, the tour the README points to, prints what each step gives."""
    out = subprocess.run([sys.executable, str(EXAMPLE)], capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert len(lines) == 7, out.stdout
    m = re.fullmatch(r"encoded: (\d+) bytes \(compact JSON: (\d+) bytes\)", lines[0])
    assert m and int(m.group(1)) < int(m.group(2)) / 2, lines[0]
    assert lines[1] == "decoded equals the original: True"
    assert lines[2] == ("second record: {'id': 1002, 'customer': 'Alan', 'total': 12, "
                        "'paid': False}")
    assert re.fullmatch(r"cut short by one byte: truncated input at offset \d+", lines[3])
    assert lines[4] == ("with max_cells=2: decoded size too large: over max_cells=2 "
                        "(max_cells=None lifts it)"), lines[4]
    assert lines[5] == "sample.wexo: 5 orders, the first placed on 2024-03-01"
    assert lines[6] in ("arrow: 3 rows, columns id, customer, total, paid, note",
                        "arrow: pyarrow is not installed (.venv/bin/python -m pip install "
                        "'.[arrow]')")


# The whole public API as a caller would use it: mypy --strict accepts it.
USES_THE_API = '''
from __future__ import annotations

import io
from typing import Any

import wexo
import wexo_native


class StrictError(wexo.WexoError):
    pass


def where(e: wexo.WexoError) -> tuple[str, int]:
    return e.message, e.offset


def main() -> None:
    data: bytes = wexo.dumps({"a": [1, 2]}, tables=False, anchors=True)
    out = io.BytesIO()
    wexo.dump([1], out, pool=False, typed_arrays=True)
    tree: Any = wexo.loads(data, max_cells=None, max_copies=10)
    again: Any = wexo.load(io.BytesIO(data), max_cells=100)
    try:
        wexo_native.loads_binary(b"\\x0f")
    except wexo.WexoError as e:
        print(where(e), e.offset + 1)
    version: str = wexo.__version__
    print(tree, again, version, wexo.loads_arrow)
    for x in wexo.iter_loads(data + data, max_cells=10):
        print(x)
    for y in wexo.iter_load(io.BytesIO(data), max_copies=None, chunk_size=4096):
        print(y)
    feeder = wexo.StreamDecoder(max_cells=None)
    feeder.feed(data)
    feeder.feed(bytearray(data))
    held: int = feeder.pending
    print([z for z in feeder], held)
'''

# Each line a mistake mypy must report, by its line number.
MISTAKES = '''
import io
import wexo

wexo.dump([1], io.BytesIO(), tabels=False)
wexo.load(io.BytesIO(b""), max_cell=1)
wexo.dumps([1], pool="no")
wexo.loads(b"", max_cells="10")
x: int = wexo.dumps([1])
wexo.iter_load(io.BytesIO(b""), chunk_size="64")
wexo.StreamDecoder(max_cell=1)
wexo.StreamDecoder().feed("text")
'''


def _mypy(tmp_path: Path, source: str) -> subprocess.CompletedProcess[str]:
    pytest.importorskip("mypy")
    import wexo

    script = tmp_path / "script.py"
    script.write_text(source)
    where = Path(wexo.__file__).resolve().parents[1]
    env = dict(os.environ)
    if where.name != "site-packages":
        env["MYPYPATH"] = str(where)
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
         "--no-error-summary", str(script)],
        capture_output=True, text=True, cwd=tmp_path, timeout=300, env=env)


def test_mypy_accepts_the_whole_api(tmp_path: Path) -> None:
    out = _mypy(tmp_path, USES_THE_API)
    assert out.returncode == 0, out.stdout + out.stderr


def test_mypy_reports_each_mistake(tmp_path: Path) -> None:
    out = _mypy(tmp_path, MISTAKES)
    assert out.returncode == 1, out.stdout + out.stderr
    lines = {int(line.split(":")[1]) for line in out.stdout.splitlines() if ": error:" in line}
    assert lines == {5, 6, 7, 8, 9, 10, 11, 12}, out.stdout
