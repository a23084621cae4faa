// value: one tag byte, then that tag's payload; and the typed array up to its
// column.
#include <cstdio>

#include "decode/columns.h"
#include "decode/decoder.h"

namespace wexo {

namespace {

[[gnu::cold, gnu::noinline]] Failure bad_tag(uint8_t t, uint64_t at) {
  char text[16];
  std::snprintf(text, sizeof text, "bad tag 0x%02x", t);
  return bad(text, at);
}

}  // namespace

// The full dispatch, with every check in its order.
Result<Owned> Decoder::dispatch(uint64_t depth) {
  if (depth > MAX_DEPTH || pos >= len) return no_value(depth);
  const uint64_t at = pos;  // tag faults report the tag's own offset
  const uint8_t t = buf[pos++];
  if (t >= TAG_SMALL_INT) return made(PyLong_FromLong(t & 0x7F));
  if ((t & 0xE0) == TAG_SHORT_STR) return str_body(t & 0x1Fu);
  switch (t) {
    case TAG_NONE: return Owned::borrow(Py_None);
    case TAG_FALSE: return Owned::borrow(Py_False);
    case TAG_TRUE: return Owned::borrow(Py_True);
    case TAG_INT: return int_();
    case TAG_FLOAT: return float_();
    case TAG_STR: return long_str();
    case TAG_STR_REF: return str_ref();
    case TAG_ARRAY: return array(depth);
    case TAG_OBJECT: return object(depth);
    case TAG_TABLE: return table(depth);
    case TAG_ANCHOR: return anchor(depth);
    case TAG_ANCHOR_REF: return anchor_ref();
    case TAG_TYPED_ARRAY: return typed_array(depth);
    case TAG_SPARSE: return sparse(depth);
    default: break;
  }
  pos = at;
  return no_value(depth);
}

// The depth test comes first, even before the end-of-input test.
Failure Decoder::no_value(uint64_t depth) {
  if (depth > MAX_DEPTH) return bad("nesting too deep", pos);
  if (pos >= len) return short_(pos);
  return bad_tag(buf[pos], pos);
}

// TAG_TYPED_ARRAY | uvarint n | one typed column of n cells
[[gnu::noinline]] Result<Owned> Decoder::typed_array(uint64_t depth) {
  TRY(n, typed_rows());
  TRY(list, made(PyList_New(static_cast<Py_ssize_t>(n))));
  ListSink sink{list.get()};
  CHECK(column(n, depth + 1, sink));
  return list;
}

}  // namespace wexo
