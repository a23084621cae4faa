// Vec and Str (src/mem.h) on their own, built by test_mem.py with AddressSanitizer where it
// can: growth, element lifetimes, arguments that alias the container, byte strings with zeros.
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "mem.h"

namespace wexo {
void out_of_memory() {
  std::fputs("out of memory\n", stderr);
  std::abort();
}
}  // namespace wexo

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
  strings();
  if (failures) return 1;
  std::puts("ok");
  return 0;
}
