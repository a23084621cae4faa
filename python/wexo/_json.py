"""JSON text of a decoded tree, at any depth, exactly as json.dumps would write it.

Anchors let a small document decode to a tree thousands of levels deep, deeper than
json.dumps can follow: its C encoder recurses once per level, and CPython 3.12.0 and
3.12.1 cap that recursion at about 1,500 levels whatever sys.setrecursionlimit says.
dumps tries json.dumps first (fast, and enough for almost every tree); when that runs out
of recursion it writes the tree again with an explicit stack, which has no depth limit
and gives the very same text.
"""

from __future__ import annotations

import json
from json.encoder import encode_basestring
from typing import Any, Iterator

_END = object()


def dumps(
    tree: Any, *, indent: int | None = None, sort_keys: bool = False, compact: bool = False
) -> str:
    """json.dumps(tree, ensure_ascii=False, indent=indent, sort_keys=sort_keys) for the
    plain trees the decoder makes (dict with str keys, list, str, int, float, bool, None);
    compact drops the spaces after separators. Any depth."""
    separators = (",", ":") if compact else (",", ": ") if indent is not None else (", ", ": ")
    try:
        return json.dumps(
            tree, ensure_ascii=False, indent=indent, sort_keys=sort_keys,
            separators=separators, check_circular=False,
        )  # fmt: skip
    except RecursionError:
        pass
    return "".join(iter_chunks(tree, indent=indent, sort_keys=sort_keys, separators=separators))


def _float(x: float) -> str:
    if x != x:
        return "NaN"
    if x == float("inf"):
        return "Infinity"
    if x == -float("inf"):
        return "-Infinity"
    return float.__repr__(x)


def _scalar(x: Any) -> str:
    if isinstance(x, str):
        return str(encode_basestring(x))
    if x is None:
        return "null"
    if x is True:
        return "true"
    if x is False:
        return "false"
    if isinstance(x, int):
        return int.__repr__(x)
    if isinstance(x, float):
        return _float(x)
    raise TypeError(f"Object of type {type(x).__name__} is not JSON serializable")


def iter_chunks(
    tree: Any, *, indent: int | None, sort_keys: bool, separators: tuple[str, str]
) -> Iterator[str]:
    """The JSON text of tree in pieces, walked with a stack of iterators instead of
    recursion: the same text as json.dumps with these arguments and ensure_ascii=False."""
    item_sep, key_sep = separators
    # One frame per open container: the iterator over its items and whether it is a dict.
    stack: list[tuple[Iterator[Any], bool]] = []
    value = tree
    while True:
        # Write value: a scalar whole, a non-empty container's opening.
        if isinstance(value, dict) and value:
            items = sorted(value.items()) if sort_keys else value.items()
            stack.append((iter(items), True))
            yield "{"
        elif isinstance(value, list) and value:
            stack.append((iter(value), False))
            yield "["
        elif isinstance(value, dict):
            yield "{}"
        elif isinstance(value, list):
            yield "[]"
        else:
            yield _scalar(value)
        first = bool(stack) and isinstance(value, (dict, list)) and bool(value)
        # Find the next value to write, closing every container that has run out.
        while stack:
            items_left, is_dict = stack[-1]
            item: Any = next(items_left, _END)
            if item is _END:
                stack.pop()
                if indent is not None:
                    yield "\n" + " " * (indent * len(stack))
                yield "}" if is_dict else "]"
                first = False
                continue
            if not first:
                yield item_sep
            if indent is not None:
                yield "\n" + " " * (indent * len(stack))
            if is_dict:
                key, value = item
                yield encode_basestring(key) + key_sep
            else:
                value = item
            break
        else:
            return
