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

bool Writer::pooled_text(PyObject* str, const char* p, uint64_t n) {
  const Py_hash_t h = text_hash(str, p, n);
  if (h == -1) return false;
  uint32_t at = 0;
  bool added = false;
  if (!pool.index_of(str, p, n, h, pooled, &at, &added)) return no_room();
  if (!added) return put(at);
  ++pooled;  // the decoder pools every inline spelling, repeated or not
  return spell(p, n);
}

bool Writer::put(uint32_t at) {
  StrMap::Entry& e = pool[at];
  if (e.len >= POOL_MIN_LEN && on(OPT_POOL)) {
    if (e.value != UNPOOLED && 1 + uvarint_len(e.value) < inline_size(e.len)) {
      if (!room(11)) return false;
      uint8_t* q = end();
      *q++ = TAG_STR_REF;
      done(put_varint(q, e.value));
      return true;
    }
    if (e.value == UNPOOLED) e.value = pooled;  // its first inline spelling
    ++pooled;
  }
  return spell(e.p, e.len);
}

}  // namespace enc
}  // namespace wexo
