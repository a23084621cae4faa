"""Several threads decoding different documents at once get exactly the
results (and errors) one thread gets."""
import threading
from pathlib import Path

import pytest

from conftest import WexoError, doc, loads_binary, same

SEEDS = sorted((Path(__file__).resolve().parents[1] / "fuzz" / "seeds").glob("*"))


def outcome(data):
    try:
        return ("ok", loads_binary(data))
    except WexoError as e:
        return ("error", (e.message, e.offset))


def test_threads_agree_with_one_thread():
    docs = [p.read_bytes() for p in SEEDS[:400]]
    if not docs:
        pytest.skip("no seed documents")
    expected = [outcome(d) for d in docs]
    n_threads = 8
    results = [None] * n_threads
    barrier = threading.Barrier(n_threads)

    def work(t):
        # each thread walks the documents from its own starting point
        start = t * len(docs) // n_threads
        barrier.wait()
        got = {}
        for i in list(range(start, len(docs))) + list(range(start)):
            got[i] = outcome(docs[i])
        results[t] = [got[i] for i in range(len(docs))]

    threads = [threading.Thread(target=work, args=(t,)) for t in range(n_threads)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    for got in results:
        assert len(got) == len(expected)
        for g, e in zip(got, expected):
            assert g[0] == e[0] and same(g[1], e[1])
