"""A short tour of wexo: encode, decode, errors, limits, files and Arrow.

Run it from a checkout once the package is installed (see the README):

    .venv/bin/python examples/usage.py
"""
from __future__ import annotations

import json
from pathlib import Path

import wexo
import wexo_native

orders = [
    {"id": 1001, "customer": "Ada", "total": 54.9, "paid": True},
    {"id": 1002, "customer": "Alan", "total": 12.0, "paid": False},
    {"id": 1003, "customer": "Ada", "total": 7.5, "paid": True, "note": "gift"},
]

# Encode: a list of records becomes a table, one column per key.
data = wexo.dumps(orders)
compact_json = json.dumps(orders, separators=(",", ":")).encode()
print(f"encoded: {len(data)} bytes (compact JSON: {len(compact_json)} bytes)")

# Decode: the same records back. 12.0 is integral, so it comes back as the int 12.
back = wexo.loads(data)
print(f"decoded equals the original: {back == orders}")
print(f"second record: {back[1]}")

# A malformed document raises WexoError, a ValueError that names the offset of the fault.
try:
    wexo_native.loads_binary(data[:-1])
except wexo_native.WexoError as e:
    print(f"cut short by one byte: {e.message} at offset {e.offset}")

# wexo.loads bounds what a document may build; a limit of your own can be smaller.
# A table's rows count against max_cells: three rows are over a limit of two.
try:
    wexo.loads(data, max_cells=2)
except wexo.WexoError as e:  # the same class as wexo_native.WexoError
    print(f"with max_cells=2: {e.message}")

# Files: dump and load take binary file objects.
sample = Path(__file__).with_name("sample.wexo")
with open(sample, "rb") as f:
    sample_orders = wexo.load(f)
print(f"{sample.name}: {len(sample_orders)} orders, the first placed on {sample_orders[0]['placed']}")

# Arrow: a document whose root is a table decodes straight into a pyarrow.Table.
try:
    table = wexo.loads_arrow(data)
except ImportError:
    print("arrow: pyarrow is not installed (.venv/bin/python -m pip install '.[arrow]')")
else:
    print(f"arrow: {table.num_rows} rows, columns {', '.join(table.column_names)}")
