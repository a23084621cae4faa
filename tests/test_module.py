"""The module's surface: attributes, argument handling, conversions, the
WexoError class, and what the shared library exports and imports."""
import array
import gc
import importlib
import os
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import wexo_native
from wexo_native import WexoError, loads_binary

LIB = Path(wexo_native.__file__)


class BytesSub(bytes):
    def __getitem__(self, i):  # never consulted: bytes subclasses are read in place
        raise AssertionError("subclass method called")


CONVERTIBLE = [  # argument, expected result
    (b"\x0f\x01\x81", 1),
    (bytearray(b"\x0f\x01\x81"), 1),
    (memoryview(b"\x0f\x01\x81"), 1),
    ([15, 1, 129], 1),
    ((15, 1, 129), 1),
    (BytesSub(b"\x0f\x01\x81"), 1),
    (array.array("B", [15, 1, 129]), 1),
    (memoryview(b"xx\x0f\x01\x81")[2:], 1),
    (iter([15, 1, 0]), None),
]


@pytest.mark.parametrize("arg,expected", CONVERTIBLE)
def test_accepted_arguments(arg, expected):
    assert loads_binary(arg) == expected


@pytest.mark.parametrize("arg", ["\x0f\x01\x00", None, 3, 1.5, object(), [256], [-1]])
def test_unconvertible_arguments_raise_the_conversion_error(arg):
    with pytest.raises((TypeError, ValueError)) as info:
        loads_binary(arg)
    assert not isinstance(info.value, WexoError)


def test_str_argument_is_type_error():
    with pytest.raises(TypeError):
        loads_binary("\x0f\x01\x00")


ARG_ERRORS = [  # args, kwargs, message
    ((), {}, "loads_binary() missing 1 required positional argument: 'data'"),
    ((b"a", b"b"), {}, "loads_binary() takes 1 positional arguments but 2 were given"),
    ((b"a", b"b", b"c"), {}, "loads_binary() takes 1 positional arguments but 3 were given"),
    ((b"a", b"b"), {"other": 1}, "loads_binary() takes 1 positional arguments but 2 were given"),
    ((b"\x0f\x01\x00",), {"data": b""}, "loads_binary() got multiple values for argument 'data'"),
    ((), {"other": 1}, "loads_binary() got an unexpected keyword argument 'other'"),
    ((b"\x0f\x01\x00",), {"other": 1}, "loads_binary() got an unexpected keyword argument 'other'"),
    ((), {"Data": 1}, "loads_binary() got an unexpected keyword argument 'Data'"),
    ((), {"other": 1, "data": b"\x0f\x01\x00"}, "loads_binary() got an unexpected keyword argument 'other'"),
    ((), {"data": b"\x0f\x01\x00", "other": 1}, "loads_binary() got an unexpected keyword argument 'other'"),
]


@pytest.mark.parametrize("args,kwargs,message", ARG_ERRORS)
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        loads_binary(*args, **kwargs)
    assert str(info.value) == message


def test_argument_errors_come_before_content():
    # two positional arguments: neither is looked at, even if not convertible
    with pytest.raises(TypeError, match="takes 1 positional"):
        loads_binary(object(), object())


def test_keyword_data():
    assert loads_binary(data=b"\x0f\x01\x00") is None
    assert loads_binary(data=bytearray(b"\x0f\x01\x81")) == 1


def test_unencodable_keyword_name():
    with pytest.raises(TypeError, match="unexpected keyword argument"):
        loads_binary(**{"\udcff": 1})


@pytest.mark.parametrize("enabled", [True, False], ids=["gc-on", "gc-off"])
def test_collector_state_unchanged_by_calls(enabled):
    # the collector is paused during a decode: whatever its state before, it
    # is the same after a result and after each kind of failure
    was = gc.isenabled()
    (gc.enable if enabled else gc.disable)()
    try:
        for data in (b"\x0f\x01\x07\x02\x80\x08\x00",  # [0, {}]
                     b"\x0f\x01\x07\x02\x80",             # truncated inside the array
                     b"\x0f\x02\x00"):                     # bad version: fails before decoding
            try:
                loads_binary(data)
            except WexoError:
                pass
            assert gc.isenabled() is enabled, data
    finally:
        (gc.enable if was else gc.disable)()


def test_module_attributes():
    assert wexo_native.__all__ == ["loads_binary", "WexoError"]
    assert type(wexo_native.__all__) is list
    assert wexo_native.__doc__ == ""
    assert loads_binary.__text_signature__ == "(data)"
    assert loads_binary.__doc__ == "Decodes WEXO binary into dict/list/str/int/float/bool/None."
    assert loads_binary.__module__ == "wexo_native"
    assert loads_binary.__name__ == "loads_binary"
    import inspect
    assert str(inspect.signature(loads_binary)) == "(data)"


def test_error_class():
    assert WexoError.__bases__ == (ValueError,)
    assert WexoError.__module__ == "wexo_native"
    assert WexoError.__name__ == "WexoError"
    assert WexoError.__doc__ == "Invalid WEXO input."
    user_made = WexoError("x")
    assert not hasattr(user_made, "message") and not hasattr(user_made, "offset")


def test_reimport_shares_the_class_but_not_the_function():
    old = sys.modules.pop("wexo_native")
    try:
        fresh = importlib.import_module("wexo_native")
        assert fresh is not old
        assert fresh.WexoError is old.WexoError
        assert fresh.loads_binary is not old.loads_binary
        with pytest.raises(old.WexoError):
            fresh.loads_binary(b"")
    finally:
        sys.modules["wexo_native"] = old


RACE = textwrap.dedent("""
    import importlib.machinery, importlib.util, sys, threading
    path = sys.argv[1]
    n = 8
    barrier = threading.Barrier(n)
    classes = [None] * n
    def work(i):
        loader = importlib.machinery.ExtensionFileLoader("wexo_native", path)
        found = importlib.util.spec_from_file_location("wexo_native", path, loader=loader)
        barrier.wait()
        mod = importlib.util.module_from_spec(found)   # create
        loader.exec_module(mod)                       # exec: first use of the class
        classes[i] = mod.WexoError
    threads = [threading.Thread(target=work, args=(i,)) for i in range(n)]
    for t in threads: t.start()
    for t in threads: t.join()
    assert all(c is classes[0] for c in classes), classes
    assert classes[0] is not None
    print("ok")
""")


def test_threads_racing_first_use_get_one_class():
    for _ in range(10):
        out = subprocess.run([sys.executable, "-c", RACE, str(LIB)], capture_output=True,
                             text=True, timeout=60)
        assert out.returncode == 0, out.stderr
        assert out.stdout.strip() == "ok"


def tool(name):
    path = shutil.which(name)
    if path is None:
        pytest.skip(f"{name} not installed")
    return path


def dynamic_symbols(*flags):
    out = subprocess.run([tool("nm"), "-D", *flags, str(LIB)], capture_output=True, text=True,
                         check=True).stdout
    # lines read "[address] type name"; weak references (w) belong to the C runtime
    return [line.split()[-1] for line in out.splitlines()
            if line.strip() and line.split()[-2] != "w"]


def test_exports_exactly_the_init_function():
    assert dynamic_symbols("--defined-only") == ["PyInit_wexo_native"]


def test_no_libpython_and_no_throwing_allocation():
    out = subprocess.run([tool("readelf"), "-d", str(LIB)], capture_output=True, text=True,
                         check=True).stdout
    needed = re.findall(r"\(NEEDED\).*\[(.*)\]", out)
    assert needed and not [n for n in needed if "python" in n]
    undefined = dynamic_symbols("--undefined-only")
    # operator new, exception throwing and unwinding would let bad_alloc cross the interpreter
    assert not [u for u in undefined if re.match(r"_Zn[wa]|__cxa_throw|_Unwind", u)]


def test_imports_only_the_310_stable_abi():
    abi3info = pytest.importorskip("abi3info")
    allowed = {
        sym.name
        for table in (abi3info.FUNCTIONS, abi3info.DATAS)
        for sym, entry in table.items()
        if (entry.added.major, entry.added.minor) <= (3, 10)
    }
    interpreter = [u for u in dynamic_symbols("--undefined-only") if "@" not in u]
    assert interpreter, "no interpreter symbols found"
    assert sorted(set(interpreter) - allowed) == []
    # reference counts go through the interpreter's functions, never inline macros
    assert "_Py_IncRef" in interpreter and "_Py_DecRef" in interpreter


def test_abi3audit_strict():
    # installed beside this interpreter, which need not be on PATH (a venv run directly)
    exe = shutil.which("abi3audit", path=os.path.dirname(sys.executable)) or shutil.which("abi3audit")
    if exe is None:
        pytest.skip("abi3audit not installed")
    out = subprocess.run([exe, "--strict", "--assume-minimum-abi3", "3.10", str(LIB)],
                         capture_output=True, text=True)
    assert out.returncode == 0, out.stdout + out.stderr


MEMORY = textwrap.dedent("""
    import gc, resource, sys
    import wexo_native
    def uv(n):
        out = bytearray()
        while n >= 0x80:
            out.append(0x80 | (n & 0x7F))
            n >>= 7
        return bytes(out + bytes([n]))
    # the input exists before the limit: only the decoder's objects meet it
    data = b"\\x0f\\x01" + eval(sys.argv[1])
    gc.collect()
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    with open("/proc/self/statm") as f:
        used = int(f.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (used + (40 << 20), hard))
    try:
        wexo_native.loads_binary(data)
    except MemoryError:
        print("MemoryError")
    except BaseException as e:
        print(type(e).__name__)
    else:
        print("no error")
""")

OUT_OF_MEMORY = [  # body after the prologue, as an expression for the child
    # a typed array of 3 million delta ints: 1 byte each in the input, one int object each
    "b'\\x0c' + uv(3_000_000) + b'\\x01' + b'\\x02' * 3_000_000",
    # one ASCII string of 64 MiB: creating the str object itself fails
    "b'\\x05' + uv(64 << 20) + b'x' * (64 << 20)",
]


@pytest.mark.skipif(bool(os.environ.get("WEXO_SANITIZER")),
                    reason="the child would need the sanitizer runtime; its shadow memory defeats the limit")
@pytest.mark.parametrize("body", OUT_OF_MEMORY, ids=["ints", "string"])
def test_interpreter_memory_error_passes_through_unchanged(body):
    out = subprocess.run([sys.executable, "-c", MEMORY, body], capture_output=True, text=True,
                         timeout=120, env={"PYTHONPATH": str(LIB.parent)})
    assert out.stdout.strip() == "MemoryError", out.stdout + out.stderr


def test_package_loads_is_the_native_function():
    # no Python frame between wexo.loads and the decoder
    import wexo
    from wexo import _ext
    assert wexo.loads is _ext.loads
    assert wexo.loads(b"\x0f\x01\x81") == 1
