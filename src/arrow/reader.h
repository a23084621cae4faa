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

  // The root table or sparse table, its tag read, as the rows of root.
  Status root(Node& root, bool sparse);
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
  Status anchor(Node& node, uint64_t depth);
  Status reference(Node& node, uint64_t depth);

  Vec<Anchor> anchors;
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
