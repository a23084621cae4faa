// header and unique_keys: lists of distinct names, compared by their input
// bytes; a keyed hash set above 16 names.
#include <sys/random.h>

#include <cerrno>
#include <cstring>

#include "decode/decoder.h"

namespace wexo {

namespace {

constexpr uint64_t SCAN_LIMIT = 16;  // up to this many names, a pairwise scan

// SipHash-1-3 over the name's bytes, with keys drawn once per thread from the
// operating system, so that nobody can aim collisions at the set.
struct HashKeys {
  uint64_t k0 = 0, k1 = 0;
  bool ready = false;
};
thread_local HashKeys hash_keys;

const HashKeys& keys() {
  HashKeys& h = hash_keys;
  if (!h.ready) {
    uint64_t k[2] = {0, 0};
    size_t got = 0;
    while (got < sizeof k) {
      const ssize_t r = getrandom(reinterpret_cast<char*>(k) + got, sizeof k - got, 0);
      if (r > 0) got += static_cast<size_t>(r);
      // EINTR: try again. Any other failure leaves weaker keys, never wrong results.
      else if (r < 0 && errno != EINTR) break;
    }
    h.k0 = k[0];
    h.k1 = k[1];
    h.ready = true;
  }
  return h;
}

inline uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

inline void sip_round(uint64_t& v0, uint64_t& v1, uint64_t& v2, uint64_t& v3) {
  v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
  v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
  v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
  v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
}

uint64_t siphash13(const uint8_t* p, uint64_t n, const HashKeys& k) {
  uint64_t v0 = k.k0 ^ 0x736f6d6570736575u, v1 = k.k1 ^ 0x646f72616e646f6du;
  uint64_t v2 = k.k0 ^ 0x6c7967656e657261u, v3 = k.k1 ^ 0x7465646279746573u;
  const uint64_t tail = n & ~uint64_t{7};
  for (uint64_t i = 0; i < tail; i += 8) {
    uint64_t m = 0;
    for (unsigned j = 0; j < 8; ++j) m |= uint64_t{p[i + j]} << (8 * j);
    v3 ^= m;
    sip_round(v0, v1, v2, v3);
    v0 ^= m;
  }
  uint64_t b = n << 56;
  for (uint64_t j = tail; j < n; ++j) b |= uint64_t{p[j]} << (8 * (j - tail));
  v3 ^= b;
  sip_round(v0, v1, v2, v3);
  v0 ^= b;
  v2 ^= 0xff;
  sip_round(v0, v1, v2, v3);
  sip_round(v0, v1, v2, v3);
  sip_round(v0, v1, v2, v3);
  return v0 ^ v1 ^ v2 ^ v3;
}

[[gnu::cold, gnu::noinline]] Failure duplicate(std::string_view dup_message,
                                               const uint8_t* text, uint64_t n,
                                               uint64_t at) {
  Str msg(dup_message.data(), dup_message.size());
  msg += " '";
  msg.append(reinterpret_cast<const char*>(text), n);
  msg += '\'';
  return bad(msg, at);
}

}  // namespace

// uvarint count (at least 1) | count names
Result<Names> Decoder::header() {
  TRY(c, count());
  if (c == 0) return bad("empty table header", pos);
  return unique_keys(c, "duplicate column");
}

// count names, pairwise distinct by their UTF-8 bytes. The caller has bounded
// count by the unread bytes, so reserving it up front is safe.
Result<Names> Decoder::unique_keys(uint64_t count, std::string_view dup_message) {
  Names names;
  names.reserve(count);
  const bool hashed = count > SCAN_LIMIT;
  Vec<uint32_t> slots;  // open addressing: 0 is empty, else 1 + name index
  uint64_t mask = 0;
  const HashKeys* hk = nullptr;
  if (hashed) {
    uint64_t cap = 32;
    while (cap < 2 * count) cap *= 2;
    slots.assign(cap, 0);
    mask = cap - 1;
    hk = &keys();
  }
  for (uint64_t i = 0; i < count; ++i) {
    TRY(k, key());
    const uint8_t* text = buf + k.start;
    if (!hashed) {
      for (const Key& e : names)
        if (e.len == k.len && std::memcmp(buf + e.start, text, k.len) == 0)
          return duplicate(dup_message, text, k.len, pos);
    } else {
      uint64_t h = siphash13(text, k.len, *hk) & mask;
      for (;; h = (h + 1) & mask) {
        const uint32_t s = slots[h];
        if (s == 0) {
          slots[h] = static_cast<uint32_t>(names.size() + 1);
          break;
        }
        const Key& e = names[s - 1];
        if (e.len == k.len && std::memcmp(buf + e.start, text, k.len) == 0)
          return duplicate(dup_message, text, k.len, pos);
      }
    }
    names.push_back(std::move(k));
  }
  return names;
}

}  // namespace wexo
