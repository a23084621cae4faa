// Sinks: where the typed-column reader puts cell k. The reader itself,
// Decoder::column, is defined once in columns.cpp for every sink.
#pragma once

#include "decode/decoder.h"

namespace wexo {

// Cell k becomes the value of name in row dict k.
struct DictSink {
  PyObject* const* rows;  // borrowed row dicts
  uint64_t count;
  PyObject* name;  // borrowed column name
  Status store(uint64_t k, Owned cell) {
    if (k >= count) return bad("internal row index", 0);
    if (PyDict_SetItem(rows[k], name, cell.get()) < 0) return py_fail();
    return Done{};
  }
};

// Cell k goes into slot k of a list made with exactly n empty slots.
struct ListSink {
  PyObject* list;  // borrowed
  Status store(uint64_t k, Owned cell) {
    // Set-item takes over the reference even when it fails.
    if (PyList_SetItem(list, static_cast<Py_ssize_t>(k), cell.release()) < 0) return py_fail();
    return Done{};
  }
};

// Cell k goes to the k-th present row of a sparse column: one forward scan
// over the bitmap, which is read in place and holds at least as many set bits
// as there are cells.
struct SparseSink {
  PyObject* const* rows;  // borrowed row dicts
  const uint8_t* bits;    // the presence bitmap inside the input
  PyObject* name;         // borrowed column name
  uint64_t cursor = 0;
  Status store(uint64_t, Owned cell) {
    while (!((bits[cursor >> 3] >> (cursor & 7)) & 1)) ++cursor;
    if (PyDict_SetItem(rows[cursor++], name, cell.get()) < 0) return py_fail();
    return Done{};
  }
};

extern template Status Decoder::column<DictSink>(uint64_t, uint64_t, DictSink&);
extern template Status Decoder::column<ListSink>(uint64_t, uint64_t, ListSink&);
extern template Status Decoder::column<SparseSink>(uint64_t, uint64_t, SparseSink&);

}  // namespace wexo
