// Writes one value: the scalars, arrays and objects, and the anchors of
// containers that the tree holds in several places.
#include <cstring>

#include "encode/encoder.h"
#include "run.h"

namespace wexo {
namespace enc {

Status Writer::value(const Child& c, uint64_t depth) {
  if (c.kind != K_LIST && c.kind != K_DICT) {
    if (!scalar(c)) return py_fail();
    return Done{};
  }
  if (s.lazy && c.node == NO_NODE) {
    if (c.kind == K_DICT && !s.source) {
      if (!object(c.obj, depth)) return py_fail();
      return Done{};
    }
    Child made = c;
    CHECK(ensure(made, depth));
    return container(made.node, depth);
  }
  return container(c.node, depth);
}

// TAG_OBJECT | uvarint n | n (key, value), from the dict itself: a dict of
// the lazy writer is held by its parent alone and is written where it is
// met, entry by entry, without a snapshot. Nothing here runs Python code
// (exact str, int and float only; the hash of a str is cached), so the dict
// cannot change while it is read. What the lazy writer cannot vouch for
// sends the tree to the full scan, as expand does.
bool Writer::object(PyObject* v, uint64_t depth) {
  const Py_ssize_t len = PyDict_Size(v);
  if (len < 0) return false;
  const uint64_t n = static_cast<uint64_t>(len);
  s.values += n;
  if (n > MAX_COUNT || (n && depth >= MAX_DEPTH) || s.values > MAX_EXPANDED) {
    full = true;
    return false;
  }
  if (!room(11)) return false;
  varint_after(TAG_OBJECT, n);
  Py_ssize_t pos = 0;
  PyObject *key, *x;  // borrowed
  for (uint64_t k = 0; k < n && PyDict_Next(v, &pos, &key, &x); ++k) {
    if (Py_TYPE(key) != &PyUnicode_Type) {
      full = true;
      return false;
    }
    Py_ssize_t size = 0;
    const char* p = PyUnicode_AsUTF8AndSize(key, &size);
    if (!p) return lazy_failure();
    if (!text(key, p, static_cast<uint64_t>(size)) || !item(x, depth + 1)) return false;
  }
  return true;
}

// One value met by the lazy writer, by its exact type.
bool Writer::item(PyObject* v, uint64_t depth) {
  PyTypeObject* type = Py_TYPE(v);
  if (type == &PyUnicode_Type) {
    Py_ssize_t size = 0;
    const char* p = PyUnicode_AsUTF8AndSize(v, &size);
    if (!p) return lazy_failure();
    return text(v, p, static_cast<uint64_t>(size));
  }
  if (type == &PyLong_Type) {
    int overflow = 0;
    const long long i = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow) {
      full = true;
      return false;
    }
    return integer(i);
  }
  if (type == &PyDict_Type && Py_REFCNT(v) == 1) return object(v, depth);
  Child c;
  if (!classify(v, c, false)) return lazy_failure();
  if (c.kind != K_LIST && c.kind != K_DICT) return scalar(c);
  Status st = value(c, depth);
  return st.ok();
}

// What the lazy writer cannot write: the full scan takes the tree, and
// names the value (a string that is no valid UTF-8, say), unless an
// exception of our own (MemoryError) ended it.
bool Writer::lazy_failure() {
  if (PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();
  }
  full = true;
  return false;
}

Status Writer::ensure(Child& c, uint64_t depth) {
  if (!s.lazy || c.node != NO_NODE) return Done{};
  uint32_t index = NO_NODE;
  CHECK(expand(s, c, depth, &index, &full));
  c.node = index;
  return Done{};
}

Status Writer::ensure_item(uint64_t k, uint64_t depth) {
  if (!s.lazy || s.items[k].node != NO_NODE) return Done{};
  const Child c = s.items[k];
  uint32_t index = NO_NODE;
  CHECK(expand(s, c, depth, &index, &full));
  s.items[k].node = index;
  return Done{};
}

// TAG_FLOAT | 8 bytes little-endian. The decoder turns an integral double
// below 2^53 into an int anyway, so that one is written as the int.
bool Writer::real(double x) {
  int64_t i;
  if (int_valued(x, &i)) return integer(i);
  if (!room(9)) return false;
  uint64_t bits;
  std::memcpy(&bits, &x, sizeof bits);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  bits = __builtin_bswap64(bits);
#endif
  uint8_t* p = end();
  p[0] = TAG_FLOAT;
  std::memcpy(p + 1, &bits, sizeof bits);
  done(p + 9);
  return true;
}

// TAG_ANCHOR | value, where a container is held in several places and its
// repeats pay for the anchor; TAG_ANCHOR_REF | uvarint slot for each repeat
// within the decoder's copy budget and within wexo.loads's default max_copies
// for the output so far. The output only grows, so the whole document stays
// within the default for its own size.
Status Writer::container(uint32_t index, uint64_t depth) {
  Node& node = s.nodes[index];
  if (node.n && on(OPT_ANCHORS) && node.uses > 1) {
    if (node.slot != NO_SLOT) {
      const uint64_t c = cost(index);
      if (c <= static_cast<uint64_t>(expand_left) &&
          copied + c <= out.size() * COPIES_PER_BYTE + COPIES_BASE) {
        expand_left -= static_cast<int64_t>(c);
        copied += c;
        if (!room(11)) return py_fail();
        byte(TAG_ANCHOR_REF);
        varint(node.slot);
        return Done{};
      }
    } else if (depth + 1 + node.height <= MAX_DEPTH) {
      // Anchor when (uses - 1) * (size - ref) > 1.
      const uint64_t ref = 1 + uvarint_len(n_anchors);
      const uint64_t sz = size(index);
      const uint64_t repeats = node.uses - 1;
      if (sz > ref && (repeats > 1 || sz - ref > 1)) {
        // Reserve the slot first: anchors inside the value get later indices.
        const uint64_t slot = n_anchors++;
        if (!room(1)) return py_fail();
        byte(TAG_ANCHOR);
        CHECK(plain(index, depth + 1));
        s.nodes[index].slot = static_cast<uint32_t>(slot);
        return Done{};
      }
    }
  }
  return plain(index, depth);
}

// A lazy snapshot of what lies below a container lasts while it is written.
Status Writer::plain(uint32_t index, uint64_t depth) {
  if (!s.lazy) return plain_body(index, depth);
  const std::size_t nodes = s.nodes.size(), items = s.items.size();
  Status r = plain_body(index, depth);
  s.nodes.set_size(nodes);
  s.items.set_size(items);
  return r;
}

// TAG_OBJECT | uvarint n | n (key, value); TAG_ARRAY | uvarint n | n values;
// or a table, sparse table or typed array where one applies.
Status Writer::plain_body(uint32_t index, uint64_t depth) {
  const Node node = s.nodes[index];
  const Child* items = s.items.data() + node.first;
  if (node.dict) {
    if (!room(11)) return py_fail();
    byte(TAG_OBJECT);
    varint(node.n);
    for (uint64_t k = 0; k < node.n; ++k) {
      WROTE(text(s.items[node.first + 2 * k]));
      CHECK(element(s.items[node.first + 2 * k + 1], depth + 1));
    }
    return Done{};
  }
  // rows() snapshots the rows, which may move s.items: the first kind is
  // read before.
  const Kind first = node.n ? items[0].kind : K_NONE;
  if (node.n >= 2 && first == K_DICT && (on(OPT_TABLES) || on(OPT_SPARSE))) {
    TRY(done, rows(index, depth));
    if (done) return Done{};
  }
  if (on(OPT_TYPED_ARRAYS) && node.n && first != K_DICT && first != K_LIST) {
    TRY(done, typed_array(index));
    if (done) return Done{};
  }
  if (!room(11)) return py_fail();
  byte(TAG_ARRAY);
  varint(node.n);
  for (uint64_t k = 0; k < node.n; ++k) CHECK(element(s.items[node.first + k], depth + 1));
  return Done{};
}

// Container slots one reference copy takes: each list or dict costs its
// length + 1, shared ones counted in full.
uint64_t Writer::cost(uint32_t index) {
  if (s.nodes[index].cost) return s.nodes[index].cost;
  const Node node = s.nodes[index];
  uint64_t total = node.n + 1;
  const uint64_t step = node.dict ? 2 : 1;
  for (uint64_t k = 0; k < node.n; ++k) {
    const Child& c = s.items[node.first + k * step + (node.dict ? 1 : 0)];
    if (c.kind == K_LIST || c.kind == K_DICT) {
      const uint64_t sub = cost(c.node);
      total = total > UINT64_MAX - sub ? UINT64_MAX : total + sub;
    }
  }
  s.nodes[index].cost = total;
  return total;
}

namespace {

// A rough size of a scalar written again, repeated strings as references.
uint64_t scalar_size(const Child& c) {
  switch (c.kind) {
    case K_STR: {
      // Characters: the object's, or the UTF-8 bytes that start one.
      Py_ssize_t n = 0;
      if (c.obj) {
        n = PyUnicode_GetLength(c.obj);
      } else {
        for (uint64_t k = 0; k < c.node && n < 2; ++k) n += (c.utf8[k] & 0xC0) != 0x80;
      }
      return n < 2 ? 1 + static_cast<uint64_t>(n) : 3;
    }
    case K_NONE:
    case K_FALSE:
    case K_TRUE:
      return 1;
    case K_INT: {
      if (c.i >= 0 && c.i <= 127) return 1;
      const uint64_t m = c.i < 0 ? 0 - static_cast<uint64_t>(c.i) : static_cast<uint64_t>(c.i);
      const uint64_t bits = 64 - static_cast<uint64_t>(__builtin_clzll(m));
      return 1 + (bits + 7) / 7;
    }
    default:
      return 9;
  }
}

}  // namespace

// A rough size of the container written again: its repeats are worth an
// anchor when they outweigh the references.
uint64_t Writer::size(uint32_t index) {
  if (s.nodes[index].size) return s.nodes[index].size;
  const Node node = s.nodes[index];
  uint64_t total = 2;
  for (uint64_t k = 0; k < node.n; ++k) {
    const Child& c = node.dict ? s.items[node.first + 2 * k + 1] : s.items[node.first + k];
    if (node.dict) total += scalar_size(s.items[node.first + 2 * k]);
    uint64_t sub;
    if (c.kind == K_LIST || c.kind == K_DICT) {
      sub = s.nodes[c.node].uses > 1 ? 3 : size(c.node);
    } else {
      sub = scalar_size(c);
    }
    total = total > UINT64_MAX - sub ? UINT64_MAX : total + sub;
  }
  s.nodes[index].size = total;
  return total;
}

}  // namespace enc
}  // namespace wexo
