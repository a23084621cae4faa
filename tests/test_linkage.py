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
