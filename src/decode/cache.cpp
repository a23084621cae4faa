// Short names kept across calls: a name (object key, column or field name)
// seen in an earlier document comes back as the same str object, its hash
// already computed, instead of a new one.
//
// The cache is a fixed table of CACHE_SLOTS slots, each holding one name of
// at most CACHED_NAME_MAX bytes: a name maps to one slot by a hash of its
// bytes, and a new name simply replaces the slot's old one. A lookup or a
// replacement is constant work, so names crafted to collide only cause misses.
//
// Each slot remembers the decode that last handed its object out. A second
// inline spelling of the same name in that document gets a fresh object, as
// it would without the cache: only pool references share an object within
// one result.
//
// Objects belong to one interpreter. The cache serves the main interpreter
// only; decodes in sub-interpreters neither read nor fill it. It is bound to
// the interpreter by the exec step of a module (cache_exec), which has the
// atexit module call release() early in the interpreter's finalisation,
// while the objects can still be released; the cache stays closed from then
// on. The end of the finalisation calls forget() (registered with
// Py_AtExit), which drops whatever slots are left without touching their
// objects, so that a program that initialises the interpreter again starts
// with an empty cache, whatever ran or did not run before.
#include <cstring>

#include "decode/decoder.h"

namespace wexo {

namespace {

constexpr unsigned CACHE_BITS = 9;
constexpr uint64_t CACHE_SLOTS = uint64_t{1} << CACHE_BITS;

struct Slot {
  PyObject* str;   // the cache's own reference, released when replaced; or null
  uint64_t stamp;  // the decode that last handed str out
  uint64_t len;
  uint8_t bytes[CACHED_NAME_MAX];
};

// Read and written only with the interpreter lock held, by a decode of the
// main interpreter. Plain data: nothing runs at process exit.
Slot slots[CACHE_SLOTS];
PyInterpreterState* owner = nullptr;  // the main interpreter, once bound
uint64_t clock = 0;                   // stamps, one per decode using the cache
bool busy = false;                    // a decode holds a stamp
bool hooked = false;                  // release() is registered with atexit
bool closed = false;                  // release() has run: no more names
bool refused = false;                 // Py_AtExit had no room: never bind

// Called by Py_FinalizeEx after the interpreter is gone: its objects are
// no longer ours to release.
void forget() {
  for (Slot& s : slots) {
    s.str = nullptr;
    s.len = 0;
  }
  owner = nullptr;
  busy = false;
  hooked = false;
  closed = false;
}

// Called through atexit while the interpreter still works.
PyObject* release(PyObject*, PyObject*) {
  for (Slot& s : slots) {
    Owned gone = Owned::steal(s.str);  // the cache's reference, released here
    s.str = nullptr;
    s.len = 0;
  }
  closed = true;
  return Owned::borrow(Py_None).release();
}

PyMethodDef release_def = {"release_names", &release, METH_NOARGS,
                           "Releases the short names wexo_native keeps across calls."};

inline uint64_t load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline uint64_t load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Every byte counts; 8-byte words, the last one overlapping its neighbour.
inline uint64_t slot_of(const uint8_t* p, uint64_t n) {
  constexpr uint64_t K = 0x9E3779B97F4A7C15u;
  uint64_t h = n * K;
  if (n >= 8) {
    for (uint64_t i = 0; i + 8 < n; i += 8) h = (h ^ load64(p + i)) * K;
    h = (h ^ load64(p + n - 8)) * K;
  } else if (n >= 4) {
    h = (h ^ (load32(p) | load32(p + n - 4) << 32)) * K;
  } else {
    h = (h ^ (uint64_t{p[0]} | uint64_t{p[n / 2]} << 8 | uint64_t{p[n - 1]} << 16)) * K;
  }
  return h >> (64 - CACHE_BITS);
}

}  // namespace

int cache_exec() {
  if (hooked || PyInterpreterState_GetID(PyInterpreterState_Get()) != 0) return 0;
  Owned atexit = Owned::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return -1;
  Owned fn = Owned::steal(PyCFunction_New(&release_def, nullptr));
  if (!fn) return -1;
  Owned done = Owned::steal(PyObject_CallMethod(atexit.get(), "register", "O", fn.get()));
  if (!done) return -1;
  hooked = true;
  return 0;
}

uint64_t cache_open() {
  if (busy || closed) return 0;  // decodes never nest; if one ever did, it goes without
  PyInterpreterState* in = PyInterpreterState_Get();
  if (in != owner) {
    if (owner || !hooked || refused || PyInterpreterState_GetID(in) != 0) return 0;
    if (Py_AtExit(&forget) < 0) {
      refused = true;
      return 0;
    }
    owner = in;
  }
  busy = true;
  return ++clock;
}

void cache_close() { busy = false; }

// n bytes at the cursor as a name; str_body's checks, results and pool entry.
Result<Owned> Decoder::name_body(uint64_t n) {
  const uint64_t s = pos;
  if (stamp == 0 || n < 2 || n > CACHED_NAME_MAX || n > remaining()) return str_body(n);
  const uint8_t* p = buf + s;
  check_span(p, n);
  Slot& slot = slots[slot_of(p, n)];
  if (slot.len == n && std::memcmp(slot.bytes, p, n) == 0) {
    // Already one occurrence of this document: the next gets its own object.
    if (slot.stamp == stamp) return str_body(n);
    slot.stamp = stamp;
    pos = s + n;
    pool.push_back(PoolEnt{Owned::borrow(slot.str), s, n});
    return Owned::borrow(slot.str);
  }
  TRY(str, str_body(n));
  Owned old = Owned::steal(slot.str);  // released on return, after the slot is reused
  slot.str = Owned::borrow(str.get()).release();
  slot.stamp = stamp;
  slot.len = n;
  std::memcpy(slot.bytes, p, n);
  return str;
}

}  // namespace wexo
