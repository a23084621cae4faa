// Sinks: where the typed-column reader puts cell k. The reader itself,
// Decoder::column, is defined once in columns.cpp for every sink.
#pragma once

#include "decode/decoder.h"

namespace wexo {

// The cells of the Python sinks are objects: PySink makes each typed cell's
// object and hands it to the sink's store(k, cell). The columnar reader
// (src/arrow) is a sink of another kind, which takes the same calls and
// makes no object per cell.
template <class S>
struct PySink {
  static constexpr bool OBJECTS = true;  // its names and dictionary entries are str objects
  S& self() { return static_cast<S&>(*this); }
  [[gnu::always_inline]] Status value_cell(Decoder& d, uint64_t k, uint64_t depth) {
    TRY(cell, d.value(depth));
    return self().store(k, std::move(cell));
  }
  [[gnu::always_inline]] Status int_cell(uint64_t k, int64_t v) {
    PyObject* cell = PyLong_FromLongLong(v);
    if (!cell) return py_fail();
    return self().store(k, Owned::steal(cell));
  }
  // m / 10^s, s from 1 to 6, as the decoder's number.
  [[gnu::always_inline]] Status decimal_cell(uint64_t k, int64_t m, unsigned s) {
    PyObject* cell = number_obj(decimal_value(m, s));
    if (!cell) return py_fail();
    return self().store(k, Owned::steal(cell));
  }
  [[gnu::always_inline]] Status bool_cell(uint64_t k, bool b) {
    return self().store(k, Owned::borrow(b ? Py_True : Py_False));
  }
  // The kind byte and the count, before any cell (and before the kind byte
  // is judged).
  Status start(uint8_t, uint64_t) { return Done{}; }
  Status dict_begin(const Names&) { return Done{}; }
  // Cells naming one entry share its str object.
  [[gnu::always_inline]] Status dict_cell(uint64_t k, const Names& dict, uint64_t i) {
    return self().store(k, Owned::borrow(dict[i].str_obj.get()));
  }
  Status objects(Decoder& d, uint64_t n, uint64_t depth, const Names& names) {
    return d.object_cells(n, depth, names, self());
  }
};

// Cell k becomes the value of name in row dict k.
struct DictSink : PySink<DictSink> {
  DictSink(PyObject* const* r, uint64_t c, PyObject* nm) : rows(r), count(c), name(nm) {}
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
struct ListSink : PySink<ListSink> {
  explicit ListSink(PyObject* l) : list(l) {}
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
struct SparseSink : PySink<SparseSink> {
  SparseSink(PyObject* const* r, const uint8_t* b, PyObject* nm) : rows(r), bits(b), name(nm) {}
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
