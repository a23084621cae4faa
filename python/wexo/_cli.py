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

    ins = commands.add_parser(
        "inspect", help="list a document: offset, tag or column kind, payload; marks a failure"
    )
    ins.add_argument("input", nargs="?", default="-", help="WEXO file, - for stdin (default)")
    return parser


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
        tree: Any = _native.loads(data)
    except _native.WexoError as err:
        return _fail(str(err).removeprefix("wexo: "))
    text = json.dumps(tree, indent=args.indent, ensure_ascii=False) + "\n"
    _write(args.output, text.encode())
    return 0


def _inspect(args: argparse.Namespace) -> int:
    data = _read(args.input)
    lines, failure = listing(data)
    sys.stdout.write(render(lines, failure))
    try:
        _native.loads(data)
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
