"""The inspect command's views of a document: a listing of what the reference decoder reads,
value by value with offsets and nesting, and a summary of counts; both end at the first failure,
where decoding fails."""

from __future__ import annotations

from .reference.decoder import DecodeFailure, Line, Walker, walk


def listing(
    data: bytes, max_cells: int | None = None, max_copies: int | None = None
) -> tuple[list[Line], DecodeFailure | None]:
    """The lines of a document up to its end or its first failure, and that failure.

    The limits are those of wexo.loads; None leaves the format's own budget.
    """
    walker = Walker(bytes(data), listing=True, max_cells=max_cells, max_copies=max_copies)
    try:
        walk(walker)
    except DecodeFailure as err:
        return walker.lines or [], err
    return walker.lines or [], None


def summary(
    data: bytes, max_cells: int | None = None, max_copies: int | None = None
) -> tuple[str, DecodeFailure | None]:
    """Counts of what a document holds, as text, and its first failure (counted up to it)."""
    walker = Walker(bytes(data), max_cells=max_cells, max_copies=max_copies, tally=True)
    failure = None
    try:
        walk(walker)
    except DecodeFailure as err:
        failure = err
    tally = walker.tally or {}
    out = [f"document: {len(data):,} bytes"]
    values = sorted((k, v) for k, v in tally.items() if not k.startswith(("column ", "key ")))
    keys = sorted((k, v) for k, v in tally.items() if k.startswith("key "))
    columns = sorted((k, v) for k, v in tally.items() if k.startswith("column "))
    if values:
        out.append("values by tag:")
        out += [f"  {k:<28}{v[0]:>12,}" for k, v in values]
    if keys:
        out.append("object keys:")
        out += [f"  {k:<28}{v[0]:>12,}" for k, v in keys]
    if columns:
        out.append(f"columns by encoding:{'columns':>21}{'cells':>12}")
        out += [f"  {k[7:]:<28}{v[0]:>12,}{v[1]:>12,}" for k, v in columns]
    refs = tally.get("str (pool reference)", [0])[0] + tally.get("key (pool reference)", [0])[0]
    out.append(f"string pool: {len(walker.pool):,} entries, {refs:,} references")
    anchor_refs = tally.get("anchor reference", [0])[0]
    cells = walker.start_budgets[0] - walker.size_budget
    copies = walker.start_budgets[1] - walker.expand_budget
    out.append(f"anchors: {len(walker.anchors):,}, {anchor_refs:,} references, "
               f"{copies:,} container slots copied")
    out.append(f"budgets used: {cells:,} of {walker.start_budgets[0]:,} cells, "
               f"{copies:,} of {walker.start_budgets[1]:,} copies")
    if walker.cell_limit is not None and walker.cell_budget is not None:
        used = walker.cell_limit - walker.cell_budget
        out.append(f"max_cells used: {used:,} of {walker.cell_limit:,}")
    if failure is not None:
        out.append(f"!! offset {failure.offset}: {failure.message}")
    return "\n".join(out) + "\n", failure


def render(
    lines: list[Line], failure: DecodeFailure | None, depth: int | None = None
) -> str:
    """The listing as text: offset, indentation by nesting, then what was read; with depth,
    only the lines nested at most that deep (the root is at depth 0)."""
    shown = lines if depth is None else [line for line in lines if line.level <= depth]
    out = [f"{line.offset:>8}  {'  ' * line.level}{line.text}" for line in shown]
    if len(shown) < len(lines):
        out.append(f"{'':>8}  ({len(lines) - len(shown):,} lines deeper than {depth} not shown)")
    if failure is not None:
        level = lines[-1].level if lines else 0
        if depth is not None:
            level = min(level, depth)
        out.append(f"{failure.offset:>8}  {'  ' * level}!! {failure.message}")
    return "\n".join(out) + "\n"
