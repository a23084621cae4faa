// header and unique_keys: lists of distinct names, compared by their input
// bytes; a name set under a keyed hash above 16 names.
#if defined(__linux__)
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>
#elif defined(__APPLE__)
#include <stdlib.h>  // arc4random_buf
#else
#error "no random source for this platform"
#endif

#include <cerrno>
#include <cstring>

#include "decode/decoder.h"
#include "nameset.h"

namespace wexo {

namespace {

constexpr uint64_t SCAN_LIMIT = 16;  // up to this many names, a pairwise scan
constexpr uint64_t SHORT_NAME = 32;  // longer names are compared by hash first

// SipHash-1-3 over the name's bytes, with keys drawn once per thread from the
// operating system, so that nobody can aim collisions at the set.
struct HashKeys {
  uint64_t k0 = 0, k1 = 0;
  bool ready = false;
};
thread_local HashKeys hash_keys;

// Fills p[0, n) from the operating system's random source. On Linux the
// getrandom system call is made directly, not through the C library's wrapper
// (which glibc gained only in 2.25), so the module loads on older systems too;
// where the call fails (ENOSYS before kernel 3.17, or refused by a seccomp
// filter) the rest comes from /dev/urandom. False if neither gave every byte.
#if defined(__linux__)

// The call's number, where the system headers predate it.
#if !defined(SYS_getrandom)
#if defined(__x86_64__)
#define SYS_getrandom 318
#elif defined(__aarch64__)
#define SYS_getrandom 278
#elif defined(__i386__)
#define SYS_getrandom 355
#elif defined(__powerpc64__) || defined(__powerpc__)
#define SYS_getrandom 359
#elif defined(__s390x__)
#define SYS_getrandom 349
#elif defined(__arm__)
#define SYS_getrandom 384
#endif
#endif

bool fill_random(uint8_t* p, size_t n) {
  size_t got = 0;
#if defined(SYS_getrandom)
  while (got < n) {
    const long r = syscall(SYS_getrandom, p + got, n - got, 0);
    if (r > 0) {
      got += static_cast<size_t>(r);
    } else if (r == 0 || errno != EINTR) {
      break;
    }
  }
  if (got == n) return true;
#endif
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  while (got < n) {
    const ssize_t r = read(fd, p + got, n - got);
    if (r > 0) {
      got += static_cast<size_t>(r);
    } else if (r == 0 || errno != EINTR) {
      break;
    }
  }
  close(fd);
  return got == n;
}

#elif defined(__APPLE__)

bool fill_random(uint8_t* p, size_t n) {
  arc4random_buf(p, n);  // the kernel's generator; it cannot fail
  return true;
}

#endif

const HashKeys& keys() {
  HashKeys& h = hash_keys;
  if (!h.ready) {
    uint64_t k[2] = {0, 0};
    // A failure leaves weaker keys, never wrong results.
    (void)fill_random(reinterpret_cast<uint8_t*>(k), sizeof k);
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

uint64_t keyed_hash(const uint8_t* p, uint64_t n) { return siphash13(p, n, keys()); }

// uvarint count (at least 1) | count names
Result<Names> Decoder::header(bool objects) {
  TRY(c, count());
  if (c == 0) return bad("empty table header", pos);
  return unique_keys(c, "duplicate column", objects);
}

// The keyed hash of a name's bytes; a pooled string's is computed once.
uint64_t Decoder::name_hash(const Key& k) {
  // Never 0, which marks a pool entry not hashed yet.
  if (k.entry == NO_ENTRY) return siphash13(buf + k.start, k.len, keys()) | 1;
  PoolEnt& e = pool[k.entry];
  if (!e.hash) e.hash = siphash13(buf + e.start, e.len, keys()) | 1;
  return e.hash;
}

// count names, pairwise distinct by their UTF-8 bytes. The caller has bounded
// count by the unread bytes, so reserving it up front is safe.
//
// A name given as a pool reference costs two input bytes but designates a
// string of any length, so comparing its bytes on every use could cost far
// more than the input: one pool entry is one string, hence equal at once, and
// long names are compared by their cached hashes before any byte.
Result<Names> Decoder::unique_keys(uint64_t count, std::string_view dup_message, bool objects) {
  Names names;
  names.reserve(count);
  const bool hashed = count > SCAN_LIMIT;
  Vec<uint64_t> hashes;  // pairwise: per name, the hash where one was needed, else 0
  NameSet set;           // hashed: the names by their keyed hashes
  if (hashed) {
    set.reserve(count);
  } else {
    hashes.reserve(count);
  }
  for (uint64_t i = 0; i < count; ++i) {
    TRY(k, objects ? key() : key_span());
    const uint64_t h = hashed || k.len > SHORT_NAME ? name_hash(k) : 0;
    auto same_bytes = [&](uint64_t j) {
      const Key& e = names[j];
      if (e.entry == k.entry && k.entry != NO_ENTRY) return true;
      return e.len == k.len && std::memcmp(buf + e.start, buf + k.start, k.len) == 0;
    };
    if (!hashed) {
      for (uint64_t j = 0; j < names.size(); ++j) {
        const Key& e = names[j];
        if ((e.entry == k.entry && k.entry != NO_ENTRY) ||
            (e.len == k.len && hashes[j] == h &&
             std::memcmp(buf + e.start, buf + k.start, k.len) == 0))
          return duplicate(dup_message, buf + k.start, k.len, pos);
      }
      hashes.push_back(h);
    } else if (set.find_or_add(h, same_bytes) != NameSet::NONE) {
      return duplicate(dup_message, buf + k.start, k.len, pos);
    }
    names.push_back(std::move(k));
  }
  return names;
}

}  // namespace wexo
