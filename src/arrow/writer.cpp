// The Arrow writer: record batches as one document's root table. The schema
// becomes a flat tree of columns (Col); each chunk a nanoarrow view; the
// encoder asks for one column's cells at a time (Source::fill), which are
// read from the views as the cells to_pylist() would give, each nested value
// a container of the scan held once, each date or time its RFC 3339 text.
#include "arrow/writer.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "decode/decoder.h"
#include "encode/encoder.h"
#include "nanoarrow/nanoarrow.h"

namespace wexo::arrow {

namespace {

using enc::Child;
using enc::Node;
using enc::Scan;

constexpr uint32_t NO_COL = UINT32_MAX;
constexpr int MAX_NESTING = 64;  // deeper schemas are written the plain way

// One field of the schema, and what its cells need.
struct Col {
  ArrowType type;       // the logical type (DICTIONARY for a dictionary array)
  ArrowTimeUnit unit;   // timestamps, times, durations
  int32_t offset;       // seconds east of UTC of a zoned timestamp
  bool zoned;           // a timestamp with a time zone
  int32_t fixed;        // fixed-size lists: the size
  uint32_t first, count;  // its children in the flat tree
  uint32_t dict;          // a dictionary array's values, or NO_COL
  uint32_t parent, pos;   // the column holding it (0: the root), and which child it is
  bool dict_values;       // the values of parent, a dictionary array
  const char* name;
  uint64_t name_len;
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The offset of a time zone to_pylist gives as a datetime.timezone or an
// equivalent: UTC, or +HH:MM / -HH:MM. False for a named zone.
bool fixed_zone(const char* tz, int32_t* offset) {
  if (!std::strcmp(tz, "UTC") || !std::strcmp(tz, "Etc/UTC")) {
    *offset = 0;
    return true;
  }
  if (std::strlen(tz) != 6 || (tz[0] != '+' && tz[0] != '-') || tz[3] != ':' || !is_digit(tz[1]) ||
      !is_digit(tz[2]) || !is_digit(tz[4]) || !is_digit(tz[5]))
    return false;
  const int h = (tz[1] - '0') * 10 + (tz[2] - '0'), m = (tz[4] - '0') * 10 + (tz[5] - '0');
  if (h > 23 || m > 59) return false;
  *offset = (tz[0] == '-' ? -1 : 1) * (h * 3600 + m * 60);
  return true;
}

// Adds the column of sc at cols[at] (reserved) and its children after;
// null, or why the schema is not written here.
const char* build(const ArrowSchema* sc, Vec<Col>& cols, uint32_t at, uint32_t parent, uint32_t pos,
                  int depth) {
  if (depth > MAX_NESTING) return "nesting deeper than 64";
  ArrowSchemaView sv;
  std::memset(&sv, 0, sizeof sv);  // what the type leaves unset (a time unit) reads as 0
  ArrowError err;
  if (ArrowSchemaViewInit(&sv, sc, &err) != NANOARROW_OK) return "a schema nanoarrow does not read";
  Col c{};
  c.type = sv.type;
  c.unit = sv.time_unit;
  c.dict = NO_COL;
  c.parent = parent;
  c.pos = pos;
  c.name = sc->name ? sc->name : "";
  c.name_len = std::strlen(c.name);
  c.fixed = sv.fixed_size;
  switch (sv.type) {
    case NANOARROW_TYPE_NA: case NANOARROW_TYPE_BOOL:
    case NANOARROW_TYPE_INT8: case NANOARROW_TYPE_INT16: case NANOARROW_TYPE_INT32:
    case NANOARROW_TYPE_INT64: case NANOARROW_TYPE_UINT8: case NANOARROW_TYPE_UINT16:
    case NANOARROW_TYPE_UINT32: case NANOARROW_TYPE_UINT64: case NANOARROW_TYPE_HALF_FLOAT:
    case NANOARROW_TYPE_FLOAT: case NANOARROW_TYPE_DOUBLE: case NANOARROW_TYPE_STRING:
    case NANOARROW_TYPE_LARGE_STRING: case NANOARROW_TYPE_STRING_VIEW:
    case NANOARROW_TYPE_BINARY: case NANOARROW_TYPE_LARGE_BINARY:
    case NANOARROW_TYPE_FIXED_SIZE_BINARY: case NANOARROW_TYPE_BINARY_VIEW:
    case NANOARROW_TYPE_DECIMAL128: case NANOARROW_TYPE_DECIMAL256:
    case NANOARROW_TYPE_DURATION: case NANOARROW_TYPE_DATE32: case NANOARROW_TYPE_DATE64:
    case NANOARROW_TYPE_TIME32: case NANOARROW_TYPE_TIME64:
    case NANOARROW_TYPE_LIST: case NANOARROW_TYPE_LARGE_LIST:
    case NANOARROW_TYPE_FIXED_SIZE_LIST: case NANOARROW_TYPE_STRUCT: case NANOARROW_TYPE_MAP:
    case NANOARROW_TYPE_DICTIONARY:
      break;
    case NANOARROW_TYPE_TIMESTAMP:
      if (sv.timezone && *sv.timezone) {
        c.zoned = true;
        if (!fixed_zone(sv.timezone, &c.offset)) return "a named time zone";
      }
      break;
    default:
      return "a type to_pylist() gives as Python objects the encoder does not take";
  }
  const bool nested = sv.type == NANOARROW_TYPE_LIST || sv.type == NANOARROW_TYPE_LARGE_LIST ||
                      sv.type == NANOARROW_TYPE_FIXED_SIZE_LIST ||
                      sv.type == NANOARROW_TYPE_STRUCT || sv.type == NANOARROW_TYPE_MAP;
  const uint32_t n = nested ? static_cast<uint32_t>(sc->n_children) : 0;
  c.first = static_cast<uint32_t>(cols.size());
  c.count = n;
  if (!cols.try_resize_for_overwrite(cols.size() + n)) return "memory";
  for (uint32_t k = 0; k < n; ++k) {
    const char* why = build(sc->children[k], cols, c.first + k, at, k, depth + 1);
    if (why) return why;
  }
  if (sv.type == NANOARROW_TYPE_STRUCT) {  // rows as dicts: a name twice keeps one value
    for (uint32_t a = 0; a < n; ++a)
      for (uint32_t b = a + 1; b < n; ++b) {
        const Col &x = cols[c.first + a], &y = cols[c.first + b];
        if (x.name_len == y.name_len && !std::memcmp(x.name, y.name, x.name_len))
          return "a name twice in a struct";
      }
  }
  if (sv.type == NANOARROW_TYPE_DICTIONARY) {
    if (!sc->dictionary) return "a dictionary array without its values";
    c.dict = static_cast<uint32_t>(cols.size());
    if (!cols.try_resize_for_overwrite(cols.size() + 1)) return "memory";
    const char* why = build(sc->dictionary, cols, c.dict, at, 0, depth + 1);
    if (why) return why;
    cols[c.dict].dict_values = true;
  }
  cols[at] = c;
  return nullptr;
}

// ---- dates and times as the encoder writes Python's

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }
int64_t floor_mod(int64_t a, int64_t b) { return a - floor_div(a, b) * b; }

// Days since 1970-01-01 as a civil date (proleptic Gregorian).
void civil(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

char* digits(char* p, unsigned v, int n) {
  for (int k = n - 1; k >= 0; --k) {
    p[k] = static_cast<char>('0' + v % 10);
    v /= 10;
  }
  return p + n;
}

// Seconds of 0001-01-01 and of the end of 9999-12-31: datetime's range.
constexpr int64_t FIRST_SECOND = -62135596800, LAST_SECOND = 253402300799;

// YYYY-MM-DD for days since the epoch; null outside years 1 to 9999.
char* date_text(char* p, int64_t days) {
  if (days < FIRST_SECOND / 86400 || days > LAST_SECOND / 86400) return nullptr;
  int64_t y;
  unsigned m, d;
  civil(days, &y, &m, &d);
  p = digits(p, static_cast<unsigned>(y), 4);
  *p++ = '-';
  p = digits(p, m, 2);
  *p++ = '-';
  return digits(p, d, 2);
}

// HH:MM:SS, then .ffffff when us is not 0.
char* clock_text(char* p, int64_t second_of_day, int64_t us) {
  const unsigned s = static_cast<unsigned>(second_of_day);
  p = digits(p, s / 3600, 2);
  *p++ = ':';
  p = digits(p, s / 60 % 60, 2);
  *p++ = ':';
  p = digits(p, s % 60, 2);
  if (us) {
    *p++ = '.';
    p = digits(p, static_cast<unsigned>(us), 6);
  }
  return p;
}

int64_t per_second(ArrowTimeUnit u) {
  switch (u) {
    case NANOARROW_TIME_UNIT_SECOND: return 1;
    case NANOARROW_TIME_UNIT_MILLI: return 1000;
    case NANOARROW_TIME_UNIT_MICRO: return 1000000;
    default: return 1000000000;
  }
}

// A timestamp as datetime.isoformat() gives it for to_pylist's value
// (nanoseconds cut to the microsecond below, as datetime holds them); null
// outside datetime's range.
char* timestamp_text(char* p, int64_t v, const Col& c) {
  const int64_t per = per_second(c.unit);
  const int64_t secs = floor_div(v, per);
  const int64_t us = per >= 1000000 ? floor_mod(v, per) / (per / 1000000) : floor_mod(v, per) * (1000000 / per);
  if (secs < FIRST_SECOND - 86400 || secs > LAST_SECOND + 86400) return nullptr;
  const int64_t local = secs + (c.zoned ? c.offset : 0);
  if (local < FIRST_SECOND || local > LAST_SECOND) return nullptr;
  p = date_text(p, floor_div(local, 86400));
  *p++ = 'T';
  p = clock_text(p, floor_mod(local, 86400), us);
  if (c.zoned) {
    const int32_t o = c.offset < 0 ? -c.offset : c.offset;
    *p++ = c.offset < 0 ? '-' : '+';
    p = digits(p, static_cast<unsigned>(o / 3600), 2);
    *p++ = ':';
    p = digits(p, static_cast<unsigned>(o / 60 % 60), 2);
  }
  return p;
}

// A time of day as time.isoformat() gives it; null outside one day.
char* time_text(char* p, int64_t v, const Col& c) {
  const int64_t per = per_second(c.unit);
  if (v < 0 || v / per >= 86400) return nullptr;
  const int64_t frac = v % per;
  const int64_t us = per >= 1000000 ? frac / (per / 1000000) : frac * (1000000 / per);
  return clock_text(p, v / per, us);
}

constexpr std::size_t TEXT_MAX = 40;  // the longest date or time text and then some

// Blocks for the dates' and times' text, kept until the document is written
// (the string pool refers to them).
class Arena {
 public:
  ~Arena() {
    for (std::size_t k = 0; k < blocks_.size(); ++k) std::free(blocks_[k]);
  }
  char* take() {
    if (used_ + TEXT_MAX > BLOCK || !in_use_) {
      if (in_use_ == blocks_.size()) {
        if (!blocks_.try_room(1)) return nullptr;
        char* b = static_cast<char*>(std::malloc(BLOCK));
        if (!b) return nullptr;
        blocks_.push_unchecked(b);
      }
      ++in_use_;
      used_ = 0;
    }
    return blocks_[in_use_ - 1] + used_;
  }
  void used(std::size_t n) { used_ += n; }
  void reset() {
    in_use_ = 0;
    used_ = 0;
  }

 private:
  static constexpr std::size_t BLOCK = std::size_t{64} << 10;
  Vec<char*> blocks_;
  std::size_t in_use_ = 0, used_ = 0;
};

// ---- cells

enum Met : uint8_t { MET_OK, MET_REFUSED, MET_UNSUPPORTED, MET_NO_MEMORY };

Child none() {
  Child c{};
  c.kind = enc::K_NONE;
  c.exact = true;
  return c;
}

Child text_cell(const char* p, uint64_t n) {
  Child c{};
  c.kind = enc::K_STR;
  c.exact = true;
  enc::set_text(c, p, static_cast<Py_ssize_t>(n));
  return c;
}

class Source final : public enc::Columns {
 public:
  Source(const Vec<Col>& cols, const Vec<ArrowArrayView*>& views, const ArrowArrayView* const* places,
         int64_t rows, bool null_nonfinite)
      : cols_(cols), views_(views), places_(places), rows_(rows), null_nonfinite_(null_nonfinite) {}
  Status expand(Scan& s, const Child& c, uint32_t* node) override;

  uint64_t field(uint64_t column, uint64_t k) override { return cols_[column].first + k; }
  uint64_t object_fields(uint64_t column) override;
  Child field_name(uint64_t column, uint64_t k) override {
    const Col& c = cols_[cols_[column].first + k];
    return text_cell(c.name, c.name_len);
  }
  Status fill(uint64_t column, Scan& s, Vec<Child>& cells) override;

  WriteOutcome outcome;

 private:
  const Vec<Col>& cols_;
  const Vec<ArrowArrayView*>& views_;
  // Each column's view in each chunk, at chunk * cols + column: the places
  // of containers left for expand. Null where there are too many places
  // for a Child's 16 bits: containers are then snapshotted at once.
  const ArrowArrayView* const* places_;
  const int64_t rows_;
  const bool null_nonfinite_;
  bool eager_ = false;  // looking for refusals: containers at once
  Arena arena_;

  Met range(uint32_t ci, const ArrowArrayView* v, std::size_t chunk, int64_t start, int64_t n,
            Scan& s, Vec<Child>& dst, std::size_t at, int64_t* bad);
  Met one(uint32_t ci, const ArrowArrayView* v, std::size_t chunk, int64_t i, Scan& s,
          uint32_t* node, int64_t* bad);
  Status met(Met m, int64_t row);
  Met container(Scan& s, uint64_t n, bool dict, uint32_t* node, uint64_t* first);
  int64_t first_refused(uint64_t column, int64_t limit);
  // The view of a column in chunk c, and the logical index of its row 0.
  const ArrowArrayView* locate(uint32_t ci, std::size_t c, int64_t* start) const {
    const Col& col = cols_[ci];
    if (col.parent == 0) {
      *start = views_[c]->offset;
      return views_[c]->children[col.pos];
    }
    int64_t at = 0;
    const ArrowArrayView* p = locate(col.parent, c, &at);
    *start = p->offset + at;
    return p->children[col.pos];
  }
  Status refused(int64_t row);
};

// Structs with fields and no null in any chunk's rows.
uint64_t Source::object_fields(uint64_t column) {
  const Col& col = cols_[column];
  if (col.type != NANOARROW_TYPE_STRUCT || !col.count) return 0;
  for (std::size_t c = 0; c < views_.size(); ++c) {
    int64_t start = 0;
    const ArrowArrayView* v = locate(static_cast<uint32_t>(column), c, &start);
    const uint8_t* valid = v->buffer_views[0].data.as_uint8;
    if (!valid || v->null_count == 0) continue;
    for (int64_t i = 0; i < views_[c]->length; ++i)
      if (!ArrowBitGet(valid, v->offset + start + i)) return 0;
  }
  return col.count;
}

// A new node of n elements (2n items for a dict) at the end of the scan.
Met Source::container(Scan& s, uint64_t n, bool dict, uint32_t* node, uint64_t* first) {
  if (s.nodes.size() >= enc::NO_NODE - 1) return MET_UNSUPPORTED;
  const uint64_t items = dict ? 2 * n : n;
  Node x;
  x.obj = nullptr;
  x.first = s.items.size();
  x.n = n;
  x.height = n ? 1 : 0;
  x.uses = 1;
  x.expanded = n;
  x.dict = dict;
  if (!s.nodes.try_push(x) || !s.items.try_resize_for_overwrite(x.first + items)) return MET_NO_MEMORY;
  *node = static_cast<uint32_t>(s.nodes.size() - 1);
  *first = x.first;
  return MET_OK;
}

// The node of the container at logical index i of v (a list, a map, a
// struct; not null), its elements read in turn.
Met Source::one(uint32_t ci, const ArrowArrayView* v, std::size_t chunk, int64_t i, Scan& s,
                uint32_t* node, int64_t* bad) {
  const Col& col = cols_[ci];
  const int64_t off = v->offset;
  uint64_t first;
  if (col.type == NANOARROW_TYPE_STRUCT) {
    Met m = container(s, col.count, true, node, &first);
    for (uint32_t f = 0; f < col.count && m == MET_OK; ++f) {
      const Col& field = cols_[col.first + f];
      s.items[first + 2 * f] = text_cell(field.name, field.name_len);
      m = range(col.first + f, v->children[f], chunk, off + i, 1, s, s.items, first + 2 * f + 1, bad);
    }
    return m;
  }
  int64_t b, e;
  if (col.type == NANOARROW_TYPE_LARGE_LIST) {
    b = v->buffer_views[1].data.as_int64[off + i];
    e = v->buffer_views[1].data.as_int64[off + i + 1];
  } else if (col.type == NANOARROW_TYPE_FIXED_SIZE_LIST) {
    b = (off + i) * col.fixed;
    e = b + col.fixed;
  } else {
    b = v->buffer_views[1].data.as_int32[off + i];
    e = v->buffer_views[1].data.as_int32[off + i + 1];
  }
  const ArrowArrayView* child = v->children[0];
  Met m = container(s, static_cast<uint64_t>(e - b), false, node, &first);
  if (m != MET_OK) return m;
  if (col.type != NANOARROW_TYPE_MAP)
    return range(col.first, child, chunk, b, e - b, s, s.items, first, bad);
  // (key, value) tuples, written as 2-element lists
  const Col& entries = cols_[col.first];
  for (int64_t j = 0; j < e - b && m == MET_OK; ++j) {
    uint32_t pair;
    uint64_t pf;
    m = container(s, 2, false, &pair, &pf);
    for (uint32_t f = 0; f < 2 && m == MET_OK; ++f)
      m = range(entries.first + f, child->children[f], chunk, child->offset + b + j, 1, s, s.items,
                pf + f, bad);
    if (m == MET_OK) {
      Child c{};
      c.kind = enc::K_LIST;
      c.node = pair;
      c.exact = true;
      s.items[first + static_cast<uint64_t>(j)] = c;
    }
  }
  return m;
}

Status Source::expand(Scan& s, const Child& c, uint32_t* node) {
  const std::size_t chunk = c.place / cols_.size();
  const uint32_t ci = static_cast<uint32_t>(c.place % cols_.size());
  int64_t bad = 0;
  const Met m = one(ci, places_[c.place], chunk, c.i, s, node, &bad);
  if (m == MET_OK) return Done{};
  return met(m, rows_);
}

// Cells start .. start + n of v (logical indexes, v's own offset not added)
// into dst[at ..]. On a refusal, *bad is the first refused cell's index from
// start. Only nested cells add to s (and so may move dst when it is s.items).
Met Source::range(uint32_t ci, const ArrowArrayView* v, std::size_t chunk, int64_t start,
                  int64_t n, Scan& s, Vec<Child>& dst, std::size_t at, int64_t* bad) {
  const Col& col = cols_[ci];
  const uint8_t* valid = v->buffer_views[0].data.as_uint8;
  const int64_t off = v->offset;
  auto null_at = [&](int64_t i) {
    return col.type == NANOARROW_TYPE_NA || (valid && !ArrowBitGet(valid, off + i));
  };
  switch (col.type) {
    case NANOARROW_TYPE_NA: {
      Child* d = dst.data() + at;
      for (int64_t k = 0; k < n; ++k) d[k] = none();
      return MET_OK;
    }
    case NANOARROW_TYPE_BOOL: {
      Child* d = dst.data() + at;
      const uint8_t* bits = v->buffer_views[1].data.as_uint8;
      for (int64_t k = 0; k < n; ++k) {
        d[k] = none();
        if (!null_at(start + k))
          d[k].kind = ArrowBitGet(bits, off + start + k) ? enc::K_TRUE : enc::K_FALSE;
      }
      return MET_OK;
    }
    case NANOARROW_TYPE_INT8: case NANOARROW_TYPE_INT16: case NANOARROW_TYPE_INT32:
    case NANOARROW_TYPE_INT64: case NANOARROW_TYPE_UINT8: case NANOARROW_TYPE_UINT16:
    case NANOARROW_TYPE_UINT32: {
      Child* d = dst.data() + at;
      for (int64_t k = 0; k < n; ++k) {
        d[k] = none();
        if (null_at(start + k)) continue;
        d[k].kind = enc::K_INT;
        d[k].i = ArrowArrayViewGetIntUnsafe(v, start + k);
      }
      return MET_OK;
    }
    case NANOARROW_TYPE_UINT64: {
      Child* d = dst.data() + at;
      for (int64_t k = 0; k < n; ++k) {
        d[k] = none();
        if (null_at(start + k)) continue;
        const uint64_t x = ArrowArrayViewGetUIntUnsafe(v, start + k);
        if (x > static_cast<uint64_t>(INT64_MAX)) {
          *bad = k;
          return MET_REFUSED;
        }
        d[k].kind = enc::K_INT;
        d[k].i = static_cast<int64_t>(x);
      }
      return MET_OK;
    }
    case NANOARROW_TYPE_HALF_FLOAT: case NANOARROW_TYPE_FLOAT: case NANOARROW_TYPE_DOUBLE: {
      Child* d = dst.data() + at;
      for (int64_t k = 0; k < n; ++k) {
        d[k] = none();
        if (null_at(start + k)) continue;
        const double x = ArrowArrayViewGetDoubleUnsafe(v, start + k);
        if (!std::isfinite(x)) {
          if (null_nonfinite_) continue;
          *bad = k;
          return MET_REFUSED;
        }
        d[k].kind = enc::K_FLOAT;
        d[k].f = x;
      }
      return MET_OK;
    }
    case NANOARROW_TYPE_STRING: case NANOARROW_TYPE_LARGE_STRING:
    case NANOARROW_TYPE_STRING_VIEW: {
      Child* d = dst.data() + at;
      for (int64_t k = 0; k < n; ++k) {
        if (null_at(start + k)) {
          d[k] = none();
          continue;
        }
        const ArrowStringView t = ArrowArrayViewGetStringUnsafe(v, start + k);
        // Bytes that are not UTF-8 (to_pylist fails on them) go the way of to_pylist.
        if (static_cast<uint64_t>(t.size_bytes) >= enc::LONG_STR ||
            !utf8(reinterpret_cast<const uint8_t*>(t.data), static_cast<uint64_t>(t.size_bytes)))
          return MET_UNSUPPORTED;
        d[k] = text_cell(t.data, static_cast<uint64_t>(t.size_bytes));
      }
      return MET_OK;
    }
    case NANOARROW_TYPE_BINARY: case NANOARROW_TYPE_LARGE_BINARY:
    case NANOARROW_TYPE_FIXED_SIZE_BINARY: case NANOARROW_TYPE_BINARY_VIEW:
    case NANOARROW_TYPE_DECIMAL128: case NANOARROW_TYPE_DECIMAL256:
    case NANOARROW_TYPE_DURATION: {  // bytes, Decimal, timedelta: refused unless None
      Child* d = dst.data() + at;
      for (int64_t k = 0; k < n; ++k) {
        if (!null_at(start + k)) {
          *bad = k;
          return MET_REFUSED;
        }
        d[k] = none();
      }
      return MET_OK;
    }
    case NANOARROW_TYPE_TIMESTAMP: case NANOARROW_TYPE_DATE32: case NANOARROW_TYPE_DATE64:
    case NANOARROW_TYPE_TIME32: case NANOARROW_TYPE_TIME64: {
      for (int64_t k = 0; k < n; ++k) {
        if (null_at(start + k)) {
          dst[at + static_cast<std::size_t>(k)] = none();
          continue;
        }
        const int64_t x = ArrowArrayViewGetIntUnsafe(v, start + k);
        char* p = arena_.take();
        if (!p) return MET_NO_MEMORY;
        char* e = nullptr;
        if (col.type == NANOARROW_TYPE_TIMESTAMP) {
          e = timestamp_text(p, x, col);
        } else if (col.type == NANOARROW_TYPE_DATE32) {
          e = date_text(p, x);
        } else if (col.type == NANOARROW_TYPE_DATE64) {
          e = date_text(p, floor_div(x, 86400000));
        } else {
          e = time_text(p, x, col);
        }
        if (!e) return MET_UNSUPPORTED;
        arena_.used(static_cast<std::size_t>(e - p));
        dst[at + static_cast<std::size_t>(k)] = text_cell(p, static_cast<uint64_t>(e - p));
      }
      return MET_OK;
    }
    case NANOARROW_TYPE_LIST: case NANOARROW_TYPE_LARGE_LIST:
    case NANOARROW_TYPE_FIXED_SIZE_LIST: case NANOARROW_TYPE_MAP:
    case NANOARROW_TYPE_STRUCT: {
      const enc::Kind kind = col.type == NANOARROW_TYPE_STRUCT ? enc::K_DICT : enc::K_LIST;
      const bool lazy = places_ && !eager_;
      for (int64_t k = 0; k < n; ++k) {
        const int64_t i = start + k;
        if (null_at(i)) {
          dst[at + static_cast<std::size_t>(k)] = none();
          continue;
        }
        Child c{};
        c.kind = kind;
        c.exact = true;
        c.node = enc::NO_NODE;
        if (lazy) {  // snapshotted when the writer reaches it (expand)
          c.i = i;
          c.place = static_cast<uint16_t>(chunk * cols_.size() + ci);
        } else {
          int64_t sub = 0;
          const Met m = one(ci, v, chunk, i, s, &c.node, &sub);
          if (m != MET_OK) {
            *bad = k;
            return m;
          }
        }
        dst[at + static_cast<std::size_t>(k)] = c;
      }
      return MET_OK;
    }
    case NANOARROW_TYPE_DICTIONARY: {
      const ArrowArrayView* values = v->dictionary;
      for (int64_t k = 0; k < n; ++k) {
        if (null_at(start + k)) {
          dst[at + static_cast<std::size_t>(k)] = none();
          continue;
        }
        const int64_t index = ArrowArrayViewGetIntUnsafe(v, start + k);
        if (index < 0 || index >= values->length) return MET_UNSUPPORTED;
        int64_t sub = 0;
        const Met m = range(col.dict, values, chunk, index, 1, s, dst, at + static_cast<std::size_t>(k), &sub);
        if (m != MET_OK) {
          *bad = k;
          return m;
        }
      }
      return MET_OK;
    }
    default:
      return MET_UNSUPPORTED;
  }
}

// The first row below limit whose cell of column holds a refused value, or
// -1 (or -2 when the column meets what is not written here).
int64_t Source::first_refused(uint64_t column, int64_t limit) {
  Scan scratch;
  Vec<Child> cells;
  const uint32_t ci = cols_[0].first + static_cast<uint32_t>(column);
  int64_t base = 0;
  for (std::size_t c = 0; c < views_.size() && base < limit; ++c) {
    const ArrowArrayView* root = views_[c];
    int64_t n = root->length < limit - base ? root->length : limit - base;
    for (int64_t from = 0; from < n; from += 1024) {  // a bounded scratch
      const int64_t step = n - from < 1024 ? n - from : 1024;
      scratch.nodes.clear();
      scratch.items.clear();
      if (!cells.try_resize_for_overwrite(static_cast<std::size_t>(step))) return -2;
      int64_t bad = 0;
      const Met m = range(ci, root->children[column], c, root->offset + from, step, scratch, cells, 0, &bad);
      arena_.reset();
      if (m == MET_REFUSED) return base + from + bad;
      if (m != MET_OK) return -2;
    }
    base += root->length;
  }
  return -1;
}

// A failure met reading the cells of row (or of some row at or above it).
Status Source::met(Met m, int64_t row) {
  if (m == MET_NO_MEMORY) return no_memory();
  if (m == MET_REFUSED) return refused(row);
  outcome.kind = WriteOutcome::UNSUPPORTED;
  outcome.why = "a value to_pylist() gives as what the encoder does not take";
  return py_fail();
}

// The first row holding a refused value, in the rows' order, given a row
// that holds one (or the row count): every column's cells above it are
// looked at, in full.
Status Source::refused(int64_t row) {
  eager_ = true;
  for (uint32_t j = 0; j < cols_[0].count; ++j) {
    const int64_t r = first_refused(j, row);
    if (r == -2) {
      outcome.kind = WriteOutcome::UNSUPPORTED;
      outcome.why = "a value to_pylist() gives as what the encoder does not take";
      return py_fail();
    }
    if (r >= 0) row = r;
  }
  outcome.kind = WriteOutcome::REFUSED;
  outcome.row = row;
  return py_fail();
}

Status Source::fill(uint64_t column, Scan& s, Vec<Child>& cells) {
  const uint32_t ci = static_cast<uint32_t>(column);
  int64_t base = 0;
  for (std::size_t c = 0; c < views_.size(); ++c) {
    int64_t start = 0;
    const ArrowArrayView* v = locate(ci, c, &start);
    int64_t bad = 0;
    const Met m = range(ci, v, c, start, views_[c]->length, s, cells, static_cast<std::size_t>(base), &bad);
    if (m != MET_OK) return met(m, base + bad);
    base += views_[c]->length;
  }
  return Done{};
}

// Views of each chunk, released with it.
struct Views {
  Vec<ArrowArrayView*> v;
  ~Views() {
    for (std::size_t k = 0; k < v.size(); ++k) {
      ArrowArrayViewReset(v[k]);
      std::free(v[k]);
    }
  }
};

}  // namespace

WriteOutcome write_table(const ArrowSchema* schema, const ArrowArray* const* chunks, std::size_t n,
                         unsigned options, bool null_nonfinite, Vec<uint8_t>& out) {
  WriteOutcome r;
  auto unsupported = [&r](const char* why) {
    r.kind = WriteOutcome::UNSUPPORTED;
    r.why = why;
    return r;
  };
  auto failed = [&r]() {
    (void)no_memory();
    r.kind = WriteOutcome::FAILED;
    return r;
  };
  Vec<Col> cols;
  if (!cols.try_resize_for_overwrite(1)) return failed();
  const char* why = build(schema, cols, 0, 0, 0, 0);
  if (why) return std::strcmp(why, "memory") ? unsupported(why) : failed();
  if (cols[0].type != NANOARROW_TYPE_STRUCT) return unsupported("a root that is not a struct");
  Views views;
  uint64_t rows = 0;
  for (std::size_t c = 0; c < n; ++c) {
    auto* view = static_cast<ArrowArrayView*>(std::malloc(sizeof(ArrowArrayView)));
    if (!view || !views.v.try_push(view)) {
      std::free(view);
      return failed();
    }
    ArrowArrayViewInitFromType(view, NANOARROW_TYPE_UNINITIALIZED);
    ArrowError err;
    if (ArrowArrayViewInitFromSchema(view, schema, &err) != NANOARROW_OK ||
        ArrowArrayViewSetArray(view, chunks[c], &err) != NANOARROW_OK)
      return unsupported("arrays that do not match their schema");
    if (view->null_count != 0 && view->buffer_views[0].data.data)
      return unsupported("rows that are None");
    rows += static_cast<uint64_t>(view->length);
  }
  const uint32_t count = cols[0].count;
  Vec<Child> names;
  if (!names.try_resize_for_overwrite(count)) return failed();
  for (uint32_t k = 0; k < count; ++k)
    names[k] = text_cell(cols[1 + k].name, cols[1 + k].name_len);
  // Every column's view in every chunk (a column comes after the one holding it).
  const std::size_t ncols = cols.size();
  Vec<const ArrowArrayView*> places;
  if (ncols * n <= 65536) {
    if (!places.try_resize_for_overwrite(ncols * n)) return failed();
    for (std::size_t c = 0; c < n; ++c) {
      const ArrowArrayView** at = places.data() + c * ncols;
      at[0] = views.v[c];
      for (std::size_t ci = 1; ci < ncols; ++ci) {
        const ArrowArrayView* p = at[cols[ci].parent];
        at[ci] = cols[ci].dict_values ? p->dictionary : p->children[cols[ci].pos];
      }
    }
  }
  Source source(cols, views.v, places.size() ? places.data() : nullptr,
                static_cast<int64_t>(rows), null_nonfinite);
  Status st = enc::encode_columns(names.data(), count, rows, source, options, out);
  if (st.ok()) return r;
  if (source.outcome.kind != WriteOutcome::WRITTEN) return source.outcome;
  r.kind = WriteOutcome::FAILED;
  return r;
}

namespace {

// What a stream gave: the schema and the chunks, released at the end.
struct Taken {
  ArrowSchema schema{};
  Vec<ArrowArray*> arrays;
  ~Taken() {
    if (schema.release) schema.release(&schema);
    for (std::size_t k = 0; k < arrays.size(); ++k) {
      if (arrays[k]->release) arrays[k]->release(arrays[k]);
      std::free(arrays[k]);
    }
  }
};

Failure stream_error(ArrowArrayStream* st, int code) {
  const char* text = st->get_last_error ? st->get_last_error(st) : nullptr;
  PyErr_Format(PyExc_ValueError, "the Arrow stream failed (error %d): %s", code,
               text ? text : "no message");
  return py_fail();
}

}  // namespace

Result<Owned> dumps_columns(PyObject* data, unsigned options, bool null_nonfinite) {
  Taken taken;
  const ArrowSchema* schema = nullptr;
  Vec<const ArrowArray*> chunks;
  if (PyCapsule_IsValid(data, "arrow_array_stream")) {
    auto* st = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(data, "arrow_array_stream"));
    if (!st || !st->release) {
      PyErr_SetString(PyExc_ValueError, "the Arrow stream was released already");
      return py_fail();
    }
    // The stream's callbacks may need the interpreter (a source written in
    // Python): every chunk is taken here, with the lock held.
    int code = st->get_schema(st, &taken.schema);
    if (code) return stream_error(st, code);
    for (;;) {
      auto* a = static_cast<ArrowArray*>(std::malloc(sizeof(ArrowArray)));
      if (!a) return no_memory();
      a->release = nullptr;
      if (!taken.arrays.try_push(a)) {
        std::free(a);
        return no_memory();
      }
      code = st->get_next(st, a);
      if (code) return stream_error(st, code);
      if (!a->release) break;
      if (!chunks.try_push(a)) return no_memory();
    }
    schema = &taken.schema;
  } else if (PyTuple_Check(data) && PyTuple_Size(data) == 2 &&
             PyCapsule_IsValid(PyTuple_GetItem(data, 0), "arrow_schema") &&
             PyCapsule_IsValid(PyTuple_GetItem(data, 1), "arrow_array")) {
    // Borrowed from the capsules, which the caller's tuple keeps alive.
    schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(PyTuple_GetItem(data, 0), "arrow_schema"));
    const auto* a = static_cast<ArrowArray*>(PyCapsule_GetPointer(PyTuple_GetItem(data, 1), "arrow_array"));
    if (!schema->release || !a->release) {
      PyErr_SetString(PyExc_ValueError, "the Arrow array was released already");
      return py_fail();
    }
    if (!chunks.try_push(a)) return no_memory();
  } else {
    PyErr_SetString(PyExc_TypeError,
                    "dumps_columns() takes an 'arrow_array_stream' capsule or a pair of "
                    "'arrow_schema' and 'arrow_array' capsules");
    return py_fail();
  }
  Vec<uint8_t> out;
  WriteOutcome r;
  {
    // Safe without the interpreter lock: write_table reads only the Arrow
    // buffers (held by taken or by the caller's capsules, alive for the
    // call) and its own memory, and touches the interpreter only to set
    // MemoryError, with the lock taken back (Unlocked::with_lock).
    Unlocked unlocked;
    r = write_table(schema, chunks.data(), chunks.size(), options, null_nonfinite, out);
  }
  switch (r.kind) {
    case WriteOutcome::WRITTEN:
      return made(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()),
                                            static_cast<Py_ssize_t>(out.size())));
    case WriteOutcome::REFUSED:
      return made(PyLong_FromLongLong(r.row));
    case WriteOutcome::UNSUPPORTED:
      return made(PyUnicode_FromString(r.why));
    case WriteOutcome::FAILED:
      break;
  }
  return py_fail();
}

}  // namespace wexo::arrow
