"""The encoder's first pass: validates a tree and measures its containers."""

from __future__ import annotations

import math
import re
from typing import Any, Iterator

from ._format import INT64_MAX, INT64_MIN, MAX_COUNT, MAX_DEPTH

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


def scan(root: object) -> Scan:
    """Check the whole tree, without recursion, and measure its containers.

    Raises TypeError or ValueError naming the path of the first offending value in document
    order: an unsupported type, a non-str key, an int outside 64 bits, a NaN or infinity, a string
    with a lone surrogate, a cycle, nesting deeper than the decoder accepts.
    """
    result = Scan()
    height, uses, expanded = result.height, result.uses, result.expanded
    frames: list[tuple[Any, Iterator[tuple[object, object]]]] = []
    segs: list[str] = []  # path step of each frame, the root's being empty
    tallest: list[int] = []
    counts: list[int] = []
    active: set[int] = set()

    def where(step: str) -> str:
        return short_path([s for s in (*segs, step) if s])

    def fail(err: BaseException, step: str) -> BaseException:
        return type(err)(f"{err} at {where(step)}")

    def enter(obj: Any, step: str) -> tuple[int, int] | None:
        """Height and expanded size of a value already known, or None once obj is pushed."""
        if not isinstance(obj, (list, tuple, dict)):
            fault = scalar_fault(obj)
            if fault is not None:
                raise fail(fault, step)
            return 0, 1
        key = id(obj)
        if key in active:
            raise ValueError(f"circular reference at {where(step)}")
        depth = len(frames)
        known = height.get(key)
        if known is not None:
            if depth + known > MAX_DEPTH:
                raise ValueError(f"nesting deeper than {MAX_DEPTH} levels at {where(step)}")
            uses[key] += 1
            return known, expanded[key]
        if len(obj) > MAX_COUNT:
            raise ValueError(f"more than {MAX_COUNT} elements at {where(step)}")
        if obj and depth >= MAX_DEPTH:
            raise ValueError(f"nesting deeper than {MAX_DEPTH} levels at {where(step)}")
        active.add(key)
        frames.append((obj, _children(obj)))
        segs.append(step)
        tallest.append(0)
        counts.append(1)
        return None

    def fold(h: int, n: int) -> None:
        if frames:
            tallest[-1] = max(tallest[-1], h + 1)
            counts[-1] += n

    first = enter(root, "")
    if first is not None:
        fold(*first)
    while frames:
        obj, items = frames[-1]
        item = next(items, None)
        if item is None:
            frames.pop()
            segs.pop()
            h, n = tallest.pop(), counts.pop()
            key = id(obj)
            active.discard(key)
            height[key] = h
            uses[key] = 1
            expanded[key] = n
            if n > MAX_EXPANDED:
                raise ValueError(f"tree expands to more than {MAX_EXPANDED} values at {where('')}")
            fold(h, n)
            continue
        name, child = item
        if isinstance(obj, dict) and not isinstance(name, str):
            raise TypeError(f"object key {name!r} is not a str at {where('')}")
        step = segment(name)
        if isinstance(name, str) and not utf8_ok(name):
            raise ValueError(f"key is not valid UTF-8 (lone surrogate) at {where(step)}")
        known = enter(child, step)
        if known is not None:
            fold(*known)
    return result
