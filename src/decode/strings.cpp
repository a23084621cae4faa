// Inline strings, the string pool, pool references, key, and invalid UTF-8.
#include <cstring>

#include "decode/decoder.h"

namespace wexo {

namespace {

// A failed str creation: invalid UTF-8 is the input's fault; anything else
// (a memory error) is the interpreter's and stays pending.
[[gnu::cold, gnu::noinline]] Failure utf8_fail(uint64_t s) {
  if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
    PyErr_Clear();
    return not_utf8(s);
  }
  return py_fail();
}

// UTF-8 as a finite automaton whose states are bit offsets: the row of a
// byte holds, at each state's offset, the state it leads to, so that one
// step is a load and a shift. ERROR leads only to itself.
enum : unsigned {
  ACCEPT = 0,   // between characters
  ERROR = 6,
  TAIL1 = 12,   // one continuation byte to go
  TAIL2 = 18,
  TAIL3 = 24,
  AFTER_E0 = 30,  // A0..BF, then one more: no overlong three-byte forms
  AFTER_ED = 36,  // 80..9F, then one more: no surrogates
  AFTER_F0 = 42,  // 90..BF, then two more: no overlong four-byte forms
  AFTER_F4 = 48,  // 80..8F, then two more: nothing above U+10FFFF
};

struct Rows {
  uint64_t at[256];
};

constexpr unsigned step(unsigned state, unsigned c) {
  const bool tail = c >= 0x80 && c <= 0xBF;
  switch (state) {
    case ACCEPT:
      if (c < 0x80) return ACCEPT;
      if (c >= 0xC2 && c <= 0xDF) return TAIL1;
      if (c == 0xE0) return AFTER_E0;
      if (c == 0xED) return AFTER_ED;
      if (c >= 0xE1 && c <= 0xEF) return TAIL2;
      if (c == 0xF0) return AFTER_F0;
      if (c >= 0xF1 && c <= 0xF3) return TAIL3;
      if (c == 0xF4) return AFTER_F4;
      return ERROR;
    case TAIL1: return tail ? ACCEPT : ERROR;
    case TAIL2: return tail ? TAIL1 : ERROR;
    case TAIL3: return tail ? TAIL2 : ERROR;
    case AFTER_E0: return c >= 0xA0 && c <= 0xBF ? TAIL1 : ERROR;
    case AFTER_ED: return c >= 0x80 && c <= 0x9F ? TAIL1 : ERROR;
    case AFTER_F0: return c >= 0x90 && c <= 0xBF ? TAIL2 : ERROR;
    case AFTER_F4: return c >= 0x80 && c <= 0x8F ? TAIL2 : ERROR;
    default: return ERROR;
  }
}

constexpr Rows make_rows() {
  Rows r{};
  for (unsigned c = 0; c < 256; ++c)
    for (unsigned s = ACCEPT; s <= AFTER_F4; s += 6)
      r.at[c] |= uint64_t{step(s, c)} << s;
  return r;
}
constexpr Rows ROWS = make_rows();

}  // namespace

bool utf8_tail(const uint8_t* p, uint64_t n) {
  unsigned state = ACCEPT;
  for (uint64_t i = 0; i < n; ++i) state = static_cast<unsigned>(ROWS.at[p[i]] >> state) & 63;
  return state == ACCEPT;
}

[[gnu::cold, gnu::noinline]] Failure not_utf8(uint64_t at) { return bad("string is not valid UTF-8", at); }

// n bytes of UTF-8 at the cursor. Strings of two bytes or more enter the pool.
Result<Owned> Decoder::str_body(uint64_t n) {
  const uint64_t s = pos;
  if (n > remaining()) return short_(s);
  check_span(buf + s, n);
  PyObject* str = PyUnicode_FromStringAndSize(reinterpret_cast<const char*>(buf + s),
                                              static_cast<Py_ssize_t>(n));
  if (!str) return utf8_fail(s);
  pos = s + n;
  Owned out = Owned::steal(str);
  if (n >= 2) pool.push_back(PoolEnt{Owned::borrow(str), s, n});
  return out;
}

// TAG_STR | uvarint n | n bytes
Result<Owned> Decoder::long_str() {
  TRY(n, count());
  return str_body(n);
}

// TAG_STR_REF | uvarint index: the very object of the first occurrence.
Result<Owned> Decoder::str_ref() {
  TRY(i, pool_index());
  TRY(obj, pool_obj(i));
  return Owned::borrow(obj);
}

// The object of a string pooled by the columnar reader, which checked its
// UTF-8 already: only the interpreter's memory can fail here.
Result<PyObject*> Decoder::pool_make(uint64_t i) {
  PoolEnt& e = pool[i];
  check_span(buf + e.start, e.len);
  TRY(obj, made(PyUnicode_FromStringAndSize(reinterpret_cast<const char*>(buf + e.start),
                                            static_cast<Py_ssize_t>(e.len))));
  e.str_obj = std::move(obj);
  return e.str_obj.get();
}

// A name's tag and what follows it up to its bytes: a pool reference's
// entry, or an inline string's length. Only strings are names.
Result<Decoder::NameHead> Decoder::name_head() {
  if (pos >= len) return short_(pos);
  const uint64_t at = pos;
  const uint8_t t = buf[pos++];
  if (t == TAG_STR_REF) {
    TRY(i, pool_index());
    return NameHead{true, i};
  }
  if ((t & 0xE0) == TAG_SHORT_STR) return NameHead{false, t & 0x1Fu};
  if (t != TAG_STR) return bad("key must be a string", at);
  TRY(n, count());
  return NameHead{false, n};
}

Result<Key> Decoder::key_span() {
  TRY(h, name_head());
  if (h.ref) return Key{Owned(), pool[h.v].start, pool[h.v].len, h.v};
  TRY(s, utf8_span(h.v));
  return Key{Owned(), s, h.v, pool_span(s, h.v)};
}

// A name: a string in any of its three forms, and no other tag. Inline
// names go through the cache of names across calls unless !cached.
Result<Key> Decoder::key(bool cached) {
  TRY(h, name_head());
  if (h.ref) {
    TRY(obj, pool_obj(h.v));
    return Key{Owned::borrow(obj), pool[h.v].start, pool[h.v].len, h.v};
  }
  const uint64_t s = pos, n = h.v;
  TRY(str, cached ? name_body(n) : str_body(n));
  return Key{std::move(str), s, n, n >= POOL_MIN_LEN ? pool.size() - 1 : NO_ENTRY};
}

}  // namespace wexo
