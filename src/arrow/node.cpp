// Node: appending cells, the changes of kind, struct fields, and the export
// into the Arrow C data interface.
#include "arrow/node.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "decode/decoder.h"

namespace wexo::arrow {

namespace {

constexpr uint64_t SCAN_FIELDS = 16;  // structs with more fields look names up by hash
constexpr int64_t MAX_OFFSET = INT32_MAX;
// Arrow C++ (pyarrow) refuses to import a schema nested deeper than this,
// the table's own struct counted.
constexpr unsigned MAX_NESTING = 64;
constexpr uint64_t NULL_COST = 8;     // bytes charged for each null a padding makes
constexpr uint64_t NODE_COST = 512;   // bytes charged for each field or member: its buffers' start
constexpr int64_t FIRST_BYTES = 64;   // the first allocation of a value buffer
constexpr int64_t FIRST_CHARS = 256;  // and of a string buffer's characters

#define NA_OK(expr)                                        \
  do {                                                     \
    if ((expr) != NANOARROW_OK) return no_memory();        \
  } while (0)

Failure too_large() {
  Unlocked::with_lock([] {
    PyErr_SetString(PyExc_ValueError,
                    "wexo: a column holds more than 2**31 - 1 bytes or items, which Arrow's "
                    "32-bit offsets cannot address");
  });
  return py_fail();
}

Status append_offset(ArrowBuffer* offsets, int64_t end) {
  if (end > MAX_OFFSET) return too_large();
  NA_OK(ArrowBufferAppendInt32(offsets, static_cast<int32_t>(end)));
  return Done{};
}

int32_t last_offset(const ArrowBuffer& offsets) {
  int32_t v;
  std::memcpy(&v, offsets.data + offsets.size_bytes - 4, 4);
  return v;
}

const char* kind_name(Kind k) {
  switch (k) {
    case Kind::EMPTY: return "null";
    case Kind::BOOL: return "bool";
    case Kind::INT: return "int64";
    case Kind::FLOAT: return "double";
    case Kind::STR: return "string";
    case Kind::DICT: return "dictionary";
    case Kind::LIST: return "list";
    case Kind::STRUCT: return "struct";
    case Kind::UNION: return "union";
    case Kind::SKIP: break;
  }
  return "";
}

}  // namespace

Node::Node() {
  ArrowBitmapInit(&valid);
  ArrowBitmapInit(&bits);
  ArrowBufferInit(&data);
  ArrowBufferInit(&extra);
  ArrowBufferInit(&dict_offsets);
  ArrowBufferInit(&dict_chars);
}

Node::~Node() {
  ArrowBitmapReset(&valid);
  ArrowBitmapReset(&bits);
  ArrowBufferReset(&data);
  ArrowBufferReset(&extra);
  ArrowBufferReset(&dict_offsets);
  ArrowBufferReset(&dict_chars);
  for (Child& c : children) destroy(c.node);
}

void Node::destroy(Node* node) {
  if (!node) return;
  node->~Node();
  std::free(node);
}

Result<Node*> Node::make() {
  void* p = std::malloc(sizeof(Node));
  if (!p) return no_memory();
  return new (p) Node();
}

// The rows so far are all nulls: lay them out as nulls of kind k.
Status Node::become(Kind k, Spend& spend) {
  if (kind == Kind::SKIP) return Done{};
  const int64_t n = length;
  if (!spend.charge(NULL_COST * static_cast<uint64_t>(n))) return spend.over();
  kind = k;
  // Buffers start at the size expected, or at a useful one, rather than
  // doubling up from a few bytes.
  const int64_t rows = expect > n ? expect : n;
  const int64_t width = k == Kind::INT || k == Kind::FLOAT ? 8 : 4;
  if (k != Kind::STRUCT && k != Kind::BOOL)
    NA_OK(ArrowBufferReserve(&data, rows * width > FIRST_BYTES ? rows * width + 4 : FIRST_BYTES));
  if (k == Kind::STR) NA_OK(ArrowBufferReserve(&extra, rows * 4 > FIRST_CHARS ? rows * 4 : FIRST_CHARS));
  if (n > 0) {
    NA_OK(ArrowBitmapReserve(&valid, n));
    ArrowBitmapAppendUnsafe(&valid, 0, n);
    validity = true;
  }
  switch (k) {
    case Kind::BOOL: NA_OK(ArrowBitmapAppend(&bits, 0, n)); break;
    case Kind::INT:
    case Kind::FLOAT: NA_OK(ArrowBufferAppendFill(&data, 0, n * 8)); break;
    case Kind::DICT:
      NA_OK(ArrowBufferAppendFill(&data, 0, n * 4));
      NA_OK(ArrowBufferAppendInt32(&dict_offsets, 0));
      break;
    case Kind::STR: NA_OK(ArrowBufferAppendFill(&data, 0, (n + 1) * 4)); break;
    case Kind::LIST: {
      NA_OK(ArrowBufferAppendFill(&data, 0, (n + 1) * 4));
      CHECK(add_child(reinterpret_cast<const uint8_t*>("item"), 4, spend));
      children[0].node->keep = keep;
      break;
    }
    default: break;  // STRUCT: fields are padded when they are written
  }
  return Done{};
}

// One more validity bit; the bitmap is made at the first null.
Status Node::valid_bit(bool v) {
  if (validity) {
    NA_OK(ArrowBitmapAppend(&valid, v, 1));
  } else if (!v) {
    NA_OK(ArrowBitmapReserve(&valid, (expect > length ? expect : length) + 8 * FIRST_BYTES));
    ArrowBitmapAppendUnsafe(&valid, 1, length);
    ArrowBitmapAppendUnsafe(&valid, 0, 1);
    validity = true;
  }
  return Done{};
}

Status Node::add_child(const uint8_t* name, uint64_t n, Spend& spend) {
  if (!spend.charge(NODE_COST + n)) return spend.over();
  TRY(node, make());
  node->expect = kind == Kind::UNION ? 0 : expect;
  Child c;
  c.name.append(reinterpret_cast<const char*>(name), n);
  c.node = node;
  children.push_back(std::move(c));
  return Done{};
}

Status Node::append_null_slow(Spend& spend) {
  switch (kind) {
    case Kind::SKIP: return Done{};
    case Kind::EMPTY:
      ++length;
      ++nulls;
      return Done{};
    case Kind::UNION: {
      // A union has no validity of its own: the null is its first member's.
      NA_OK(ArrowBufferAppendInt8(&data, 0));
      CHECK(append_offset(&extra, children[0].node->length));
      ++length;
      return children[0].node->append_null(spend);
    }
    default: break;
  }
  CHECK(valid_bit(false));
  switch (kind) {
    case Kind::BOOL: NA_OK(ArrowBitmapAppend(&bits, 0, 1)); break;
    case Kind::INT:
    case Kind::FLOAT: NA_OK(ArrowBufferAppendInt64(&data, 0)); break;
    case Kind::DICT: NA_OK(ArrowBufferAppendInt32(&data, 0)); break;
    case Kind::STR:
    case Kind::LIST: NA_OK(ArrowBufferAppendInt32(&data, last_offset(data))); break;
    default: break;
  }
  ++length;
  ++nulls;
  return Done{};
}

Status Node::pad_slow(int64_t rows, Spend& spend) {
  if (kind == Kind::SKIP) return Done{};
  if (!spend.charge(NULL_COST * static_cast<uint64_t>(rows - length)))
    return spend.over();
  if (kind == Kind::EMPTY) {
    nulls += rows - length;
    length = rows;
    return Done{};
  }
  while (length < rows) CHECK(append_null(spend));
  return Done{};
}

// Every row so far moves into the first member of a new union.
Status Node::to_union(Spend& spend) {
  if (!spend.charge(5 * static_cast<uint64_t>(length))) return spend.over();
  TRY(first, make());
  std::swap(first->kind, kind);
  std::swap(first->length, length);
  std::swap(first->nulls, nulls);
  std::swap(first->validity, validity);
  std::swap(first->exact, exact);
  std::swap(first->valid, valid);
  std::swap(first->bits, bits);
  std::swap(first->data, data);
  std::swap(first->extra, extra);
  std::swap(first->dict_offsets, dict_offsets);
  std::swap(first->dict_chars, dict_chars);
  std::swap(first->dict_size, dict_size);
  first->children.swap(children);
  first->names.swap(names);
  std::swap(first->hint, hint);
  kind = Kind::UNION;
  length = first->length;
  Child c;
  c.node = first;
  children.push_back(std::move(c));
  if (length > MAX_OFFSET) return too_large();
  NA_OK(ArrowBufferReserve(&data, length));
  NA_OK(ArrowBufferReserve(&extra, length * 4));
  for (int64_t i = 0; i < length; ++i) {
    ArrowBufferAppendUnsafe(&data, "\0", 1);
    const auto off = static_cast<int32_t>(i);
    ArrowBufferAppendUnsafe(&extra, &off, 4);
  }
  return Done{};
}

// The union member of kind k, made when absent, with the next row's type id
// and offset recorded.
Result<Node*> Node::member(Kind k, Spend& spend) {
  uint64_t i = 0;
  while (i < children.size() && children[i].node->kind != k) ++i;
  if (i == children.size()) CHECK(add_child(nullptr, 0, spend));
  Node* m = children[i].node;
  NA_OK(ArrowBufferAppendInt8(&data, static_cast<int8_t>(i)));
  CHECK(append_offset(&extra, m->length));
  ++length;
  return m;
}

Result<Node*> Node::slot(Kind k, bool null, Spend& spend) {
  if (kind == Kind::SKIP) return this;
  if (kind == Kind::UNION) {
    TRY(m, member(k, spend));
    return m->slot(k, null, spend);
  }
  if (kind == Kind::EMPTY) {
    CHECK(become(k, spend));
  } else if (kind != k) {
    if (kind == Kind::DICT && k == Kind::STR) {
      CHECK(dict_to_str(spend));
    } else {
      CHECK(to_union(spend));
      return slot(k, null, spend);
    }
  }
  if (null) {
    CHECK(append_null(spend));
    return this;
  }
  CHECK(valid_bit(true));
  ++length;
  return this;
}

Result<Node*> Node::struct_rows(uint64_t r, Spend& spend) {
  if (kind == Kind::SKIP) return this;
  if (r == 0) return static_cast<Node*>(nullptr);
  if (kind == Kind::EMPTY && length == 0) CHECK(become(Kind::STRUCT, spend));
  if (kind == Kind::STRUCT && !validity) {
    length += static_cast<int64_t>(r);
    return this;
  }
  Node* t = nullptr;
  for (uint64_t i = 0; i < r; ++i) {
    TRY(row, slot(Kind::STRUCT, false, spend));
    t = row;
  }
  return t;
}

Status Node::ints_to_doubles() {
  const int64_t n = static_cast<int64_t>(data.size_bytes / 8);
  for (int64_t i = 0; i < n; ++i) {
    int64_t v;
    std::memcpy(&v, data.data + 8 * i, 8);
    const double d = static_cast<double>(v);
    std::memcpy(data.data + 8 * i, &d, 8);
  }
  kind = Kind::FLOAT;
  return Done{};
}

Status Node::append_int_slow(int64_t v, Spend& spend) {
  if (kind == Kind::SKIP) return Done{};
  const uint64_t mag = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  if (kind == Kind::FLOAT && mag <= EXACT_LIMIT)
    return append_double(static_cast<double>(v), spend);
  // In a union, as in a plain node, an int exact as a double joins the floats.
  if (kind == Kind::UNION && mag <= EXACT_LIMIT && has_member(Kind::FLOAT))
    return append_double(static_cast<double>(v), spend);
  TRY(node, slot(Kind::INT, false, spend));
  NA_OK(ArrowBufferAppendInt64(&node->data, v));
  if (mag > EXACT_LIMIT) node->exact = false;
  return Done{};
}

Status Node::append_double(double v, Spend& spend) {
  if (kind == Kind::SKIP) return Done{};
  if (kind == Kind::FLOAT && valid_room() && room(data, 8)) {
    valid_one();
    std::memcpy(data.data + data.size_bytes, &v, 8);
    data.size_bytes += 8;
    ++length;
    return Done{};
  }
  if (kind == Kind::INT && exact) CHECK(ints_to_doubles());
  if (kind == Kind::UNION && !has_member(Kind::FLOAT)) {
    // A union's ints, every one exact, become its floats, as a plain node's do.
    for (Child& c : children)
      if (c.node->kind == Kind::INT && c.node->exact) CHECK(c.node->ints_to_doubles());
  }
  TRY(node, slot(Kind::FLOAT, false, spend));
  NA_OK(ArrowBufferAppendDouble(&node->data, v));
  return Done{};
}

Status Node::append_bool_slow(bool b, Spend& spend) {
  if (kind == Kind::SKIP) return Done{};
  TRY(node, slot(Kind::BOOL, false, spend));
  NA_OK(ArrowBitmapAppend(&node->bits, b, 1));
  return Done{};
}

Status Node::append_str_slow(const uint8_t* p, uint64_t n, Spend& spend) {
  if (kind == Kind::SKIP) return Done{};
  if (!spend.charge(n)) return spend.over();
  TRY(node, slot(Kind::STR, false, spend));
  const int64_t end = node->extra.size_bytes + static_cast<int64_t>(n);
  if (end > MAX_OFFSET) return too_large();
  NA_OK(ArrowBufferAppend(&node->extra, p, static_cast<int64_t>(n)));
  NA_OK(ArrowBufferAppendInt32(&node->data, static_cast<int32_t>(end)));
  return Done{};
}

void Node::reserve(uint8_t column_kind, int64_t n) {
  if (kind == Kind::SKIP) return;
  // A failure here is no failure: the appends grow the buffers, or fail.
  switch (column_kind) {
    case COL_DELTA_INT:
    case COL_DECIMAL: (void)ArrowBufferReserve(&data, n * 8); break;
    case COL_DICT_STR: (void)ArrowBufferReserve(&data, n * 4); break;
    case COL_BOOL_BITS: (void)ArrowBitmapReserve(&bits, n); break;
    default: break;
  }
}

Status Node::end_list() {
  if (kind == Kind::SKIP) return Done{};
  return append_offset(&data, item()->length);
}

Result<int64_t> Node::dict_begin(const uint8_t* buf, const Names& dict, Spend& spend) {
  if (kind == Kind::EMPTY) CHECK(become(Kind::DICT, spend));
  const int64_t base = dict_size;
  for (const Key& e : dict) {
    if (!spend.charge(e.len)) return spend.over();
    const int64_t end = dict_chars.size_bytes + static_cast<int64_t>(e.len);
    if (end > MAX_OFFSET) return too_large();
    NA_OK(ArrowBufferAppend(&dict_chars, buf + e.start, static_cast<int64_t>(e.len)));
    NA_OK(ArrowBufferAppendInt32(&dict_offsets, static_cast<int32_t>(end)));
  }
  dict_size += static_cast<int64_t>(dict.size());
  if (dict_size > MAX_OFFSET) return too_large();
  return base;
}

Status Node::append_index_slow(int64_t i, Spend& spend) {
  if (kind == Kind::SKIP) return Done{};
  TRY(node, slot(Kind::DICT, false, spend));
  NA_OK(ArrowBufferAppendInt32(&node->data, static_cast<int32_t>(i)));
  return Done{};
}

// Plain strings in place of a dictionary's indexes; null rows stay empty.
Status Node::dict_to_str(Spend& spend) {
  ArrowBuffer offsets, chars;
  ArrowBufferInit(&offsets);
  ArrowBufferInit(&chars);
  struct Drop {
    ArrowBuffer* a;
    ArrowBuffer* b;
    ~Drop() {
      ArrowBufferReset(a);
      ArrowBufferReset(b);
    }
  } drop{&offsets, &chars};
  NA_OK(ArrowBufferReserve(&offsets, (length + 1) * 4));
  ArrowBufferAppendUnsafe(&offsets, "\0\0\0\0", 4);
  for (int64_t r = 0; r < length; ++r) {
    int32_t i;
    std::memcpy(&i, data.data + 4 * r, 4);
    const bool present = !validity || ArrowBitGet(valid.buffer.data, r);
    if (present) {
      int32_t s, e;
      std::memcpy(&s, dict_offsets.data + 4 * i, 4);
      std::memcpy(&e, dict_offsets.data + 4 * (i + 1), 4);
      if (!spend.charge(static_cast<uint64_t>(e - s))) return spend.over();
      if (chars.size_bytes + (e - s) > MAX_OFFSET) return too_large();
      NA_OK(ArrowBufferAppend(&chars, dict_chars.data + s, e - s));
    }
    NA_OK(ArrowBufferAppendInt32(&offsets, static_cast<int32_t>(chars.size_bytes)));
  }
  std::swap(data, offsets);
  std::swap(extra, chars);
  ArrowBufferReset(&dict_offsets);
  ArrowBufferReset(&dict_chars);
  dict_size = 0;
  kind = Kind::STR;
  return Done{};
}

Result<Node*> Node::field_slow(const uint8_t* name, uint64_t n, uint64_t entry, Spend& spend) {
  if (kind == Kind::SKIP) return this;
  auto same = [&](uint64_t i) {
    Child& c = children[i];
    if (entry != NO_ENTRY && c.entry == entry) return true;
    if (c.name.size() != n || (n != 0 && std::memcmp(c.name.data(), name, n) != 0)) return false;
    c.entry = entry;
    return true;
  };
  // A record may leave a field or two out.
  for (uint64_t i = hint; i < children.size() && i < hint + 3; ++i) {
    if (same(i)) {
      hint = i + 1;
      return children[i].node;
    }
  }
  uint32_t found = NameSet::NONE;
  if (children.size() <= SCAN_FIELDS) {
    for (uint32_t i = 0; i < children.size() && found == NameSet::NONE; ++i)
      if (same(i)) found = i;
  } else {
    // Above SCAN_FIELDS fields, a set of their names, which takes in the
    // earlier ones first.
    for (uint64_t i = names.size(); i < children.size(); ++i) {
      const Str& c = children[i].name;
      if (!names.try_add(keyed_hash(reinterpret_cast<const uint8_t*>(c.data()), c.size())))
        return no_memory();
    }
    if (!names.try_find_or_add(keyed_hash(name, n), same, &found)) return no_memory();
  }
  if (found != NameSet::NONE) {
    hint = found + 1;
    return children[found].node;
  }
  CHECK(add_child(name, n, spend));
  children[children.size() - 1].entry = entry;
  if (keep) {
    bool wanted = false;
    for (const Str& k : *keep)
      wanted = wanted || (k.size() == n && (n == 0 || std::memcmp(k.data(), name, n) == 0));
    if (!wanted) children[children.size() - 1].node->kind = Kind::SKIP;
  }
  hint = children.size();
  return children[children.size() - 1].node;
}

// Struct fields, at every depth, are padded to their struct's rows; and no
// type nests deeper than Arrow's importers follow.
Status Node::prepare(Spend& spend, unsigned depth) {
  if (depth > MAX_NESTING) {
    Unlocked::with_lock([] {
      PyErr_Format(PyExc_ValueError,
                   "wexo: the table's types nest more than %u levels deep, beyond what Arrow "
                   "imports",
                   MAX_NESTING);
    });
    return py_fail();
  }
  // Fields left out are dropped.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < children.size(); ++i) {
    if (children[i].node->kind == Kind::SKIP) {
      destroy(children[i].node);
      children[i].node = nullptr;
    } else if (kept++ != i) {
      std::swap(children[kept - 1], children[i]);
    }
  }
  while (children.size() > kept) children.pop_back();
  if (kind == Kind::STRUCT) {
    bool sorted = true;
    for (std::size_t i = 1; i < children.size() && sorted; ++i)
      sorted = children[i - 1].node->born <= children[i].node->born;
    if (!sorted)
      std::stable_sort(children.data(), children.data() + children.size(),
                       [](const Child& a, const Child& b) { return a.node->born < b.node->born; });
  }
  if (kind == Kind::STRUCT)
    for (Child& c : children) CHECK(c.node->pad(length, spend));
  for (Child& c : children) CHECK(c.node->prepare(spend, depth + 1));
  return Done{};
}

// ---- the export: each schema and array node is one allocation holding its
// children's structs, its strings or buffers, released by its own callback,
// so that a consumer may move any child out and release it alone.

namespace {

struct SchemaBlock {
  ArrowSchema* children[1];  // n of them, then the child structs, then the strings
};

void release_schema_block(ArrowSchema* schema) {
  for (int64_t i = 0; i < schema->n_children; ++i)
    if (schema->children[i]->release) schema->children[i]->release(schema->children[i]);
  if (schema->dictionary && schema->dictionary->release) schema->dictionary->release(schema->dictionary);
  std::free(schema->private_data);
  schema->release = nullptr;
}

// A schema of n children (and a dictionary where dict), its format and
// name copied into the same block. The children are left for the caller.
Status make_schema(ArrowSchema* out, const char* format, const char* name, int64_t n, bool dict) {
  const size_t flen = std::strlen(format) + 1, nlen = name ? std::strlen(name) + 1 : 0;
  const size_t structs = static_cast<size_t>(n) + (dict ? 1 : 0);
  const size_t size = structs * (sizeof(ArrowSchema) + sizeof(ArrowSchema*)) + flen + nlen;
  auto* block = static_cast<uint8_t*>(std::malloc(size));
  if (!block) return no_memory();
  auto* kids = reinterpret_cast<ArrowSchema*>(block);
  auto** ptrs = reinterpret_cast<ArrowSchema**>(block + structs * sizeof(ArrowSchema));
  char* text = reinterpret_cast<char*>(ptrs + structs);
  std::memcpy(text, format, flen);
  if (name) std::memcpy(text + flen, name, nlen);
  for (size_t i = 0; i < structs; ++i) {
    kids[i].release = nullptr;
    ptrs[i] = &kids[i];
  }
  *out = ArrowSchema{text, name ? text + flen : nullptr, nullptr, ARROW_FLAG_NULLABLE, n,
                     n ? ptrs : nullptr, dict ? ptrs[n] : nullptr, &release_schema_block, block};
  return Done{};
}

struct ArrayBlock {
  ArrowBuffer owned[3];
  const void* buffers[3];
};

void release_array_block(ArrowArray* array) {
  for (int64_t i = 0; i < array->n_children; ++i)
    if (array->children[i]->release) array->children[i]->release(array->children[i]);
  if (array->dictionary && array->dictionary->release) array->dictionary->release(array->dictionary);
  auto* block = static_cast<ArrayBlock*>(array->private_data);
  for (ArrowBuffer& b : block->owned) ArrowBufferReset(&b);
  std::free(block);
  array->release = nullptr;
}

// An array of length rows taking over up to three buffers (in the order of
// its layout; a buffer with no bytes is a pointer to zeros, as the offsets
// of an empty list are), with n children and a dictionary where dict.
const int64_t ZEROS[1] = {0};

Status make_array(ArrowArray* out, int64_t rows, int64_t nulls, ArrowBuffer* const* bufs,
                  int64_t nbuf, const bool* optional, int64_t n, bool dict) {
  const size_t structs = static_cast<size_t>(n) + (dict ? 1 : 0);
  const size_t size = sizeof(ArrayBlock) + structs * (sizeof(ArrowArray) + sizeof(ArrowArray*));
  auto* raw = static_cast<uint8_t*>(std::malloc(size));
  if (!raw) return no_memory();
  auto* block = new (raw) ArrayBlock;
  auto* kids = reinterpret_cast<ArrowArray*>(raw + sizeof(ArrayBlock));
  auto** ptrs = reinterpret_cast<ArrowArray**>(kids + structs);
  for (int64_t i = 0; i < 3; ++i) ArrowBufferInit(&block->owned[i]);
  for (int64_t i = 0; i < nbuf; ++i) {
    std::swap(block->owned[i], *bufs[i]);
    const void* p = block->owned[i].data;
    block->buffers[i] = p || optional[i] ? p : ZEROS;
  }
  for (size_t i = 0; i < structs; ++i) {
    kids[i].release = nullptr;
    ptrs[i] = &kids[i];
  }
  *out = ArrowArray{rows, nulls, 0, nbuf, n, block->buffers, n ? ptrs : nullptr,
                    dict ? ptrs[n] : nullptr, &release_array_block, block};
  return Done{};
}

}  // namespace

// The node's type and its children's, each named as Arrow names them.
Status Node::export_schema(ArrowSchema* out, const char* name) const {
  static constexpr const char* FORMATS[] = {"n", "b", "l", "g", "u", "i", "+l", "+s", ""};
  char format[64];  // at most nine members
  const char* f = FORMATS[static_cast<unsigned>(kind)];
  if (kind == Kind::UNION) {  // +ud:0,1,...: the type ids are the members' indexes
    int at = std::snprintf(format, sizeof format, "+ud:");
    for (uint64_t i = 0; i < children.size(); ++i)
      at += std::snprintf(format + at, sizeof format - static_cast<size_t>(at), i ? ",%u" : "%u",
                          static_cast<unsigned>(i));
    f = format;
  }
  const int64_t n = static_cast<int64_t>(children.size());
  CHECK(make_schema(out, f, name, n, kind == Kind::DICT));
  if (kind == Kind::DICT) CHECK(make_schema(out->dictionary, "u", nullptr, 0, false));
  for (uint64_t i = 0; i < children.size(); ++i) {
    const Child& c = children[i];
    if (kind == Kind::STRUCT && std::memchr(c.name.data(), 0, c.name.size())) {
      Unlocked::with_lock([] {
        PyErr_SetString(PyExc_ValueError,
                        "wexo: a column or field name holds a NUL character, which Arrow's "
                        "names cannot");
      });
      return py_fail();
    }
    const char* child = kind == Kind::UNION ? kind_name(c.node->kind) : c.name.c_str();
    CHECK(c.node->export_schema(out->children[i], child));
  }
  return Done{};
}

// The buffers move into the arrays, in each type's layout.
Status Node::export_array(ArrowArray* out) {
  ArrowBuffer* none = nullptr;
  ArrowBuffer* valid_buf = validity ? &valid.buffer : nullptr;
  ArrowBuffer empty;
  ArrowBufferInit(&empty);
  if (!valid_buf) valid_buf = &empty;
  const bool first_optional[3] = {true, false, false};
  const bool union_layout[3] = {false, false, false};
  const int64_t n = static_cast<int64_t>(children.size());
  switch (kind) {
    case Kind::EMPTY: CHECK(make_array(out, length, nulls, &none, 0, first_optional, 0, false)); break;
    case Kind::BOOL: {
      ArrowBuffer* bufs[2] = {valid_buf, &bits.buffer};
      CHECK(make_array(out, length, nulls, bufs, 2, first_optional, 0, false));
      break;
    }
    case Kind::STR: {
      ArrowBuffer* bufs[3] = {valid_buf, &data, &extra};
      CHECK(make_array(out, length, nulls, bufs, 3, first_optional, 0, false));
      break;
    }
    case Kind::DICT: {
      ArrowBuffer* bufs[2] = {valid_buf, &data};
      CHECK(make_array(out, length, nulls, bufs, 2, first_optional, 0, true));
      ArrowBuffer* entries[3] = {&empty, &dict_offsets, &dict_chars};
      CHECK(make_array(out->dictionary, dict_size, 0, entries, 3, first_optional, 0, false));
      break;
    }
    case Kind::STRUCT: CHECK(make_array(out, length, nulls, &valid_buf, 1, first_optional, n, false)); break;
    case Kind::UNION: {
      ArrowBuffer* bufs[2] = {&data, &extra};
      CHECK(make_array(out, length, 0, bufs, 2, union_layout, n, false));
      break;
    }
    default: {  // INT, FLOAT, LIST: validity and one buffer of values or offsets
      ArrowBuffer* bufs[2] = {valid_buf, &data};
      CHECK(make_array(out, length, nulls, bufs, 2, first_optional, n, false));
      break;
    }
  }
  for (uint64_t i = 0; i < children.size(); ++i) CHECK(children[i].node->export_array(out->children[i]));
  return Done{};
}

Status Node::finish(ArrowSchema* schema, ArrowArray* array, Spend& spend) {
  CHECK(prepare(spend, 1));
  CHECK(export_schema(schema, nullptr));
  CHECK(export_array(array));
  // The nodes keep Arrow's invariants by construction: sanitizer builds (the
  // test suite's and the fuzzers') check every offset and index, through a
  // view made from the schema: only such a view knows a union's type ids.
#if defined(WEXO_SANITIZE)
  ArrowError error;
  ArrowArrayView view;
  const bool sound = ArrowArrayViewInitFromSchema(&view, schema, &error) == NANOARROW_OK &&
                     ArrowArrayViewSetArray(&view, array, &error) == NANOARROW_OK &&
                     ArrowArrayViewValidate(&view, NANOARROW_VALIDATION_LEVEL_FULL, &error) ==
                         NANOARROW_OK;
  ArrowArrayViewReset(&view);
  if (!sound) {
    Unlocked::with_lock([&error] {
      PyErr_Format(PyExc_SystemError, "wexo: the Arrow table is inconsistent: %s", error.message);
    });
    return py_fail();
  }
#endif
  return Done{};
}

}  // namespace wexo::arrow
