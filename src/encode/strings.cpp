// Writes strings inline or as references into the decoder's string pool,
// which the writer mirrors entry for entry.
#include "encode/encoder.h"

namespace wexo {
namespace enc {

StrMap::Entry* StrMap::find(PyObject* str, const char* p, uint64_t len, Py_hash_t hash) {
  if (!cap_) return nullptr;
  const std::size_t mask = cap_ - 1;
  for (std::size_t i = static_cast<std::size_t>(hash) & mask;; i = (i + 1) & mask) {
    const uint32_t at = table_[i];
    if (!at) return nullptr;
    Entry& e = entries_[at - 1];
    if (e.str == str ||
        (e.hash == hash && e.len == len && std::memcmp(e.p, p, static_cast<std::size_t>(len)) == 0))
      return &e;
  }
}

bool StrMap::insert(PyObject* str, const char* p, uint64_t len, Py_hash_t hash, uint64_t value) {
  if ((entries_.size() + 1) * 2 > cap_ && !rehash(cap_ ? cap_ * 2 : 16)) return false;
  if (entries_.size() >= UINT32_MAX - 1) {
    PyErr_NoMemory();
    return false;
  }
  if (!entries_.push(Entry{str, p, len, hash, value})) return false;
  place(static_cast<uint32_t>(entries_.size() - 1));
  return true;
}

void StrMap::place(uint32_t index) {
  const std::size_t mask = cap_ - 1;
  std::size_t i = static_cast<std::size_t>(entries_[index].hash) & mask;
  while (table_[i]) i = (i + 1) & mask;
  table_[i] = index + 1;
}

void StrMap::pop() {
  const uint32_t index = static_cast<uint32_t>(entries_.size() - 1);
  const std::size_t mask = cap_ - 1;
  std::size_t i = static_cast<std::size_t>(entries_[index].hash) & mask;
  while (table_[i] != index + 1) i = (i + 1) & mask;
  table_[i] = 0;
  entries_.pop();
}

bool StrMap::rehash(std::size_t cap) {
  if (cap > SIZE_MAX / sizeof(uint32_t)) {
    PyErr_NoMemory();
    return false;
  }
  auto* table = static_cast<uint32_t*>(std::calloc(cap, sizeof(uint32_t)));
  if (!table) {
    PyErr_NoMemory();
    return false;
  }
  std::free(table_);
  table_ = table;
  cap_ = cap;
  // In the order the entries came: what pop relies on.
  for (std::size_t k = 0; k < entries_.size(); ++k) place(static_cast<uint32_t>(k));
  return true;
}

void StrMap::clear() {
  if (cap_) std::memset(table_, 0, cap_ * sizeof(uint32_t));
  entries_.clear();
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
    const Py_hash_t h = PyObject_Hash(str);
    if (h == -1) return py_fail();
    StrMap::Entry* e = pool.find(str, p, n, h);
    if (e && 1 + uvarint_len(e->value) < inline_size(n)) {
      if (!room(11)) return py_fail();
      byte(TAG_STR_REF);
      varint(e->value);
      return Done{};
    }
    if (!e && !pool.insert(str, p, n, h, pooled)) return py_fail();
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
