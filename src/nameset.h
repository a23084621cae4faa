// NameSet: which of a list of names equals a given one. The caller keeps the
// names in a list of its own, in the order they came; the set is open
// addressing over uint32 indexes into that list, with each name's hash
// stored. A lookup compares stored hashes first and calls the caller's
// equality only where they agree. A name's place comes from the low bits of
// its hash, which must therefore vary. For sets that input can fill, hash
// with a keyed hash (keyed_hash in decode/names.cpp), so that nobody can aim
// collisions at them.
//
// Like Vec, it grows two ways: find_or_add and reserve end the process when
// memory runs out; try_find_or_add, try_add and try_reserve return false,
// with nothing changed, for the caller to raise MemoryError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "mem.h"

namespace wexo {

class NameSet {
 public:
  static constexpr uint32_t NONE = UINT32_MAX;

  NameSet() = default;
  NameSet(const NameSet&) = delete;
  NameSet& operator=(const NameSet&) = delete;
  NameSet(NameSet&& o) noexcept { swap(o); }
  NameSet& operator=(NameSet&& o) noexcept {
    NameSet gone(std::move(o));
    swap(gone);
    return *this;
  }
  ~NameSet() { std::free(slots_); }

  std::size_t size() const { return n_; }
  uint64_t hash(std::size_t i) const { return hashes_[i]; }

  // The index of the name equal to this one, or NONE. eq(i) says whether
  // the caller's name i equals it.
  template <class Eq>
  uint32_t find(uint64_t hash, Eq&& eq) const {
    if (!cap_) return NONE;
    const std::size_t mask = cap_ - 1;
    for (std::size_t p = static_cast<std::size_t>(hash) & mask;; p = (p + 1) & mask) {
      const uint32_t s = slots_[p];
      if (!s) return NONE;
      if (hashes_[s - 1] == hash && eq(s - 1)) return s - 1;
    }
  }

  // The index of the name equal to this one; or, where there is none, NONE
  // once the name is recorded as index size() - 1 (which the caller then
  // appends to its list).
  template <class Eq>
  uint32_t find_or_add(uint64_t hash, Eq&& eq) {
    uint32_t found = NONE;
    if (!try_find_or_add(hash, eq, &found)) out_of_memory();
    return found;
  }
  template <class Eq>
  [[nodiscard]] bool try_find_or_add(uint64_t hash, Eq&& eq, uint32_t* found) {
    *found = NONE;
    if (!cap_) return try_add(hash);
    const std::size_t mask = cap_ - 1;
    std::size_t p = static_cast<std::size_t>(hash) & mask;
    for (;; p = (p + 1) & mask) {
      const uint32_t s = slots_[p];
      if (!s) break;
      if (hashes_[s - 1] == hash && eq(s - 1)) {
        *found = s - 1;
        return true;
      }
    }
    if (2 * (n_ + 1) > cap_) return try_add(hash);  // grows first
    hashes_[n_++] = hash;
    slots_[p] = static_cast<uint32_t>(n_);  // 1 + the new index
    return true;
  }

  // Records a name known to be absent as index size().
  [[nodiscard]] bool try_add(uint64_t hash) {
    if (!try_reserve(n_ + 1)) return false;
    hashes_[n_] = hash;
    place(static_cast<uint32_t>(n_++));
    return true;
  }

  // Room for n names without growing.
  void reserve(std::size_t n) {
    if (!try_reserve(n)) out_of_memory();
  }
  [[nodiscard]] bool try_reserve(std::size_t n) {
    if (2 * n <= cap_) return true;
    if (n >= NONE) return false;
    std::size_t cap = cap_ ? 2 * cap_ : MIN_SLOTS;
    while (cap < 2 * n) cap *= 2;
    return rehash(cap);
  }

  // Removes the newest name. The set is then exactly as before it was
  // added: every rehash places the names again in the order they came, so
  // no name after it in a probe sequence can depend on its slot.
  void pop() {
    const uint32_t index = static_cast<uint32_t>(--n_);
    const std::size_t mask = cap_ - 1;
    std::size_t p = static_cast<std::size_t>(hashes_[index]) & mask;
    while (slots_[p] != index + 1) p = (p + 1) & mask;
    slots_[p] = 0;
  }

  // Forgets every name, keeping the room.
  void clear() {
    if (cap_) std::memset(slots_, 0, cap_ * sizeof(uint32_t));
    n_ = 0;
  }

  void swap(NameSet& o) noexcept {
    std::swap(slots_, o.slots_);
    std::swap(hashes_, o.hashes_);
    std::swap(cap_, o.cap_);
    std::swap(n_, o.n_);
  }

 private:
  static constexpr std::size_t MIN_SLOTS = 16;
  void place(uint32_t index) {
    const std::size_t mask = cap_ - 1;
    std::size_t p = static_cast<std::size_t>(hashes_[index]) & mask;
    while (slots_[p]) p = (p + 1) & mask;
    slots_[p] = index + 1;
  }
  // One block: cap slots, then the hashes of up to cap / 2 names.
  [[gnu::noinline]] bool rehash(std::size_t cap) {
    if (cap > SIZE_MAX / 8) return false;
    const std::size_t slot_bytes = cap * sizeof(uint32_t);
    void* block = std::malloc(slot_bytes + cap / 2 * sizeof(uint64_t));
    if (!block) return false;
    std::memset(block, 0, slot_bytes);
    uint64_t* hashes = reinterpret_cast<uint64_t*>(static_cast<char*>(block) + slot_bytes);
    if (n_) std::memcpy(hashes, hashes_, n_ * sizeof(uint64_t));
    std::free(slots_);
    slots_ = static_cast<uint32_t*>(block);
    hashes_ = hashes;
    cap_ = cap;
    for (std::size_t i = 0; i < n_; ++i) place(static_cast<uint32_t>(i));  // in order
    return true;
  }

  uint32_t* slots_ = nullptr;   // 0 empty, else 1 + index; a power of two, at most half full
  uint64_t* hashes_ = nullptr;  // per name, in the caller's order; in slots_'s block
  std::size_t cap_ = 0;
  std::size_t n_ = 0;
};

}  // namespace wexo
