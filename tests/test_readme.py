"""Every fenced code block of the documentation runs, or is checked, as it is written.

The documents are README.md, docs/format.md and bench/README.md of the checkout. The tests run
from tests/ against the installed package; an sdist has no README to check, and is skipped.

What each kind of block must be (a block of any other kind fails the test, so that a new block
chooses one):

- ``python``: executed, each block in a fresh namespace: every example stands alone, as a
  reader pastes it. A line ending in ``# -> TEXT`` is checked: on an expression, TEXT is the
  ``repr`` of its value; on a ``print(...)`` call, TEXT is the line printed. ``...`` in TEXT
  stands for any text. Every such line must run. A block that imports a module that is not
  installed (pyarrow) is skipped, naming the module.
- ``console``: a shell session. Lines starting with ``$ `` are commands, run with bash one
  after the other in a scratch folder holding a copy of examples/, with a ``wexo`` that runs
  this interpreter's package first on PATH; the lines after a command are its output (standard output and standard error
  together) and must match exactly, ``...`` standing for any text.
- ``sh``: commands the reader runs from the root of a checkout. They are too slow to run here
  (builds, benchmarks, fuzzing), so each command is checked instead: the scripts and files it
  names exist, the options it gives are options of the script or command it calls (``wexo``'s
  and a Python script's from their ``--help``, a shell script's from its source), a pip
  extra exists in pyproject.toml.
  ``python3`` only makes a virtual environment; every other command calls the
  environment's ``python`` (``.venv/bin/python``, as after the README's set-up).
- ``hex``: a document in hexadecimal, a byte group per line followed by two spaces and an
  explanation, then ``=> VALUE`` (a Python literal) or ``=> error: offset N: MESSAGE``;
  ``loads_binary`` must give exactly that value (compared by ``repr``, so types and key order
  count) or raise exactly that error.
- ``text``: a list of the repository's files and folders, one per line with its description;
  each listed path must exist.
"""
from __future__ import annotations

import ast
import contextlib
import io
import os
import re
import shlex
import shutil
import subprocess
import sys
import tokenize
from pathlib import Path

import pytest

import wexo_native

ROOT = Path(__file__).resolve().parent.parent
DOCS = ["README.md", "docs/format.md", "bench/README.md"]
KINDS = {"python", "console", "sh", "hex", "text"}

if not (ROOT / "README.md").is_file():
    pytest.skip("README.md is not beside tests/ (an sdist): nothing to check",
                allow_module_level=True)


def fenced_blocks(doc: str) -> list[tuple[str, int, str, str]]:
    """(document, line of the opening fence, info string, body) of every fenced block."""
    blocks = []
    lines = (ROOT / doc).read_text(encoding="utf-8").splitlines()
    i = 0
    while i < len(lines):
        m = re.match(r"^(\s*)(```+|~~~+)\s*(\S*)", lines[i])
        if not m:
            i += 1
            continue
        fence, info, start = m.group(2), m.group(3), i + 1
        body = []
        i += 1
        while i < len(lines) and not lines[i].strip().startswith(fence):
            body.append(lines[i])
            i += 1
        assert i < len(lines), f"{doc}:{start}: a fence that is never closed"
        blocks.append((doc, start, info, "\n".join(body) + "\n"))
        i += 1
    return blocks


BLOCKS = [b for doc in DOCS if (ROOT / doc).is_file() for b in fenced_blocks(doc)]


def ids(blocks):
    return [f"{doc}:{line}:{info or 'plain'}" for doc, line, info, _ in blocks]


def of_kind(kind):
    return [b for b in BLOCKS if b[2] == kind]


def test_every_block_has_a_kind_the_tests_check():
    assert BLOCKS, "no fenced blocks found"
    unknown = [f"{doc}:{line} ({info or 'no language'})" for doc, line, info, _ in BLOCKS
               if info not in KINDS]
    assert not unknown, f"blocks of no checked kind: {unknown}"


def test_the_readme_opens_with_the_two_set_up_commands():
    first = next(b for b in BLOCKS if b[0] == "README.md")
    commands = [ln for ln in first[3].splitlines() if ln.strip() and not ln.startswith("#")]
    assert commands == [
        "python3 -m venv .venv && .venv/bin/python -m pip install . && "
        ".venv/bin/wexo decode examples/sample.wexo --indent 2",
        "bash scripts/test.sh",
    ]


# ---------------------------------------------------------------- python blocks

def _pattern(text: str) -> re.Pattern:
    return re.compile(".*?".join(re.escape(part) for part in text.split("...")), re.S)


def _matches(expected: str, actual: str) -> bool:
    return _pattern(expected).fullmatch(actual) is not None


class _Checks(ast.NodeTransformer):
    """Wraps each expression statement whose line carries a ``# ->`` comment in a check."""

    def __init__(self, expected: dict[int, str]):
        self.expected = expected

    def visit_Expr(self, node: ast.Expr) -> ast.AST:
        line = node.end_lineno
        if line not in self.expected:
            return node
        call = node.value
        is_print = (isinstance(call, ast.Call) and isinstance(call.func, ast.Name)
                    and call.func.id == "print")
        if is_print:
            new = ast.Call(func=ast.Name("__check_print__", ast.Load()),
                           args=[ast.Constant(line), *call.args], keywords=call.keywords)
        else:
            new = ast.Call(func=ast.Name("__check_value__", ast.Load()),
                           args=[ast.Constant(line), call], keywords=[])
        return ast.copy_location(ast.Expr(ast.copy_location(new, node)), node)


def _expected_results(source: str) -> dict[int, str]:
    found = {}
    for tok in tokenize.generate_tokens(io.StringIO(source).readline):
        if tok.type == tokenize.COMMENT and tok.string.startswith("# -> "):
            found[tok.start[0]] = tok.string[len("# -> "):].strip()
    return found


def run_python_block(source: str, where: str) -> int:
    """Runs one block; returns how many ``# ->`` results it checked."""
    expected = _expected_results(source)
    tree = _Checks(expected).visit(ast.parse(source, where))
    ast.fix_missing_locations(tree)
    seen: set[int] = set()

    def check_value(line, value):
        seen.add(line)
        assert _matches(expected[line], repr(value)), (
            f"{where}, line {line}: gives {value!r}, the text says {expected[line]}")

    def check_print(line, *args, **kwargs):
        seen.add(line)
        out = io.StringIO()
        print(*args, **kwargs, file=out)
        got = out.getvalue().rstrip("\n")
        assert _matches(expected[line], got), (
            f"{where}, line {line}: prints {got!r}, the text says {expected[line]!r}")

    namespace = {"__name__": "__doc_example__", "__check_value__": check_value,
                 "__check_print__": check_print}
    with contextlib.redirect_stdout(io.StringIO()):
        exec(compile(tree, where, "exec", dont_inherit=True), namespace)
    missed = sorted(set(expected) - seen)
    assert not missed, f"{where}: lines {missed} carry a '# ->' result but never ran as checked"
    return len(expected)


@pytest.mark.parametrize("block", of_kind("python"), ids=ids(of_kind("python")))
def test_python_block_runs_and_gives_what_it_says(block):
    doc, line, _, source = block
    try:
        run_python_block(source, f"{doc}:{line}")
    except ModuleNotFoundError as e:
        if e.name in ("wexo", "wexo_native"):
            raise
        pytest.skip(f"needs {e.name}, which is not installed")


def test_the_result_checker_catches_a_wrong_result():
    run_python_block("x = [1, 'a']\nx   # -> [1, 'a']\nprint(len(x))  # -> 2\n", "ok")
    with pytest.raises(AssertionError, match="gives"):
        run_python_block("1 + 1   # -> 3\n", "wrong value")
    with pytest.raises(AssertionError, match="prints"):
        run_python_block("print('a', 'b')   # -> a,b\n", "wrong print")
    with pytest.raises(AssertionError, match="never ran"):
        run_python_block("if False:\n    1   # -> 1\n", "not run")
    assert run_python_block("str(list(range(50)))  # -> '[0, 1, ..., 49]'\n", "elided") == 1


# ---------------------------------------------------------------- console blocks

def console_steps(body: str) -> list[tuple[str, list[str]]]:
    steps: list[tuple[str, list[str]]] = []
    for ln in body.splitlines():
        if ln.startswith("$ "):
            steps.append((ln[2:], []))
        else:
            assert steps, f"output before any command: {ln!r}"
            steps[-1][1].append(ln)
    return steps


@pytest.fixture
def scratch(tmp_path):
    shutil.copytree(ROOT / "examples", tmp_path / "examples")
    return tmp_path


def _console_env(scratch: Path) -> dict[str, str]:
    """PATH starts with a ``wexo`` that runs this interpreter's package (installed, or found
    through PYTHONPATH as under scripts/sanitize.sh)."""
    bin_dir = scratch / ".bin"
    bin_dir.mkdir()
    shim = bin_dir / "wexo"
    shim.write_text(f'#!/bin/sh\nexec {shlex.quote(sys.executable)} -m wexo "$@"\n')
    shim.chmod(0o755)
    env = dict(os.environ)
    env["PATH"] = f"{bin_dir}{os.pathsep}{env.get('PATH', '')}"
    env["COLUMNS"] = "80"
    return env


@pytest.mark.parametrize("block", of_kind("console"), ids=ids(of_kind("console")))
def test_console_block_prints_what_it_shows(block, scratch):
    doc, line, _, body = block
    env = _console_env(scratch)
    for command, expected in console_steps(body):
        got = subprocess.run(["bash", "-c", command], cwd=scratch, env=env, text=True,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
        shown = "\n".join(expected)
        actual = got.stdout.rstrip("\n")
        assert _matches(shown, actual), (
            f"{doc}:{line}: `{command}` printed\n{actual}\n-- the text shows --\n{shown}")


# ---------------------------------------------------------------- sh blocks

def _pyproject_extras() -> set[str]:
    text = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
    section = text.split("[project.optional-dependencies]", 1)[1].split("\n[", 1)[0]
    return set(re.findall(r"^(\w+)\s*=", section, re.M))


_WEXO_HELP: dict[tuple[str, ...], str] = {}


def _wexo_help(sub: tuple[str, ...]) -> str:
    if sub not in _WEXO_HELP:
        out = subprocess.run([sys.executable, "-m", "wexo", *sub, "--help"],
                             capture_output=True, text=True)
        assert out.returncode == 0, f"wexo {' '.join(sub)} --help failed: {out.stderr}"
        _WEXO_HELP[sub] = out.stdout
    return _WEXO_HELP[sub]


_SCRIPT_HELP: dict[str, str] = {}


def _script_help(script: str) -> str:
    if script not in _SCRIPT_HELP:
        out = subprocess.run([sys.executable, script, "--help"], cwd=ROOT, capture_output=True,
                             text=True, timeout=60)
        assert out.returncode == 0, f"{script} --help failed: {out.stderr}"
        _SCRIPT_HELP[script] = out.stdout
    return _SCRIPT_HELP[script]


def _options(args: list[str]) -> list[str]:
    return [a.split("=", 1)[0] for a in args if a.startswith("--")]


def check_command(words: list[str], made: set[str], doc: str) -> None:
    """Asserts that the files, scripts and options a command names exist."""
    while words and re.match(r"^[A-Za-z_]+=", words[0]):
        words = words[1:]  # VAR=value before a command
    assert words, "an empty command"
    prog, args = words[0], words[1:]
    if prog == "source":
        assert args and (args[0] in made or (ROOT / args[0]).exists() or ".venv" in args[0])
        return
    if prog in ("cd", "cmake"):
        return  # the build: CMakeLists.txt's own options, checked by the builds themselves
    if prog == "bash":
        script = ROOT / args[0]
        assert script.is_file(), f"{args[0]} does not exist"
        text = script.read_text(encoding="utf-8")
        for opt in _options(args[1:]):
            assert opt in text, f"{args[0]} has no option {opt}"
        return
    if prog.endswith("/wexo") or prog == "wexo":
        check_wexo(args, made)
        return
    if re.search(r"(^|/)(python3?(\.\d+)?|pip)$", prog):
        if prog == "python3":
            assert args[:2] == ["-m", "venv"], (
                "python3 only makes an environment; after that, commands use the environment's "
                "python: " + " ".join(words))
        if prog.endswith("pip"):
            args = ["-m", "pip", *args]
        if args[:2] == ["-m", "venv"]:
            return
        if args[:2] == ["-m", "wexo"]:
            check_wexo(args[2:], made)
            return
        if args[:2] == ["-m", "pip"]:
            rest = args[2:]
            assert rest and rest[0] == "install", words
            for i, a in enumerate(rest[1:], 1):
                if a == "-r":
                    assert (ROOT / rest[i + 1]).is_file(), f"{rest[i + 1]} does not exist"
                m = re.fullmatch(r"\.(?:\[(\w+)\])?", a)
                if m and m.group(1):
                    assert m.group(1) in _pyproject_extras(), f"no extra [{m.group(1)}]"
            return
        if args[:2] == ["-m", "pytest"]:
            for a in args[2:]:
                if not a.startswith("-"):
                    assert (ROOT / a).exists(), f"{a} does not exist"
            return
        script = ROOT / args[0]
        assert script.suffix == ".py" and script.is_file(), f"{args[0]} is not a script here"
        help_text = _script_help(args[0])
        for opt in _options(args[1:]):
            assert re.search(rf"{re.escape(opt)}\b", help_text), f"{args[0]} has no option {opt}"
        return
    raise AssertionError(f"the test does not know how to check `{' '.join(words)}`")


def check_wexo(args: list[str], made: set[str]) -> None:
    assert args, "wexo without a command"
    if args[0].startswith("-"):
        sub: tuple[str, ...] = ()
        rest = args
    else:
        sub, rest = (args[0],), args[1:]
    help_text = _wexo_help(sub)
    for opt in _options(rest):
        assert opt in help_text, f"wexo {' '.join(sub)} has no option {opt}"
    for i, a in enumerate(rest):
        prev = rest[i - 1] if i else ""
        if a.startswith("-") or re.fullmatch(r"[\d_]+", a) or prev == "--indent":
            continue
        if prev in ("-o", "--output"):
            made.add(a)
            continue
        assert a in made or (ROOT / a).exists(), f"wexo {' '.join(args)}: no file {a}"


def sh_commands(body: str) -> list[list[str]]:
    commands = []
    for ln in body.splitlines():
        ln = ln.split(" #", 1)[0].strip()
        if not ln or ln.startswith("#"):
            continue
        ln = re.sub(r"\$\((?:which|command -v) python3?\)", "/usr/bin/python3", ln)
        ln = ln.replace("$PWD/", "")
        for part in re.split(r"\s*(?:&&|;)\s*", ln):
            commands.append(shlex.split(part))
    return commands


@pytest.mark.parametrize("block", of_kind("sh"), ids=ids(of_kind("sh")))
def test_sh_block_names_what_exists(block):
    doc, line, _, body = block
    made: set[str] = set()
    commands = sh_commands(body)
    assert commands, f"{doc}:{line}: an empty sh block"
    for words in commands:
        try:
            check_command(words, made, doc)
        except AssertionError as e:
            raise AssertionError(f"{doc}:{line}: `{' '.join(words)}`: {e}") from None


def test_the_command_checker_refuses_what_does_not_exist():
    for bad in ["bash scripts/nothing.sh", "python3 -m pip install '.[nothing]'",
                ".venv/bin/python bench/bench.py --no-such-option",
                ".venv/bin/wexo decode examples/sample.wexo --no-such-option",
                ".venv/bin/wexo decode examples/nothing.wexo", "python3 bench/bench.py",
                "make all"]:
        with pytest.raises(AssertionError):
            for words in sh_commands(bad):
                check_command(words, set(), "README.md")


# ---------------------------------------------------------------- hex blocks

def parse_hex(body: str) -> tuple[bytes, str]:
    data = bytearray()
    outcome = None
    for ln in body.splitlines():
        ln = ln.strip()
        if not ln:
            continue
        if ln.startswith("=>"):
            assert outcome is None, "two => lines"
            outcome = ln[2:].strip()
            continue
        assert outcome is None, f"bytes after the => line: {ln!r}"
        groups = re.split(r"\s{2,}", ln, maxsplit=1)[0].split()
        for g in groups:
            assert re.fullmatch(r"[0-9A-F]{2}", g), f"not a byte in upper-case hex: {g!r} in {ln!r}"
            data.append(int(g, 16))
    assert outcome is not None, "no => line"
    return bytes(data), outcome


@pytest.mark.parametrize("block", of_kind("hex"), ids=ids(of_kind("hex")))
def test_hex_example_decodes_to_what_it_says(block):
    doc, line, _, body = block
    data, outcome = parse_hex(body)
    m = re.fullmatch(r"error: offset (\d+): (.+)", outcome)
    if m:
        with pytest.raises(wexo_native.WexoError) as e:
            wexo_native.loads_binary(data)
        assert (e.value.offset, e.value.message) == (int(m.group(1)), m.group(2)), f"{doc}:{line}"
    else:
        got = wexo_native.loads_binary(data)
        assert repr(got) == repr(ast.literal_eval(outcome)), f"{doc}:{line}: gives {got!r}"


def test_format_page_shows_every_column_kind():
    """Each of the six column kinds has a typed-array example that decodes."""
    blocks = [parse_hex(b[3]) for b in BLOCKS if b[0] == "docs/format.md" and b[2] == "hex"]
    kinds = {data[4] for data, outcome in blocks
             if data[2] == 0x0C and not outcome.startswith("error:")}
    assert kinds == {0, 1, 2, 3, 4, 5}, f"typed-array examples cover the kinds {sorted(kinds)}"


# ---------------------------------------------------------------- text blocks

@pytest.mark.parametrize("block", of_kind("text"), ids=ids(of_kind("text")))
def test_text_block_lists_paths_that_exist(block):
    doc, line, _, body = block
    listed = 0
    for ln in body.splitlines():
        if not ln.strip() or ln.startswith(" "):
            continue  # a continued description
        first = ln.split()[0].rstrip(",")
        for path in first.split(","):
            if path:
                assert (ROOT / path).exists(), f"{doc}:{line}: {path} does not exist"
                listed += 1
    assert listed, f"{doc}:{line}: a text block that lists no path"


def test_the_sample_document_is_the_sample_json():
    """The set-up command decodes examples/sample.wexo: it holds examples/sample.json's tree."""
    import json

    import wexo

    tree = json.loads((ROOT / "examples" / "sample.json").read_text(encoding="utf-8"))
    data = (ROOT / "examples" / "sample.wexo").read_bytes()
    assert wexo_native.loads_binary(data) == tree
    assert wexo.dumps(tree) == data


# ---------------------------------------------------------------- links

def _slugs(doc: Path) -> set[str]:
    """The anchors of a Markdown file's headings, as GitHub makes them."""
    seen: dict[str, int] = {}
    slugs = set()
    in_fence = False
    for ln in doc.read_text(encoding="utf-8").splitlines():
        if ln.lstrip().startswith("```"):
            in_fence = not in_fence
        m = None if in_fence else re.match(r"^#{1,6}\s+(.*?)\s*$", ln)
        if not m:
            continue
        slug = re.sub(r"[^\w\- ]", "", m.group(1).lower()).replace(" ", "-")
        n = seen.get(slug, 0)
        seen[slug] = n + 1
        slugs.add(slug if n == 0 else f"{slug}-{n}")
    return slugs


def _links(doc: str) -> list[str]:
    text = (ROOT / doc).read_text(encoding="utf-8")
    text = re.sub(r"```.*?```", "", text, flags=re.S)
    text = re.sub(r"`[^`\n]*`", "", text)
    return re.findall(r"\]\(([^)\s]+)\)", text)


@pytest.mark.parametrize("doc", [d for d in DOCS if (ROOT / d).is_file()])
def test_links_between_the_docs_lead_somewhere(doc):
    for link in _links(doc):
        if re.match(r"^[a-z]+:", link):
            continue  # another site
        path, _, anchor = link.partition("#")
        target = (ROOT / doc).parent / path if path else ROOT / doc
        assert target.exists(), f"{doc}: link to {link}: no such file"
        if anchor:
            assert target.suffix == ".md", f"{doc}: link to {link}: an anchor in a non-Markdown file"
            assert anchor in _slugs(target), f"{doc}: link to {link}: no such heading"


# ---------------------------------------------------------------- the format page's reader

def _format_reader():
    """read and FormatError of the Python reader that docs/format.md shows."""
    blocks = [b for b in of_kind("python") if b[0] == "docs/format.md" and "def read(" in b[3]]
    assert len(blocks) == 1, "docs/format.md shows one reader, in one python block"
    namespace: dict = {"__name__": "format_reader"}
    with contextlib.redirect_stdout(io.StringIO()):
        exec(compile(blocks[0][3], "docs/format.md (reader)", "exec"), namespace)
    return namespace["read"], namespace["FormatError"]


@contextlib.contextmanager
def _deep_recursion():
    # the reader recurses once or twice per level, 512 levels, and deepcopy up to 4,096
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(max(old, 20_000))
    try:
        yield
    finally:
        sys.setrecursionlimit(old)


def _outcome(decode, error_type, data):
    try:
        return ("value", repr(decode(data)))
    except error_type as e:
        return ("error", e.offset, e.message)


def test_the_format_pages_reader_reads_every_example_as_written():
    read, format_error = _format_reader()
    examples = [(b[0], b[1], *parse_hex(b[3])) for b in of_kind("hex")]
    assert examples
    for doc, line, data, outcome in examples:
        got = _outcome(read, format_error, data)
        m = re.fullmatch(r"error: offset (\d+): (.+)", outcome)
        want = (("error", int(m.group(1)), m.group(2)) if m
                else ("value", repr(ast.literal_eval(outcome))))
        assert got == want, f"{doc}:{line}"


def _documents():
    """Documents to decode both ways: the fuzzing seeds and regressions (mostly malformed),
    the examples, and the corpus encoded with every encoding choice on and each off."""
    import json

    import wexo

    for folder in ("fuzz/seeds", "fuzz/regressions"):
        if (ROOT / folder).is_dir():
            for p in sorted((ROOT / folder).iterdir()):
                yield p.name, p.read_bytes()
    yield "sample.wexo", (ROOT / "examples" / "sample.wexo").read_bytes()
    choices = [name for name, _, _ in wexo._ext.CHOICES]
    shared = [1.5, "x" * 40, {"k": [True, None]}]
    trees = [json.loads(p.read_text(encoding="utf-8"))
             for p in sorted((ROOT / "tests" / "data" / "corpus").glob("*.json"))]
    trees += [
        [shared, shared, {"a": shared}],
        [{"id": i, "price": i * 0.25, "big": 2**62 - i, "tag": "ab"[i % 2] * 3,
          "ok": i % 3 == 0, "at": {"x": i, "y": -i}} for i in range(40)],
        [{"id": i, **({"note": "n%d" % i} if i % 4 else {})} for i in range(30)],
        [[0.1 * i for i in range(20)], list(range(-5, 300, 7)), [True, False] * 9],
    ]
    for i, tree in enumerate(trees):
        for off in [None, *choices]:
            yield f"tree {i} without {off}", wexo.dumps(tree, **({off: False} if off else {}))


def test_the_format_pages_reader_agrees_with_loads_binary():
    """Values, messages and offsets, wherever loads_binary's budgets (which the page's reader
    leaves out) do not decide."""
    read, format_error = _format_reader()
    compared = 0
    with _deep_recursion():
        for name, data in _documents():
            want = _outcome(wexo_native.loads_binary, wexo_native.WexoError, data)
            if want[0] == "error" and want[2] in ("decoded size too large",
                                                  "reference expansion too large"):
                continue
            assert _outcome(read, format_error, data) == want, name
            compared += 1
    assert compared > 100
