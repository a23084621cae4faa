"""The encoder's choices as one list (wexo._ext.CHOICES) and everything that derives from it or
must agree with it; the keywords of the native entry points; the package's need of wexo._ext."""

from __future__ import annotations

import ast
import inspect
import io
import json
import os
import re
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest

import wexo
from wexo import _ext, reference
from wexo._cli import main

NAMES = [name for name, _, _ in _ext.CHOICES]
PACKAGE = Path(wexo.__file__).resolve().parent
# The stub sits next to the package's sources; a build directory on sys.path holds only the
# native module, so look in the sources' folder too.
STUBS = [p for p in (PACKAGE / "_ext.pyi", Path(__file__).resolve().parents[1] / "python" / "wexo"
                     / "_ext.pyi") if p.is_file()]


def test_choices_are_names_defaults_and_help():
    assert isinstance(_ext.CHOICES, tuple) and len(_ext.CHOICES) == 10
    for entry in _ext.CHOICES:
        assert type(entry) is tuple and len(entry) == 3
        name, default, help = entry
        assert type(name) is str and name.isidentifier() and name.islower()
        assert default is True  # each choice is on unless switched off
        assert type(help) is str and help and "\n" not in help and help[0].islower()
    assert len(set(NAMES)) == len(NAMES)


def test_the_native_signature_lists_the_choices_in_order():
    params = inspect.signature(_ext.dumps).parameters
    assert list(params) == ["obj", "default", "nonfinite", *NAMES]
    for name in NAMES:
        assert params[name].kind is inspect.Parameter.KEYWORD_ONLY
        assert params[name].default is True


def test_each_choice_switches_its_own_bit():
    """Off one at a time, each choice changes what the native and the reference encoders write,
    alike; switched back on by keyword, nothing changes."""
    shared = [1, 2, 3]
    tree = {
        "rows": [{"id": 100000 + i, "name": "abc"[i % 3] * 3, "ok": i % 2 == 0, "price": i / 4,
                  "at": {"x": i, "y": "p"}} for i in range(40)],
        "sparse": [{"a": 1}, {"b": 2}, {"a": 3, "b": 4}] * 4,
        "ints": [10**6 + i for i in range(40)], "again": shared, "more": shared,
        "text": "words said twice", "echo": "words said twice",
    }  # fmt: skip
    full = wexo.dumps(tree)
    seen = {full}
    for name in NAMES:
        off = wexo.dumps(tree, **{name: False})
        assert off == reference.dumps(tree, **{name: False}), name
        assert wexo.dumps(tree, **{name: True}) == full
        seen.add(off)
        assert wexo.loads(off) == wexo.loads(full)
    assert len(seen) == len(NAMES) + 1


def test_the_reference_encoders_options_are_the_choices():
    import dataclasses

    fields = dataclasses.fields(reference.Options)
    assert [(f.name, f.default) for f in fields] == [(n, d) for n, d, _ in _ext.CHOICES]
    assert reference.Options() == reference.Options(**dict.fromkeys(NAMES, True))
    with pytest.raises(dataclasses.FrozenInstanceError):
        reference.Options().pool = False  # type: ignore[misc]
    with pytest.raises(TypeError, match=r"^dumps\(\) got an unexpected keyword argument 'tabels'$"):
        reference.dumps([1], tabels=False)


def _stub_dumps() -> ast.FunctionDef:
    if not STUBS:
        pytest.skip("no _ext.pyi beside the package or in the checkout")
    tree = ast.parse(STUBS[0].read_text(encoding="utf-8"))
    found = [n for n in tree.body if isinstance(n, ast.FunctionDef) and n.name == "dumps"]
    assert len(found) == 1
    return found[0]


def test_the_stub_agrees_with_the_choices():
    """The stub is static: its dumps lists each choice as a bool keyword, in order, and its
    docstring gives each choice's help."""
    fn = _stub_dumps()
    keywords = [(a.arg, ast.unparse(a.annotation) if a.annotation else None)
                for a in fn.args.kwonlyargs]
    assert [k for k, _ in keywords[:2]] == ["default", "nonfinite"]
    assert keywords[2:] == [(name, "bool") for name in NAMES]
    doc = " ".join((ast.get_docstring(fn) or "").split())
    for name, _, help in _ext.CHOICES:
        assert f"- {name}: {help}" in doc, name
    source = STUBS[0].read_text(encoding="utf-8")
    assert "CHOICES: Final[tuple[tuple[str, bool, str], ...]]" in source


def test_dump_spells_out_the_choices():
    """dump's signature is static too (type checkers read it): the same keywords as dumps."""
    params = inspect.signature(wexo.dump).parameters
    assert list(params) == ["obj", "fp", "default", "nonfinite", *NAMES]
    assert all(params[n].default is True for n in NAMES)
    out = io.BytesIO()
    wexo.dump([{"a": 1}, {"a": 2}], out, **dict.fromkeys(NAMES, False))
    assert out.getvalue() == wexo.dumps([{"a": 1}, {"a": 2}], **dict.fromkeys(NAMES, False))


def test_the_command_line_has_an_option_per_choice(capsys: pytest.CaptureFixture[str],
                                                   tmp_path: Path) -> None:
    src = tmp_path / "in.json"
    src.write_text('{"rows": [{"a": 1, "b": "xy"}, {"a": 2, "b": "xy"}], "s": "xy"}')
    tree = json.loads(src.read_text())
    for name in NAMES:
        doc = tmp_path / f"{name}.wexo"
        assert main(["encode", str(src), "-o", str(doc), "--no-" + name.replace("_", "-")]) == 0
        assert doc.read_bytes() == wexo.dumps(tree, **{name: False}), name


D = b"\x0f\x01\x00"
KEYWORD_CASES = [  # args, kwargs, message: the same for loads, iter_loads and loads_arrow
    ((), {}, "{}() missing 1 required positional argument: 'data'"),
    ((), {"max_cells": 1}, "{}() missing 1 required positional argument: 'data'"),
    ((D, D), {}, "{}() takes 1 positional argument but 2 were given"),
    ((D,), {"data": D}, "{}() got multiple values for argument 'data'"),
    ((D,), {"max_cells": 1, "data": D}, "{}() got multiple values for argument 'data'"),
    ((D,), {"x": 1}, "{}() got an unexpected keyword argument 'x'"),
    ((D,), {"max_cell": 1}, "{}() got an unexpected keyword argument 'max_cell'"),
    ((D,), {"Data": D}, "{}() got an unexpected keyword argument 'Data'"),
    ((), {"x": 1, "data": D}, "{}() got an unexpected keyword argument 'x'"),
    ((), {"data": D, "x": 1}, "{}() got an unexpected keyword argument 'x'"),
    ((D,), {"data": D, "x": 1}, "{}() got multiple values for argument 'data'"),  # in call order
    ((D,), {"max_cells": "1", "x": 1}, "{}(): max_cells must be an int or None, not str"),
    ((D,), {"x": 1, "max_cells": "1"}, "{}() got an unexpected keyword argument 'x'"),
    ((D,), {"max_copies": True}, "{}(): max_copies must be an int or None, not bool"),
]


def _twin(data: Any, *, max_cells: Any = None, max_copies: Any = None) -> None:
    """A Python function with the entry points' signature, for CPython's own messages."""


@pytest.mark.parametrize("function", ["loads", "iter_loads", "loads_arrow"])
@pytest.mark.parametrize(("args", "kwargs", "message"), KEYWORD_CASES)
def test_keywords_of_the_decoding_entry_points(function, args, kwargs, message):
    if function == "loads_arrow":
        pytest.importorskip("pyarrow")
        call: Any = _ext.loads_columns  # whose messages name loads_arrow
    else:
        call = getattr(_ext, function)
    with pytest.raises(TypeError) as caught:
        call(*args, **kwargs)
    assert str(caught.value) == message.format(function)
    # CPython says the same of a Python function with this signature (which binds every
    # argument before it judges any value).
    if "must be" not in message:
        with pytest.raises(TypeError) as twin:
            _twin(*args, **kwargs)
        # 3.13 adds a guess at the name meant ("... 'max_cell'. Did you mean 'max_cells'?"),
        # which the native messages leave out
        said = re.sub(r"\. Did you mean '[^']*'\?$", "", str(twin.value))
        assert said == message.format("_twin")


@pytest.mark.parametrize(("args", "kwargs", "message"), [
    ((), {"x": 1}, "StreamDecoder() got an unexpected keyword argument 'x'"),
    ((), {"max_cells": 1, "max_cell": 1}, "StreamDecoder() got an unexpected keyword argument 'max_cell'"),
    ((), {"data": D}, "StreamDecoder() got an unexpected keyword argument 'data'"),
    ((D,), {}, "StreamDecoder() takes no positional arguments"),
    ((), {"max_copies": 1.0}, "StreamDecoder(): max_copies must be an int or None, not float"),
])  # fmt: skip
def test_keywords_of_the_stream_decoder(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        _ext.StreamDecoder(*args, **kwargs)
    assert str(caught.value) == message


@pytest.mark.parametrize(("kwargs", "error", "message"), [
    ({"po": False}, TypeError, "dumps() got an unexpected keyword argument 'po'"),
    ({"obj": 1}, TypeError, "dumps() got an unexpected keyword argument 'obj'"),
    ({"pool": 0}, TypeError, "dumps(): pool must be True or False, not int"),
    ({"anchors": None}, TypeError, "dumps(): anchors must be True or False, not NoneType"),
    # keywords are judged in the order of the call
    ({"tables": 1, "pool": 1}, TypeError, "dumps(): tables must be True or False, not int"),
    ({"pool": False, "x": 1}, TypeError, "dumps() got an unexpected keyword argument 'x'"),
    ({"x": 1, "pool": 1}, TypeError, "dumps() got an unexpected keyword argument 'x'"),
    ({"nonfinite": "nan", "pool": 1}, ValueError, "dumps(): nonfinite must be 'error' or 'null', not 'nan'"),
    ({"default": 1}, TypeError, "dumps(): default must be callable or None, not int"),
])  # fmt: skip
def test_keywords_of_the_native_encoder(kwargs, error, message):
    with pytest.raises(error) as caught:
        _ext.dumps([1], **kwargs)
    assert type(caught.value) is error and str(caught.value) == message


def test_the_package_needs_its_native_module():
    """Without wexo._ext, import wexo fails and says what is missing; nothing falls back to the
    reference implementations."""
    code = ("import sys; sys.modules['wexo._ext'] = None\n"
            "try:\n    import wexo\nexcept ImportError as e:\n    print(e)\n"
            "else:\n    print('imported')\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                         cwd=Path(__file__).parent)
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("wexo needs its native module wexo._ext, which did not load ("), \
        out.stdout


def test_no_import_falls_back():
    """The package's sources catch ImportError only to name pyarrow, loads_arrow's and
    dumps_arrow's optional dependency, and to say that wexo._ext is missing."""
    catching = {}
    for path in sorted(PACKAGE.rglob("*.py")):
        tree = ast.parse(path.read_text(encoding="utf-8"))
        for node in ast.walk(tree):
            if isinstance(node, ast.ExceptHandler) and node.type is not None:
                if "ImportError" in ast.unparse(node.type):
                    catching.setdefault(str(path.relative_to(PACKAGE)), []).append(
                        ast.unparse(node.body[0]).split("(")[0])
    assert catching == {"__init__.py": ["raise ImportError"], "_arrow.py": ["raise ImportError"],
                        "_arrow_write.py": ["raise ImportError"], "_cli.py": ["return _fail"]}, catching


def test_the_reference_implementations_are_a_subpackage():
    import wexo.reference.decoder
    import wexo.reference.encoder
    import wexo.reference.scan

    assert Path(wexo.reference.__file__).parent == PACKAGE / "reference"
    assert reference.dumps is wexo.reference.encoder.dumps
    assert reference.loads is wexo.reference.decoder.loads
    for gone in ("_encode", "_scan"):
        assert not (PACKAGE / f"{gone}.py").exists()
    data = wexo.dumps({"a": [1, 2.5, "x"], "b": [{"k": 1}, {"k": 2}]})
    assert reference.loads(data) == wexo.loads(data)


@pytest.mark.skipif(bool(os.environ.get("WEXO_SANITIZER")),
                    reason="no block counts under PYTHONMALLOC=malloc")
def test_keyword_refusals_and_choices_do_not_leak():
    from test_leaks import blocks_per_call

    calls = [
        lambda: _ext.dumps([1], pool=False, default=None, nonfinite="null"),
        lambda: _ext.dumps([1], x=1),
        lambda: _ext.dumps([1], pool=1),
        lambda: _ext.dumps([1], default=1),
        lambda: _ext.loads(D, data=D),
        lambda: _ext.loads(D, max_cells="1"),
        lambda: _ext.iter_loads(data=D, max_copies=2, y=1),
        lambda: _ext.StreamDecoder(max_cells=1, x=1),
        lambda: _ext.StreamDecoder(max_cells=1, max_copies=None),
        lambda: _ext.CHOICES,
    ]
    for call in calls:
        def run(call: Any = call) -> None:
            try:
                call()
            except (TypeError, ValueError):
                pass
        assert blocks_per_call(run) < 0.1


@pytest.mark.parametrize("order", ["given", "reversed", "rotated"])
def test_keywords_in_any_order(order: str) -> None:
    # The keyword search starts after the keyword before: every order must still find each.
    names = [c[0] for c in _ext.CHOICES]
    if order == "reversed":
        names.reverse()
    elif order == "rotated":
        names = names[3:] + names[:3]
    tree = {"rows": [{"a": i, "b": "x" * (i % 3)} for i in range(20)]}
    off = {name: name in ("pool", "delta", "anchors") for name in names}
    assert _ext.dumps(tree, **off) == reference.dumps(tree, **off)
    with pytest.raises(TypeError, match="unexpected keyword argument 'pools'"):
        _ext.dumps(tree, **off, pools=True)
