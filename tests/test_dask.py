"""The README's Dask recipe, read_folder, run as it is written on a folder of generated files:
the Dask DataFrame holds the files' rows, concatenated in the order of their names, with the
schema's types in every partition."""

from __future__ import annotations

import ast
import random
from pathlib import Path

import pytest

pa = pytest.importorskip("pyarrow")
pytest.importorskip("pandas")
pytest.importorskip("dask.dataframe")

import wexo  # noqa: E402

README = Path(__file__).resolve().parent.parent / "README.md"


def recipe():
    """read_folder as the README defines it, with the imports of its block."""
    if not README.is_file():
        pytest.skip("README.md is not beside tests/ (an sdist)")
    from test_readme import of_kind

    blocks = [b for b in of_kind("python") if b[0] == "README.md" and "def read_folder(" in b[3]]
    assert len(blocks) == 1, "the README shows the recipe once"
    tree = ast.parse(blocks[0][3])
    kept = [node for node in tree.body if isinstance(node, (ast.Import, ast.ImportFrom))
            or (isinstance(node, ast.FunctionDef) and node.name == "read_folder")]
    namespace: dict = {}
    exec(compile(ast.Module(body=kept, type_ignores=[]), "README.md", "exec"), namespace)
    return namespace["read_folder"]


SCHEMA = pa.schema([("id", pa.int64()), ("name", pa.string()), ("price", pa.float64()),
                    ("code", pa.string()), ("tags", pa.list_(pa.string()))])


def files(folder: Path, count: int) -> list[list[dict]]:
    """count files of random rows; price is an int in some files and a float in others, code
    a string or an int, tags absent from some: without a schema the files' tables differ."""
    rng = random.Random(7)
    written, next_id = [], 0
    for k in range(count):
        rows = []
        for _ in range(rng.randrange(2, 40)):
            row = {"id": next_id, "name": rng.choice(["ant", "bee", "cat"]),
                   "price": rng.randrange(100) if k % 2 else rng.randrange(100) / 4,
                   "code": rng.choice(["x1", 7, "y2"]) if k % 3 else "z"}
            if rng.random() < 0.7:
                row["tags"] = rng.sample(["a", "b", "c"], rng.randrange(3))
            rows.append(row)
            next_id += 1
        (folder / f"part{k:03}.wexo").write_bytes(wexo.dumps(rows))
        written.append(rows)
    return written


def test_the_recipe_reads_every_files_rows_in_order(tmp_path):
    written = files(tmp_path, 12)
    kinds = {str(wexo.read_arrow(p).schema) for p in sorted(tmp_path.glob("*.wexo"))}
    assert len(kinds) > 1  # the schema is what makes the partitions agree
    frame = recipe()(tmp_path, SCHEMA)
    assert frame.npartitions == 12
    got = frame.compute(scheduler="threads")
    assert list(got.columns) == SCHEMA.names
    table = pa.Table.from_pandas(got, schema=SCHEMA, preserve_index=False)
    expected = [{"id": r["id"], "name": r["name"], "price": float(r["price"]),
                 "code": str(r["code"]), "tags": r.get("tags")}
                for rows in written for r in rows]
    assert table.to_pylist() == expected


def test_the_recipe_names_the_file_and_cell_a_schema_cannot_hold(tmp_path):
    files(tmp_path, 3)
    (tmp_path / "part999.wexo").write_bytes(
        wexo.dumps([{"id": 1, "price": 2.5}, {"id": "two", "price": 1.0}]))
    frame = recipe()(tmp_path, SCHEMA)
    with pytest.raises(ValueError, match=r"cannot convert \$\[1\]\.id \('two'\) to int64"):
        frame.compute(scheduler="threads")
