"""The decoder's object-free UTF-8 check (used for strings read without objects: loads_arrow's
cells, names and dictionaries) must judge every byte string as the interpreter's strict decoder
does, including sequences that straddle its eight-byte ASCII steps or end the string."""

from __future__ import annotations

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

pytest.importorskip("pyarrow")

from conftest import doc, uv  # noqa: E402
from test_arrow import agrees, col_dict, col_values, table  # noqa: E402

PIECES = st.one_of(
    st.text(max_size=12).map(lambda t: t.encode("utf-8", "surrogatepass")),
    st.binary(max_size=4),
    st.sampled_from([b"\xe0\xa0", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xc0\xaf", b"\xef\xbf\xbf",
                     b"\xf0\x9f\x98", b"\x80", b"abcdefg"]),
)


def long_str(raw: bytes) -> bytes:
    return b"\x05" + uv(len(raw)) + raw


@settings(max_examples=300, deadline=None)
@given(st.lists(PIECES, max_size=6).map(b"".join))
def test_any_bytes_judged_as_the_interpreter_judges_them(raw):
    try:
        raw.decode("utf-8")
        valid = True
    except UnicodeDecodeError:
        valid = False
    for body in (table(["v"], 1, col_values(long_str(raw))),      # a cell
                 table(["v"], 1, col_dict([], 0)[:1] + b"\x01" + long_str(raw) + b"\x00")):  # an entry
        kind = agrees(doc(body))
        assert kind in (("ok", "arrow") if valid else ("wexo",)), (raw, kind)
