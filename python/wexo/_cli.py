"""The wexo command: encode JSON to WEXO, decode WEXO to JSON, list a document's contents."""

from __future__ import annotations

import argparse
import dataclasses
import json
import sys
from typing import Any, Sequence

from . import _native
from ._dumps import dumps
from ._encode import Options
from ._inspect import listing, render

_OPTION_NAMES = [f.name for f in dataclasses.fields(Options)]


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="wexo", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    enc = commands.add_parser("encode", help="JSON (file or stdin) to a WEXO document")
    enc.add_argument("input", nargs="?", default="-", help="JSON file, - for stdin (default)")
    enc.add_argument("-o", "--output", default="-", help="output file, - for stdout (default)")
    for name in _OPTION_NAMES:
        flag = "--no-" + name.replace("_", "-")
        enc.add_argument(flag, dest=name, action="store_false", help=f"do not use {name}")

    dec = commands.add_parser("decode", help="a WEXO document (file or stdin) to JSON")
    dec.add_argument("input", nargs="?", default="-", help="WEXO file, - for stdin (default)")
    dec.add_argument("-o", "--output", default="-", help="output file, - for stdout (default)")
    dec.add_argument("--indent", type=int, default=None, metavar="N", help="indent JSON by N")
    _add_limits(dec)

    ins = commands.add_parser(
        "inspect", help="list a document: offset, tag or column kind, payload; marks a failure"
    )
    ins.add_argument("input", nargs="?", default="-", help="WEXO file, - for stdin (default)")
    _add_limits(ins)
    return parser


def _count(text: str) -> int:
    n = int(text)
    if n < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {n}")
    return n


def _add_limits(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group(
        "limits",
        "what a document may build, as wexo.loads bounds it; by default proportional to the "
        "document's size (see README), never above the format's own budgets",
    )
    group.add_argument("--max-cells", type=_count, metavar="N",
                       help="at most N cells made by tables and typed arrays")
    group.add_argument("--max-copies", type=_count, metavar="N",
                       help="at most N container slots copied by anchor references")
    group.add_argument("--no-limits", action="store_true",
                       help="only the format's own budgets (as wexo_native.loads_binary); "
                       "--max-cells and --max-copies still apply")


def _limits(args: argparse.Namespace) -> dict[str, int | None]:
    """The keywords for wexo.loads: a limit given, None when lifted, absent for the default."""
    out: dict[str, int | None] = {}
    for name in ("max_cells", "max_copies"):
        value = getattr(args, name)
        if value is not None:
            out[name] = value
        elif args.no_limits:
            out[name] = None
    return out


def _read(path: str) -> bytes:
    if path == "-":
        return sys.stdin.buffer.read()
    with open(path, "rb") as f:
        return f.read()


def _write(path: str, data: bytes) -> None:
    if path == "-":
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
        return
    with open(path, "wb") as f:
        f.write(data)


def _fail(message: str) -> int:
    print(f"wexo: {message}", file=sys.stderr)
    return 1


def _encode(args: argparse.Namespace) -> int:
    try:
        tree = json.loads(_read(args.input))
    except ValueError as err:  # JSONDecodeError and UnicodeDecodeError alike
        return _fail(f"{args.input}: not valid JSON: {err}")
    options = {name: getattr(args, name) for name in _OPTION_NAMES}
    try:
        data = dumps(tree, **options)
    except (TypeError, ValueError) as err:
        return _fail(f"cannot encode: {err}")
    _write(args.output, data)
    return 0


def _decode(args: argparse.Namespace) -> int:
    data = _read(args.input)
    try:
        tree: Any = _native.loads(data, **_limits(args))
    except _native.WexoError as err:
        return _fail(str(err).removeprefix("wexo: "))
    text = json.dumps(tree, indent=args.indent, ensure_ascii=False) + "\n"
    _write(args.output, text.encode())
    return 0


def _inspect(args: argparse.Namespace) -> int:
    data = _read(args.input)
    limits = _limits(args)
    cells: int | None
    copies: int | None
    try:
        cells, copies = _native.default_limits(len(data))
    except ImportError:
        cells = copies = None  # the listing alone: the format's own budgets
    lines, failure = listing(
        data, limits.get("max_cells", cells), limits.get("max_copies", copies)
    )
    sys.stdout.write(render(lines, failure))
    try:
        _native.loads(data, **limits)
        native = None
    except ImportError:
        return 1 if failure else 0
    except _native.WexoError as err:
        native = (getattr(err, "message", str(err)), getattr(err, "offset", -1))
    mine = None if failure is None else (failure.message, failure.offset)
    if native != mine:
        said = "accepts the document" if native is None else f"offset {native[1]}: {native[0]}"
        sys.stdout.write(f"!! the native decoder disagrees: {said}\n")
        return 1
    return 1 if failure else 0


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status (0 success, 1 failure, 2 usage)."""
    args = _parser().parse_args(argv)
    handler = {"encode": _encode, "decode": _decode, "inspect": _inspect}[args.command]
    try:
        return handler(args)
    except BrokenPipeError:
        return 1
    except (OSError, ImportError) as err:
        return _fail(str(err))
