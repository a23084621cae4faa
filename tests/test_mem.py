"""The modules' own containers (src/mem.h, src/nameset.h), compiled on their own and run: under AddressSanitizer
and UndefinedBehaviorSanitizer where the compiler has them. Needs the source tree and a C++
compiler; skipped without either."""
import os
import platform
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
SRC = HERE.parent / "src"


def test_vec_str_and_nameset(tmp_path: Path) -> None:
    if not (SRC / "mem.h").is_file():
        pytest.skip("no source tree beside the tests")
    cxx = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
    if cxx is None:
        pytest.skip("no C++ compiler")
    exe = tmp_path / "mem_test"
    flags = ["-std=c++17", "-O1", "-g", "-fno-exceptions", "-fno-rtti",
             "-Wall", "-Wextra", "-Wpedantic", "-Wshadow", "-Wconversion", "-Werror"]  # fmt: skip
    sanitized = sys.platform.startswith("linux") and platform.libc_ver()[0] == "glibc"
    if sanitized:
        flags += ["-fsanitize=address,undefined", "-fno-sanitize-recover=all"]
    build = subprocess.run([cxx, *flags, f"-I{SRC}", str(HERE / "native" / "mem_test.cpp"),
                            "-o", str(exe)], capture_output=True, text=True)  # fmt: skip
    assert build.returncode == 0, build.stderr
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    env["ASAN_OPTIONS"] = "detect_leaks=1:allocator_may_return_null=1"  # refused sizes give null
    run = subprocess.run([str(exe)], capture_output=True, text=True, env=env, timeout=120)
    assert (run.returncode, run.stdout) == (0, "ok\n"), run.stderr
