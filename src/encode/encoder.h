// The Encoder. Most trees (exact types, no container held twice) are
// written in one pass, lazily: a dict is written straight from the dict, a
// list of fresh dicts with the same keys as a table straight from its rows,
// and a list is snapshotted (its elements classified once) where its layout
// depends on all of them. Other trees take a first pass (scan) that
// validates the tree, snapshots every container and counts its uses (for
// anchors), then the same writer. Each layout is decided before it is
// written, from the cells and the pool as it stands (Plan): no trial writes.
// Its memory grows with the caller's data, so running out of it raises
// MemoryError: every array and set here grows the fallible way (try_push,
// try_room, ...).
//
// encoder.h    this map; the scan's snapshot (Scan, Node, Child), the string
//              and identity maps (StrMap, KeyMap), Plan, the Writer
// scan.cpp     the first pass, and the lazy snapshots of trees that need none
// document.cpp one document: the layouts tried in turn, buffers kept across calls
// values.cpp   scalars, arrays, objects (straight from a dict), anchors and references
// strings.cpp  strings inline or as references into the string pool
// tables.cpp   tables (straight from fresh dicts, or from snapshots) and sparse
//              tables, and a sparse table's column order
// columns.cpp  the plans of typed columns and typed arrays, and their writing
// A root table may also come column by column from a source of cells
// (Columns, encode_columns): the Arrow writer's, without Python objects.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "err.h"
#include "format.h"
#include "mem.h"
#include "nameset.h"
#include "pyo.h"

namespace wexo {
namespace enc {

// 64-bit keys to 32-bit values: container identities to their
// nodes in the scan, pairs of key numbers in a header's order. A thin use of
// the name set. The stored hash is the key times an odd constant with its
// high half folded into the low one (an address's low bits vary little):
// both steps can be undone, so no two keys share a hash and equal hashes are
// equal keys.
class KeyMap {
 public:
  // The value of key, or UINT32_MAX.
  uint32_t find(uint64_t key) const {
    const uint32_t i = set_.find(mixed(key), any);
    return i == NameSet::NONE ? UINT32_MAX : values_[i];
  }
  // Adds key with value unless key is there; *added says which. False,
  // with nothing changed, when memory runs out.
  [[nodiscard]] bool add(uint64_t key, uint32_t value, bool* added) {
    uint32_t found = NameSet::NONE;
    if (!values_.try_room(1) || !set_.try_find_or_add(mixed(key), any, &found)) return false;
    *added = found == NameSet::NONE;
    if (*added) values_.push_unchecked(value);
    return true;
  }

 private:
  static uint64_t mixed(uint64_t key) {
    const uint64_t h = key * 0x9E3779B97F4A7C15u;
    return h ^ (h >> 32);
  }
  static bool any(uint32_t) { return true; }
  NameSet set_;
  Vec<uint32_t> values_;
};

// The kind of one value, found once by the scan.
enum Kind : uint8_t {
  K_NONE,
  K_FALSE,
  K_TRUE,
  K_INT,    // int or int subclass (bool excluded), value in range
  K_FLOAT,  // float or float subclass, finite
  K_STR,    // str or str subclass, valid UTF-8
  K_LIST,   // list, tuple or a subclass of either
  K_DICT,   // dict or a dict subclass
};

// One element of a snapshot: a list element, or a dict key or value. The
// object is borrowed: the caller's tree or our own copies keep it alive.
// Cells that come from a column source have no object (obj null): a string
// is then its UTF-8 bytes alone, hashed by them and never compared by
// identity, and no container is shared.
struct Child {
  PyObject* obj;
  union {
    int64_t i;         // K_INT
    double f;          // K_FLOAT
    const char* utf8;  // K_STR: its UTF-8 bytes, owned by obj
  };
  // K_LIST and K_DICT: the container's node. K_STR: the UTF-8 length, or
  // LONG_STR when it does not fit here.
  uint32_t node;
  Kind kind;
  // The type is exactly bool, None, int, float, str, list, tuple or dict.
  // A str subclass is written as its text, from an exact copy in obj.
  bool exact;
  // A column source's container not yet snapshotted (node NO_NODE): where
  // the source finds it, with its index in i.
  uint16_t place;
};
static_assert(sizeof(Child) == 24, "a Child stays three words");

constexpr uint32_t NO_NODE = UINT32_MAX;
// Values a tree may stand for, shared containers counted in full.
constexpr uint64_t MAX_EXPANDED = uint64_t{1} << 32;
constexpr uint32_t LONG_STR = UINT32_MAX;

// Records a string's UTF-8 bytes in its Child.
inline void set_text(Child& c, const char* p, Py_ssize_t n) {
  c.utf8 = p;
  c.node = static_cast<uint64_t>(n) < LONG_STR ? static_cast<uint32_t>(n) : LONG_STR;
}

// A string Child's UTF-8 bytes; null with an exception set on failure.
inline const char* text_of(const Child& c, uint64_t* n) {
  if (c.node != LONG_STR || !c.obj) {
    *n = c.node;
    return c.utf8;
  }
  Py_ssize_t size = 0;
  const char* p = PyUnicode_AsUTF8AndSize(c.obj, &size);
  *n = static_cast<uint64_t>(size);
  return p;
}
constexpr uint32_t NO_SLOT = UINT32_MAX;

class Columns;

// One container of the tree, however many places hold it.
struct Node {
  PyObject* obj;      // the original container (identity)
  uint64_t first;     // its elements in Scan::items: n of them, or 2n (key, value) for a dict
  uint64_t n;
  uint64_t height;    // nesting below it as written plainly; 0 when empty
  uint64_t uses;      // places of the tree that hold it
  uint64_t expanded;  // values it stands for, shared containers counted in full
  uint64_t cost = 0;  // slots one reference copy of it takes (0: not measured yet)
  uint64_t size = 0;  // rough size written again (0: not measured yet)
  uint32_t slot = NO_SLOT;  // its anchor slot in the attempt under way
  bool dict;
};

// What the scan found: every container's snapshot and measures.
struct Scan {
  Vec<Node> nodes;
  Vec<Child> items;
  Child root{};
  // Lazy: no scan ran. The tree holds only exact types, every container
  // below the root has no reference but its parent's, and the writer
  // snapshots each container when it reaches it (expand), dropping the
  // snapshot once the container is written.
  bool lazy = false;
  uint64_t values = 0;  // elements snapshotted so far, when lazy
  // Our own copies of containers (safe mode) and their elements, and what
  // was written in place of values the encoder cannot write as they are,
  // released when the encode ends.
  Vec<Owned> held;
  // dumps's default: called with a value of no type the encoder writes, and
  // what it returns is written in its place. Borrowed from the call; null
  // when not given.
  PyObject* hook = nullptr;
  bool null_nonfinite = false;  // NaN and the infinities are written as None
  // A column source whose containers are snapshotted when reached (lazy),
  // or null.
  Columns* source = nullptr;
};

// Options of dumps, one bit each; all set by default.
enum Option : unsigned {
  OPT_POOL = 1u << 0,
  OPT_TABLES = 1u << 1,
  OPT_SPARSE = 1u << 2,
  OPT_TYPED_ARRAYS = 1u << 3,
  OPT_DELTA = 1u << 4,
  OPT_DECIMAL = 1u << 5,
  OPT_DICT_STR = 1u << 6,
  OPT_BOOL_BITS = 1u << 7,
  OPT_OBJECT_COLUMNS = 1u << 8,
  OPT_ANCHORS = 1u << 9,
  OPT_ALL = (1u << 10) - 1,
};

// Strings by their text: the string pool (text to its lowest index), which
// also holds every string a typed column of strings has named, pooled or
// not, and the sparse layout's key names. Open addressing over slots that
// hold each entry's hash and object beside its index, so that a lookup of a
// string met before as the same object (the common case: keys from one
// parser, repeated values) reads one slot and no entry; the bytes are
// compared only where the hashes agree and the objects differ.
class StrMap {
 public:
  struct Entry {
    PyObject* str;  // borrowed, exact str (null for a column source's text)
    const char* p;  // its UTF-8 bytes
    uint64_t len;
    uint64_t value;
    uint32_t stamp;  // the string column that last counted it (Writer::distinct)
    uint32_t local;  // its number among that column's distinct strings
  };
  // The index of the entry of this text in *at; where there is none, one
  // is added with value, and *added says so. False, with nothing changed,
  // when memory runs out.
  [[nodiscard]] bool index_of(PyObject* str, const char* p, uint64_t len, Py_hash_t hash,
                              uint64_t value, uint32_t* at, bool* added) {
    const uint64_t h = static_cast<uint64_t>(hash);
    if (2 * (entries_.size() + 1) > slots_.size() && !grow()) return false;
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = static_cast<std::size_t>(h) & mask;
    for (;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (!s.at) break;
      if ((str && s.str == str) || (s.hash == h && same(entries_[s.at - 1], p, len))) {
        *at = s.at - 1;
        *added = false;
        return true;
      }
    }
    if (!entries_.try_room(1)) return false;
    *at = static_cast<uint32_t>(entries_.size());
    *added = true;
    entries_.push_unchecked(Entry{str, p, len, value, 0, 0});
    slots_[i] = Slot{h, str, *at + 1};
    return true;
  }
  // The entry of this text in *found; or, where there is none, null in
  // *found once an entry with value is added.
  [[nodiscard]] bool find_or_add(PyObject* str, const char* p, uint64_t len, Py_hash_t hash,
                                 uint64_t value, Entry** found) {
    uint32_t at = 0;
    bool added = false;
    if (!index_of(str, p, len, hash, value, &at, &added)) return false;
    *found = added ? nullptr : &entries_[at];
    return true;
  }
  std::size_t size() const { return entries_.size(); }
  Entry& operator[](std::size_t i) { return entries_[i]; }

 private:
  struct Slot {
    uint64_t hash;
    PyObject* str;
    uint32_t at;  // the entry's index + 1; 0 for an empty slot
  };
  static bool same(const Entry& e, const char* p, uint64_t len) {
    return e.len == len && std::memcmp(e.p, p, static_cast<std::size_t>(len)) == 0;
  }
  // Twice the slots (at least 16), every entry placed again by its hash.
  [[nodiscard]] bool grow() {
    const std::size_t cap = slots_.size() ? 2 * slots_.size() : 16;
    Vec<Slot> bigger;
    if (cap > UINT32_MAX || !bigger.try_resize_for_overwrite(cap)) return false;
    std::memset(static_cast<void*>(bigger.data()), 0, cap * sizeof(Slot));
    const std::size_t mask = cap - 1;
    for (std::size_t k = 0; k < slots_.size(); ++k) {
      const Slot& s = slots_[k];
      if (!s.at) continue;
      std::size_t i = static_cast<std::size_t>(s.hash) & mask;
      while (bigger[i].at) i = (i + 1) & mask;
      bigger[i] = s;
    }
    slots_.swap(bigger);
    return true;
  }
  Vec<Slot> slots_;
  Vec<Entry> entries_;
};

// A string's value in the pool before its first inline spelling gives it
// its index.
constexpr uint64_t UNPOOLED = UINT64_MAX;

// The hash a string map keys a string by: its own where it has an object
// (cached in the str), else one of its bytes (strings.cpp). The maps'
// choices depend on equality only, never on hash values.
[[gnu::noinline]] Py_hash_t bytes_hash(const char* p, uint64_t n);
inline Py_hash_t text_hash(PyObject* str, const char* p, uint64_t n) {
  return str ? PyObject_Hash(str) : bytes_hash(p, n);
}

// A source of a root table's cells, one column at a time (the Arrow writer).
// A column is a handle: the root table's k-th column is field(ROOT, k).
// fill appends the column's nested values to s.nodes and s.items (each
// container held once) and sets cells[0 .. rows). A failure with no
// exception set is a refusal the source records itself.
class Columns {
 public:
  static constexpr uint64_t ROOT = 0;
  virtual uint64_t field(uint64_t column, uint64_t k) = 0;
  // Where every cell of column is a dict of the same keys (and there are
  // some), their count and each one's name; else 0.
  virtual uint64_t object_fields(uint64_t column) = 0;
  virtual Child field_name(uint64_t column, uint64_t k) = 0;
  // The text of string cells must last until the document is written: the
  // string pool keeps the first spelling of each. Containers may be left
  // for expand (node NO_NODE), which snapshots one when the writer reaches it.
  virtual Status fill(uint64_t column, Scan& s, Vec<Child>& cells) = 0;
  virtual Status expand(Scan& s, const Child& c, uint32_t* node) = 0;

 protected:
  ~Columns() = default;
};

// A string's bytes and hash, read once where it is written.
struct Text {
  PyObject* str;
  const char* p;
  uint64_t len;
};

// A typed column's layout, decided from its cells before any of it is written.
struct Plan {
  uint8_t kind;   // COL_VALUES, COL_BOOL_BITS, COL_DELTA_INT, COL_DECIMAL or COL_DICT_STR
  uint8_t scale;  // COL_DECIMAL's power of ten
  bool counted;   // a string column whose distinct strings are counted (seen_)
  uint64_t size;  // bytes of the kind byte and the payload; 0 where not reckoned
};

// The second pass: one attempt at writing the document with a set of options.
class Writer {
 public:
  Writer(Scan& scan, Vec<uint8_t>& buffer, unsigned options) : out(buffer), s(scan), o(options) {}
  Status document();
  // The document of a root table with these names (strings without objects)
  // and rows (2 or more), its cells from source, column after column.
  Status root_table(const Child* names, uint64_t count, uint64_t rows, Columns& source);
  Status source_column(Columns& source, uint64_t handle, uint64_t rows, Vec<Child>& cells,
                       uint64_t depth);
  Vec<uint8_t>& out;
  uint64_t charged = 0;  // decoded-size budget used by typed columns and sparse tables
  // What max_cells counts: dicts made by tables, sparse tables and object
  // columns, and slots of typed arrays other than bit arrays.
  uint64_t counted = 0;

 private:
  Scan& s;
  const unsigned o;
  StrMap pool;
  uint64_t pooled = 0;  // entries the decoder's pool holds at this point
  uint64_t n_anchors = 0;
  int64_t expand_left = EXPAND_BUDGET;
  uint64_t copied = 0;  // slots the references written so far copy (max_copies)

  bool on(unsigned option) const { return (o & option) != 0; }
  // Room for n more bytes of output; false with MemoryError set.
  [[nodiscard]] bool room(std::size_t n) { return out.try_room(n) || no_room(); }
  [[gnu::cold, gnu::noinline]] static bool no_room();
  // Writes within the room reserved: through a local pointer, which the
  // compiler need not reload after each byte.
  uint8_t* end() { return out.data() + out.size(); }
  void done(uint8_t* p) { out.set_size(static_cast<std::size_t>(p - out.data())); }
  static uint8_t* put_varint(uint8_t* p, uint64_t v) {
    while (v >= 0x80) {
      *p++ = static_cast<uint8_t>(v | 0x80);
      v >>= 7;
    }
    *p++ = static_cast<uint8_t>(v);
    return p;
  }
  void byte(uint8_t b) {
    *end() = b;
    out.set_size(out.size() + 1);
  }
  void varint(uint64_t v) { done(put_varint(end(), v)); }
  void varint_after(uint8_t tag, uint64_t v) {
    uint8_t* p = end();
    *p = tag;
    done(put_varint(p + 1, v));
  }

  // strings.cpp. The hot steps of writing return false with an exception
  // set, rather than a Result: WROTE turns that into the caller's failure.
  // text: TAG_SHORT_STR+len | bytes, or TAG_STR | uvarint len | bytes, or
  // TAG_STR_REF | uvarint index. A string of 2 bytes or more written inline
  // enters the pool; a reference is written where it is shorter.
  [[nodiscard]] bool text(const Child& c) {
    uint64_t n = 0;
    const char* p = text_of(c, &n);
    return p && text(c.obj, p, n);
  }
  [[nodiscard]] bool text(PyObject* str, const char* p, uint64_t n) {
    if (n < POOL_MIN_LEN || !on(OPT_POOL)) return spell(p, n);
    return pooled_text(str, p, n);
  }
  [[nodiscard]] bool pooled_text(PyObject* str, const char* p, uint64_t n);
  // Pool entry `at` written as text() writes its string.
  [[nodiscard]] bool put(uint32_t at);
  // Inline, whatever the pool holds. Strings below 16 bytes are copied in
  // two overlapping words, without a call.
  [[nodiscard]] bool spell(const char* p, uint64_t n) {
    if (!room(11 + n)) return false;
    uint8_t* q = end();
    if (n <= SHORT_STR_MAX) {
      *q++ = static_cast<uint8_t>(TAG_SHORT_STR | n);
    } else {
      *q++ = TAG_STR;
      q = put_varint(q, n);
    }
    copy_small(q, p, n);
    done(q + n);
    return true;
  }
  static void copy_small(uint8_t* q, const char* p, uint64_t n) {
    if (n >= 8 && n <= 16) {
      uint64_t a, b;
      std::memcpy(&a, p, 8);
      std::memcpy(&b, p + n - 8, 8);
      std::memcpy(q, &a, 8);
      std::memcpy(q + n - 8, &b, 8);
    } else if (n >= 4 && n < 8) {
      uint32_t a, b;
      std::memcpy(&a, p, 4);
      std::memcpy(&b, p + n - 4, 4);
      std::memcpy(q, &a, 4);
      std::memcpy(q + n - 4, &b, 4);
    } else if (n < 4) {
      if (n) {
        q[0] = static_cast<uint8_t>(p[0]);
        q[n / 2] = static_cast<uint8_t>(p[n / 2]);
        q[n - 1] = static_cast<uint8_t>(p[n - 1]);
      }
    } else {
      std::memcpy(q, p, static_cast<std::size_t>(n));
    }
  }

  // values.cpp
  Status value(const Child& c, uint64_t depth);
  // The node of a container, made now when lazy. ensure_item is for an
  // element of s.items, which expanding may move.
  Status ensure(Child& c, uint64_t depth);
  Status ensure_item(uint64_t k, uint64_t depth);
  bool full = false;  // the lazy attempt met what needs the full scan

 public:
  bool needs_full() const { return full; }

 private:
  [[nodiscard]] bool object(PyObject* dict, uint64_t depth);
  [[nodiscard]] bool item(PyObject* v, uint64_t depth);
  [[nodiscard]] bool lazy_failure();
  // TAG_SMALL_INT+n for 0..127, else TAG_INT | uvarint zigzag(n)
  [[nodiscard]] bool integer(int64_t n) {
    if (!room(11)) return false;
    uint8_t* p = end();
    if (n >= 0 && n <= 0x7F) {
      *p++ = static_cast<uint8_t>(TAG_SMALL_INT | n);
    } else {
      *p++ = TAG_INT;
      p = put_varint(p, zigzag_of(n));
    }
    done(p);
    return true;
  }
  [[nodiscard]] bool real(double x);
  // A value that is no container, written; false with an exception set.
  [[nodiscard, gnu::always_inline]] bool scalar(const Child& c) {
    switch (c.kind) {
      case K_INT:
        return integer(c.i);
      case K_FLOAT:
        return real(c.f);
      case K_STR:
        return text(c);
      default:
        if (!room(1)) return false;
        byte(c.kind == K_NONE ? TAG_NONE : c.kind == K_FALSE ? TAG_FALSE : TAG_TRUE);
        return true;
    }
  }
  // Any value: scalars written here, containers through value().
  [[gnu::always_inline]] Status element(const Child& c, uint64_t depth) {
    if (c.kind != K_LIST && c.kind != K_DICT) {
      if (!scalar(c)) return py_fail();
      return Done{};
    }
    return value(c, depth);
  }
  Status container(uint32_t node, uint64_t depth);
  Status plain(uint32_t node, uint64_t depth);
  Status plain_body(uint32_t node, uint64_t depth);
  uint64_t cost(uint32_t node);
  uint64_t size(uint32_t node);

  // tables.cpp
  Result<bool> rows(uint32_t node, uint64_t depth);
  Status table(uint32_t node, uint64_t depth);
  Result<bool> direct_table(uint32_t node, uint64_t depth);
  Vec<Child> table_cells_;  // a lazy table's cells, kept for the next table
  Status sparse(uint32_t node, const Vec<uint32_t>& header, const struct RowKeys& names,
                uint64_t depth);
  bool same_keys(uint32_t a, uint32_t b) const;

  // columns.cpp
  Status column(Child* cells, std::size_t n, uint64_t depth);
  Status object_column(Child* cells, std::size_t n, uint64_t depth);
  Result<bool> typed_array(uint32_t node);
  Status write_plan(const Plan& plan, const Child* cells, std::size_t n);
  // A string column's distinct strings in order of first appearance
  // (distinct), each with its pool entry, count and length, and each cell's
  // number among them.
  struct Seen {
    uint32_t entry;
    uint64_t count;
    uint64_t len;
  };
  Vec<Seen> seen_;
  Vec<uint32_t> of_cell_;
  Vec<uint32_t> rank_;  // a dictionary's order: rank_[j] is string j's index
  Vec<uint32_t> order_;  // and order_[i] the string at index i
  Vec<uint64_t> sim_;  // each distinct string's pool index while sizes are reckoned
  uint32_t stamp_ = 0;
  Status distinct(const Child* cells, std::size_t n);
  Status dictionary_order();
  // Bytes that text() writes for distinct string j, with the pool as sim_
  // and *pooled say, which it updates as text() would.
  uint64_t text_size(uint32_t j, uint64_t* pooled);

 public:
  // The layout of a column of scalar cells of these types (a bit each,
  // columns.cpp), or of a typed array's payload (array), for which a plain
  // column stands for the plain array. Reckoned from the cells and the
  // pool as it stands; a string column leaves its distinct strings in the
  // pool's map as not yet pooled.
  Result<Plan> plan(const Child* cells, std::size_t n, unsigned types, bool array);
  // The plan of the column items of node cells once pool's strings are written.
  Result<Plan> plan_after(uint32_t pool, uint32_t cells, bool array);
};

// A writer step that returns false with an exception set, in a function
// that returns a Result.
#define WROTE(step)                 \
  do {                              \
    if (!(step)) return py_fail();  \
  } while (0)

// Validates root and snapshots it. Raises TypeError or ValueError naming the
// path of the first offending value, or MemoryError.
Status scan(PyObject* root, Scan& s);

// For the lazy writer: the kind of v, or false when the tree needs the full
// scan (anything a lazy snapshot cannot vouch for, invalid values included).
// Returns false with an exception set only for an exception of its own.
bool classify(PyObject* v, Child& c, bool root);

// For the lazy writer: a node for container c at this depth, with its
// elements classified. Sets *full when the tree needs the full scan.
Status expand(Scan& s, const Child& c, uint64_t depth, uint32_t* node, bool* full);

// The whole document for root with these options, as a new bytes object.
// hook is dumps's default (or null); null_nonfinite writes NaN and the
// infinities as None.
Result<Owned> encode(PyObject* root, unsigned options, PyObject* hook, bool null_nonfinite);

// The document of a root table from a column source, as encode writes the
// list of its rows as dicts, into out: column by column where a table is
// written, else from a snapshot of every row. Calls nothing of the
// interpreter but to set MemoryError (with the lock taken back, through
// Unlocked::with_lock), so it may run without the interpreter lock; a
// failure with no exception set is the source's refusal.
Status encode_columns(const Child* names, uint64_t count, uint64_t rows, Columns& source,
                      unsigned options, Vec<uint8_t>& out);

// The plan for a typed column of the cells of root[1] (a list) once the
// strings of root[0] are written, for the unit tests of the plans.
Result<Plan> column_plan(PyObject* root, unsigned options, bool array);

// Conversions in a row for one value (default's results, Enum values) before
// it is refused.
constexpr unsigned MAX_CHAIN = 254;

// Whether the decoder hands this double back as an int: format.h's
// int_valued where the int itself is not needed.
inline bool integral_double(double x) {
  int64_t i;
  return int_valued(x, &i);
}

}  // namespace enc
}  // namespace wexo
