// Vec and Str (src/mem.h) and NameSet (src/nameset.h) on their own, built by test_mem.py with
// AddressSanitizer where it can: growth both ways (aborting and fallible), inline room, element
// lifetimes, arguments that alias the container, byte strings with zeros, and a name set's
// lookups, removals and growth under colliding hashes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "mem.h"
#include "nameset.h"

namespace wexo {
void out_of_memory() {
  std::fputs("out of memory\n", stderr);
  std::abort();
}
}  // namespace wexo

using wexo::NameSet;
using wexo::Str;
using wexo::Vec;

namespace {

int failures = 0;

void expect(bool ok, const char* what, int line) {
  if (!ok) {
    std::fprintf(stderr, "line %d: %s\n", line, what);
    ++failures;
  }
}
#define EXPECT(x) expect((x), #x, __LINE__)

// Counts its live instances; a value moved from is marked, so a use after move shows.
struct Tracked {
  static int live;
  int v;
  bool moved = false;
  explicit Tracked(int x = 0) : v(x) { ++live; }
  Tracked(const Tracked& o) : v(o.v) { ++live; }
  Tracked(Tracked&& o) noexcept : v(o.v) {
    o.moved = true;
    ++live;
  }
  Tracked& operator=(const Tracked&) = default;
  ~Tracked() { --live; }
};
int Tracked::live = 0;

void vectors() {
  {
    Vec<Tracked> v;
    EXPECT(v.empty() && v.size() == 0 && v.begin() == v.end());
    for (int i = 0; i < 100; ++i) v.push_back(Tracked(i));
    EXPECT(v.size() == 100 && Tracked::live == 100);
    int sum = 0;
    for (const Tracked& t : v) sum += t.v;
    EXPECT(sum == 4950 && !v[99].moved);
    // an element of the vector itself, pushed when the block is full
    while (v.size() < v.capacity()) v.push_back(Tracked(-1));
    v.push_back(v[0]);
    EXPECT(v.back().v == 0 && !v[0].moved);
    v.emplace_back(v[1].v + 1000);
    EXPECT(v.back().v == 1001);
    v.pop_back();
    v.resize(10);
    EXPECT(v.size() == 10 && Tracked::live == 10);
    v.resize(12);
    EXPECT(v[11].v == 0 && Tracked::live == 12);
    v.resize(v.capacity() + 5, v[3]);  // the fill value lives in the old block
    EXPECT(v.back().v == 3 && Tracked::live == static_cast<int>(v.size()));
    Vec<Tracked> copy(v);
    EXPECT(copy.size() == v.size() && copy[3].v == 3);
    Vec<Tracked> moved(std::move(copy));
    EXPECT(copy.empty() && moved.size() == v.size());
    moved = std::move(v);
    EXPECT(v.empty() && moved[9].v == 9);
    moved.assign(4, moved[2]);  // the value is one of the elements replaced
    EXPECT(moved.size() == 4 && moved[3].v == 2);
    moved.clear();
    EXPECT(moved.empty() && Tracked::live == 0);
  }
  EXPECT(Tracked::live == 0);
  {
    Vec<int> v(3, 7);
    const int more[] = {1, 2, 3, 4};
    v.insert(v.begin() + 1, more, more + 4);
    const int want[] = {7, 1, 2, 3, 4, 7, 7};
    EXPECT(v.size() == 7);
    for (std::size_t i = 0; i < 7; ++i) EXPECT(v[i] == want[i]);
    v.insert(v.end(), more, more + 2);
    EXPECT(v.size() == 9 && v[8] == 2);
    v.reserve(1000);
    EXPECT(v.capacity() >= 1000 && v[0] == 7 && v.data() == &v.front());
    Vec<int> w;
    w.swap(v);
    EXPECT(v.empty() && w.size() == 9);
    Vec<int> z;
    z = w;
    EXPECT(z.size() == 9 && z[1] == 1);
  }
}

// The fallible way to grow: a request that cannot be met returns false and
// leaves the vector as it was; one that can grows at least geometrically.
void fallible() {
  {
    Vec<Tracked> v;
    for (int i = 0; i < 5; ++i) EXPECT(v.try_push(Tracked(i)));
    const Tracked* block = v.data();
    const std::size_t cap = v.capacity();
    EXPECT(!v.try_reserve(SIZE_MAX / 2));  // more bytes than an address space holds
    EXPECT(!v.try_room(SIZE_MAX));
    EXPECT(!v.try_room(SIZE_MAX - 2));
    EXPECT(!v.try_resize_for_overwrite(SIZE_MAX / 4));
    EXPECT(v.size() == 5 && v.capacity() == cap && v.data() == block && Tracked::live == 5);
    for (int i = 0; i < 5; ++i) EXPECT(v[static_cast<std::size_t>(i)].v == i && !v[static_cast<std::size_t>(i)].moved);
    Tracked keep(42);
    while (v.size() < v.capacity()) EXPECT(v.try_push(Tracked(-1)));
    EXPECT(v.try_push(std::move(keep)) && v.back().v == 42 && keep.moved);
    EXPECT(v.capacity() >= 2 * cap);
    EXPECT(v.try_resize_for_overwrite(3) && v.size() == 3 && Tracked::live == 4);  // keep is alive
    EXPECT(v.try_resize_for_overwrite(6) && v.size() == 6 && v[5].v == 0 && Tracked::live == 7);
  }
  EXPECT(Tracked::live == 0);
  {
    Vec<uint8_t> b;
    EXPECT(b.try_room(3) && b.capacity() >= 8 && b.size() == 0);
    b.push_unchecked(1);
    b.push_unchecked(2);
    uint8_t* p = b.data();
    // A size no allocator grants (the allocator may print a warning).
    EXPECT(!b.try_reserve(std::size_t{1} << 50));
    EXPECT(b.data() == p && b.size() == 2 && b[1] == 2);
    const std::size_t cap = b.capacity();
    EXPECT(b.try_room(cap) && b.capacity() >= 2 * cap);  // at least doubles
    std::memset(b.data() + b.size(), 7, 4);
    b.set_size(b.size() + 4);  // bytes written through data()
    EXPECT(b.size() == 6 && b[5] == 7 && b[1] == 2);
    Vec<uint8_t> gone;
    gone.swap(b);
    b = Vec<uint8_t>();  // frees
    EXPECT(b.capacity() == 0 && gone.size() == 6);
  }
  {
    Vec<uint64_t> v;
    for (uint64_t i = 0; i < 5; ++i) v.push_back(i);
    // trivially copyable elements grow by realloc: the argument, an element
    // of the old block, is copied before it moves
    while (v.size() < v.capacity()) v.push_back(v[0] + 100);
    v.push_back(v[1]);
    EXPECT(v.size() == 9 && v.back() == 1 && v[0] == 0 && v[7] == 100);
    v.emplace_back(v[2]);
    EXPECT(v.back() == 2);
  }
}

// The first N elements in the vector itself; growth, moves and copies
// across the inline and heap blocks.
void inline_room() {
  {
    Vec<Tracked, 4> v;
    const char* lo = reinterpret_cast<const char*>(&v);
    const char* hi = lo + sizeof v;
    auto inside = [&](const Vec<Tracked, 4>& x) {
      const char* p = reinterpret_cast<const char*>(x.data());
      return p >= reinterpret_cast<const char*>(&x) && p < reinterpret_cast<const char*>(&x) + sizeof x;
    };
    EXPECT(v.capacity() == 4 && inside(v));
    for (int i = 0; i < 4; ++i) v.push_back(Tracked(i));
    const char* p = reinterpret_cast<const char*>(v.data());
    EXPECT(p >= lo && p < hi && Tracked::live == 4);
    v.push_back(v[0]);  // full inline: the argument lives in the block that is left
    EXPECT(!inside(v) && v.size() == 5 && v.back().v == 0 && !v[0].moved && Tracked::live == 5);
    Vec<Tracked, 4> heap(std::move(v));  // takes the heap block
    EXPECT(v.empty() && inside(v) && v.capacity() == 4 && heap.size() == 5 && Tracked::live == 5);
    Vec<Tracked, 4> small;
    small.push_back(Tracked(7));
    small.push_back(Tracked(8));
    Vec<Tracked, 4> moved(std::move(small));  // moves the elements one by one
    EXPECT(inside(moved) && moved.size() == 2 && moved[1].v == 8 && small.empty() &&
           Tracked::live == 7);
    moved = std::move(heap);
    EXPECT(!inside(moved) && moved.size() == 5 && heap.empty() && Tracked::live == 5);
    heap = std::move(moved);
    heap.clear();
    EXPECT(Tracked::live == 0);
    Vec<Tracked, 4> fresh;
    EXPECT(fresh.try_reserve(3) && inside(fresh));  // within the inline room: no block
    EXPECT(fresh.try_reserve(40) && !inside(fresh) && fresh.capacity() == 40);
    Vec<Tracked, 4> copy;
    copy.push_back(Tracked(1));
    Vec<Tracked, 4> twin(copy);
    EXPECT(inside(twin) && twin[0].v == 1 && Tracked::live == 2);
  }
  EXPECT(Tracked::live == 0);
  {
    Vec<int, 64> v;  // trivially copyable elements leave the inline room by copy
    for (int i = 0; i < 200; ++i) v.push_back(i);
    int sum = 0;
    for (int x : v) sum += x;
    EXPECT(v.size() == 200 && sum == 19900);
  }
}

// Names kept by the caller, found through the set by hash and bytes.
struct Names {
  Vec<Str> list;
  NameSet set;
  uint32_t add(std::string_view name, uint64_t hash) {
    const uint32_t at = set.find_or_add(hash, [&](uint32_t i) { return list[i] == name; });
    if (at == NameSet::NONE) list.push_back(Str(name));
    return at;
  }
  uint32_t find(std::string_view name, uint64_t hash) const {
    return set.find(hash, [&](uint32_t i) { return list[i] == name; });
  }
};

uint64_t fnv(std::string_view s) {
  uint64_t h = 14695981039346656037u;
  for (char c : s) h = (h ^ static_cast<uint8_t>(c)) * 1099511628211u;
  return h;
}

void names() {
  for (int weak = 0; weak < 2; ++weak) {
    // weak: every hash in one of four values, so probes run long and equal
    // hashes must still be told apart by the bytes
    auto hash = [&](std::string_view s) { return weak ? fnv(s) & 3 : fnv(s); };
    Names n;
    char buf[16];
    for (int i = 0; i < 300; ++i) {
      const int len = std::snprintf(buf, sizeof buf, "name%d", i);
      const std::string_view s(buf, static_cast<std::size_t>(len));
      EXPECT(n.add(s, hash(s)) == NameSet::NONE);
      EXPECT(n.set.size() == static_cast<std::size_t>(i) + 1);
    }
    for (int i = 0; i < 300; i += 7) {
      const int len = std::snprintf(buf, sizeof buf, "name%d", i);
      const std::string_view s(buf, static_cast<std::size_t>(len));
      EXPECT(n.add(s, hash(s)) == static_cast<uint32_t>(i));  // found, not added
      EXPECT(n.find(s, hash(s)) == static_cast<uint32_t>(i));
    }
    EXPECT(n.set.size() == 300 && n.find("name300", hash("name300")) == NameSet::NONE);
    EXPECT(n.set.hash(5) == hash("name5"));
    // the newest names removed, last in first out: the rest is found as before
    for (int i = 299; i >= 250; --i) {
      n.set.pop();
      n.list.pop_back();
    }
    EXPECT(n.find("name260", hash("name260")) == NameSet::NONE);
    for (int i = 0; i < 250; ++i) {
      const int len = std::snprintf(buf, sizeof buf, "name%d", i);
      const std::string_view s(buf, static_cast<std::size_t>(len));
      EXPECT(n.find(s, hash(s)) == static_cast<uint32_t>(i));
    }
    EXPECT(n.add("name260", hash("name260")) == NameSet::NONE && n.set.size() == 251);
    NameSet moved(std::move(n.set));
    EXPECT(moved.size() == 251 && n.set.size() == 0);
    EXPECT(n.find("name1", hash("name1")) == NameSet::NONE);
    moved.clear();
    EXPECT(moved.size() == 0 && moved.find(hash("name1"), [](uint32_t) { return true; }) ==
                                    NameSet::NONE);
  }
  NameSet s;
  EXPECT(s.find(1, [](uint32_t) { return true; }) == NameSet::NONE);  // no table yet
  EXPECT(!s.try_reserve(NameSet::NONE) && s.size() == 0);
  EXPECT(s.try_reserve(100) && s.try_add(9) && s.try_add(9) && s.size() == 2);  // try_add trusts
  // an identity map's use: the hash is the key, the equality always true
  const auto any = [](uint32_t) { return true; };
  EXPECT(s.find(9 + (uint64_t{1} << 40), any) == NameSet::NONE);  // same place, other hash
  EXPECT(s.find(9, any) == 0);
  uint32_t found = 0;
  EXPECT(s.try_find_or_add(9, [](uint32_t i) { return i == 1; }, &found) && found == 1);
  EXPECT(s.try_find_or_add(9, [](uint32_t) { return false; }, &found) && found == NameSet::NONE &&
         s.size() == 3);
}

void strings() {
  Str s("duplicate key '");
  s.append("a\0b", 3);  // a zero byte is kept
  s += '\'';
  EXPECT(s.size() == 19 && s[16] == '\0' && s.back() == '\'');
  EXPECT(std::string_view(s) == std::string_view("duplicate key 'a\0b'", 19));
  EXPECT(s.c_str()[s.size()] == '\0');
  Str e;
  EXPECT(e.empty() && e.c_str()[0] == '\0' && std::string_view(e).empty());
  Str t(s);
  t += t;  // appends itself, across a reallocation
  EXPECT(t.size() == 38 && std::string_view(t).substr(19) == std::string_view(s));
  for (int i = 0; i < 10; ++i) t.append(t.data(), 5);  // part of itself
  EXPECT(t.size() == 88 && std::string_view(t).substr(83) == "dupli");
  t.resize(3);
  EXPECT(t == "dup" && t.c_str()[3] == '\0');
  t.resize(5, 'x');
  EXPECT(t == "dupxx");
  t.push_back('!');
  t.pop_back();
  t += std::string_view("yz");
  t += " end";
  EXPECT(t == "dupxxyz end" && t != "dup");
  Str m(std::move(t));
  EXPECT(t.empty() && m.length() == 11);
  t = m;
  EXPECT(t == "dupxxyz end");
  m.clear();
  EXPECT(m.empty() && m.c_str()[0] == '\0');
  Str filled(4, '-');
  filled.append(2, '+');
  EXPECT(filled == "----++");
}

}  // namespace

int main() {
  vectors();
  fallible();
  inline_room();
  names();
  strings();
  if (failures) return 1;
  std::puts("ok");
  return 0;
}
