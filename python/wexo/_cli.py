"""The wexo command: encode JSON to WEXO, decode WEXO to JSON, list a document's contents."""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import re
import sys
from typing import IO, TYPE_CHECKING, Any, Callable, Iterator, Sequence

from . import _ext, _native
from ._inspect import listing, render, summary
from .reference.decoder import DecodeFailure
from ._json import dumps as json_text
from .reference.scan import short_path

# The encoder's choices, and what switching each off does, for --help.
_OPTION_HELP = {name: help for name, _, help in _ext.CHOICES}
_OPTION_NAMES = list(_OPTION_HELP)

# One step of a path as messages write it: [3], .id or ["odd key"].
_STEP = re.compile(r'\[\d+\]|\.[A-Za-z_][A-Za-z0-9_]*|\["(?:[^"\\]|\\.)*"\]')


if TYPE_CHECKING:
    _Commands = argparse._SubParsersAction[argparse.ArgumentParser]


class Failed(Exception):
    """One line for the user, naming the file and the cause; the exit status is 1."""


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("wexo-native")
    except PackageNotFoundError:
        return "(not installed; run from a source tree)"


def _add_input(parser: argparse.ArgumentParser, kind: str) -> None:
    parser.add_argument(
        "input", nargs="?", default="-", metavar="FILE",
        help=f"the {kind} to read; - or nothing reads standard input",
    )  # fmt: skip


def _add_output(parser: argparse.ArgumentParser, what: str, default: str | None) -> None:
    parser.add_argument(
        "-o", "--output", default=default, metavar="FILE",
        help=f"where to write the {what}; - is standard output (the default)",
    )  # fmt: skip


def _encode_parser(commands: _Commands) -> None:
    enc = commands.add_parser(
        "encode",
        help="convert JSON to a WEXO document",
        description="Convert a JSON document to WEXO. The encoder picks the most compact "
        "encoding it can prove lossless; each --no-... option rules one of its choices out. "
        "It refuses integers outside 64 bits, NaN and infinities, strings with lone "
        "surrogates and nesting deeper than 512 levels, naming the path of the value.",
    )
    _add_input(enc, "JSON document")
    enc.add_argument(
        "-o", "--output", default=None, metavar="FILE",
        help="where to write the WEXO document; - is standard output (the default, but a "
        "terminal gets binary data only with -o -)",
    )  # fmt: skip
    enc.add_argument(
        "--lines", action="store_true",
        help="read JSON Lines (one JSON value per line; blank lines are skipped) and write one "
        "WEXO document per line, back to back, as the lines come",
    )  # fmt: skip
    choices = enc.add_argument_group("encoding choices (all on by default)")
    for name in _OPTION_NAMES:
        choices.add_argument(
            "--no-" + name.replace("_", "-"), dest=name, action="store_false",
            help=_OPTION_HELP[name],
        )  # fmt: skip
    enc.set_defaults(run=_encode)


def _decode_parser(commands: _Commands) -> argparse.ArgumentParser:
    dec = commands.add_parser(
        "decode",
        help="convert a WEXO document to JSON",
        description="Decode a WEXO document and write it as JSON.",
    )
    _add_input(dec, "WEXO document")
    _add_output(dec, "JSON text", "-")
    layout = dec.add_mutually_exclusive_group()
    layout.add_argument(
        "--indent", type=_count, default=None, metavar="N",
        help="indent nested JSON by N spaces per level (default: all on one line)",
    )  # fmt: skip
    layout.add_argument(
        "--compact", action="store_true",
        help="no spaces after commas and colons (default: one space after each)",
    )  # fmt: skip
    dec.add_argument("--sort-keys", action="store_true",
                     help="write each object's keys in sorted order (default: as stored)")
    layout.add_argument(
        "--lines", action="store_true",
        help="read a stream of WEXO documents written back to back and write each as one "
        "compact JSON line (JSON Lines), as the documents come; each document gets the "
        "limits for the bytes from its start to the end of what has been read",
    )  # fmt: skip
    dec.set_defaults(run=_decode)
    return dec


def _inspect_parser(commands: _Commands) -> argparse.ArgumentParser:
    ins = commands.add_parser(
        "inspect",
        help="list what a WEXO document holds, value by value",
        description="List a WEXO document: one line per value or column with its byte offset, "
        "its kind and a short view of its contents, indented by nesting. A broken document is "
        "listed up to the first fault, which is marked with !! and the decoder's message.",
    )
    _add_input(ins, "WEXO document")
    ins.add_argument(
        "--depth", type=_count, default=None, metavar="N",
        help="list values nested at most N levels deep (0: the root only; default: all)",
    )  # fmt: skip
    ins.add_argument(
        "--summary", action="store_true",
        help="instead of the listing, count the values per kind and encoding, the string "
        "pool's and anchors' use, and the sizes",
    )  # fmt: skip
    ins.set_defaults(run=_inspect)
    return ins


def _count(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
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
                       help="at most N dicts made by tables, sparse tables and object columns, "
                       "and slots of typed arrays other than bit arrays")
    group.add_argument("--max-copies", type=_count, metavar="N",
                       help="at most N container slots copied by anchor references")
    group.add_argument("--no-limits", action="store_true",
                       help="only the format's own budgets (as wexo_native.loads_binary); "
                       "--max-cells and --max-copies still apply")


_OVER = re.compile(r"over max_(cells|copies)=(\d+) \(max_\1=None lifts it\)$")


def _lift_hint(message: str) -> str:
    """A limit's message in the command line's terms: its option, and --no-limits to lift it."""
    return _OVER.sub(r"over --max-\1 \2 (--no-limits lifts it)", message)


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


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="wexo",
        description="Convert between JSON and WEXO, a compact binary encoding of JSON-like "
        "data, and list what a WEXO document holds.",
        epilog="Run 'wexo COMMAND --help' for the options of a command. Exit status: 0 on "
        "success, 1 on failure, 2 on a usage error.",
    )
    parser.add_argument("--version", action="version", version=f"wexo {_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    _encode_parser(commands)
    _add_limits(_decode_parser(commands))
    _add_limits(_inspect_parser(commands))
    return parser


def _name(path: str) -> str:
    return "<stdin>" if path == "-" else path


def _read(path: str) -> bytes:
    try:
        if path == "-":
            return sys.stdin.buffer.read()
        with open(path, "rb") as f:
            return f.read()
    except OSError as err:
        raise Failed(f"{_name(path)}: cannot read: {err.strerror or err}") from None


def _write(path: str, data: bytes) -> None:
    try:
        if path == "-":
            sys.stdout.buffer.write(data)
            sys.stdout.buffer.flush()
            return
        with open(path, "wb") as f:
            f.write(data)
    except BrokenPipeError:
        raise
    except OSError as err:
        name = "<stdout>" if path == "-" else path
        raise Failed(f"{name}: cannot write: {err.strerror or err}") from None


def shorten_path(path: str) -> str:
    """A path given as text, shortened as the encoders shorten the paths their messages name:
    $[0][0]...[0] (depth 600)."""
    steps = _STEP.findall(path, 1)
    if not path.startswith("$") or "".join(steps) != path[1:]:
        steps = [path[1:]]  # not made of steps: only its middle can go
    return short_path(steps)


def _big_int(digits: str) -> int:
    """An int for a literal too long for int(): just outside 64 bits, with its sign."""
    return -(1 << 64) if digits.startswith("-") else 1 << 64


def _parse_json(data: bytes, name: str) -> Any:
    try:
        try:
            return json.loads(data)
        except ValueError as err:
            if "int_max_str_digits" not in str(err):
                raise
        # An integer literal of thousands of digits: int() refuses it, and a command-line
        # user cannot raise that limit. Only its magnitude matters here: the encoder then
        # refuses it as out of range, at its path.
        return json.loads(data, parse_int=lambda s: _big_int(s) if len(s) > 40 else int(s))
    except RecursionError:
        raise Failed(f"{name}: JSON nested too deeply to read") from None
    except ValueError as err:  # JSONDecodeError and UnicodeDecodeError alike
        if data[:1] == b"\x0f":  # the first byte of every WEXO document
            raise Failed(
                f"{name}: not JSON: it looks like a WEXO document; "
                "'wexo decode' converts WEXO to JSON"
            ) from None
        if isinstance(err, UnicodeDecodeError):
            raise Failed(f"{name}: not valid JSON: not UTF-8 (byte {err.start})") from None
        raise Failed(f"{name}: not valid JSON: {err}") from None


@contextlib.contextmanager
def _reading(path: str) -> Iterator[IO[bytes]]:
    """The input as a binary file, read as it comes (standard input for -)."""
    if path == "-":
        yield sys.stdin.buffer
        return
    try:
        f = open(path, "rb")
    except OSError as err:
        raise Failed(f"{_name(path)}: cannot read: {err.strerror or err}") from None
    with f:
        yield f


@contextlib.contextmanager
def _writing(path: str) -> Iterator[IO[bytes]]:
    """The output as a binary file (standard output for -); write failures become Failed."""
    name = "<stdout>" if path == "-" else path
    try:
        if path == "-":
            yield sys.stdout.buffer
            sys.stdout.buffer.flush()
            return
        with open(path, "wb") as f:
            yield f
    except BrokenPipeError:
        raise
    except OSError as err:
        raise Failed(f"{name}: cannot write: {err.strerror or err}") from None


def _lines_in(f: IO[bytes], name: str) -> Iterator[tuple[int, bytes]]:
    try:
        yield from enumerate(f, 1)
    except OSError as err:
        raise Failed(f"{name}: cannot read: {err.strerror or err}") from None


def _encode_lines(args: argparse.Namespace, output: str) -> None:
    from . import dumps

    name = _name(args.input)
    options = {n: getattr(args, n) for n in _OPTION_NAMES}
    with _reading(args.input) as f, _writing(output) as out:
        for number, line in _lines_in(f, name):
            if not line.strip():
                continue
            where = f"{name}: line {number}"
            tree = _parse_json(line, where)
            try:
                data = dumps(tree, **options)
            except (TypeError, ValueError) as err:
                raise Failed(f"{where}: cannot encode: {err}") from None
            except RecursionError:
                raise Failed(f"{where}: cannot encode: nesting too deep") from None
            out.write(data)
            if args.input == "-":
                out.flush()


def _encode(args: argparse.Namespace) -> None:
    from . import dumps  # the package's encoder, whichever implementation it is

    name = _name(args.input)
    output = args.output
    if output is None:
        if sys.stdout.isatty():
            raise Failed(
                "not writing binary WEXO to a terminal; give -o FILE, or -o - to write it anyway"
            )
        output = "-"
    if args.lines:
        _encode_lines(args, output)
        return
    tree = _parse_json(_read(args.input), name)
    try:
        data = dumps(tree, **{n: getattr(args, n) for n in _OPTION_NAMES})
    except (TypeError, ValueError) as err:
        raise Failed(f"{name}: cannot encode: {err}") from None
    except RecursionError:
        raise Failed(f"{name}: cannot encode: nesting too deep") from None
    _write(output, data)


def _to_json(tree: Any, args: argparse.Namespace) -> bytes:
    # Anchors let a small document decode to a tree thousands of levels deep: the writer
    # follows any depth without the interpreter's recursion.
    text = json_text(tree, indent=args.indent, sort_keys=args.sort_keys, compact=args.compact)
    return (text + "\n").encode()


def _looks_like_json(data: bytes) -> bool:
    head = data[:64].lstrip(b" \t\r\n\xef\xbb\xbf")
    return head[:1] in (b"{", b"[", b'"', b"-") or head[:1].isdigit() or head.startswith(
        (b"true", b"false", b"null")
    )


def _decode_lines(args: argparse.Namespace) -> None:
    from ._stream import iter_load

    name = _name(args.input)
    with _reading(args.input) as f, _writing(args.output) as out:
        read = getattr(f, "read1", None) or f.read
        try:
            head = read(64)
        except OSError as err:
            raise Failed(f"{name}: cannot read: {err.strerror or err}") from None
        if head[:1] != b"\x0f" and _looks_like_json(head):
            raise Failed(
                f"{name}: not a stream of WEXO documents: it looks like JSON; "
                "'wexo encode --lines' converts JSON Lines to WEXO"
            )
        source = _Prefixed(head, f)
        limits: dict[str, Any] = dict(_limits(args))
        try:
            for tree in iter_load(source, **limits):
                text = json_text(tree, sort_keys=args.sort_keys, compact=True)
                out.write(text.encode() + b"\n")
                if args.input == "-":
                    out.flush()
        except _native.WexoError as err:
            out.flush()
            raise Failed(f"{name}: {_lift_hint(str(err).removeprefix('wexo: '))}") from None
        except OSError as err:
            if isinstance(err, BrokenPipeError) or not source.reading:
                raise
            raise Failed(f"{name}: cannot read: {err.strerror or err}") from None


class _Prefixed:
    """A binary file whose first bytes were read already: read1 gives them back first."""

    def __init__(self, head: bytes, f: IO[bytes]) -> None:
        self._head = head
        self._read = getattr(f, "read1", None) or f.read
        self.reading = False

    def read1(self, n: int = -1) -> bytes:
        if self._head:
            head, self._head = self._head, b""
            return head
        self.reading = True
        data = self._read(n)
        self.reading = False
        return data

    read = read1


def _decode(args: argparse.Namespace) -> None:
    if args.lines:
        _decode_lines(args)
        return
    name = _name(args.input)
    data = _read(args.input)
    if data[:1] != b"\x0f" and _looks_like_json(data):
        raise Failed(
            f"{name}: not a WEXO binary document: it looks like JSON; "
            "'wexo encode' converts JSON to WEXO"
        )
    try:
        tree: Any = _native.loads(data, **_limits(args))
    except _native.WexoError as err:
        raise Failed(f"{name}: {_lift_hint(str(err).removeprefix('wexo: '))}") from None
    _write(args.output, _to_json(tree, args))


def _inspect(args: argparse.Namespace) -> int:
    name = _name(args.input)
    data = _read(args.input)
    limits = _limits(args)
    cells, copies = _native.default_limits(len(data))
    max_cells, max_copies = limits.get("max_cells", cells), limits.get("max_copies", copies)
    if args.summary:
        text, failure = summary(data, max_cells, max_copies)
        if failure is not None:
            text = text.replace(f"!! offset {failure.offset}: {failure.message}",
                                f"!! offset {failure.offset}: {_lift_hint(failure.message)}")
        sys.stdout.write(text)
    else:
        lines, failure = listing(data, max_cells, max_copies)
        shown = None if failure is None else DecodeFailure(_lift_hint(failure.message),
                                                           failure.offset)
        sys.stdout.write(render(lines, shown, args.depth))
    native: tuple[str, int] | None
    try:
        _native.loads(data, **limits)
        native = None
    except _native.WexoError as err:
        native = (getattr(err, "message", str(err)), getattr(err, "offset", -1))
    mine = None if failure is None else (failure.message, failure.offset)
    if native != mine:
        said = "accepts the document" if native is None else f"offset {native[1]}: {native[0]}"
        sys.stdout.write(f"!! the native decoder disagrees: {said}\n")
        sys.stdout.flush()
        raise Failed(f"{name}: the listing and the native decoder disagree")
    if failure is not None:
        sys.stdout.flush()
        raise Failed(f"{name}: offset {failure.offset}: {_lift_hint(failure.message)}")
    return 0


def _fail(message: str) -> int:
    print(f"wexo: {message}", file=sys.stderr)
    return 1


def _quiet_stdout() -> None:
    """After a closed pipe, point stdout at /dev/null so that exiting does not complain."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status (0 success, 1 failure, 2 usage)."""
    args = _parser().parse_args(argv)
    run: Callable[[argparse.Namespace], int | None] = args.run
    try:
        return run(args) or 0
    except Failed as err:
        return _fail(str(err))
    except BrokenPipeError:
        _quiet_stdout()
        return 1
    except KeyboardInterrupt:
        return _fail("interrupted") + 129
    except MemoryError:
        return _fail(f"{_name(args.input)}: out of memory")
    except (OSError, ImportError) as err:
        return _fail(str(err))
    except Exception as err:  # a fault of this tool: still one line, never a traceback
        return _fail(f"{_name(args.input)}: internal error: {type(err).__name__}: {err}")
