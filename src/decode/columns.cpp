// The Python sinks' instances of column<Sink> (written once, in
// columns_impl.h), their object columns as dicts, and the exact quotient of
// a decimal mantissa.
#include <cstring>

#include "decode/columns_impl.h"

namespace wexo {

// floor(|m| / 10^s), scaled by a power of two into [2^53, 2^54) with
// 64-bit arithmetic only, then its last bit rounded off, half to even, with
// the remainder as the sticky part. Needs |m| > 2^53 (a quotient of at least
// 2^33 bits); smaller mantissas take one division (decimal_value).
double exact_quotient(int64_t m, unsigned s) {
  const uint64_t a = magnitude(m), b = IPOW10[s];
  const uint64_t q1 = a / b, r1 = a % b;
  const int k = 54 - (64 - __builtin_clzll(q1));  // from -10 to 20
  uint64_t q;
  bool sticky;
  if (k >= 0) {
    const uint64_t low = r1 << k;  // below 2^40
    q = (q1 << k) + low / b;
    sticky = low % b != 0;
  } else {
    q = q1 >> -k;
    sticky = r1 != 0 || (q1 & ((uint64_t{1} << -k) - 1)) != 0;
  }
  const bool half = q & 1;
  q >>= 1;
  if (half && (sticky || (q & 1))) ++q;
  // q x 2^(1 - k), exactly: q has at most 54 bits, and the power of two is
  // a normal double.
  const uint64_t scale_bits = static_cast<uint64_t>(1023 + 1 - k) << 52;
  double scale;
  std::memcpy(&scale, &scale_bits, sizeof scale);
  const double x = static_cast<double>(q) * scale;
  return m < 0 ? -x : x;
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
