// The Decoder: per-call state over one document, its readers of every
// value, and the inline fast paths of the primitive readers. Every fault of
// a document is judged here, whatever is built from it: the Python objects
// of this folder, or another builder (src/arrow) through the object-free
// readers.
//
// The folder:
//   decoder.h       the Decoder, Key, PoolEnt, Budgets, the shared free functions
//   primitives.cpp  varints, counts and their bounds, ints and floats, the
//                   budgets, row counts of tables and typed arrays, the end
//   value.cpp       the tag dispatch, a value no reader takes, typed arrays
//   strings.cpp     inline strings, the pool, references, names, UTF-8
//   cache.cpp       names kept across calls
//   names.cpp       table headers and distinct names, the keyed hash
//   containers.cpp  arrays and objects, repeated keys
//   anchors.cpp     anchors, references and their bounded copies
//   columns.h       the sinks of the typed-column reader
//   columns_impl.h  column<Sink>, written once for every sink
//   columns.cpp     the Python sinks' columns, object columns, decimal quotients
//   tables.cpp      tables and their row dicts
//   sparse.cpp      sparse tables and presence bitmaps
#pragma once

#include <cstdint>
#include <cstring>

#include "err.h"
#include "format.h"
#include "pyo.h"

namespace wexo {

constexpr uint64_t CACHED_NAME_MAX = 64;  // longer names are never kept across calls

// One pooled string: the pool's reference and where its UTF-8 bytes lie.
// The columnar reader pools strings it has checked but not made: their
// object is made when a reference first needs it (Decoder::pool_obj).
struct PoolEnt {
  Owned str_obj;
  uint64_t start;
  uint64_t len;
  // The keyed hash of the bytes, computed once when the string is first
  // compared as a name: a name given as a 2-byte reference must not cost the
  // whole length of the string it names each time it is used. 0: not yet.
  uint64_t hash = 0;
};

// A pool may hold an entry per two bytes of input: keep it at four words.
static_assert(sizeof(PoolEnt) == 32, "PoolEnt grew");

constexpr uint64_t NO_ENTRY = UINT64_MAX;

// One decoded name. For a pool reference, start and len are those of the
// bytes the pooled string was first decoded from, so names compare by bytes.
struct Key {
  Owned str_obj;
  uint64_t start;
  uint64_t len;
  uint64_t entry = NO_ENTRY;  // its pool entry, if it has one
};

using Names = Vec<Key>;

constexpr int64_t NO_LIMIT = INT64_MAX;

// The starting values of a document's budgets. cells and copies are the
// format's budgets (copies lowered to the caller's max_copies where
// copies_limited); limit is the caller's max_cells. It counts what a
// document can announce for less than a byte each: the dicts that tables,
// sparse tables and object columns make (one per row or cell), and the slots
// of typed arrays other than bit arrays. Everything else a document builds
// costs input bytes (a bit cell an eighth of one) or copies.
struct Budgets {
  int64_t cells;
  int64_t copies;
  int64_t limit = NO_LIMIT;
  bool copies_limited = false;
};

struct DictSink;
struct ListSink;
struct SparseSink;

// What a sparse column's presence byte announces: bits null for every row,
// else the bitmap inside the input and the number of rows it marks.
struct Presence {
  const uint8_t* bits;
  uint64_t cells;
};

class Decoder {
 public:
  // The budgets start at the values given: the format's own for loads_binary
  // (format_budgets in run.h), with the package's limits for wexo._ext.
  // Without names, the decode makes no Python object and leaves the cache
  // of names across calls alone: it may run without the interpreter lock.
  Decoder(const uint8_t* b, uint64_t n, const Budgets& start, bool names = true);
  ~Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // One complete value. The commonest scalars are read inline at the call
  // site, after the same checks in the same order as the full dispatch.
  inline Result<Owned> value(uint64_t depth);

  // ---- Object-free readers, for builders of other outputs (src/arrow).
  // Each makes the checks of the Python reader it stands beside, in the same
  // order and at the same offsets, so that every fault of a document is
  // judged here, whatever is built from it.

  // An inline string's n bytes at the cursor, checked as UTF-8 and pooled
  // from two bytes on (the object is made only if a reference needs one).
  // Its start.
  inline Result<uint64_t> str_span(uint64_t n);
  // While not NO_ENTRY, bytes read once are being read again (an anchored
  // value copied from its input), and this is the pool entry their next
  // string was given the first time: nothing enters the pool again.
  uint64_t reread = NO_ENTRY;
  // A name, as key() reads it, without its object.
  Result<Key> key_span();
  // A string reference's pool entry, its tag read.
  inline Result<uint64_t> pool_index();
  // TAG_INT's and TAG_FLOAT's payloads, their tags read.
  Result<int64_t> int_body() {
    TRY(v, uvarint());
    return zigzag(v);
  }
  inline Result<double> float_body();
  // A table's or sparse table's row count, after its header, with its bound
  // and budgets; a typed array's count, with its own.
  Result<uint64_t> table_rows(bool sparse);
  Result<uint64_t> typed_rows();
  // A sparse column's presence byte and bitmap for r rows.
  Result<Presence> presence(uint64_t r);
  // The failure of a value that no reader takes at the cursor: too deep,
  // truncated, or a bad tag.
  Failure no_value(uint64_t depth);
  // A repeated name of an object, found after its value.
  Failure duplicate_key(uint64_t start, uint64_t n, uint64_t at) const;
  // An anchor reference's index, its tag read: below slots and filled(i).
  template <class Filled>
  Result<uint64_t> ref_index(uint64_t slots, Filled filled) {
    TRY(i, uvarint());
    if (i >= slots || !filled(i)) return bad("bad anchor reference", pos);
    return i;
  }
  // The verdict on copying a referenced value whose containers cost cost
  // (their elements + 1 each) and whose objects lie at most deep levels below
  // it, for builders that copy from the input rather than from objects.
  // ambiguous is set where both limits are passed: which comes first depends
  // on the order of the copy, which only an object walk knows.
  Status copy_charge(int64_t cost, uint64_t deep, bool& ambiguous);
  // The end of the document: the cursor must stand at its last byte.
  Status end() const;

  uint64_t remaining() const { return pos < len ? len - pos : 0; }
  inline Result<uint64_t> uvarint();
  inline Result<uint64_t> count();  // bounded by the remaining bytes
  Failure short_(uint64_t at) const;

  Vec<PoolEnt, 64> pool;  // a record's strings, without an allocation (2.5 KiB)
  Vec<Owned, 4> anchors;  // an empty Owned is a slot whose value is not complete
  const uint8_t* buf;
  uint64_t len;
  uint64_t pos = 2;
  int64_t expand_budget;
  int64_t size_budget;
  int64_t cell_budget;       // what max_cells leaves; NO_LIMIT: no limit of the caller's
  const int64_t cell_limit;  // max_cells, for the message
  const int64_t copy_limit;  // max_copies where it is below the format's budget; else -1
  // This decode's mark in the cache of names across calls; 0: not using it.
  const uint64_t stamp;

 private:
  friend struct DictSink;
  friend struct ListSink;
  friend struct SparseSink;
  template <class S>
  friend struct PySink;

  // Elements announced by the open pre-sized arrays whose decoding has not
  // begun. Each needs at least one unread byte, so in a document that can
  // succeed this never exceeds the remaining bytes.
  uint64_t owed = 0;

  // Rows of the open tables and object columns whose dicts were made from a
  // template (pre-sized with every key). Templates are used only while these
  // fit in the remaining bytes, so that nested tables that can only fail do
  // not fill memory with pre-sized dicts; empty dicts give the same rows.
  uint64_t owed_rows = 0;
  bool template_fits(uint64_t rows) const { return owed_rows + rows <= remaining(); }
  // Under the caller's max_cells the copies must also hold no more keys than
  // the columns can fill: each of them needs an eighth of a byte per row.
  bool presize(uint64_t rows, uint64_t keys) const {
    return template_fits(rows) && (cell_limit == NO_LIMIT || rows * keys <= 8 * remaining());
  }

  // primitives.cpp
  Result<uint64_t> uvarint_slow();
  Result<uint64_t> count_slow();
  Result<uint64_t> row_count();  // bounded by 8 x the remaining bytes
  Result<Owned> int_();
  Result<Owned> float_();
  Status charge(uint64_t k, uint64_t at);
  inline Status limit_cells(uint64_t k, uint64_t at);  // charges max_cells
  Failure over_cells(uint64_t at) const;
  Failure over_copies(uint64_t at) const;

  // value.cpp
  Result<Owned> dispatch(uint64_t depth);
  Result<Owned> typed_array(uint64_t depth);

  // strings.cpp
  struct NameHead {
    bool ref;    // a pool reference: v is its entry; else v is the length
    uint64_t v;
  };
  Result<NameHead> name_head();
  inline Result<uint64_t> utf8_span(uint64_t n);
  inline uint64_t pool_span(uint64_t s, uint64_t n);
  Result<Owned> str_body(uint64_t n);
  Result<Owned> long_str();
  Result<Owned> str_ref();
  inline Result<PyObject*> pool_obj(uint64_t i);  // borrowed from the pool
  Result<PyObject*> pool_make(uint64_t i);
  Result<Key> key(bool cached = true);

  // cache.cpp
  Result<Owned> name_body(uint64_t n);

  // containers.cpp
  Result<Owned> array(uint64_t depth);
  Result<Owned> object(uint64_t depth);

  // anchors.cpp
  Result<Owned> anchor(uint64_t depth);
  Result<Owned> anchor_ref();

  // names.cpp; without objects, the names' Keys hold none.
 public:
  Result<Names> header(bool objects = true);

 private:
  Result<Names> unique_keys(uint64_t count, std::string_view dup_message, bool objects = true);
  uint64_t name_hash(const Key& k);

  // columns.cpp
 public:
  template <class Sink>
  Status column(uint64_t n, uint64_t depth, Sink& sink);

 private:
  template <class Sink>
  Status object_column(uint64_t n, uint64_t depth, Sink& sink);
  template <class Sink>
  Status object_cells(uint64_t n, uint64_t depth, const Names& names, Sink& sink);
  template <class Sink>
  Status dict_str_column(uint64_t n, Sink& sink);
  template <class Sink>
  Status decimal_column(uint64_t n, Sink& sink);

  // tables.cpp
  struct RowSet {
    Owned list;          // owns the row dicts
    Vec<PyObject*> rows;  // the same dicts, borrowed
  };
  Result<Owned> table(uint64_t depth);
  Result<RowSet> row_dicts(uint64_t count, const Names* keys = nullptr);

  // sparse.cpp
  Result<Owned> sparse(uint64_t depth);
};

// The cache of names across calls (cache.cpp). cache_exec, for the exec step
// of a module, binds it to the main interpreter's exit; -1 with an exception
// if that fails. cache_open gives a stamp for a new decode, or 0 when this
// decode cannot use the cache; a non-zero stamp is handed back with cache_close.
int cache_exec();
uint64_t cache_open();
void cache_close();

// Whether n bytes are UTF-8 as the interpreter's strict decoder accepts it:
// no overlong forms, no surrogates, nothing above U+10FFFF (strings.cpp).
// ASCII is checked eight bytes at a time inline (a short string byte by
// byte, the last few bytes of a longer one as the eight that end it); the
// rest by an automaton (utf8_tail).
bool utf8_tail(const uint8_t* p, uint64_t n);
// The failure of a string whose bytes are not UTF-8, at its first byte.
Failure not_utf8(uint64_t at);
inline bool utf8(const uint8_t* p, uint64_t n) {
  constexpr uint64_t HIGH = 0x8080808080808080u;
  if (n < 8) {
    for (uint64_t i = 0; i < n; ++i)
      if (p[i] & 0x80) return utf8_tail(p, n);
    return true;
  }
  uint64_t w;
  for (uint64_t i = 0; i + 8 <= n; i += 8) {
    std::memcpy(&w, p + i, 8);
    if (w & HIGH) return utf8_tail(p, n);
  }
  std::memcpy(&w, p + n - 8, 8);
  return (w & HIGH) ? utf8_tail(p, n) : true;
}

// The number of 1 bits in n bytes (sparse.cpp).
uint64_t set_bits(const uint8_t* p, uint64_t n);

// The keyed hash behind the sets of names, for other sets of byte strings
// that input can fill: its keys are random per thread.
uint64_t keyed_hash(const uint8_t* p, uint64_t n);

// A copy of a finished value for an anchor reference: new lists and dicts,
// the same scalars and strings. A success holding no object means the budget
// ran out; budget is written back whatever the outcome.
Result<Owned> deep_copy(PyObject* x, int64_t& budget, uint64_t depth);
// A copy that reaches an object more than MAX_COPY_DEPTH levels down.
Failure too_deep_copy();

// The double nearest to m / 10^s (s from 1 to 6), ties to even: what the
// interpreter's exact integer division gives, without it.
double exact_quotient(int64_t m, unsigned s);

// A decimal cell's double: one division where |m| <= 2^53 (both operands
// exact, so the quotient is correctly rounded), the exact quotient beyond.
inline double decimal_value(int64_t m, unsigned s) {
  if (magnitude(m) > EXACT_LIMIT) return exact_quotient(m, s);
  return static_cast<double>(m) / POW10[s];
}

// A dict mapping each name, in order, to None: rows copied from it hold
// every key already, and their columns replace the values in place.
Result<Owned> row_template(const Names& names);

// The int or float for a quotient q: integral values below 2^53 become int.
// number_obj gives a new reference, or null with the interpreter's exception.
Result<Owned> number(double q);
PyObject* number_obj(double q);

inline Result<uint64_t> Decoder::uvarint() {
  if (pos < len && buf[pos] < 0x80) return uint64_t{buf[pos++]};
  if (len - pos >= 2 && buf[pos + 1] < 0x80) {  // pos <= len always holds
    const uint64_t v = uint64_t{buf[pos] & 0x7Fu} | uint64_t{buf[pos + 1]} << 7;
    pos += 2;
    return v;
  }
  return uvarint_slow();
}

// A count failing its bound is reported at the cursor just after it.
inline Result<uint64_t> Decoder::count() {
  if (pos < len && buf[pos] < 0x80) {
    const uint64_t n = buf[pos++];
    if (n > len - pos) return short_(pos);
    return n;
  }
  return count_slow();
}

// A pool index, failing at the cursor after it when nothing is pooled there.
inline Result<uint64_t> Decoder::pool_index() {
  TRY(i, uvarint());
  if (i >= pool.size()) return bad("bad string reference", pos);
  return i;
}

inline Result<PyObject*> Decoder::pool_obj(uint64_t i) {
  if (pool[i].str_obj) return pool[i].str_obj.get();
  return pool_make(i);
}

// n bytes at the cursor, checked as UTF-8: their start.
inline Result<uint64_t> Decoder::utf8_span(uint64_t n) {
  const uint64_t s = pos;
  if (n > remaining()) return short_(s);
  if (!utf8(buf + s, n)) return not_utf8(s);
  pos = s + n;
  return s;
}

// The pool entry of a string read at s: a new one, or while bytes read once
// already are read again, the entry they were given the first time.
inline uint64_t Decoder::pool_span(uint64_t s, uint64_t n) {
  if (n < POOL_MIN_LEN) return NO_ENTRY;
  if (reread != NO_ENTRY) return reread++;
  pool.push_back(PoolEnt{Owned(), s, n});
  return pool.size() - 1;
}

inline Result<uint64_t> Decoder::str_span(uint64_t n) {
  TRY(s, utf8_span(n));
  pool_span(s, n);
  return s;
}

// Eight bytes of a finite binary64.
inline Result<double> Decoder::float_body() {
  const uint64_t p = pos;
  if (len - p < 8) return short_(p);  // p <= len always holds here
  const uint64_t bits = load_le64(buf + p);
  if (!finite_bits(bits)) return bad("float is not finite", p);
  pos = p + 8;
  double x;
  std::memcpy(&x, &bits, sizeof x);
  return x;
}

inline Result<Owned> Decoder::value(uint64_t depth) {
  if (depth <= MAX_DEPTH && pos < len) {
    const uint8_t t = buf[pos];
    if (t >= TAG_SMALL_INT) {
      ++pos;
      return made(PyLong_FromLong(t & 0x7F));
    }
    if ((t & 0xE0) == TAG_SHORT_STR) {
      ++pos;
      return str_body(t & 0x1Fu);
    }
    if (t == TAG_FLOAT) {
      ++pos;
      return float_();
    }
    if (t == TAG_STR_REF) {
      ++pos;
      return str_ref();
    }
    if (t <= TAG_TRUE) {
      ++pos;
      return Owned::borrow(t == TAG_NONE ? Py_None : t == TAG_FALSE ? Py_False : Py_True);
    }
  }
  return dispatch(depth);
}

// k <= MAX_COUNT, and the budget stops at its first negative value: no
// overflow.
inline Status Decoder::limit_cells(uint64_t k, uint64_t at) {
  cell_budget -= static_cast<int64_t>(k);
  if (cell_budget < 0) return over_cells(at);
  return Done{};
}

// In sanitizer builds, checks that a span handed to the (uninstrumented)
// interpreter lies inside the input.
#if defined(WEXO_SANITIZE)
void check_span(const uint8_t* p, uint64_t n);
#else
inline void check_span(const uint8_t*, uint64_t) {}
#endif

}  // namespace wexo
