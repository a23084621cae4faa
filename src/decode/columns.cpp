// The Python sinks' instances of column<Sink> (written once, in
// columns_impl.h), their object columns as dicts, and big_decimal.
#include "decode/columns_impl.h"

namespace wexo {

Result<double> big_quotient(int64_t m, unsigned s) {
  TRY(num, made(PyLong_FromLongLong(m)));
  TRY(den, made(PyLong_FromUnsignedLongLong(IPOW10[s])));
  // True division of two ints: the exact quotient rounded to the nearest double.
  TRY(quot, made(PyNumber_TrueDivide(num.get(), den.get())));
  const double q = PyFloat_AsDouble(quot.get());
  if (q == -1.0 && PyErr_Occurred()) return py_fail();
  return q;
}

Result<Owned> big_decimal(int64_t m, unsigned s) {
  TRY(q, big_quotient(m, s));
  return number(q);
}

// The cells of an object column as dicts, which become cells only once
// every sub-column is complete.
template <class Sink>
[[gnu::noinline]] Status Decoder::object_cells(uint64_t n, uint64_t depth, const Names& names,
                                               Sink& sink) {
  // Copies of one template, filled in place like table rows: every
  // sub-column stores all n cells before any dict becomes a cell.
  Owned tmpl;
  const bool presized = n > 0 && presize(n, names.size());
  if (presized) {
    TRY(t, row_template(names));
    tmpl = std::move(t);
  }
  Vec<Owned> dicts;  // n was charged to the budget at column entry
  dicts.reserve(n);
  Vec<PyObject*> rows;
  rows.reserve(n);
  for (uint64_t k = 0; k < n; ++k) {
    TRY(d, made(presized ? PyDict_Copy(tmpl.get()) : PyDict_New()));
    rows.push_back(d.get());
    dicts.push_back(std::move(d));
  }
  owed_rows += presized ? n : 0;
  for (const Key& name : names) {
    DictSink sub{rows.data(), n, name.str_obj.get()};
    CHECK(column(n, depth + 1, sub));
  }
  owed_rows -= presized ? n : 0;
  for (uint64_t k = 0; k < n; ++k) CHECK(sink.store(k, std::move(dicts[k])));
  return Done{};
}

template Status Decoder::object_cells<DictSink>(uint64_t, uint64_t, const Names&, DictSink&);
template Status Decoder::object_cells<ListSink>(uint64_t, uint64_t, const Names&, ListSink&);
template Status Decoder::object_cells<SparseSink>(uint64_t, uint64_t, const Names&, SparseSink&);
template Status Decoder::column<DictSink>(uint64_t, uint64_t, DictSink&);
template Status Decoder::column<ListSink>(uint64_t, uint64_t, ListSink&);
template Status Decoder::column<SparseSink>(uint64_t, uint64_t, SparseSink&);

}  // namespace wexo
