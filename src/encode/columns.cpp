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
      // x fitting at scale s is m / 10^s, the same number as
      // (m 10^(6-s)) / 10^6: where that mantissa stays far below 2^53, x
      // fits at the largest scale too. One test there turns away the
      // floats that fit at none.
      const double x = cells[k].f;
      if (std::fabs(x) * POW10[MAX_SCALE] < 0x1p50 && !fits(x, MAX_SCALE)) return false;
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
    TRY(p, plan(cells, n, types, false));
    return write_plan(p, cells, n);
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
  for (uint64_t j = 0; j < first.n; ++j) WROTE(text(s.items[first.first + 2 * j]));
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
// does not qualify or is smallest plain.
Result<bool> Writer::typed_array(uint32_t index) {
  const Node node = s.nodes[index];
  if (node.n < 2) return false;  // one cell never repays the kind byte
  const Child* cells = s.items.data() + node.first;
  const std::size_t n = node.n;
  const unsigned types = types_of(cells, n);
  if ((types & (types - 1)) && (types & ~T_NUMBER)) return false;
  if (types & ~T_SCALAR) return false;
  TRY(p, plan(cells, n, types, true));
  if (p.kind == COL_VALUES) return false;
  charged += n + 1;
  counted += p.kind == COL_BOOL_BITS ? 0 : n;  // max_cells counts the list's slots but for bits
  if (!room(11)) return py_fail();
  byte(TAG_TYPED_ARRAY);
  varint(n);
  CHECK(write_plan(p, cells, n));
  return true;
}

// The distinct strings of a string column, counted in the pool's map: one
// lookup per cell, by the string object and its cached hash first.
Status Writer::distinct(const Child* cells, std::size_t n) {
  if (++stamp_ == UINT32_MAX) {  // stamps start again: none may look current
    for (std::size_t i = 0; i < pool.size(); ++i) pool[i].stamp = 0;
    stamp_ = 1;
  }
  seen_.clear();
  if (!of_cell_.try_resize_for_overwrite(n)) return no_memory();
  for (std::size_t k = 0; k < n; ++k) {
    uint64_t len = 0;
    const char* p = text_of(cells[k], &len);
    const Py_hash_t h = p ? text_hash(cells[k].obj, p, len) : -1;
    if (h == -1) return py_fail();
    uint32_t at = 0;
    bool added = false;
    if (!pool.index_of(cells[k].obj, p, len, h, UNPOOLED, &at, &added)) return no_memory();
    StrMap::Entry& e = pool[at];
    if (e.stamp != stamp_) {
      e.stamp = stamp_;
      e.local = static_cast<uint32_t>(seen_.size());
      if (!seen_.try_push(Seen{at, 0, len})) return no_memory();
    }
    seen_[e.local].count += 1;
    of_cell_[k] = e.local;
  }
  return Done{};
}

// Most frequent first, so the common strings get one-byte indexes; equal
// counts keep their first appearance's order: a counting sort by count,
// stable, in time linear in the cells.
Status Writer::dictionary_order() {
  const std::size_t d = seen_.size();
  if (!order_.try_resize_for_overwrite(d) || !rank_.try_resize_for_overwrite(d))
    return no_memory();
  uint64_t most = 0;
  for (std::size_t i = 0; i < d; ++i) most = seen_[i].count > most ? seen_[i].count : most;
  // starts[k]: where the strings counted most - k begin
  Vec<uint64_t> starts;
  if (!starts.try_resize_for_overwrite(most + 2)) return no_memory();
  for (uint64_t k = 0; k <= most + 1; ++k) starts[k] = 0;
  for (std::size_t i = 0; i < d; ++i) starts[most - seen_[i].count + 1] += 1;
  for (uint64_t k = 1; k <= most + 1; ++k) starts[k] += starts[k - 1];
  for (std::size_t i = 0; i < d; ++i) {
    const uint64_t slot = starts[most - seen_[i].count]++;
    order_[slot] = static_cast<uint32_t>(i);
    rank_[i] = static_cast<uint32_t>(slot);
  }
  return Done{};
}

uint64_t Writer::text_size(uint32_t j, uint64_t* pooled_now) {
  const uint64_t len = seen_[j].len;
  if (len < POOL_MIN_LEN || !on(OPT_POOL)) return inline_size(len);
  uint64_t& v = sim_[j];
  if (v != UNPOOLED && 1 + uvarint_len(v) < inline_size(len)) return 1 + uvarint_len(v);
  if (v == UNPOOLED) v = *pooled_now;
  ++*pooled_now;
  return inline_size(len);
}

// The smallest column for scalar cells, plain values winning ties. For a
// typed array the plain candidate is a plain array, one byte smaller than a
// typed array of the same payload. Numbers and booleans are sized from
// their values; strings from their distinct strings and the pool, as the
// writer would meet them.
Result<Plan> Writer::plan(const Child* cells, std::size_t n, unsigned types, bool array) {
  const uint64_t extra = array ? 1 : 0;
  Plan best{COL_VALUES, 0, false, 1};
  uint64_t least = 0;  // the best size so far, a typed array's kind byte included
  auto consider = [&](uint8_t kind, uint8_t scale, uint64_t size) {
    if (size + extra < least) {
      best = Plan{kind, scale, best.counted, size};
      least = size + extra;
    }
  };
  if (types == T_STR && on(OPT_DICT_STR)) {
    CHECK(distinct(cells, n));
    best.counted = true;
    const std::size_t d = seen_.size();
    if (!sim_.try_resize_for_overwrite(d)) return no_memory();
    auto reset = [&]() {
      for (std::size_t j = 0; j < d; ++j) sim_[j] = pool[seen_[j].entry].value;
    };
    reset();
    uint64_t now = pooled;
    for (std::size_t k = 0; k < n; ++k) best.size += text_size(of_cell_[k], &now);
    least = best.size;
    // With every string distinct, the dictionary holds the cells' own
    // strings in the cells' order (same pool effects), plus a count and an
    // index per cell: it can only be larger than plain values.
    if (d == n) return best;
    CHECK(dictionary_order());
    reset();
    now = pooled;
    uint64_t size = 1 + uvarint_len(d);
    for (std::size_t i = 0; i < d; ++i) size += text_size(order_[i], &now);
    for (std::size_t j = 0; j < d; ++j) size += seen_[j].count * uvarint_len(rank_[j]);
    consider(COL_DICT_STR, 0, size);
    return best;
  }
  if (types & T_STR) return Plan{COL_VALUES, 0, false, 0};  // strings among others: plain
  for (std::size_t k = 0; k < n; ++k) best.size += plain_size(cells[k]);
  least = best.size;
  if (types == T_BOOL) {
    if (on(OPT_BOOL_BITS)) consider(COL_BOOL_BITS, 0, 1 + (n + 7) / 8);
  } else if (!(types & ~T_NUMBER)) {
    bool ints = true;
    for (std::size_t k = 0; k < n && ints; ++k) ints = intlike(cells[k]);
    if (ints && on(OPT_DELTA)) consider(COL_DELTA_INT, 0, delta_size(cells, n));
    unsigned scale = 0;
    uint64_t size = 0;
    if (on(OPT_DECIMAL) && decimal_plan(cells, n, ints, &scale, &size))
      consider(COL_DECIMAL, static_cast<uint8_t>(scale), size);
  }
  return best;
}

Status Writer::write_plan(const Plan& p, const Child* cells, std::size_t n) {
  switch (p.kind) {
    case COL_BOOL_BITS: {
      // COL_BOOL_BITS | ceil(n / 8) bytes, cell k at bit k % 8 of byte k / 8
      const std::size_t bytes = (n + 7) / 8;
      if (!room(1 + bytes)) return py_fail();
      byte(COL_BOOL_BITS);
      uint8_t* bits = end();
      std::memset(bits, 0, bytes);
      for (std::size_t k = 0; k < n; ++k)
        if (cells[k].kind == K_TRUE) bits[k >> 3] = static_cast<uint8_t>(bits[k >> 3] | 1u << (k & 7));
      out.set_size(out.size() + bytes);
      return Done{};
    }
    case COL_DELTA_INT: {
      // COL_DELTA_INT | n uvarint zigzag(cell - previous cell), wrapping at 64 bits
      if (!room(p.size)) return py_fail();
      uint8_t* q = end();
      *q++ = COL_DELTA_INT;
      uint64_t prev = 0;
      for (std::size_t k = 0; k < n; ++k) {
        const uint64_t x = static_cast<uint64_t>(as_int(cells[k]));
        q = put_varint(q, zigzag_of(static_cast<int64_t>(x - prev)));
        prev = x;
      }
      done(q);
      return Done{};
    }
    case COL_DECIMAL: {
      // COL_DECIMAL | scale | n uvarint zigzag(mantissa)
      if (!room(p.size)) return py_fail();
      uint8_t* q = end();
      *q++ = COL_DECIMAL;
      *q++ = p.scale;
      for (std::size_t k = 0; k < n; ++k) {
        int64_t m = 0;
        (void)mantissa(cells[k], p.scale, &m);  // the plan checked every cell
        q = put_varint(q, zigzag_of(m));
      }
      done(q);
      return Done{};
    }
    case COL_DICT_STR: {
      // COL_DICT_STR | uvarint d | d strings | n uvarint indexes
      const std::size_t d = seen_.size();
      if (!room(11)) return py_fail();
      byte(COL_DICT_STR);
      varint(d);
      for (std::size_t i = 0; i < d; ++i) WROTE(put(seen_[order_[i]].entry));
      if (!room(5 * n)) return py_fail();
      uint8_t* q = end();
      for (std::size_t k = 0; k < n; ++k) q = put_varint(q, rank_[of_cell_[k]]);
      done(q);
      return Done{};
    }
    default:
      break;
  }
  if (!room(1)) return py_fail();
  byte(COL_VALUES);
  if (!p.counted) {
    for (std::size_t k = 0; k < n; ++k) WROTE(scalar(cells[k]));
    return Done{};
  }
  // A string column: its strings are known by number already.
  for (std::size_t k = 0; k < n; ++k) WROTE(put(seen_[of_cell_[k]].entry));
  return Done{};
}

// The plan of node cells' items after the strings of node strings are
// written, as a column or a typed array's payload.
Result<Plan> Writer::plan_after(uint32_t strings, uint32_t cells, bool array) {
  const Node a = s.nodes[strings];
  for (uint64_t k = 0; k < a.n; ++k) CHECK(value(s.items[a.first + k], 0));
  const Node b = s.nodes[cells];
  const Child* items = s.items.data() + b.first;
  const unsigned types = types_of(items, b.n);
  if (!types || (types & ~T_SCALAR)) return Plan{COL_VALUES, 0, false, 0};
  return plan(items, b.n, types, array);
}

Result<Plan> column_plan(PyObject* root, unsigned options, bool array) {
  Scan s;
  CHECK(scan(root, s));
  Vec<uint8_t> out;
  Writer w(s, out, options);
  const Node top = s.nodes[s.root.node];
  return w.plan_after(s.items[top.first].node, s.items[top.first + 1].node, array);
}

}  // namespace enc
}  // namespace wexo
