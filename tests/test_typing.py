"""The installed package and the type stub satisfy mypy in strict mode."""
import os
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
    out = subprocess.run([sys.executable, str(EXAMPLE)], capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, out.stderr
    size, same, rest = out.stdout.split(" ", 2)
    assert same == "True" and rest.strip() == f"({int(size) - 1}, 'truncated input')"
