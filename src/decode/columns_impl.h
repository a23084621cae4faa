// column<Sink>: the typed-column reader with its six kinds, written once for
// every sink. Included where a sink's instance is made: columns.cpp for the
// Python sinks, the columnar reader for its own.
#pragma once

#include "decode/columns.h"

namespace wexo {

// kind byte | payload of n cells. The depth test, the budget charge and the
// end-of-input test all report the cursor at entry, the kind byte's offset.
template <class Sink>
Status Decoder::column(uint64_t n, uint64_t depth, Sink& sink) {
  if (depth > MAX_DEPTH) return bad("nesting too deep", pos);
  CHECK(charge(n + 1, pos));
  if (pos >= len) return short_(pos);
  const uint64_t at = pos;
  const uint8_t kind = buf[pos++];
  CHECK(sink.start(kind, n));
  switch (kind) {
    case COL_VALUES:  // n values
      for (uint64_t k = 0; k < n; ++k) CHECK(sink.value_cell(*this, k, depth + 1));
      return Done{};
    case COL_DELTA_INT: {  // n zigzag deltas; the running sum wraps modulo 2^64
      uint64_t acc = 0;
      for (uint64_t k = 0; k < n; ++k) {
        TRY(v, uvarint());
        acc += static_cast<uint64_t>(zigzag(v));
        CHECK(sink.int_cell(k, static_cast<int64_t>(acc)));
      }
      return Done{};
    }
    case COL_DECIMAL: return decimal_column(n, sink);
    case COL_DICT_STR: return dict_str_column(n, sink);
    case COL_BOOL_BITS: {  // ceil(n / 8) bytes, bit 0 of byte 0 first
      const uint64_t b = n / 8 + (n % 8 != 0);
      if (remaining() < b) return short_(pos);
      const uint8_t* bits = buf + pos;
      pos += b;
      for (uint64_t k = 0; k < n; ++k) CHECK(sink.bool_cell(k, (bits[k >> 3] >> (k & 7)) & 1));
      return Done{};
    }
    case COL_OBJECT: return object_column(n, depth, sink);
    default: break;
  }
  return bad("bad column kind", at);
}

// scale byte (0..6) | n zigzag mantissas
template <class Sink>
[[gnu::noinline]] Status Decoder::decimal_column(uint64_t n, Sink& sink) {
  // At the end of the input this is a bad scale too, not a truncation.
  if (pos >= len || buf[pos] > 6) return bad("bad decimal scale", pos);
  const unsigned s = buf[pos++];
  for (uint64_t k = 0; k < n; ++k) {
    TRY(v, uvarint());
    const int64_t m = zigzag(v);
    CHECK(s == 0 ? sink.int_cell(k, m) : sink.decimal_cell(k, m, s));
  }
  return Done{};
}

// uvarint D | D strings | n indexes below D. Cells naming one entry share
// its str object.
template <class Sink>
[[gnu::noinline]] Status Decoder::dict_str_column(uint64_t n, Sink& sink) {
  TRY(d, count());
  Names dict;
  dict.reserve(d);
  for (uint64_t i = 0; i < d; ++i) {
    // Values, not names: not kept across calls; and only made for sinks
    // that take objects.
    TRY(k, Sink::OBJECTS ? key(false) : key_span());
    dict.push_back(std::move(k));
  }
  CHECK(sink.dict_begin(dict));
  for (uint64_t k = 0; k < n; ++k) {
    TRY(i, uvarint());
    if (i >= d) return bad("bad dictionary index", pos);
    CHECK(sink.dict_cell(k, dict, i));
  }
  return Done{};
}

// uvarint K (at least 1) | K distinct names | K columns of n cells. The n
// dicts are charged to max_cells at the kind byte, like the column's cells.
template <class Sink>
[[gnu::noinline]] Status Decoder::object_column(uint64_t n, uint64_t depth, Sink& sink) {
  CHECK(limit_cells(n, pos - 1));
  TRY(kn, count());
  if (kn == 0) return bad("empty object column", pos);
  TRY(names, unique_keys(kn, "duplicate key", Sink::OBJECTS));
  return sink.objects(*this, n, depth, names);
}

}  // namespace wexo
