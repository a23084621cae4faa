// Writes strings inline or as references into the decoder's string pool,
// which the writer mirrors entry for entry.
#include "encode/encoder.h"

namespace wexo {
namespace enc {

// Safe with or without the interpreter lock (encode_columns runs without it).
bool Writer::no_room() {
  Unlocked::with_lock([] { PyErr_NoMemory(); });
  return false;
}

// Eight bytes at a time; never -1.
Py_hash_t bytes_hash(const char* p, uint64_t n) {
  constexpr uint64_t K = 0x9E3779B97F4A7C15u;
  uint64_t h = n * K;
  uint64_t k = 0;
  for (; k + 8 <= n; k += 8) {
    uint64_t w;
    std::memcpy(&w, p + k, 8);
    h = (h ^ w) * K;
    h ^= h >> 29;
  }
  uint64_t w = 0;
  if (k < n) std::memcpy(&w, p + k, static_cast<std::size_t>(n - k));
  h = (h ^ w) * K;
  h ^= h >> 32;
  return static_cast<Py_hash_t>(h >> 1);
}

// TAG_SHORT_STR+len | bytes, or TAG_STR | uvarint len | bytes, or
// TAG_STR_REF | uvarint index. A string of 2 bytes or more written inline
// enters the pool; a reference is written where it is shorter.
Status Writer::text(const Child& c) {
  uint64_t n = 0;
  const char* p = text_of(c, &n);
  if (!p) return py_fail();
  return text(c.obj, p, n);
}

Status Writer::text(PyObject* str, const char* p, uint64_t n) {
  if (n >= POOL_MIN_LEN && on(OPT_POOL)) {
    const Py_hash_t h = text_hash(str, p, n);
    if (h == -1) return py_fail();
    StrMap::Entry* e = nullptr;
    if (!pool.find_or_add(str, p, n, h, pooled, &e)) return no_memory();
    if (e && 1 + uvarint_len(e->value) < inline_size(n)) {
      if (!room(11)) return py_fail();
      byte(TAG_STR_REF);
      varint(e->value);
      return Done{};
    }
    ++pooled;  // the decoder pools every inline spelling, repeated or not
  }
  if (!room(11 + n)) return py_fail();
  if (n <= SHORT_STR_MAX) {
    byte(static_cast<uint8_t>(TAG_SHORT_STR | n));
  } else {
    byte(TAG_STR);
    varint(n);
  }
  std::memcpy(out.data() + out.size(), p, static_cast<std::size_t>(n));
  out.set_size(out.size() + static_cast<std::size_t>(n));
  return Done{};
}

void Writer::rollback(const Mark& m) {
  out.set_size(m.out);
  while (pool.size() > m.pool) pool.pop();
  pooled = m.pooled;
}

}  // namespace enc
}  // namespace wexo
