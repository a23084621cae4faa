"""The encoder's first pass: validates a tree and measures its containers."""

from __future__ import annotations

import math
import re
import sys
from typing import Any, Callable, Iterator

from .._format import INT64_MAX, INT64_MIN, MAX_COUNT, MAX_DEPTH

# More values than this, counting every copy of a shared container, cannot be decoded in any
# real memory; refusing them keeps the encoder from writing without end.
MAX_EXPANDED = 1 << 32

_IDENT = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")


def segment(key: object) -> str:
    """The path step to a list element or an object member: [3], .id or ["odd key"]."""
    if isinstance(key, int):
        return f"[{key}]"
    text = str(key)
    if _IDENT.match(text):
        return "." + text
    escaped = text.replace("\\", "\\\\").replace('"', '\\"')
    return f'["{escaped}"]'


def utf8_ok(text: str) -> bool:
    if text.isascii():
        return True
    try:
        text.encode()
    except UnicodeEncodeError:
        return False
    return True


def scalar_fault(value: object) -> BaseException | None:
    """Why a non-container value cannot be encoded, or None when it can."""
    if value is None or value is True or value is False:
        return None
    if isinstance(value, str):
        return None if utf8_ok(value) else ValueError("string is not valid UTF-8 (lone surrogate)")
    if isinstance(value, int):
        if INT64_MIN <= value <= INT64_MAX:
            return None
        return ValueError("int outside the signed 64-bit range")
    if isinstance(value, float):
        return None if math.isfinite(value) else ValueError("float is not finite")
    return TypeError(f"unsupported type {type_name(type(value))}")


def type_name(t: type) -> str:
    """A type's name as messages give it: bytes, set, numpy.bool_, decimal.Decimal."""
    module = getattr(t, "__module__", None)
    if not isinstance(module, str) or module == "builtins":
        return t.__qualname__
    return f"{module}.{t.__qualname__}"


PATH_LIMIT = 60  # characters of a path in a message, before it is shortened
_CUT_STEP = 24


def short_path(steps: list[str]) -> str:
    """The path "$" and steps; a longer one than PATH_LIMIT characters keeps its first two
    steps and its last, with the depth: $[0][0]...[0] (depth 513)."""
    path = "$" + "".join(steps)
    if len(path) <= PATH_LIMIT:
        return path
    if len(steps) < 4:
        return path[: PATH_LIMIT // 2] + "..." + path[-(PATH_LIMIT // 2) :]

    def cut(step: str) -> str:
        return step if len(step) <= _CUT_STEP else step[: _CUT_STEP - 3] + "..."

    return f"${cut(steps[0])}{cut(steps[1])}...{cut(steps[-1])} (depth {len(steps)})"


class Scan:
    """What the encoder needs to know about each container, keyed by id.

    ``height`` is the nesting below a container as the plain encoding would write it (0 for an
    empty one), ``uses`` how many places of the tree hold it. ``cost`` and ``size`` are computed
    on demand for shared containers only.
    """

    def __init__(self) -> None:
        self.height: dict[int, int] = {}
        self.uses: dict[int, int] = {}
        self.expanded: dict[int, int] = {}
        self._cost: dict[int, int] = {}
        self._size: dict[int, int] = {}
        self.root: object = None  # the tree to write: the one scanned, or a copy of it
        self.held: list[object] = []  # what the ids of the tables name, kept alive

    def cost(self, obj: Any) -> int:
        """Container slots one anchor reference to obj copies: each list or dict costs len + 1."""
        key = id(obj)
        done = self._cost.get(key)
        if done is not None:
            return done
        total = len(obj) + 1
        children = obj.values() if isinstance(obj, dict) else obj
        for child in children:
            if isinstance(child, (list, tuple, dict)):
                total += self.cost(child)
        self._cost[key] = total
        return total

    def size(self, obj: Any) -> int:
        """A rough size of obj written again, its repeated strings counted as references."""
        key = id(obj)
        done = self._size.get(key)
        if done is not None:
            return done
        total = 2
        if isinstance(obj, dict):
            for name, child in obj.items():
                total += _scalar_size(name) + self._child_size(child)
        else:
            for child in obj:
                total += self._child_size(child)
        self._size[key] = total
        return total

    def _child_size(self, child: object) -> int:
        if isinstance(child, (list, tuple, dict)):
            return 3 if self.uses.get(id(child), 1) > 1 else self.size(child)
        return _scalar_size(child)


def _scalar_size(value: object) -> int:
    if isinstance(value, str):
        n = len(value)
        return 1 + n if n < 2 else 3
    if isinstance(value, bool) or value is None:
        return 1
    if isinstance(value, int):
        return 1 if 0 <= value <= 127 else 1 + (abs(value).bit_length() + 7) // 7
    return 9


def _children(obj: Any) -> Iterator[tuple[object, object]]:
    if isinstance(obj, dict):
        return iter(obj.items())
    return enumerate(obj)


# Conversions in a row for one value (default's results, Enum values) before it is refused.
MAX_CHAIN = 254

_M64 = (1 << 64) - 1


class _SubDict(dict):  # type: ignore[type-arg]
    """A copy of a dict subclass: written as the subclass would be, not as an exact dict."""


class _SubList(list):  # type: ignore[type-arg]
    """A copy of a list or tuple subclass, likewise."""


def _module(name: str) -> Any:
    """A module the program has imported, or None: no object is of a type of a module not loaded."""
    return sys.modules.get(name)


class _Nothing:
    """What convert gives when nothing converts a value."""


NOTHING = _Nothing()


def convert(value: object, default: Callable[[object], object] | None) -> object:
    """What is written in place of value, a value of no type the encoder writes, or NOTHING."""
    t = type(value)
    dt = _module("datetime")
    uuid = _module("uuid")
    enum = _module("enum")
    if dt is not None and issubclass(t, dt.datetime):
        return dt.datetime.isoformat(value)
    if dt is not None and issubclass(t, dt.date):
        return dt.date.isoformat(value)
    if dt is not None and issubclass(t, dt.time):
        if value.tzinfo is None:  # type: ignore[attr-defined]
            return dt.time.isoformat(value)
    elif uuid is not None and issubclass(t, uuid.UUID):
        n = value.int  # type: ignore[attr-defined]
        h = f"{(n >> 64) & _M64:016x}{n & _M64:016x}"
        return f"{h[:8]}-{h[8:12]}-{h[12:16]}-{h[16:20]}-{h[20:]}"
    elif enum is not None and issubclass(t, enum.Enum):
        return value.value  # type: ignore[attr-defined]
    elif hasattr(t, "__dataclass_fields__"):
        import dataclasses

        return {f.name: getattr(value, f.name) for f in dataclasses.fields(value)}  # type: ignore[arg-type]
    if default is not None:
        return default(value)
    return NOTHING


# What a refusal of a type adds when dumps was given no default.
NO_HOOK_HINT = " (a default= function can convert it)"


def _refusal(value: object) -> str:
    """The message for a value nothing converts."""
    dt = _module("datetime")
    name = type_name(type(value))
    if dt is not None and issubclass(type(value), dt.time) and value.tzinfo is not None:  # type: ignore[attr-defined]
        return f"unsupported type {name} with tzinfo"
    return f"unsupported type {name}"


def _copy(obj: Any, kids: list[tuple[object, object]]) -> Any:
    """A container like obj holding what its elements are written as."""
    if isinstance(obj, dict):
        return (dict if type(obj) is dict else _SubDict)(kids)
    values = [v for _, v in kids]
    if type(obj) is list:
        return values
    if type(obj) is tuple:
        return tuple(values)
    return _SubList(values)


class _Frame:
    """One open container of the walk."""

    __slots__ = ("obj", "items", "kids", "changed", "source", "name", "tallest", "count")

    def __init__(self, obj: Any, source: object, name: object) -> None:
        self.obj = obj
        self.items = _children(obj)
        self.kids: list[tuple[object, object]] = []  # (key or index, what is written)
        self.changed = False  # a kid is written as something else than the element
        self.source = source  # the element of the parent that this container is written for
        self.name = name
        self.tallest = 0
        self.count = 1


class _Rebuild(Exception):
    """A value to convert was met: the scan starts again, copying what holds converted values."""


def scan(
    root: object,
    default: Callable[[object], object] | None = None,
    null_nonfinite: bool = False,
) -> Scan:
    """Check the whole tree, without recursion, and measure its containers.

    Raises TypeError or ValueError naming the path of the first offending value in document
    order: an unsupported type, a non-str key, an int outside 64 bits, a NaN or infinity, a string
    with a lone surrogate, a cycle, nesting deeper than the decoder accepts.

    Values of no type the encoder writes are converted (see convert) and entered in their place;
    a container holding such a value is copied with what its elements are written as. The tree to
    write is ``root`` of the result, and ``held`` keeps every object whose id is a key alive.
    A tree with nothing to convert is walked once, without copies; one with something is walked
    again from the start (before any conversion runs), with them.
    """
    try:
        return _scan(root, default, null_nonfinite, False)
    except _Rebuild:
        return _scan(root, default, null_nonfinite, True)


def _scan(
    root: object,
    default: Callable[[object], object] | None,
    null_nonfinite: bool,
    rebuild: bool,
) -> Scan:
    result = Scan()
    height, uses, expanded = result.height, result.uses, result.expanded
    frames: list[_Frame] = []
    segs: list[str] = []  # path step of each frame, the root's being empty
    active: set[int] = set()
    written: dict[int, object] = {}  # id of a container met -> what is written for it
    held = result.held

    def where(step: str) -> str:
        return short_path([s for s in (*segs, step) if s])

    def fail(err: BaseException, step: str) -> BaseException:
        return type(err)(f"{err} at {where(step)}")

    def enter(obj: Any, step: str, name: object) -> tuple[int, int, object] | None:
        """Height, expanded size and written form of a value already known, or None once obj
        is pushed."""
        source = obj
        chain = 0
        while not isinstance(obj, (list, tuple, dict)):
            fault = scalar_fault(obj)
            if fault is None:
                return 0, 1, obj
            if null_nonfinite and isinstance(obj, float):
                if not rebuild:
                    raise _Rebuild
                return 0, 1, None
            if not isinstance(fault, TypeError):
                raise fail(fault, step)
            if not rebuild:
                raise _Rebuild
            if chain >= MAX_CHAIN:
                raise TypeError(f"unsupported type {type_name(type(obj))} after {MAX_CHAIN} "
                                f"conversions at {where(step)}")
            instead = convert(obj, default)
            if instead is NOTHING:
                hint = "" if default is not None else NO_HOOK_HINT
                raise TypeError(f"{_refusal(obj)} at {where(step)}{hint}")
            held.append(instead)
            obj = instead
            chain += 1
        key = id(obj)
        if key in active:
            raise ValueError(f"circular reference at {where(step)}")
        depth = len(frames)
        known = height.get(key)
        if known is not None:
            if depth + known > MAX_DEPTH:
                raise ValueError(f"nesting deeper than {MAX_DEPTH} levels at {where(step)}")
            uses[key] += 1
            return known, expanded[key], written[key]
        if len(obj) > MAX_COUNT:
            raise ValueError(f"more than {MAX_COUNT} elements at {where(step)}")
        if obj and depth >= MAX_DEPTH:
            raise ValueError(f"nesting deeper than {MAX_DEPTH} levels at {where(step)}")
        active.add(key)
        frames.append(_Frame(obj, source, name))
        segs.append(step)
        return None

    def fold(h: int, n: int, name: object, value: object, source: object) -> None:
        if frames:
            f = frames[-1]
            f.tallest = max(f.tallest, h + 1)
            f.count += n
            if rebuild:
                f.kids.append((name, value))
                if value is not source:
                    f.changed = True
        else:
            result.root = value

    first = enter(root, "", None)
    if first is not None:
        fold(first[0], first[1], None, first[2], root)
    while frames:
        f = frames[-1]
        obj = f.obj
        item = next(f.items, None)
        if item is None:
            frames.pop()
            segs.pop()
            h, n = f.tallest, f.count
            key = id(obj)
            active.discard(key)
            height[key] = h
            uses[key] = 1
            expanded[key] = n
            out = _copy(obj, f.kids) if f.changed else obj
            written[key] = out
            if n > MAX_EXPANDED:
                raise ValueError(f"tree expands to more than {MAX_EXPANDED} values at {where('')}")
            fold(h, n, f.name, out, f.source)
            continue
        name, child = item
        if isinstance(obj, dict) and not isinstance(name, str):
            raise TypeError(f"object key {name!r} is not a str at {where('')}")
        step = segment(name)
        if isinstance(name, str) and not utf8_ok(name):
            raise ValueError(f"key is not valid UTF-8 (lone surrogate) at {where(step)}")
        known = enter(child, step, name)
        if known is not None:
            fold(known[0], known[1], name, known[2], child)
    # The writer looks copies up by their own ids.
    for key, out in written.items():
        if id(out) != key:
            height[id(out)] = height[key]
            uses[id(out)] = uses[key]
            expanded[id(out)] = expanded[key]
    held.append(written)
    return result
