"""What every native module of the package links against: on Linux, the C library and the
dynamic loader only, at symbol versions no newer than glibc 2.17, so that one wheel installs
on every maintained glibc distribution (manylinux2014)."""
import os
import platform
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import wexo
import wexo_native

pytestmark = [
    pytest.mark.skipif(not sys.platform.startswith("linux") or platform.libc_ver()[0] != "glibc",
                       reason="ELF linkage against glibc"),
    pytest.mark.skipif(bool(os.environ.get("WEXO_SANITIZER")),
                       reason="a sanitizer build links its runtime by design"),
]

GLIBC_FLOOR = (2, 17)  # manylinux2014
# The C library and the dynamic loader, under the names they have on each architecture.
ALLOWED_NEEDED = re.compile(r"libc\.so\.6|ld-linux[-\w.]*\.so\.\d|ld64\.so\.\d|ld\.so\.\d")


def native_modules():
    """Every shared object of the decoder module and the package, wherever its parts lie."""
    found = {Path(wexo_native.__file__).resolve()}
    for folder in wexo.__path__:
        found.update(p.resolve() for p in Path(folder).rglob("*.so"))
    return sorted(found)


MODULES = native_modules()


def tool(name):
    path = shutil.which(name)
    if path is None:
        pytest.skip(f"{name} not installed")
    return path


def readelf(flag, lib):
    return subprocess.run([tool("readelf"), "-W", flag, str(lib)], capture_output=True,
                          text=True, check=True).stdout


def test_both_modules_are_found():
    names = {p.name for p in MODULES}
    assert "wexo_native.abi3.so" in names and "_ext.abi3.so" in names, names


@pytest.mark.parametrize("lib", MODULES, ids=lambda p: p.name)
def test_needs_only_the_c_library_and_the_loader(lib):
    needed = re.findall(r"\(NEEDED\).*\[(.*)\]", readelf("-d", lib))
    assert "libc.so.6" in needed
    # no libstdc++ (its throwing helpers), no libgcc_s (unwinding), no libm, no libpython
    assert [n for n in needed if not ALLOWED_NEEDED.fullmatch(n)] == []


@pytest.mark.parametrize("lib", MODULES, ids=lambda p: p.name)
def test_symbol_versions_are_glibc_2_17_or_older(lib):
    # the version-needs section lists every versioned import, weak ones included
    versions = re.findall(r"Name: (\S+)", readelf("-V", lib).partition(".gnu.version_r")[2])
    assert versions, "no versioned imports found"
    foreign = [v for v in versions if not v.startswith("GLIBC_")]
    assert foreign == []  # GLIBCXX_, CXXABI_, GCC_: a C++ runtime would be needed
    glibc = [tuple(int(x) for x in v[len("GLIBC_"):].split(".")) for v in versions]
    assert max(glibc)[:2] <= GLIBC_FLOOR, sorted(set(versions))


@pytest.mark.parametrize("lib", MODULES, ids=lambda p: p.name)
def test_exports_only_its_init_function(lib):
    out = subprocess.run([tool("nm"), "-D", "--defined-only", str(lib)], capture_output=True,
                         text=True, check=True).stdout
    exported = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert exported == ["PyInit_" + lib.name.split(".")[0]]


# Decodes a table of 17 columns (a header that long is checked through the keyed hash, whose
# keys are drawn on first use), then one whose header repeats a name, between two markers.
RANDOM_SOURCE = """
import os, sys, wexo_native
good, bad = bytes.fromhex(sys.argv[1]), bytes.fromhex(sys.argv[2])
os.write(2, b"<<decode\\n")
rows = wexo_native.loads_binary(good)
try:
    wexo_native.loads_binary(bad)
except wexo_native.WexoError as e:
    message = e.message
os.write(2, b"decode>>\\n")
print(len(rows), len(rows[0]), message)
"""


@pytest.mark.parametrize("refusal", [None, "ENOSYS", "EPERM"])
def test_hash_keys_come_from_getrandom_or_else_dev_urandom(tmp_path, refusal):
    strace = tool("strace")
    names = [f"k{i:02}" for i in range(17)]
    good = wexo.dumps([dict.fromkeys(names, i) for i in range(2)], pool=False)
    bad = good.replace(b"k16", b"k00", 1)  # the last name of the header repeats the first
    assert bad != good
    log = tmp_path / "trace"
    inject = ["-e", f"inject=getrandom:error={refusal}"] if refusal else []
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    out = subprocess.run(
        [strace, "-qq", "-o", str(log), "-e", "trace=getrandom,openat,open,write", *inject,
         sys.executable, "-c", RANDOM_SOURCE, good.hex(), bad.hex()],
        capture_output=True, text=True, timeout=60, env=env)
    if out.returncode != 0 and "ptrace" in out.stderr:
        pytest.skip("ptrace not permitted here")
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["2", "17", "duplicate", "column", "'k00'"]
    trace = log.read_text()
    calls = trace[trace.index("<<decode"):trace.index("decode>>")].splitlines()[1:]
    drawn = [c for c in calls if c.startswith("getrandom(")]
    opened = [c for c in calls if "/dev/urandom" in c]
    assert len(drawn) == 1 and ", 16, 0)" in drawn[0], calls  # 16 bytes, blocking until seeded
    if refusal is None:
        assert drawn[0].endswith("= 16") and opened == [], calls
    else:
        assert f"-1 {refusal}" in drawn[0] and len(opened) == 1, calls
        assert "O_CLOEXEC" in opened[0] and "= -1" not in opened[0], calls
