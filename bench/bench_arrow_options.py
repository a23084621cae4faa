#!/usr/bin/env python3
"""loads_arrow's options benchmark: a path against decoding the whole document, a schema against none.

For each corpus document that holds a list of records (the longest such list, found
by walking the tree): the document is encoded once with wexo.dumps, then timed
(bench/harness.py's interleaved rounds, the median per call):
  - wexo.loads_arrow(doc, path=...) against wexo_native.loads_binary(doc), the
    whole document as Python objects (the target: no slower);
  - wexo.loads_arrow(doc, path=..., schema=s), s the schema the call without one
    gives, against the same call without a schema (the target: at most 10% slower);
  - the same without dictionaries: loads_arrow(..., schema=s') where s' asks for
    dictionary<int32, string> wherever s has string, against plain strings.
"""

from __future__ import annotations

import json
import sys
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402

TARGET_PATH = 1.0  # loads_arrow(path) / loads_binary(whole document)
TARGET_SCHEMA = 1.10  # loads_arrow(schema=own) / loads_arrow()


def longest_list(tree: Any, path: tuple[Any, ...] = ()) -> tuple[tuple[Any, ...], int] | None:
    """The path to the longest list of records in tree (records: dicts), and its length."""
    if isinstance(tree, list) and tree and all(isinstance(x, dict) for x in tree):
        return path, len(tree)
    best = None
    items = tree.items() if isinstance(tree, dict) else []
    for key, value in items:
        found = longest_list(value, (*path, key))
        if found and (best is None or found[1] > best[1]):
            best = found
    return best


def main() -> int:
    args = harness.arg_parser(__doc__, gc_choice=False).parse_args()
    settings, _ = harness.prepare(args)
    wexo = harness.require("wexo")
    wexo_native = harness.require("wexo_native")
    pa = harness.require("pyarrow")
    rows = []
    for path in harness.select_files(args.corpus, args.files):
        tree = json.loads(path.read_bytes())
        found = longest_list(tree)
        if not found or found[1] < 2:
            continue
        steps, count = found
        data = wexo.dumps(tree)
        table = wexo.loads_arrow(data, path=steps)
        schema = table.schema
        dicts = pa.schema([f.with_type(pa.dictionary(pa.int32(), pa.string()))
                           if f.type == pa.string() else f for f in schema])
        harness.progress(f"{path.stem}: {steps} ({count} records)")
        stats = harness.measure_calls([
            harness.Call("binary", wexo_native.loads_binary, data),
            harness.Call("path", lambda d: wexo.loads_arrow(d, path=steps), data),
            harness.Call("schema", lambda d: wexo.loads_arrow(d, path=steps, schema=schema), data),
            harness.Call("dicts", lambda d: wexo.loads_arrow(d, path=steps, schema=dicts), data),
        ], settings)
        med = {k: v.median for k, v in stats.items()}
        rows.append((path.stem, steps, count, med))
    print(harness.machine_line({"wexo": wexo.__version__, "pyarrow": pa.__version__}))
    print("| document | path | records | loads_arrow(path) µs | / loads_binary(whole) "
          "| with its schema / without | dictionaries kept / plain strings |")
    print("|---|---|--:|--:|--:|--:|--:|")
    for stem, steps, count, med in rows:
        print(f"| {stem} | {steps} | {count:,} | {med['path'] * 1e6:,.0f} | "
              f"{med['path'] / med['binary']:.2f} | {med['schema'] / med['path']:.2f} | "
              f"{med['dicts'] / med['path']:.2f} |")
    path_ratios = [m["path"] / m["binary"] for _, _, _, m in rows]
    schema_ratios = [m["schema"] / m["path"] for _, _, _, m in rows]
    print(f"\ngeometric means: path / loads_binary {harness.geomean(path_ratios):.2f} "
          f"(target <= {TARGET_PATH} on twitter); with schema / without "
          f"{harness.geomean(schema_ratios):.2f} (target <= {TARGET_SCHEMA})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
