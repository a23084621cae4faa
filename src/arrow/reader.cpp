// Reader: values, tables and typed columns into Arrow nodes, with the
// decoder's checks in the decoder's order.
#include "arrow/reader.h"

#include <cstring>

#include "decode/columns_impl.h"

namespace wexo::arrow {

namespace {

[[gnu::cold, gnu::noinline]] Failure duplicate_key(const uint8_t* text, uint64_t n,
                                                   uint64_t at) {
  Str msg("duplicate key '");
  msg.append(reinterpret_cast<const char*>(text), n);
  msg += '\'';
  return bad(msg, at);
}

inline bool cont(uint8_t c) { return (c & 0xC0) == 0x80; }

}  // namespace

bool utf8(const uint8_t* p, uint64_t n) {
  uint64_t i = 0;
  while (i < n) {
    if (n - i >= 8) {
      uint64_t w;
      std::memcpy(&w, p + i, 8);
      if (!(w & 0x8080808080808080u)) {
        i += 8;
        continue;
      }
    }
    const uint8_t c = p[i];
    if (c < 0x80) {
      ++i;
    } else if (c < 0xC2) {
      return false;
    } else if (c < 0xE0) {
      if (n - i < 2 || !cont(p[i + 1])) return false;
      i += 2;
    } else if (c < 0xF0) {
      if (n - i < 3) return false;
      const uint8_t c1 = p[i + 1];
      if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 > 0x9F)) return false;
      if (!cont(c1) || !cont(p[i + 2])) return false;
      i += 3;
    } else if (c < 0xF5) {
      if (n - i < 4) return false;
      const uint8_t c1 = p[i + 1];
      if ((c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 > 0x8F)) return false;
      if (!cont(c1) || !cont(p[i + 2]) || !cont(p[i + 3])) return false;
      i += 4;
    } else {
      return false;
    }
  }
  return true;
}

// ---- the sink

// A typed column gives an empty node its type, even when it has no cells;
// and a fresh node is sized for the whole column at once (a hint: a failed
// reservation leaves the appends to grow the buffers, or fail).
Status ArrowSink::start(uint8_t kind, uint64_t n) {
  if (node->kind != Kind::EMPTY) return Done{};
  if (node->length == 0) node->reserve(kind, static_cast<int64_t>(bits ? rows : n));
  Kind k = Kind::EMPTY;
  switch (kind) {
    case COL_DELTA_INT: k = Kind::INT; break;
    case COL_DECIMAL: {
      // Its scale, read again by the column: 0 gives ints, 1 to 6 floats.
      // A bad scale fails there, before any cell.
      const Decoder& d = rd.d;
      if (d.pos < d.len && d.buf[d.pos] <= 6) k = d.buf[d.pos] == 0 ? Kind::INT : Kind::FLOAT;
      break;
    }
    case COL_BOOL_BITS: k = Kind::BOOL; break;
    default: break;  // values: their own; dictionaries and objects: their readers
  }
  return k == Kind::EMPTY ? Done{} : node->take_kind(k, rd.spend);
}

[[gnu::always_inline]] inline Status ArrowSink::value_cell(Decoder&, uint64_t, uint64_t depth) {
  CHECK(gap());
  return rd.value(*node, depth);
}

[[gnu::always_inline]] inline Status ArrowSink::int_cell(uint64_t, int64_t v) {
  CHECK(gap());
  return node->append_int(v, rd.spend);
}

// The double the decoder's cell holds: one division up to 2^53, the
// interpreter's exact division beyond.
[[gnu::always_inline]] inline Status ArrowSink::decimal_cell(uint64_t, int64_t m, unsigned s) {
  CHECK(gap());
  double q;
  if (magnitude(m) > EXACT_LIMIT) {
    TRY(big, big_quotient(m, s));
    q = big;
  } else {
    q = static_cast<double>(m) / POW10[s];
  }
  return node->append_double(q, rd.spend);
}

[[gnu::always_inline]] inline Status ArrowSink::bool_cell(uint64_t, bool b) {
  CHECK(gap());
  return node->append_bool(b, rd.spend);
}

// A node that holds only this column's cells takes its dictionary as is;
// one that holds other strings already takes the strings.
Status ArrowSink::dict_begin(const Names& dict) {
  if (!node->can_take_dict()) return Done{};
  TRY(base, node->dict_begin(rd.d.buf, dict, rd.spend));
  dict_base = base;
  return Done{};
}

[[gnu::always_inline]] inline Status ArrowSink::dict_cell(uint64_t, const Names& dict, uint64_t i) {
  CHECK(gap());
  if (dict_base >= 0) return node->append_index(dict_base + static_cast<int64_t>(i), rd.spend);
  return node->append_str(rd.d.buf + dict[i].start, dict[i].len, rd.spend);
}

Status ArrowSink::objects(Decoder&, uint64_t n, uint64_t depth, const Names& names) {
  return rd.objects(*this, n, depth, names);
}

// ---- the reader

// An object column: a struct row for each row the column spans (null where
// the bitmap has no cell), then each sub-column into its field, spread over
// the same rows.
Status Reader::objects(ArrowSink& sink, uint64_t n, uint64_t depth, const Names& names) {
  const uint64_t span = sink.bits ? sink.rows : n;
  NodeOwner scratch;
  Node* t = nullptr;
  for (uint64_t r = 0; r < span; ++r) {
    const bool present = !sink.bits || ((sink.bits[r >> 3] >> (r & 7)) & 1);
    TRY(row, sink.node->slot(Kind::STRUCT, !present, spend));
    t = row;
  }
  sink.cursor = span;
  if (!t) {
    if (sink.node->kind == Kind::EMPTY) CHECK(sink.node->become_struct(spend));
    if (sink.node->kind == Kind::STRUCT) {
      t = sink.node;
    } else {
      TRY(s, scratch.get());
      t = s;
    }
  }
  const int64_t r0 = t->length - static_cast<int64_t>(span);
  for (const Key& name : names) {
    TRY(f, t->field(d.buf + name.start, name.len, name.entry, spend));
    CHECK(f->pad(r0, spend));
    ArrowSink sub{*this, f, sink.bits, span};
    CHECK(d.column(n, depth + 1, sub));
    CHECK(f->pad(r0 + static_cast<int64_t>(span), spend));
  }
  return Done{};
}

Status Reader::value(Node& node, uint64_t depth) {
  if (depth > MAX_DEPTH || d.pos >= d.len) return through_decoder(node, depth);
  const uint8_t t = d.buf[d.pos];
  if (t >= TAG_SMALL_INT) {
    ++d.pos;
    return node.append_int(t & 0x7F, spend);
  }
  if ((t & 0xE0) == TAG_SHORT_STR) {
    ++d.pos;
    return str(node, t & 0x1Fu);
  }
  switch (t) {
    case TAG_NONE: ++d.pos; return node.append_null(spend);
    case TAG_FALSE: ++d.pos; return node.append_bool(false, spend);
    case TAG_TRUE: ++d.pos; return node.append_bool(true, spend);
    case TAG_INT: {
      ++d.pos;
      TRY(v, d.uvarint());
      return node.append_int(zigzag(v), spend);
    }
    case TAG_FLOAT: {
      const uint64_t p = ++d.pos;
      if (d.len - p < 8) return d.short_(p);
      const uint64_t bits = load_le64(d.buf + p);
      if (!finite_bits(bits)) return bad("float is not finite", p);
      d.pos = p + 8;
      double x;
      std::memcpy(&x, &bits, sizeof x);
      int64_t i;
      if (int_valued(x, &i)) return node.append_int(i, spend);
      return node.append_double(x, spend);
    }
    case TAG_STR: {
      ++d.pos;
      TRY(n, d.count());
      return str(node, n);
    }
    case TAG_STR_REF: {
      ++d.pos;
      TRY(i, d.pool_index());
      const PoolEnt& e = d.pool[i];
      return node.append_str(d.buf + e.start, e.len, spend);
    }
    case TAG_ARRAY: ++d.pos; return array(node, depth);
    case TAG_OBJECT: ++d.pos; return object(node, depth);
    case TAG_TABLE: ++d.pos; return table(node, depth, false);
    case TAG_SPARSE: ++d.pos; return table(node, depth, true);
    case TAG_TYPED_ARRAY: ++d.pos; return typed_array(node, depth);
    default: break;
  }
  return through_decoder(node, depth);
}

// Anchors, references, faults: the decoder's own value, then its object.
Status Reader::through_decoder(Node& node, uint64_t depth) {
  TRY(x, d.value(depth));
  return object_value(node, x.get());
}

// n bytes of UTF-8 at the cursor, pooled from two bytes on like the
// decoder's strings, without a str object until a reference needs one.
Status Reader::str(Node& node, uint64_t n) {
  const uint64_t s = d.pos;
  if (n > d.remaining()) return d.short_(s);
  if (!utf8(d.buf + s, n)) return bad("string is not valid UTF-8", s);
  d.pos = s + n;
  if (n >= 2) d.pool.push_back(PoolEnt{Owned(), s, n});
  return node.append_str(d.buf + s, n, spend);
}

// A key, as Decoder::key reads it.
Result<uint64_t> Reader::name() {
  if (d.pos >= d.len) return d.short_(d.pos);
  const uint64_t at = d.pos;
  const uint8_t t = d.buf[d.pos++];
  if (t == TAG_STR_REF) {
    TRY(i, d.pool_index());
    name_at = d.pool[i].start;
    name_entry = i;
    return d.pool[i].len;
  }
  uint64_t n;
  if ((t & 0xE0) == TAG_SHORT_STR) {
    n = t & 0x1Fu;
  } else if (t == TAG_STR) {
    TRY(c, d.count());
    n = c;
  } else {
    return bad("key must be a string", at);
  }
  const uint64_t s = d.pos;
  if (n > d.remaining()) return d.short_(s);
  if (!utf8(d.buf + s, n)) return bad("string is not valid UTF-8", s);
  d.pos = s + n;
  name_entry = NO_ENTRY;
  if (n >= 2) {
    name_entry = d.pool.size();
    d.pool.push_back(PoolEnt{Owned(), s, n});
  }
  name_at = s;
  return n;
}

// TAG_ARRAY | uvarint n | n values: a list row
Status Reader::array(Node& node, uint64_t depth) {
  TRY(n, d.count());
  TRY(list, node.slot(Kind::LIST, false, spend));
  for (uint64_t k = 0; k < n; ++k) CHECK(value(*list->item(), depth + 1));
  return list->end_list();
}

// TAG_OBJECT | uvarint n | n x (key, value): a struct row. A repeated key
// fails after its value, as in the decoder.
Status Reader::object(Node& node, uint64_t depth) {
  TRY(n, d.count());
  Node* row = node.struct_row();
  if (!row) {
    TRY(slotted, node.slot(Kind::STRUCT, false, spend));
    row = slotted;
  }
  const int64_t r = row->length - 1;
  for (uint64_t k = 0; k < n; ++k) {
    TRY(len, name());
    const uint64_t at = name_at;
    TRY(f, row->field(d.buf + at, len, name_entry, spend));
    if (f->length > r) {
      NodeOwner scratch;
      TRY(s, scratch.get());
      CHECK(value(*s, depth + 1));
      return duplicate_key(d.buf + at, len, d.pos);
    }
    CHECK(f->pad(r, spend));
    CHECK(value(*f, depth + 1));
  }
  return Done{};
}

// A table or sparse table in a cell: a list row of struct rows.
// header | row count, with the decoder's bound and budget for each kind of
// table: a sparse table charges twice its rows, a plain one only checks.
Result<Reader::Head> Reader::head(bool sparse) {
  TRY(names, d.header());
  TRY(r, d.row_count());
  if (sparse) {
    CHECK(d.charge(2 * r, d.pos));
  } else if (d.size_budget < static_cast<int64_t>(r + 1)) {
    return bad("decoded size too large", d.pos);
  }
  CHECK(d.limit_cells(r, d.pos));  // the rows loads would make, for the same limits
  return Head{std::move(names), r};
}

Status Reader::table(Node& node, uint64_t depth, bool sparse) {
  TRY(h, head(sparse));
  TRY(list, node.slot(Kind::LIST, false, spend));
  CHECK(rows(*list->item(), h.names, h.rows, depth, sparse));
  return list->end_list();
}

Status Reader::root(Node& root, bool sparse) {
  TRY(h, head(sparse));
  const Names& names = h.names;
  const uint64_t r = h.rows;
  // A table's strings are pooled as they come: room for about one per cell
  // at once (within what the input can hold), where memory allows, spares
  // the pool its copies as it doubles. Pages never written cost nothing.
  const uint64_t cells = r * names.size();
  const uint64_t most = d.remaining() / 3 + 64;
  (void)d.pool.try_reserve(cells < most ? cells : most);
  return rows(root, names, r, 0, sparse);
}

// r struct rows into parent, then each column into its field over them.
Status Reader::rows(Node& parent, const Names& names, uint64_t r, uint64_t depth, bool sparse) {
  NodeOwner scratch;
  TRY(t, parent.struct_rows(r, spend));
  if (!t) {  // no rows: the columns still give the struct its fields, where it can have them
    if (parent.kind == Kind::EMPTY) CHECK(parent.become_struct(spend));
    if (parent.kind == Kind::STRUCT) {
      t = &parent;
    } else {
      TRY(s, scratch.get());
      t = s;
    }
  }
  const int64_t r0 = t->length - static_cast<int64_t>(r);
  if (t->expect < t->length) t->expect = t->length;
  for (const Key& name : names) {
    TRY(f, t->field(d.buf + name.start, name.len, name.entry, spend));
    CHECK(f->pad(r0, spend));
    if (!sparse) {
      ArrowSink sink{*this, f, nullptr, r};
      CHECK(d.column(r, depth + 1, sink));
    } else {
      // presence flag | [bitmap] | typed column, with the decoder's checks
      if (d.pos >= d.len) return d.short_(d.pos);
      const uint8_t flag = d.buf[d.pos++];
      if (flag == PRESENCE_ALL) {
        ArrowSink sink{*this, f, nullptr, r};
        CHECK(d.column(r, depth + 1, sink));
      } else {
        if (flag != PRESENCE_BITMAP) return bad("bad presence flag", d.pos);
        const uint64_t b = r / 8 + (r % 8 != 0);
        if (d.remaining() < b) return d.short_(d.pos);
        const uint8_t* bits = d.buf + d.pos;
        d.pos += b;
        const uint64_t p = set_bits(bits, b);
        if (p > r || (r % 8 != 0 && (bits[b - 1] >> (r % 8)) != 0))
          return bad("bad presence bitmap", d.pos);
        ArrowSink sink{*this, f, bits, r};
        CHECK(d.column(p, depth + 1, sink));
      }
    }
    CHECK(f->pad(r0 + static_cast<int64_t>(r), spend));
  }
  return Done{};
}

// TAG_TYPED_ARRAY | uvarint n | one typed column of n cells: a list row
Status Reader::typed_array(Node& node, uint64_t depth) {
  TRY(n, d.row_count());
  if (d.size_budget < static_cast<int64_t>(n + 1)) return bad("decoded size too large", d.pos);
  if (d.pos >= d.len || d.buf[d.pos] != COL_BOOL_BITS) CHECK(d.limit_cells(n, d.pos));
  TRY(list, node.slot(Kind::LIST, false, spend));
  ArrowSink sink{*this, list->item(), nullptr, n};
  CHECK(d.column(n, depth + 1, sink));
  return list->end_list();
}

// An object the decoder made: None, bool, int, float, str, list, dict.
Status Reader::object_value(Node& node, PyObject* x) {
  if (x == Py_None) return node.append_null(spend);
  if (PyBool_Check(x)) return node.append_bool(x == Py_True, spend);
  if (PyLong_Check(x)) {
    const long long v = PyLong_AsLongLong(x);
    if (v == -1 && PyErr_Occurred()) return py_fail();
    return node.append_int(v, spend);
  }
  if (PyFloat_Check(x)) return node.append_double(PyFloat_AsDouble(x), spend);
  if (PyUnicode_Check(x)) {
    Py_ssize_t n = 0;
    const char* text = PyUnicode_AsUTF8AndSize(x, &n);
    if (!text) return py_fail();
    return node.append_str(reinterpret_cast<const uint8_t*>(text), static_cast<uint64_t>(n),
                           spend);
  }
  if (PyList_Check(x)) {
    TRY(list, node.slot(Kind::LIST, false, spend));
    const Py_ssize_t n = PyList_Size(x);
    for (Py_ssize_t i = 0; i < n; ++i) CHECK(object_value(*list->item(), PyList_GetItem(x, i)));
    return list->end_list();
  }
  TRY(row, node.slot(Kind::STRUCT, false, spend));
  const int64_t r = row->length - 1;
  Py_ssize_t at = 0;
  PyObject* key;
  PyObject* item;
  while (PyDict_Next(x, &at, &key, &item)) {
    Py_ssize_t n = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &n);
    if (!text) return py_fail();
    TRY(f, row->field(reinterpret_cast<const uint8_t*>(text), static_cast<uint64_t>(n),
                      NO_ENTRY, spend));
    CHECK(f->pad(r, spend));
    CHECK(object_value(*f, item));
  }
  return Done{};
}

}  // namespace wexo::arrow

namespace wexo {
template Status Decoder::column<arrow::ArrowSink>(uint64_t, uint64_t, arrow::ArrowSink&);
}
