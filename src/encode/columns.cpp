// Writes typed columns (of tables, sparse tables and object columns) and
// typed arrays: each column takes the smallest of the kinds that give every
// cell back exactly, plain values winning ties.
#include <cmath>
#include <cstring>

#include "encode/encoder.h"

namespace wexo {
namespace enc {

namespace {

// The exact types a column's cells have, one bit each.
enum Types : unsigned {
  T_BOOL = 1,
  T_INT = 2,
  T_FLOAT = 4,
  T_STR = 8,
  T_DICT = 16,
  T_OTHER = 32,  // None, lists, tuples, subclasses
  T_SCALAR = T_BOOL | T_INT | T_FLOAT | T_STR,
  T_NUMBER = T_INT | T_FLOAT,
};

unsigned types_of(const Child* cells, std::size_t n) {
  // The bit of each kind when its type is exact; subclasses are T_OTHER.
  constexpr unsigned BIT[] = {T_OTHER, T_BOOL, T_BOOL, T_INT, T_FLOAT, T_STR, T_OTHER, T_DICT};
  static_assert(sizeof BIT / sizeof BIT[0] == K_DICT + 1, "one bit per kind");
  unsigned t = 0;
  for (std::size_t k = 0; k < n; ++k) t |= cells[k].exact ? BIT[cells[k].kind] : T_OTHER;
  return t;
}

// x rounded to the nearest integer, ties to even, as nearbyint does in the
// default rounding mode, without the maths library: below 2^52 in magnitude,
// adding and taking away 2^52 leaves exactly that rounding; from 2^52 on,
// every double is an integer already.
double round_even(double x) {
  constexpr double TWO52 = 4503599627370496.0;
  if (!(std::fabs(x) < TWO52)) return x;
  return x >= 0 ? (x + TWO52) - TWO52 : (x - TWO52) + TWO52;
}

// What the decoder hands back as an int: ints, and integral floats below 2^53.
bool intlike(const Child& c) { return c.kind == K_INT || integral_double(c.f); }
int64_t as_int(const Child& c) { return c.kind == K_INT ? c.i : static_cast<int64_t>(c.f); }

// Whether x comes back exactly as a float from its mantissa at this scale.
bool fits(double x, unsigned scale) {
  if (!(x > -EXACT_INT_LIMIT && x < EXACT_INT_LIMIT)) return false;  // the mantissa would pass 2^53
  const double p = x * POW10[scale];
  const double m = round_even(p);  // round half to even
  // Where the quotient gives x back, p lies within 2^-52 |p| of m: farther
  // off, this scale cannot fit, and the division is spared.
  if (std::fabs(p - m) > 0x1p-50 * std::fabs(p)) return false;
  if (std::fabs(m) > EXACT_INT_LIMIT || scale == 0) return false;
  const double q = m / POW10[scale];
  return !integral_double(q) && q == x;
}

// The mantissa of cell c at this scale, if the decoder's division gives the
// cell back exactly (an int for an int, the same float for a float).
bool mantissa(const Child& c, unsigned scale, int64_t* m) {
  if (intlike(c)) {
    const int64_t v = as_int(c);
    if (!scale) {
      *m = v;
      return true;
    }
    if (__builtin_mul_overflow(v, IPOW10[scale], m)) return false;
    return *m >= -static_cast<int64_t>(EXACT_INT_LIMIT) && *m <= static_cast<int64_t>(EXACT_INT_LIMIT);
  }
  const double r = round_even(c.f * POW10[scale]);
  if (scale && std::fabs(r) > EXACT_INT_LIMIT) return false;
  if (!scale) return false;  // an int cell for a float
  const double q = r / POW10[scale];
  if (integral_double(q) || q != c.f) return false;
  *m = static_cast<int64_t>(r);
  return true;
}

// The smallest scale that gives every cell back exactly, and the column's
// size; false when there is none.
bool decimal_plan(const Child* cells, std::size_t n, bool ints, unsigned* scale, uint64_t* size) {
  unsigned s = 0;
  if (!ints) {
    for (std::size_t k = 0; k < n; ++k) {
      if (intlike(cells[k])) continue;
      while (!fits(cells[k].f, s))
        if (++s > MAX_SCALE) return false;
    }
  }
  uint64_t total = 2;
  for (std::size_t k = 0; k < n; ++k) {
    int64_t m = 0;
    if (!mantissa(cells[k], s, &m)) return false;
    total += uvarint_len(zigzag_of(m));
  }
  *scale = s;
  *size = total;
  return true;
}

// The bytes value() writes for a number or a boolean.
uint64_t plain_size(const Child& c) {
  int64_t v;
  if (c.kind == K_INT) {
    v = c.i;
  } else if (c.kind != K_FLOAT || !int_valued(c.f, &v)) {
    return c.kind == K_FLOAT ? 9 : 1;
  }
  return v >= 0 && v <= 0x7F ? 1 : 1 + uvarint_len(zigzag_of(v));
}

uint64_t delta_size(const Child* cells, std::size_t n) {
  uint64_t total = 1;
  uint64_t prev = 0;
  for (std::size_t k = 0; k < n; ++k) {
    const uint64_t x = static_cast<uint64_t>(as_int(cells[k]));
    total += uvarint_len(zigzag_of(static_cast<int64_t>(x - prev)));
    prev = x;
  }
  return total;
}

}  // namespace

// kind | payload. Every column charges the decoder's size budget its
// cell count + 1.
Status Writer::column(Child* cells, std::size_t n, uint64_t depth) {
  charged += n + 1;
  const unsigned types = types_of(cells, n);
  if (types == T_DICT && n >= 2 && on(OPT_OBJECT_COLUMNS)) {
    for (std::size_t k = 0; k < n; ++k) CHECK(ensure(cells[k], depth + 1));
  }
  if (types == T_DICT && n >= 2 && on(OPT_OBJECT_COLUMNS) && s.nodes[cells[0].node].n) {
    bool same = true;
    for (std::size_t k = 1; k < n && same; ++k) same = same_keys(cells[0].node, cells[k].node);
    if (same) return object_column(cells, n, depth);
  }
  if (types && !(types & ~T_SCALAR)) {
    TRY(written, scalar_column(cells, n, types, false));
    (void)written;
    return Done{};
  }
  if (!room(1)) return py_fail();
  byte(COL_VALUES);
  // A lazy cell's snapshot is held by nothing else: dropped once written.
  const std::size_t nodes = s.nodes.size(), items = s.items.size();
  for (std::size_t k = 0; k < n; ++k) {
    CHECK(value(cells[k], depth + 1));
    if (s.lazy) {
      s.nodes.set_size(nodes);
      s.items.set_size(items);
    }
  }
  return Done{};
}

// COL_OBJECT | uvarint names | names | one column per name
Status Writer::object_column(Child* cells, std::size_t n, uint64_t depth) {
  const Node first = s.nodes[cells[0].node];
  if (!room(11)) return py_fail();
  byte(COL_OBJECT);
  varint(first.n);
  counted += n;
  for (uint64_t j = 0; j < first.n; ++j) CHECK(text(s.items[first.first + 2 * j]));
  Vec<Child> sub;
  if (!sub.try_resize_for_overwrite(n)) return no_memory();
  for (uint64_t j = 0; j < first.n; ++j) {
    for (std::size_t k = 0; k < n; ++k) sub[k] = s.items[s.nodes[cells[k].node].first + 2 * j + 1];
    CHECK(column(sub.data(), n, depth + 1));
  }
  return Done{};
}

// TAG_TYPED_ARRAY | uvarint n | column, for a list of bools, of numbers or
// of strings where that is smaller than a plain array. False when the list
// does not qualify; a list that qualifies but is smallest plain is written
// here as a plain array.
Result<bool> Writer::typed_array(uint32_t index) {
  const Node node = s.nodes[index];
  if (node.n < 2) return false;  // one cell never repays the kind byte
  const Child* cells = s.items.data() + node.first;
  const unsigned types = types_of(cells, node.n);
  if ((types & (types - 1)) && (types & ~T_NUMBER)) return false;
  if (types & ~T_SCALAR) return false;
  return scalar_column(cells, node.n, types, true);
}

// The smallest column for scalar cells, plain values winning ties. For a typed array the plain candidate is a
// plain array, one byte smaller than a typed array of the same payload.
Result<bool> Writer::scalar_column(const Child* cells, std::size_t n, unsigned types, bool array) {
  const Mark start = mark();
  enum Choice { PLAIN, BOOL_BITS, DELTA, DECIMAL, DICT_STR } best = PLAIN;
  uint64_t dict_size = 0, bits_size = 0, delta_sz = 0, dec_size = 0;
  unsigned scale = 0;
  bool use_dict = false, use_bits = false, use_delta = false, use_dec = false;
  if (types == T_STR && on(OPT_DICT_STR)) {
    if (array) {
      if (!room(11)) return py_fail();
      byte(TAG_TYPED_ARRAY);
      varint(n);
    }
    TRY(size, dictionary(cells, n, false));
    if (size != UINT64_MAX) {
      // Plain values cost at least 1 + length for strings of 0 or 1 byte, and
      // 2 for longer ones (a reference at the least): a dictionary below that
      // wins, and the trial stays as written.
      uint64_t least = 1;
      for (std::size_t k = 0; k < n; ++k) {
        uint64_t len = 0;
        if (!text_of(cells[k], &len)) return py_fail();
        least += len < POOL_MIN_LEN ? 1 + len : 2;
      }
      if (size + (array ? 1 : 0) < least) {
        if (array) {
          charged += n + 1;
          counted += n;
        }
        return true;
      }
    }
    rollback(start);
    dict_size = size;
    use_dict = size != UINT64_MAX;
  } else if (types == T_BOOL) {
    use_bits = on(OPT_BOOL_BITS);
    bits_size = 1 + (n + 7) / 8;
  } else if (!(types & ~T_NUMBER)) {
    bool ints = true;
    for (std::size_t k = 0; k < n && ints; ++k) ints = intlike(cells[k]);
    if (ints && on(OPT_DELTA)) {
      use_delta = true;
      delta_sz = delta_size(cells, n);
    }
    if (on(OPT_DECIMAL)) use_dec = decimal_plan(cells, n, ints, &scale, &dec_size);
  }
  // Numbers and booleans touch no pool: their plain size is reckoned, and
  // only the winner written. Strings are written plain, and taken back if
  // something else wins.
  const bool strings = (types & T_STR) != 0;
  // The cells as plain values after an array's tag and count, or after the
  // column kind; values_at is where the values start.
  std::size_t values_at = 0;
  auto plain = [&]() -> Result<bool> {
    if (!room(11)) return py_fail();
    if (array) {
      byte(TAG_ARRAY);
      varint(n);
    } else {
      byte(COL_VALUES);
    }
    values_at = out.size();
    for (std::size_t k = 0; k < n; ++k) CHECK(value(cells[k], 0));
    return true;
  };
  uint64_t best_size = 1;
  if (strings) {
    CHECK(plain());
    best_size += out.size() - values_at;
  } else {
    for (std::size_t k = 0; k < n; ++k) best_size += plain_size(cells[k]);
  }
  const uint64_t extra = array ? 1 : 0;
  if (use_bits && bits_size + extra < best_size) {
    best = BOOL_BITS;
    best_size = bits_size + extra;
  }
  if (use_delta && delta_sz + extra < best_size) {
    best = DELTA;
    best_size = delta_sz + extra;
  }
  if (use_dec && dec_size + extra < best_size) {
    best = DECIMAL;
    best_size = dec_size + extra;
  }
  if (use_dict && dict_size + extra < best_size) best = DICT_STR;
  if (best == PLAIN && !strings) CHECK(plain());
  if (best == PLAIN) return true;
  rollback(start);
  if (array) {
    charged += n + 1;
    counted += best == BOOL_BITS ? 0 : n;  // max_cells counts the list's slots but for bits
    if (!room(11)) return py_fail();
    byte(TAG_TYPED_ARRAY);
    varint(n);
  }
  switch (best) {
    case BOOL_BITS: {
      // COL_BOOL_BITS | ceil(n / 8) bytes, cell k at bit k % 8 of byte k / 8
      const std::size_t bytes = (n + 7) / 8;
      if (!room(1 + bytes)) return py_fail();
      byte(COL_BOOL_BITS);
      uint8_t* bits = out.data() + out.size();
      std::memset(bits, 0, bytes);
      for (std::size_t k = 0; k < n; ++k)
        if (cells[k].kind == K_TRUE) bits[k >> 3] = static_cast<uint8_t>(bits[k >> 3] | 1u << (k & 7));
      out.set_size(out.size() + bytes);
      return true;
    }
    case DELTA:
      if (!room(delta_sz)) return py_fail();
      delta(cells, n);
      return true;
    case DECIMAL: {
      // COL_DECIMAL | scale | n uvarint zigzag(mantissa)
      if (!room(dec_size)) return py_fail();
      byte(COL_DECIMAL);
      byte(static_cast<uint8_t>(scale));
      for (std::size_t k = 0; k < n; ++k) {
        int64_t m = 0;
        (void)mantissa(cells[k], scale, &m);  // the plan checked every cell
        varint(zigzag_of(m));
      }
      return true;
    }
    case DICT_STR: {
      TRY(size, dictionary(cells, n, true));
      (void)size;
      return true;
    }
    case PLAIN:
      break;
  }
  return true;
}

// COL_DELTA_INT | n uvarint zigzag(cell - previous cell), wrapping at 64 bits
void Writer::delta(const Child* cells, std::size_t n) {
  byte(COL_DELTA_INT);
  uint64_t prev = 0;
  for (std::size_t k = 0; k < n; ++k) {
    const uint64_t x = static_cast<uint64_t>(as_int(cells[k]));
    varint(zigzag_of(static_cast<int64_t>(x - prev)));
    prev = x;
  }
}

// COL_DICT_STR | uvarint d | d strings | n uvarint indexes. The most
// frequent strings come first, so the common ones get one-byte indexes; equal
// counts keep their first appearance's order. Writes it and gives its size;
// as a trial (write false), gives UINT64_MAX, writing nothing, where it
// cannot be the smallest.
Result<uint64_t> Writer::dictionary(const Child* cells, std::size_t n, bool write) {
  StrMap seen;
  Vec<uint64_t> counts;
  Vec<uint32_t> of_cell;  // each cell's string, by first appearance
  if (!of_cell.try_resize_for_overwrite(n)) return no_memory();
  for (std::size_t k = 0; k < n; ++k) {
    uint64_t len = 0;
    const char* p = text_of(cells[k], &len);
    const Py_hash_t h = p ? text_hash(cells[k].obj, p, len) : -1;
    if (h == -1) return py_fail();
    StrMap::Entry* e = nullptr;
    if (!seen.find_or_add(cells[k].obj, p, len, h, seen.size(), &e)) return no_memory();
    const uint64_t id = e ? e->value : seen.size() - 1;
    if (!e && !counts.try_push(0)) return no_memory();
    counts[id] += 1;
    of_cell[k] = static_cast<uint32_t>(id);
  }
  const std::size_t d = seen.size();
  // With every string distinct, the dictionary holds the cells' own strings
  // in the cells' order (same pool effects), plus a count and an index per
  // cell: it can only be larger than plain values.
  if (!write && d == n) return UINT64_MAX;
  Vec<uint32_t> order;
  Vec<uint32_t> rank;
  if (!order.try_resize_for_overwrite(d) || !rank.try_resize_for_overwrite(d))
    return no_memory();
  // Most frequent first, equal counts in order of first appearance: a
  // counting sort by count, stable, in time linear in n.
  uint64_t most = 0;
  for (std::size_t i = 0; i < d; ++i) most = counts[i] > most ? counts[i] : most;
  // starts[k]: where the strings counted most - k begin
  Vec<uint64_t> starts;
  if (!starts.try_resize_for_overwrite(most + 2)) return no_memory();
  for (uint64_t k = 0; k <= most + 1; ++k) starts[k] = 0;
  for (std::size_t i = 0; i < d; ++i) starts[most - counts[i] + 1] += 1;
  for (uint64_t k = 1; k <= most + 1; ++k) starts[k] += starts[k - 1];
  for (std::size_t i = 0; i < d; ++i) {
    const uint64_t slot = starts[most - counts[i]]++;
    order[slot] = static_cast<uint32_t>(i);
    rank[i] = static_cast<uint32_t>(slot);
  }
  const std::size_t at = out.size();
  if (!room(11)) return py_fail();
  byte(COL_DICT_STR);
  varint(d);
  for (std::size_t i = 0; i < d; ++i) {
    const StrMap::Entry& e = seen[order[i]];
    CHECK(text(e.str, e.p, e.len));
  }
  if (!room(5 * n)) return py_fail();
  for (std::size_t k = 0; k < n; ++k) varint(rank[of_cell[k]]);
  return static_cast<uint64_t>(out.size() - at);
}

}  // namespace enc
}  // namespace wexo
