// Reader: a table decoded into Arrow nodes instead of Python objects. It
// walks the document with the decoder's own cursor, readers and budgets, so
// a document fails here exactly where the decoder fails; values it does not
// read itself (anchors, references, bad tags) go through the decoder's value
// and are appended from the objects it makes. ArrowSink is the typed-column
// reader's sink for it.
#pragma once

#include <cstdint>

#include "arrow/node.h"
#include "decode/decoder.h"

namespace wexo::arrow {

class Reader;

// Cells of one column into one node. With a presence bitmap, cell k goes to
// the k-th present row of rows rows, and absent rows get nulls.
struct ArrowSink {
  Reader& rd;
  Node* node;
  const uint8_t* bits = nullptr;
  uint64_t rows = 0;
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

  Decoder& d;
  Spend& spend;

 private:
  struct Head {
    Names names;
    uint64_t rows;
  };
  Result<Head> head(bool sparse);
  Status str(Node& node, uint64_t n);
  Result<uint64_t> name();  // a key, checked and pooled; its length, starting at name_at
  Status array(Node& node, uint64_t depth);
  Status object(Node& node, uint64_t depth);
  Status table(Node& node, uint64_t depth, bool sparse);
  Status typed_array(Node& node, uint64_t depth);
  Status rows(Node& parent, const Names& names, uint64_t r, uint64_t depth, bool sparse);
  Status through_decoder(Node& node, uint64_t depth);
  Status object_value(Node& node, PyObject* x);

  uint64_t name_at = 0;
  uint64_t name_entry = NO_ENTRY;
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

// Whether n bytes are UTF-8 as the interpreter's strict decoder accepts it:
// no overlong forms, no surrogates, nothing above U+10FFFF.
bool utf8(const uint8_t* p, uint64_t n);

}  // namespace wexo::arrow
