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
    assert lines[4].startswith("with max_cells=5: decoded size too large"), lines[4]
    assert lines[5] == "sample.wexo: 5 orders, the first placed on 2024-03-01"
    assert lines[6] in ("arrow: 3 rows, columns id, customer, total, paid, note",
                        "arrow: pyarrow is not installed (.venv/bin/python -m pip install "
                        "'.[arrow]')")
