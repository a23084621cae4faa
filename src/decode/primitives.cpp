// The slow varint path, counts and their bounds, the int and float scalars,
// truncation failures and the decoded-size budget.
#include <cstdio>
#include <cmath>
#include <cstring>

#include "decode/decoder.h"

#if defined(WEXO_SANITIZE)
#include <sanitizer/asan_interface.h>
#endif

namespace wexo {

#if defined(WEXO_SANITIZE)
// The interpreter is not instrumented: a span it reads past the input would
// go unseen. Touch the first poisoned byte here, in our frame, instead.
void check_span(const uint8_t* p, uint64_t n) {
  if (n == 0) return;
  void* bad = __asan_region_is_poisoned(const_cast<uint8_t*>(p), static_cast<size_t>(n));
  if (bad) {
    volatile const uint8_t* q = static_cast<volatile const uint8_t*>(bad);
    (void)*q;
  }
}
#endif

Decoder::Decoder(const uint8_t* b, uint64_t n, const Budgets& start, bool names)
    : buf(b),
      len(n),
      expand_budget(start.copies),
      size_budget(start.cells),
      cell_budget(start.limit),
      cell_limit(start.limit),
      copy_limit(start.copies_limited ? start.copies : -1),
      stamp(names ? cache_open() : 0) {}

// The pool's references go first, then the anchors'.
Decoder::~Decoder() {
  pool.clear();
  anchors.clear();
  if (stamp) cache_close();
}

Failure Decoder::short_(uint64_t at) const { return bad("truncated input", at); }

// LEB128, at most ten bytes; the tenth may carry bit 63 only. Both failures
// report the varint's first byte. One and two bytes are read inline.
Result<uint64_t> Decoder::uvarint_slow() {
  const uint64_t s = pos;  // s <= len always holds
  uint64_t v = 0;
  for (unsigned i = 0; i < 10; ++i) {
    if (s + i >= len) return short_(s);
    const uint8_t b = buf[s + i];
    if (i == 9 && b > 0x01) return bad("varint overflows 64 bits", s);
    v |= uint64_t{b & 0x7Fu} << (7 * i);
    if (b < 0x80) {
      pos = s + i + 1;
      return v;
    }
  }
  return bad("varint overflows 64 bits", s);  // not reached: byte 9 ends the loop
}

Result<uint64_t> Decoder::count_slow() {
  TRY(n, uvarint());
  if (n > MAX_COUNT || n > remaining()) return short_(pos);
  return n;
}

// Row counts and typed arrays may announce up to eight cells per byte (bit
// columns); the test is skipped when 8 x the remaining bytes would not fit.
Result<uint64_t> Decoder::row_count() {
  TRY(n, uvarint());
  const uint64_t rest = remaining();
  if (n > MAX_COUNT || (rest <= UINT64_MAX / 8 && n > 8 * rest)) return short_(pos);
  return n;
}

Status Decoder::charge(uint64_t k, uint64_t at) {
  // k <= 2 x MAX_COUNT and the budget never goes below -(2^32): no overflow.
  size_budget -= static_cast<int64_t>(k);
  if (size_budget < 0) return bad("decoded size too large", at);
  return Done{};
}

// A caller's limit names itself and the way to lift it; the format's own
// budgets keep their plain messages.
Failure Decoder::over_cells(uint64_t at) const {
  char text[96];
  std::snprintf(text, sizeof text,
                "decoded size too large: over max_cells=%lld (max_cells=None lifts it)",
                static_cast<long long>(cell_limit));
  return bad(text, at);
}

Failure Decoder::over_copies(uint64_t at) const {
  char text[104];
  std::snprintf(text, sizeof text,
                "reference expansion too large: over max_copies=%lld (max_copies=None lifts it)",
                static_cast<long long>(copy_limit));
  return bad(text, at);
}

// TAG_INT | uvarint zigzag
Result<Owned> Decoder::int_() {
  TRY(v, uvarint());
  return made(PyLong_FromLongLong(zigzag(v)));
}

PyObject* number_obj(double q) {
  int64_t i;
  if (int_valued(q, &i)) return PyLong_FromLongLong(i);
  return PyFloat_FromDouble(q);
}

Result<Owned> number(double q) { return made(number_obj(q)); }

// TAG_FLOAT | 8 bytes binary64, little-endian
Result<Owned> Decoder::float_() {
  TRY(x, float_body());
  return number(x);
}

// A table's rows: a sparse table charges twice its rows (they cost even
// where no column fills them); a plain one only checks, since each column
// charges its R + 1 as it starts. Both charge the row dicts to max_cells.
Result<uint64_t> Decoder::table_rows(bool sparse) {
  TRY(r, row_count());
  if (sparse) {
    CHECK(charge(2 * r, pos));
  } else if (size_budget < static_cast<int64_t>(r + 1)) {
    return bad("decoded size too large", pos);
  }
  CHECK(limit_cells(r, pos));
  return r;
}

// A typed array's cells: a check only (the column charges n + 1 itself when
// it starts), and its slots to max_cells, except for bits, which the input
// pays for before any other array is opened.
Result<uint64_t> Decoder::typed_rows() {
  TRY(n, row_count());
  if (size_budget < static_cast<int64_t>(n + 1)) return bad("decoded size too large", pos);
  if (pos >= len || buf[pos] != COL_BOOL_BITS) CHECK(limit_cells(n, pos));
  return n;
}

Status Decoder::end() const {
  if (pos != len) return bad("trailing data", pos);
  return Done{};
}

}  // namespace wexo
