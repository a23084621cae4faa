"""Streams of documents: wexo.iter_loads, wexo.iter_load and wexo.StreamDecoder.

The oracle for a stream is wexo.loads on each document alone, and for a fault the
error loads gives for the bytes from the faulty document's start (its offset moved
by that start), "trailing data" aside: that is where the next document begins."""
from __future__ import annotations

import io
import itertools
import os
import subprocess
import sys
import threading

import pytest

import wexo
from conftest import arr, doc, obj, s, same
from test_leaks import blocks_per_call, counts_blocks

DOCS = [
    {"a": [1, 2, 3], "name": "alice"},
    [],
    "a string long enough to be pooled" * 2,
    [{"id": i, "tag": "x" if i % 2 else "y", "ok": i % 3 == 0} for i in range(5)],
    0,
    None,
    [[1.5, -2], {"k": {"k": [True, False]}}],
]
STREAM = b"".join(wexo.dumps(d) for d in DOCS)
STARTS = [sum(len(wexo.dumps(d)) for d in DOCS[:i]) for i in range(len(DOCS) + 1)]


def fed(pieces, **limits):
    """The documents a StreamDecoder yields when fed pieces, iterating after each."""
    d = wexo.StreamDecoder(**limits)
    out = []
    for p in pieces:
        d.feed(p)
        out.extend(d)
    return out, d


def expected_error(data: bytes, start: int) -> tuple[str, int]:
    """What loads reports for the bytes from start, as a stream reports it."""
    with pytest.raises(wexo.WexoError) as e:
        wexo.loads(data[start:])
    assert e.value.message != "trailing data"
    return e.value.message, e.value.offset + start


def test_iter_loads_yields_each_document_exactly():
    got = list(wexo.iter_loads(STREAM))
    assert len(got) == len(DOCS)
    for g, d in zip(got, DOCS):
        assert same(g, wexo.loads(wexo.dumps(d)))


@pytest.mark.parametrize("kind", [bytes, bytearray, memoryview, list])
def test_iter_loads_takes_what_loads_takes(kind):
    assert same(list(wexo.iter_loads(kind(STREAM))), list(wexo.iter_loads(STREAM)))


def test_empty_input_yields_nothing():
    assert list(wexo.iter_loads(b"")) == []
    assert list(wexo.iter_load(io.BytesIO(b""))) == []
    d = wexo.StreamDecoder()
    assert list(d) == [] and d.pending == 0
    d.feed(b"")
    assert list(d) == [] and d.pending == 0


def test_split_at_every_byte_boundary_gives_the_same_documents():
    want = list(wexo.iter_loads(STREAM))
    for i in range(len(STREAM) + 1):
        got, d = fed([STREAM[:i], STREAM[i:]])
        assert same(got, want), i
        assert d.pending == 0
    for i in range(0, len(STREAM), 7):  # three pieces
        for j in range(i, len(STREAM), 11):
            got, d = fed([STREAM[:i], STREAM[i:j], STREAM[j:]])
            assert same(got, want), (i, j)


def test_fed_a_byte_at_a_time_each_document_comes_with_its_last_byte():
    d = wexo.StreamDecoder()
    ends = []
    for i in range(len(STREAM)):
        d.feed(STREAM[i:i + 1])
        for _ in d:
            ends.append(i + 1)
        assert d.pending == i + 1 - (ends[-1] if ends else 0)
    assert ends == STARTS[1:]


def test_iter_load_reads_in_chunks_of_any_size():
    want = list(wexo.iter_loads(STREAM))
    for chunk in (1, 2, 3, 5, 64, 65536):
        assert same(list(wexo.iter_load(io.BytesIO(STREAM), chunk_size=chunk)), want)


# Faults after the documents of STREAM: each raises after every earlier document.
FAULTS = {
    "bad tag": doc(arr(s("abc"), b"\x0e")),
    "bad version": b"\x0f\x02\x80",
    "not a document": b"\x10\x01\x80",
    "bad utf-8": doc(arr(s("ok"), b"\x42\xc3\x28")),
    "duplicate key": doc(obj((s("ab"), b"\x80"), (s("ab"), b"\x81"))),
    "varint overflow": doc(b"\x03" + b"\xff" * 10),
}


@pytest.mark.parametrize("name", list(FAULTS))
def test_a_fault_in_the_middle_comes_after_the_documents_before_it(name):
    data = STREAM + FAULTS[name] + wexo.dumps([1, 2])
    message, offset = expected_error(data, len(STREAM))
    assert offset >= len(STREAM)
    for reader in (lambda: wexo.iter_loads(data),
                   lambda: wexo.iter_load(io.BytesIO(data), chunk_size=3)):
        got = []
        with pytest.raises(wexo.WexoError) as e:
            for x in reader():
                got.append(x)
        assert same(got, list(wexo.iter_loads(STREAM)))
        assert (e.value.message, e.value.offset) == (message, offset)
        assert str(e.value) == f"wexo: offset {offset}: {message}"
    # fed in two pieces around the fault: the same
    got, d = [], wexo.StreamDecoder()
    with pytest.raises(wexo.WexoError) as e:
        for piece in (data[:len(STREAM) + 2], data[len(STREAM) + 2:]):
            d.feed(piece)
            got.extend(d)
    assert (e.value.message, e.value.offset) == (message, offset)
    assert same(got, list(wexo.iter_loads(STREAM)))


@pytest.mark.parametrize("cut", [1, 2, 3, 5, 9])
def test_a_stream_ending_inside_a_document(cut):
    last = wexo.dumps({"k": ["abc", 5, [1.5]]})
    data = STREAM + last[:cut]
    message, offset = expected_error(data, len(STREAM))
    for it in (wexo.iter_loads(data), wexo.iter_load(io.BytesIO(data), chunk_size=4)):
        assert sum(1 for _ in zip(range(len(DOCS)), it)) == len(DOCS)
        with pytest.raises(wexo.WexoError) as e:
            next(it)
        assert (e.value.message, e.value.offset) == (message, offset)
    # the feeder holds the start of a document, and no error
    got, d = fed([data])
    assert len(got) == len(DOCS) and d.pending == cut
    d.feed(last[cut:])
    assert same(list(d), [wexo.loads(last)]) and d.pending == 0


def test_truncated_messages_match_loads():
    assert expected_error(STREAM + b"\x0f", len(STREAM)) == ("not a WEXO binary document",
                                                             len(STREAM))
    data = STREAM + wexo.dumps("x" * 40)[:-1]
    assert expected_error(data, len(STREAM))[0] == "truncated input"


def test_the_feeder_stays_failed():
    d = wexo.StreamDecoder()
    d.feed(STREAM[:STARTS[2]] + b"\x0f\x01\x0e")
    got = []
    with pytest.raises(wexo.WexoError) as first:
        got.extend(d)
    assert len(got) == 2
    assert (first.value.message, first.value.offset) == ("bad tag 0x0e", STARTS[2] + 2)
    pending = d.pending
    for again in (lambda: next(d), lambda: d.feed(STREAM), lambda: d.feed(b""), lambda: list(d)):
        with pytest.raises(wexo.WexoError) as e:
            again()
        assert (e.value.message, e.value.offset) == ("bad tag 0x0e", STARTS[2] + 2)
    assert d.pending == pending


def test_offsets_count_from_the_start_of_the_stream_across_many_feeds():
    d = wexo.StreamDecoder()
    n = 0
    for _ in range(300):
        d.feed(STREAM)
        n += sum(1 for _ in d)
    assert n == 300 * len(DOCS)
    d.feed(b"\x0f\x01\x0e")
    with pytest.raises(wexo.WexoError) as e:
        next(d)
    assert e.value.offset == 300 * len(STREAM) + 2


def writer(fd: int, data: bytes, piece: int) -> None:
    with os.fdopen(fd, "wb", buffering=0) as w:
        for i in range(0, len(data), piece):
            w.write(data[i:i + piece])


@pytest.mark.parametrize("piece", [1, 7, 4096])
def test_iter_load_on_a_pipe(piece):
    data = STREAM * 20
    r, w = os.pipe()
    t = threading.Thread(target=writer, args=(w, data, piece))
    t.start()
    with os.fdopen(r, "rb") as f:
        got = list(wexo.iter_load(f, chunk_size=1000))
    t.join()
    assert same(got, list(wexo.iter_loads(data)))


def test_iter_load_on_a_subprocess_that_stops_inside_a_document():
    code = ("import sys, wexo\n"
            "out = sys.stdout.buffer\n"
            "for i in range(50):\n"
            "    out.write(wexo.dumps({'i': i, 's': 'x' * i})); out.flush()\n"
            "out.write(wexo.dumps([1, 2, 3])[:-1])\n")
    p = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE)
    got = []
    with pytest.raises(wexo.WexoError) as e:
        for x in wexo.iter_load(p.stdout):
            got.append(x)
    p.wait()
    p.stdout.close()
    assert got == [{"i": i, "s": "x" * i} for i in range(50)]
    whole = b"".join(wexo.dumps({"i": i, "s": "x" * i}) for i in range(50))
    want = expected_error(whole + wexo.dumps([1, 2, 3])[:-1], len(whole))
    assert (e.value.message, e.value.offset) == want
    assert want[0] == "truncated input"


def test_iter_load_refuses_text_files_and_bad_chunk_sizes():
    with pytest.raises(TypeError):
        wexo.iter_load(io.StringIO("x"))
    for bad in (0, -1, 1.5, True):
        with pytest.raises(ValueError):
            wexo.iter_load(io.BytesIO(b""), chunk_size=bad)


# A root table of 20 rows makes 20 dicts: max_cells counts per document.
TABLE = wexo.dumps([{"a": i, "b": i} for i in range(20)])


def test_limits_apply_to_each_document():
    data = TABLE * 3
    assert len(list(wexo.iter_loads(data, max_cells=20))) == 3
    got, _ = fed([data], max_cells=20)
    assert len(got) == 3
    message = "decoded size too large: over max_cells=19 (max_cells=None lifts it)"
    with pytest.raises(wexo.WexoError) as e:
        list(wexo.iter_loads(data, max_cells=19))
    with pytest.raises(wexo.WexoError) as alone:
        wexo.loads(TABLE, max_cells=19)
    assert (e.value.message, e.value.offset) == (message, alone.value.offset)
    # a caller's limit is final even while bytes are missing: the feeder fails at once
    d = wexo.StreamDecoder(max_cells=19)
    d.feed(TABLE[:-3])
    with pytest.raises(wexo.WexoError) as fe:
        next(d)
    assert (fe.value.message, fe.value.offset) == (message, alone.value.offset)
    with pytest.raises(wexo.WexoError):
        list(wexo.iter_load(io.BytesIO(data), max_cells=19, chunk_size=5))
    assert len(list(wexo.iter_loads(data, max_cells=None, max_copies=None))) == 3


@pytest.mark.parametrize("call", [
    lambda: wexo.iter_loads(b"", max_cells="1"),
    lambda: wexo.iter_loads(b"", max_copy=1),
    lambda: wexo.iter_loads(),
    lambda: wexo.iter_loads(b"", b""),
    lambda: wexo.iter_loads("text"),
    lambda: wexo.StreamDecoder(1),
    lambda: wexo.StreamDecoder(max_cells=1.0),
    lambda: wexo.StreamDecoder(limit=1),
    lambda: wexo.StreamDecoder().feed("text"),
])
def test_bad_arguments_are_type_errors(call):
    with pytest.raises(TypeError):
        call()


def test_negative_limits_are_value_errors():
    with pytest.raises(ValueError, match="max_cells must not be negative"):
        wexo.StreamDecoder(max_cells=-1)
    with pytest.raises(ValueError, match="max_copies must not be negative"):
        wexo.iter_loads(b"", max_copies=-1)


def test_loads_still_refuses_trailing_data():
    with pytest.raises(wexo.WexoError) as e:
        wexo.loads(STREAM)
    assert (e.value.message, e.value.offset) == ("trailing data", STARTS[1])


@counts_blocks
def test_streams_do_not_leak():
    bad = STREAM + FAULTS["bad utf-8"]
    cut = STREAM + wexo.dumps([1, "abc"])[:-1]

    def several():
        for x in wexo.iter_loads(STREAM):
            pass
        for data in (bad, cut):
            try:
                list(wexo.iter_loads(data))
            except wexo.WexoError:
                pass
        d = wexo.StreamDecoder()
        d.feed(STREAM[:30])
        list(d)
        d.feed(bytearray(STREAM[30:]))
        list(d)
        d.feed(bad)
        try:
            list(d)
        except wexo.WexoError:
            pass
        try:
            d.feed(b"x")
        except wexo.WexoError:
            pass
        try:
            list(wexo.iter_load(io.BytesIO(cut), chunk_size=16))
        except wexo.WexoError:
            pass
        wexo.iter_loads(STREAM)  # dropped unread
        try:
            wexo.StreamDecoder(max_cells="x")
        except TypeError:
            pass

    for _ in range(2000):  # the interpreter's free lists and caches settle first
        several()
    assert blocks_per_call(several, 2000) < 0.05


# A document of about 200 KB: its tries for want of bytes are few and read little.
BIG = wexo.dumps([{"id": i, "name": f"user {i}", "score": i * 0.5, "tags": ["a", str(i)]}
                  for i in range(8000)], tables=False)


@pytest.mark.parametrize("piece", [1000, 1460, 4096])
def test_a_large_document_fed_in_pieces_is_decoded_a_few_times_only(piece):
    assert len(BIG) > 100_000 and len(BIG) % piece
    d = wexo.StreamDecoder()
    got = []
    for i in range(0, len(BIG), piece):
        d.feed(BIG[i:i + piece])
        got.extend(d)
        assert len(got) == (i + piece >= len(BIG))  # yielded with its last (short) piece
    tries, tried = d._tries()
    assert tries <= 20 and tried <= 3 * len(BIG), (tries, tried)
    assert same(got, [wexo.loads(BIG)])


def test_small_documents_come_out_with_their_last_byte_whatever_the_pieces():
    # pieces of equal size: no short piece to hint at a pause
    docs = [wexo.dumps({"n": i, "s": "x" * (i * 37 % 3000)}) for i in range(40)]
    data = b"".join(docs)
    ends = set(itertools.accumulate(len(x) for x in docs))
    d = wexo.StreamDecoder()
    n = 0
    for i in range(0, len(data), 100):
        d.feed(data[i:i + 100])
        n += sum(1 for _ in d)
        assert n == sum(1 for e in ends if e <= i + 100)
