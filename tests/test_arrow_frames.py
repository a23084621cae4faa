"""loads_arrow's tables in the DataFrame libraries: pandas, polars and DuckDB take a table whose
mixed columns are text (mixed="string") or typed by a schema, with the same rows; a dense union,
mixed="union"'s column for cells that mix kinds, is refused by all three."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

pa = pytest.importorskip("pyarrow")

import wexo  # noqa: E402

CORPUS = Path(__file__).resolve().parent / "data" / "corpus"


def twitter() -> list[dict]:
    """The statuses, every seventh with its id_str as the int it spells: id_str mixes kinds."""
    rows = json.loads((CORPUS / "twitter.json").read_text(encoding="utf-8"))["statuses"]
    for k, row in enumerate(rows):
        if k % 7 == 3:
            row["id_str"] = int(row["id_str"])
    return rows


def github_events() -> list[dict]:
    """The events, every fifth with its id as an int: id mixes kinds."""
    rows = json.loads((CORPUS / "github_events.json").read_text(encoding="utf-8"))
    for k, row in enumerate(rows):
        if k % 5 == 1:
            row["id"] = int(row["id"])
    return rows


def movies() -> list[dict]:
    """As in movies.json: a Title is a string, or an int where the film is named by a year."""
    titles = ["Alien", 1917, "Up", 2012, "Heat", None]
    return [{"Title": titles[k % 6], "Year": 1970 + k, "Genre": ["Drama", "Horror"][k % 2]}
            for k in range(60)]


DATA = {"twitter": (twitter, "id_str"), "github_events": (github_events, "id"),
        "movies": (movies, "Title")}


@pytest.fixture(params=sorted(DATA))
def mixed_data(request):
    """(document, the column that mixes kinds, the rows as loads gives them)."""
    make, column = DATA[request.param]
    data = wexo.dumps(make())
    return data, column, wexo.loads(data)


def typed(data: bytes, column: str) -> tuple[pa.Table, pa.Table]:
    """The table with mixed="string", and with a schema: the string table's, but the mixed
    column as large_string."""
    text = wexo.loads_arrow(data, mixed="string")
    k = text.schema.get_field_index(column)
    schema = text.schema.set(k, pa.field(column, pa.large_string()))
    return text, wexo.loads_arrow(data, schema=schema)


def test_the_mixed_column_is_a_union_by_default_and_text_otherwise(mixed_data):
    data, column, rows = mixed_data
    assert pa.types.is_union(wexo.loads_arrow(data).schema.field(column).type)
    text, schema_typed = typed(data, column)
    expected = [None if r.get(column) is None else str(r[column]) for r in rows]
    assert text.column(column).to_pylist() == expected
    assert schema_typed.column(column).to_pylist() == expected
    assert schema_typed.schema.field(column).type == pa.large_string()
    # the other columns are the same whichever way the mixed one was typed
    rest = [n for n in text.column_names if n != column]
    assert schema_typed.select(rest).equals(text.select(rest))


def test_pandas_takes_the_text_and_the_schema_typed_tables(mixed_data):
    pytest.importorskip("pandas")
    data, column, rows = mixed_data
    for table in typed(data, column):
        frame = table.to_pandas()
        assert list(frame.columns) == table.column_names and len(frame) == len(rows)
        got = [None if v is None or v != v else v for v in frame[column].tolist()]
        assert got == table.column(column).to_pylist()


def test_polars_takes_the_text_and_the_schema_typed_tables(mixed_data):
    pl = pytest.importorskip("polars")
    data, column, rows = mixed_data
    for table in typed(data, column):
        frame = pl.from_arrow(table)
        assert frame.columns == table.column_names and frame.height == len(rows)
        assert frame[column].dtype == pl.String
        assert frame.to_dicts() == table.to_pylist()


def test_duckdb_queries_the_text_and_the_schema_typed_tables(mixed_data):
    duckdb = pytest.importorskip("duckdb")
    data, column, rows = mixed_data
    for table in typed(data, column):
        con = duckdb.connect()
        con.register("t", table)
        got = con.execute(f'select "{column}" from t').fetchall()
        assert [v for (v,) in got] == table.column(column).to_pylist()
        distinct = con.execute(f'select count(distinct "{column}") from t').fetchone()[0]
        assert distinct == len({r[column] for r in rows if r.get(column) is not None})
        everything = con.execute("select * from t").fetchall()
        assert [dict(zip(table.column_names, row)) for row in everything] == table.to_pylist()


def refusals() -> list:
    """Each consumer, as a function of a table; pandas, polars and DuckDB all refuse a union."""
    def pandas(t):
        pytest.importorskip("pandas")
        return t.to_pandas()

    def polars(t):
        return pytest.importorskip("polars").from_arrow(t)

    def duckdb(t):
        con = pytest.importorskip("duckdb").connect()
        con.register("t", t)
        return con.execute("select * from t").fetchall()

    return [pandas, polars, duckdb]


@pytest.mark.parametrize("consumer", refusals(), ids=lambda f: f.__name__)
def test_a_union_column_is_refused_by_each_dataframe_library(consumer, mixed_data):
    data, column, _ = mixed_data
    table = wexo.loads_arrow(data)
    with pytest.raises(Exception) as e:
        consumer(table)
    assert "union" in str(e.value).lower()
    # the table without its union is taken
    consumer(table.drop_columns([column]) if column in table.column_names else table)


def test_dictionary_columns_become_each_librarys_categories():
    data = wexo.dumps(movies())
    schema = pa.schema([("Title", pa.string()), ("Genre", pa.dictionary(pa.int32(), pa.string()))])
    table = wexo.loads_arrow(data, schema=schema)
    assert table.schema == schema
    genres = [r["Genre"] for r in wexo.loads(data)]
    pd = pytest.importorskip("pandas")
    assert isinstance(table.to_pandas()["Genre"].dtype, pd.CategoricalDtype)
    pl = pytest.importorskip("polars")
    assert pl.from_arrow(table)["Genre"].to_list() == genres
    duckdb = pytest.importorskip("duckdb")
    con = duckdb.connect()
    con.register("t", table)
    counts = dict(con.execute('select "Genre", count(*) from t group by all').fetchall())
    assert counts == {"Drama": 30, "Horror": 30}
