// Reader: a document's values built into Arrow nodes instead of Python
// objects. The walk is the decoder's: every tag, name, count, budget and
// bitmap is read and judged by the decoder's object-free readers (str_span,
// key_span, header, table_rows, presence, typed_rows, column<Sink>), so a
// document fails here exactly where and as the decoder fails, and nothing
// of the walk makes a Python object. ArrowSink is the typed-column reader's
// sink for it.
//
// References copy their anchored value again from its bytes. The decoder
// charges a reference for the containers its copy makes and refuses copies
// more than MAX_COPY_DEPTH levels deep; the reader keeps both figures for
// every anchor as it reads it (cost and deep), so that the verdict on each
// reference is reached before anything is copied.
#pragma once

#include <cstdint>

#include "arrow/node.h"
#include "decode/decoder.h"

namespace wexo::arrow {

class Reader;

// One step of a path into the document: a key of an object, or an index of
// an array (negative: from its end).
struct Step {
  bool is_key;
  Str key;
  int64_t index;
};

// Where a path went astray, for the message once the document is checked.
enum class Miss : uint8_t { NONE, NO_KEY, NO_INDEX, NOT_CONTAINER };

// Cells of one column into one node. With a presence bitmap, cell k goes to
// the k-th present row of rows rows, and absent rows get nulls.
struct ArrowSink {
  static constexpr bool OBJECTS = false;  // names and dictionaries as spans
  Reader& rd;
  Node* node;
  const uint8_t* bits = nullptr;
  uint64_t rows = 0;
  uint64_t column = 0;     // the column's own depth
  uint64_t cursor = 0;     // rows passed, with a bitmap
  int64_t dict_base = -1;  // a dictionary column's first entry in the node's dictionary

  Status start(uint8_t kind, uint64_t n);
  Status value_cell(Decoder& d, uint64_t k, uint64_t depth);
  Status int_cell(uint64_t k, int64_t v);
  Status decimal_cell(uint64_t k, int64_t m, unsigned s);
  Status bool_cell(uint64_t k, bool b);
  Status dict_begin(const Names& dict);
  Status dict_cell(uint64_t k, const Names& dict, uint64_t i);
  Status objects(Decoder& d, uint64_t n, uint64_t depth, const Names& names);
  // Nulls for the absent rows up to the next present one.
  inline Status gap();
};

class Reader {
 public:
  Reader(Decoder& dec, Spend& sp) : d(dec), spend(sp) {}

  // The whole document: the value at path (the root where path is empty) as
  // one row of target, every other value read, checked and skipped.
  Status document(Node& target);
  Status value(Node& node, uint64_t depth);
  Status objects(ArrowSink& sink, uint64_t n, uint64_t depth, const Names& names);

  // Marks an object reached at encoded depth `depth`: see deepest.
  void reach(uint64_t depth) {
    const uint64_t o = depth - shift;
    if (o > deepest) deepest = o;
  }

  Decoder& d;
  Spend& spend;
  // Where a reference was refused for both its cost and its depth: which
  // limit the decoder meets first depends on the order of its copy, so only
  // the decoder can give the verdict.
  bool ambiguous = false;
  // Containers of everything read so far, each counted as its elements + 1,
  // as the decoder charges a copy of them.
  int64_t cost = 0;
  // Encoded levels that are no object's own level (an anchor's tag, a typed
  // array's column): an object at encoded depth e lies e - shift levels down.
  uint64_t shift = 0;
  // The deepest object level reached so far.
  uint64_t deepest = 0;
  // Dictionary columns as Arrow dictionaries (else as plain strings).
  bool dictionaries = false;
  // The path, and where it went astray: at which step, meeting what tag.
  const Vec<Step>* path = nullptr;
  Miss miss = Miss::NONE;
  uint64_t missed_at = 0;
  uint8_t missed_tag = 0;

 private:
  struct Anchor {
    uint64_t start;  // its value's first byte
    uint64_t depth;  // its value's encoded depth
    uint64_t pooled;  // the pool entry of its first string
    int64_t cost;    // what copying it charges
    uint64_t deep;   // levels its objects reach below it
    bool done;       // complete: references may copy it
  };

  Result<uint64_t> str(uint64_t n, Node& node);
  Status array(Node& node, uint64_t depth);
  Status object(Node& node, uint64_t depth);
  Status table(Node& node, uint64_t depth, bool sparse);
  Status typed_array(Node& node, uint64_t depth);
  Status rows(Node& parent, const Names& names, uint64_t span, uint64_t cells, const uint8_t* bits,
              uint64_t depth, bool sparse);
  template <class Read>
  Status anchor(uint64_t depth, Read&& read);
  template <class Read>
  Status reference(uint64_t depth, Read&& read);
  // The value at the cursor, step steps down the path.
  Status at(Node& target, uint64_t depth, std::size_t step);
  Status path_array(Node& target, uint64_t depth, std::size_t step);
  // An object read without being built: skipped, or along the path (step
  // set), where the value of the step's key goes on down the path. Its keys
  // are checked for repeats in seen, from base on.
  Status keyed(uint64_t n, uint64_t depth, Node* target, std::size_t step);
  Result<Node*> skipper();
  // A repeated key of a struct row: a SKIP field remembers the row (its
  // length) that last named it.
  static bool repeated(Node* f, int64_t r) {
    if (f->kind != Kind::SKIP) return f->length > r;
    if (f->length == r + 1) return true;
    f->length = r + 1;
    return false;
  }

  Vec<Anchor> anchors;
  NodeOwner skip_;
  struct Seen {
    uint64_t start, len, entry;
  };
  Vec<Seen> seen;
  NameSet seen_set;
};

inline Status ArrowSink::gap() {
  if (bits) {
    while (!((bits[cursor >> 3] >> (cursor & 7)) & 1)) {
      CHECK(node->append_null(rd.spend));
      ++cursor;
    }
    ++cursor;
  }
  return Done{};
}

}  // namespace wexo::arrow
