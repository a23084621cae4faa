"""The package's public surface: its arguments, its files and its version."""

from __future__ import annotations

import dataclasses
import io
from pathlib import Path
from typing import Any

import pytest
import wexo
from wexo import _ext, reference
from wexo.reference import Options

CHOICES = [name for name, _, _ in _ext.CHOICES]
NOT_BOOL = [("no", "str"), (1, "int"), (0, "int"), (None, "NoneType"), (1.0, "float")]


@pytest.mark.parametrize("name", CHOICES)
@pytest.mark.parametrize(("value", "type_name"), NOT_BOOL)
def test_choices_take_true_or_false_only(name: str, value: Any, type_name: str) -> None:
    message = f"dumps(): {name} must be True or False, not {type_name}"
    for dumps in (wexo.dumps, reference.dumps):
        with pytest.raises(TypeError) as caught:
            dumps([1, 2], **{name: value})
        assert str(caught.value) == message


@pytest.mark.parametrize("name", CHOICES)
def test_each_choice_is_its_own_keyword(name: str) -> None:
    tree = {"rows": [{"a": i, "b": "xy", "c": i % 2 == 0} for i in range(20)], "again": "xy"}
    off = wexo.dumps(tree, **{name: False})
    assert off == reference.dumps(tree, **{name: False})
    assert wexo.dumps(tree, **{name: True}) == wexo.dumps(tree)
    assert wexo.loads(off) == tree


def test_dump_and_load_spell_out_their_keywords() -> None:
    out = io.BytesIO()
    wexo.dump([1, "ab", "ab"], out, pool=False)
    assert out.getvalue() == wexo.dumps([1, "ab", "ab"], pool=False)
    with pytest.raises(TypeError, match=r"^dump\(\) got an unexpected keyword argument 'tabels'"):
        wexo.dump([1], io.BytesIO(), tabels=False)  # type: ignore[call-arg]
    rows = [{"a": i} for i in range(100)]
    data = wexo.dumps(rows)
    assert wexo.load(io.BytesIO(data), max_cells=None, max_copies=5) == rows
    with pytest.raises(TypeError, match=r"^load\(\) got an unexpected keyword argument"):
        wexo.load(io.BytesIO(data), max_cell=1)  # type: ignore[call-arg]
    with pytest.raises(wexo.WexoError, match="decoded size too large"):
        wexo.load(io.BytesIO(data), max_cells=3)


def test_load_wants_a_binary_file(tmp_path: Path) -> None:
    path = tmp_path / "d.wexo"
    path.write_bytes(wexo.dumps({"é": [1.5, "x" * 300]}))
    message = "wexo.load() needs a file opened in binary mode ('rb')"
    with open(path, encoding="utf-8", errors="strict") as text:
        with pytest.raises(TypeError, match=r"^" + re_escape(message)):
            wexo.load(text)  # type: ignore[arg-type]
    with pytest.raises(TypeError, match=re_escape(message)):
        wexo.load(io.StringIO("abc"))  # type: ignore[arg-type]

    class Reader:  # not an io class, but its read() gives text
        def read(self) -> str:
            return "\x0f\x01\x00"

    with pytest.raises(TypeError, match=re_escape(message)):
        wexo.load(Reader())  # type: ignore[arg-type]
    with open(path, "rb") as binary:
        assert wexo.load(binary) == {"é": [1.5, "x" * 300]}


def re_escape(text: str) -> str:
    import re

    return re.escape(text)


def test_the_error_class_is_the_decoders() -> None:
    import wexo_native

    assert wexo.WexoError is wexo_native.WexoError
    assert issubclass(wexo.WexoError, ValueError)

    class Mine(wexo.WexoError):
        pass

    assert issubclass(Mine, ValueError)
    with pytest.raises(wexo.WexoError) as caught:
        wexo.loads(b"\x0f\x01\x07\x05\x80")
    assert (caught.value.message, caught.value.offset) == ("truncated input", 4)


def test_version_is_the_distributions() -> None:
    from importlib.metadata import PackageNotFoundError, version

    assert isinstance(wexo.__version__, str) and wexo.__version__[0].isdigit()
    try:
        assert wexo.__version__ == version("wexo-native")
    except PackageNotFoundError:
        pytest.skip("not installed")


class Shade:
    pass


@pytest.mark.parametrize(
    ("value", "name"),
    [(Shade(), "test_api.Shade"), (b"", "bytes"), (frozenset(), "frozenset"),
     (io.BytesIO(), "_io.BytesIO"), (dataclasses.fields(Options)[0], "dataclasses.Field")],
)  # fmt: skip
def test_refused_types_are_named_with_their_module(value: Any, name: str) -> None:
    for dumps in (wexo.dumps, reference.dumps):
        with pytest.raises(TypeError) as caught:
            dumps({"v": [value]})
        assert str(caught.value) == (f"unsupported type {name} at $.v[0] "
                                     "(a default= function can convert it)")
