// Node: one Arrow array under construction, whose type follows the cells it
// receives. A node starts empty (all nulls so far), takes the kind of its
// first value, turns ints into floats where a float arrives and every int so
// far is exact as a double, and becomes a dense union when cells of another
// kind arrive, so that no value changes. Its buffers are nanoarrow's, and
// running out of memory for them raises MemoryError.
#pragma once

#include <cstdint>

#include "err.h"
#include "mem.h"
#include "nameset.h"
#include "decode/decoder.h"
#include "nanoarrow/nanoarrow.h"

namespace wexo::arrow {

// SKIP: a value read and checked but not built (outside the path asked for,
// or a column left out): it takes every cell and keeps nothing. Its length
// is only the row of its struct that last named it, for repeated keys.
enum class Kind : uint8_t { EMPTY, BOOL, INT, FLOAT, STR, DICT, LIST, STRUCT, UNION, SKIP };

// Bytes a table may hold beyond what its input accounts for: strings copied
// once per cell that names them (pool references, dictionary entries turned
// into plain strings) and the nulls that fill the rows where a struct field is
// absent. Charged as they are made; running out is the document's fault.
// The failure names the reader's cursor.
struct Spend {
  int64_t left;
  const uint64_t* pos;  // the reader's cursor
  const uint64_t* at = nullptr;  // where set, the offset to report instead
  bool charge(uint64_t bytes) {
    if (bytes > static_cast<uint64_t>(INT64_MAX)) bytes = static_cast<uint64_t>(INT64_MAX);
    left -= static_cast<int64_t>(bytes);
    if (left < 0) left = -1;  // stays spent, never wraps
    return left >= 0;
  }
  Failure over() const { return bad("decoded size too large", at ? *at : *pos); }
};

class Node;

// A child: a struct's field (with its name), a list's items or a union's member.
struct Child {
  Str name;
  uint64_t entry = NO_ENTRY;  // a pool entry of this decode known to spell the name
  Node* node = nullptr;  // owned
};

class Node {
 public:
  Node();
  ~Node();
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

  // A new empty node, or MemoryError; destroy releases one and its children.
  static Result<Node*> make();
  static void destroy(Node* node);

  Kind kind = Kind::EMPTY;
  int64_t length = 0;
  int64_t nulls = 0;
  // The rows the node will likely end with (a struct field ends with as many
  // as its struct): its buffers are first sized for them. A hint only.
  int64_t expect = 0;
  // A struct field: the first row of its struct that holds it (-1: none
  // yet). Fields are exported in the order of these rows, and where rows
  // tie, in the order they were made: the order in which the rows, read one
  // after the other, first name them, however the document lays them out.
  int64_t born = -1;

  // The cells. Every call adds one row, except slot's callers, which
  // complete the row: a list's items then end_list; a struct's fields.
  inline Status append_int(int64_t v, Spend& spend);
  Status append_double(double v, Spend& spend);
  inline Status append_bool(bool b, Spend& spend);
  // Room for n cells of a column of that kind byte, as a hint.
  void reserve(uint8_t column_kind, int64_t n);
  inline Status append_str(const uint8_t* p, uint64_t n, Spend& spend);
  inline Status append_null(Spend& spend);
  // The node that takes the next row as a value of kind k (null: a null of
  // that kind): this node, or its union member of that kind.
  Result<Node*> slot(Kind k, bool null, Spend& spend);
  // r rows of structs at once: the struct node that takes them, or null for
  // none.
  Result<Node*> struct_rows(uint64_t r, Spend& spend);
  Status end_list();  // a list row: its items were appended to item()
  Node* item() { return kind == Kind::SKIP ? this : children[0].node; }

  // Dictionary strings: the entries, appended after any of an earlier
  // column's, and the cells as indexes into them. Only an empty node or a
  // dictionary node can take them (can_take_dict).
  bool can_take_dict() const { return kind == Kind::EMPTY || kind == Kind::DICT; }
  Result<int64_t> dict_begin(const uint8_t* buf, const Names& dict, Spend& spend);
  // An empty node as a struct with no rows yet.
  Status become_struct(Spend& spend) { return become(Kind::STRUCT, spend); }
  // An empty node (nulls so far) as a node of kind k.
  Status take_kind(Kind k, Spend& spend) { return become(k, spend); }
  inline Status append_index(int64_t i, Spend& spend);

  // Struct fields: the field of that name, made (with no rows yet) when new.
  // entry: the name's pool entry, if it has one (NO_ENTRY otherwise).
  // Records list their fields in one order, mostly, and name them by pool
  // reference after the first: the field where the last one left off is
  // tried first, by its pool entry.
  Result<Node*> field(const uint8_t* name, uint64_t n, uint64_t entry, Spend& spend) {
    if (hint < children.size() && entry != NO_ENTRY && children[hint].entry == entry)
      return children[hint++].node;
    return field_slow(name, n, entry, spend);
  }
  // Appends nulls until the node has rows rows.
  Status pad(int64_t rows, Spend& spend) {
    if (rows <= length) return Done{};
    return pad_slow(rows, spend);
  }

  // Exports the node into an initialised schema and a new array, moving its
  // buffers there. Struct fields are padded to the struct's length first.
  Status finish(ArrowSchema* schema, ArrowArray* array, Spend& spend);

  Vec<Child> children;
  // Where set, a struct builds only the fields of these names: the others
  // are SKIP. A list hands it to its items' node. Borrowed.
  const Vec<Str>* keep = nullptr;

  // A struct row where the node is a struct with room for it.
  inline Node* struct_row() {
    if (kind != Kind::STRUCT || !valid_room()) return nullptr;
    valid_one();
    ++length;
    return this;
  }

 private:
  // Room for one more validity bit, where the node keeps them; the bit.
  bool valid_room() const { return !validity || valid.buffer.capacity_bytes * 8 > valid.size_bits; }
  void valid_one() {
    if (validity) ArrowBitmapAppendUnsafe(&valid, 1, 1);
  }
  static bool room(const ArrowBuffer& b, int64_t n) { return b.capacity_bytes - b.size_bytes >= n; }

  Result<Node*> field_slow(const uint8_t* name, uint64_t n, uint64_t entry, Spend& spend);
  Status become(Kind k, Spend& spend);
  Status to_union(Spend& spend);
  Status dict_to_str(Spend& spend);
  Status ints_to_doubles();
  Status valid_bit(bool valid);
  Status append_int_slow(int64_t v, Spend& spend);
  Status append_null_slow(Spend& spend);
  Status pad_slow(int64_t rows, Spend& spend);
  Status append_str_slow(const uint8_t* p, uint64_t n, Spend& spend);
  Status append_bool_slow(bool b, Spend& spend);
  Status append_index_slow(int64_t i, Spend& spend);
  Result<Node*> member(Kind k, Spend& spend);
  bool has_member(Kind k) const {
    for (const Child& c : children)
      if (c.node->kind == k) return true;
    return false;
  }
  Status add_child(const uint8_t* name, uint64_t n, Spend& spend);
  Status prepare(Spend& spend, unsigned depth);
  Status export_schema(ArrowSchema* out, const char* name) const;
  Status export_array(ArrowArray* out);

  bool validity = false;  // valid holds one bit per row
  bool exact = true;      // INT: every value is exact as a double
  ArrowBitmap valid;      // validity
  ArrowBitmap bits;       // BOOL values
  ArrowBuffer data;       // INT, FLOAT: values; STR, LIST: offsets; DICT: indexes; UNION: type ids
  ArrowBuffer extra;      // STR: characters; UNION: offsets into the members
  ArrowBuffer dict_offsets, dict_chars;  // DICT: the entries
  int64_t dict_size = 0;
  NameSet names;        // STRUCT with many fields: its fields' names
  uint64_t hint = 0;    // STRUCT: where the next field is looked for first
};

// The owner of a node outside any tree (the root, a scratch node for cells
// that go nowhere), made on first use.
class NodeOwner {
 public:
  NodeOwner() = default;
  NodeOwner(const NodeOwner&) = delete;
  NodeOwner& operator=(const NodeOwner&) = delete;
  ~NodeOwner() { Node::destroy(node_); }
  Result<Node*> get() {
    if (!node_) {
      TRY(n, Node::make());
      node_ = n;
    }
    return node_;
  }

 private:
  Node* node_ = nullptr;
};

// The int64 fast path: an int node without nulls.
inline Status Node::append_int(int64_t v, Spend& spend) {
  if (kind == Kind::INT && valid_room() && room(data, 8)) {
    valid_one();
    std::memcpy(data.data + data.size_bytes, &v, 8);
    data.size_bytes += 8;
    ++length;
    const uint64_t mag = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    if (mag > EXACT_LIMIT) exact = false;
    return Done{};
  }
  return append_int_slow(v, spend);
}

// Strings and booleans: a node of their kind without nulls.
inline Status Node::append_str(const uint8_t* p, uint64_t n, Spend& spend) {
  if (kind == Kind::STR && valid_room() && spend.left >= static_cast<int64_t>(n) &&
      room(data, 4) &&
      static_cast<uint64_t>(extra.capacity_bytes - extra.size_bytes) >= n &&
      extra.size_bytes + static_cast<int64_t>(n) <= INT32_MAX) {
    valid_one();
    if (n) std::memcpy(extra.data + extra.size_bytes, p, n);
    extra.size_bytes += static_cast<int64_t>(n);
    const auto end = static_cast<int32_t>(extra.size_bytes);
    std::memcpy(data.data + data.size_bytes, &end, 4);
    data.size_bytes += 4;
    spend.left -= static_cast<int64_t>(n);
    ++length;
    return Done{};
  }
  return append_str_slow(p, n, spend);
}

inline Status Node::append_bool(bool b, Spend& spend) {
  if (kind == Kind::BOOL && valid_room() && bits.buffer.capacity_bytes * 8 > bits.size_bits) {
    valid_one();
    ArrowBitmapAppendUnsafe(&bits, b, 1);
    ++length;
    return Done{};
  }
  return append_bool_slow(b, spend);
}

// A null in a node that keeps validity bits and has room for one more, of a
// kind whose placeholder is fixed-width or a repeated offset.
inline Status Node::append_null(Spend& spend) {
  if (validity && valid.buffer.capacity_bytes * 8 > valid.size_bits) {
    if ((kind == Kind::INT || kind == Kind::FLOAT) && room(data, 8)) {
      std::memset(data.data + data.size_bytes, 0, 8);
      data.size_bytes += 8;
    } else if ((kind == Kind::STR || kind == Kind::LIST) && room(data, 4)) {
      std::memcpy(data.data + data.size_bytes, data.data + data.size_bytes - 4, 4);
      data.size_bytes += 4;
    } else if (kind != Kind::STRUCT) {
      return append_null_slow(spend);
    }
    ArrowBitmapAppendUnsafe(&valid, 0, 1);
    ++length;
    ++nulls;
    return Done{};
  }
  return append_null_slow(spend);
}

inline Status Node::append_index(int64_t i, Spend& spend) {
  if (kind == Kind::DICT && valid_room() && room(data, 4)) {
    valid_one();
    const auto v = static_cast<int32_t>(i);
    std::memcpy(data.data + data.size_bytes, &v, 4);
    data.size_bytes += 4;
    ++length;
    return Done{};
  }
  return append_index_slow(i, spend);
}

}  // namespace wexo::arrow
