// The module's own memory: Vec<T, N>, the one growable array (with inline
// room for N elements, an aborting and a fallible way to grow), and Str, a
// byte string that ends the process when memory runs out. They replace
// std::vector and std::string so that the modules need no C++ runtime
// library at all and nothing ever throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

namespace wexo {

// Running out of our own memory is not an error the caller can handle: it
// ends the process rather than unwinding through the interpreter's frames.
[[noreturn, gnu::cold]] void out_of_memory();

inline void* alloc_or_die(std::size_t n) {
  void* p = std::malloc(n ? n : 1);
  if (!p) out_of_memory();
  return p;
}

// Inline room for the first N elements of a Vec; none when N is 0.
template <class T, std::size_t N>
struct VecInline {
  T* inline_data() { return reinterpret_cast<T*>(bytes_); }
  const T* inline_data() const { return reinterpret_cast<const T*>(bytes_); }
  alignas(T) unsigned char bytes_[N * sizeof(T)];
};
template <class T>
struct VecInline<T, 0> {
  T* inline_data() { return nullptr; }
  const T* inline_data() const { return nullptr; }
};

// A contiguous array with the members of std::vector that this code uses,
// and two ways to grow:
// - push_back, emplace_back, reserve, resize, assign, insert end the process
//   when memory runs out (the decoder's policy: its memory is bounded by the
//   input);
// - try_push, try_reserve, try_room, try_resize_for_overwrite return false,
//   with nothing changed, where memory runs out, for the caller to raise
//   MemoryError (the encoder's, Arrow's and stream's policy: their memory
//   grows with the caller's data).
// The first N elements live inline, so a small vector needs no allocation.
// Elements move into a new block when it grows; pointers into it are then
// invalid, as with std::vector. A block of trivially copyable elements grows
// in place (realloc) where it can.
template <class T, std::size_t N = 0>
class Vec : private VecInline<T, N> {
  using VecInline<T, N>::inline_data;

 public:
  using value_type = T;
  using iterator = T*;
  using const_iterator = const T*;

  Vec() = default;
  Vec(std::size_t n, const T& v) { assign(n, v); }
  Vec(const Vec& o) { append_copies(o.data_, o.size_); }
  Vec(Vec&& o) noexcept { take(o); }
  Vec& operator=(const Vec& o) {
    if (this != &o) {
      clear();
      append_copies(o.data_, o.size_);
    }
    return *this;
  }
  Vec& operator=(Vec&& o) noexcept {
    if (this != &o) {
      release();
      take(o);
    }
    return *this;
  }
  ~Vec() { release(); }

  std::size_t size() const { return size_; }
  std::size_t capacity() const { return cap_; }
  bool empty() const { return size_ == 0; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  T& front() { return data_[0]; }
  const T& front() const { return data_[0]; }
  T& back() { return data_[size_ - 1]; }
  const T& back() const { return data_[size_ - 1]; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }

  // Aborting growth.
  void reserve(std::size_t n) {
    if (n > cap_ && !move_to(n)) out_of_memory();
  }
  void push_back(const T& v) { emplace_back(v); }
  void push_back(T&& v) { emplace_back(std::move(v)); }
  template <class... A>
  T& emplace_back(A&&... a) {
    if (__builtin_expect(size_ == cap_, 0)) return grow_emplace(std::forward<A>(a)...);
    new (data_ + size_) T(std::forward<A>(a)...);
    return data_[size_++];
  }
  void resize(std::size_t n) {
    if (n <= size_) return shrink(n);
    reserve(n);
    for (; size_ < n; ++size_) new (data_ + size_) T();
  }
  void resize(std::size_t n, const T& v) {
    if (n <= size_) return shrink(n);
    if (n > cap_) {  // v may live in the old block
      Vec copy;
      copy.reserve(grown(n));
      copy.append_moved(*this);
      for (; copy.size_ < n; ++copy.size_) new (copy.data_ + copy.size_) T(v);
      *this = std::move(copy);
      return;
    }
    for (; size_ < n; ++size_) new (data_ + size_) T(v);
  }
  void assign(std::size_t n, const T& v) {
    const T value(v);  // v may be one of the elements cleared here
    clear();
    reserve(n);
    for (; size_ < n; ++size_) new (data_ + size_) T(value);
  }
  // Inserts the copies of [first, last), a range outside this vector, before pos.
  T* insert(const T* pos, const T* first, const T* last) {
    const std::size_t at = static_cast<std::size_t>(pos - data_);
    const std::size_t n = static_cast<std::size_t>(last - first);
    if (n == 0) return data_ + at;
    reserve(size_ + n > cap_ ? grown(size_ + n) : cap_);
    for (std::size_t i = size_; i > at; --i) {  // open a gap of n, from the back
      new (data_ + i - 1 + n) T(std::move(data_[i - 1]));
      data_[i - 1].~T();
    }
    for (std::size_t i = 0; i < n; ++i) new (data_ + at + i) T(first[i]);
    size_ += n;
    return data_ + at;
  }

  // Fallible growth: false, with nothing changed, where memory runs out.
  // Room for n elements in all (exactly n where it grows).
  [[nodiscard]] bool try_reserve(std::size_t n) { return n <= cap_ || move_to(n); }
  // Room for more elements past the present ones, at least doubling the
  // capacity where it grows.
  [[nodiscard]] bool try_room(std::size_t more) { return more <= cap_ - size_ || try_grow(more); }
  [[nodiscard]] bool try_push(const T& v) {
    if (size_ == cap_ && !try_grow(1)) return false;
    new (data_ + size_) T(v);  // v is no element: the caller copies one first
    ++size_;
    return true;
  }
  [[nodiscard]] bool try_push(T&& v) {  // v is left as it was on failure
    if (size_ == cap_ && !try_grow(1)) return false;
    new (data_ + size_) T(std::move(v));
    ++size_;
    return true;
  }
  // Grows or shrinks to n elements (at least doubling the capacity where it
  // grows); new ones are default-initialised, which leaves trivial ones
  // unwritten: the caller writes each before reading it.
  [[nodiscard]] bool try_resize_for_overwrite(std::size_t n) {
    if (n > cap_ && !try_grow(n - size_)) return false;
    if constexpr (std::is_trivially_default_constructible_v<T> &&
                  std::is_trivially_destructible_v<T>) {
      size_ = n;
    } else if (n <= size_) {
      shrink(n);
    } else {
      for (; size_ < n; ++size_) new (data_ + size_) T;
    }
    return true;
  }

  // Within the room reserved.
  void push_unchecked(const T& v) {
    new (data_ + size_) T(v);
    ++size_;
  }
  // Sets the size within the room reserved, for elements that need no
  // constructor or destructor run: ones past the old size were written
  // through data().
  void set_size(std::size_t n) {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                  "set_size skips constructors and destructors");
    size_ = n;
  }
  void pop_back() { data_[--size_].~T(); }
  void clear() { shrink(0); }
  // Destroys the elements from n on, in order; nothing where n >= size().
  void shrink(std::size_t n) {
    if (n >= size_) return;
    if constexpr (!std::is_trivially_destructible_v<T>)
      for (std::size_t i = n; i < size_; ++i) data_[i].~T();
    size_ = n;
  }
  void swap(Vec& o) noexcept {
    static_assert(N == 0, "a vector with inline room is not swapped");
    std::swap(data_, o.data_);
    std::swap(size_, o.size_);
    std::swap(cap_, o.cap_);
  }

 private:
  static constexpr std::size_t MIN_CAP = 8;  // the first block, when growth makes it
  bool is_inline() const {
    if constexpr (N == 0) {
      return false;
    } else {
      return data_ == inline_data();
    }
  }
  // At least n, at least twice the present capacity, and at least MIN_CAP.
  std::size_t grown(std::size_t n) const {
    const std::size_t twice = cap_ > SIZE_MAX / 2 ? SIZE_MAX : 2 * cap_;
    const std::size_t at_least = twice > MIN_CAP ? twice : MIN_CAP;
    return n > at_least ? n : at_least;
  }
  // A block for cap elements holding the present ones; false, with nothing
  // changed, where memory runs out.
  bool move_to(std::size_t cap) {
    if (cap > SIZE_MAX / sizeof(T)) return false;
    if constexpr (std::is_trivially_copyable_v<T>) {
      if (!is_inline() && data_) {
        void* p = std::realloc(static_cast<void*>(data_), cap * sizeof(T));
        if (!p) return false;
        data_ = static_cast<T*>(p);
        cap_ = cap;
        return true;
      }
    }
    T* data = static_cast<T*>(std::malloc(cap * sizeof(T)));
    if (!data) return false;
    adopt(data, cap);
    return true;
  }
  [[gnu::noinline]] bool try_grow(std::size_t more) {
    return more <= SIZE_MAX - size_ && move_to(grown(size_ + more));
  }
  // The full block's way out of emplace_back: the new element is made
  // before the old ones move, so the arguments may name one of them. Left
  // to the compiler to inline: a vector on the stack then stays in registers.
  template <class... A>
  T& grow_emplace(A&&... a) {
    const std::size_t cap = grown(size_ + 1);
    if (cap > SIZE_MAX / sizeof(T)) out_of_memory();
    if constexpr (std::is_trivially_copyable_v<T>) {
      if (!is_inline()) {
        const T value(std::forward<A>(a)...);
        if (!move_to(cap)) out_of_memory();
        new (data_ + size_) T(value);
        return data_[size_++];
      }
    }
    T* data = static_cast<T*>(alloc_or_die(cap * sizeof(T)));
    new (data + size_) T(std::forward<A>(a)...);
    adopt(data, cap);
    return data_[size_++];
  }
  // Moves the elements into data (of capacity cap) and frees the old block.
  void adopt(T* data, std::size_t cap) {
    if constexpr (std::is_trivially_copyable_v<T>) {
      if (size_) std::memcpy(static_cast<void*>(data), static_cast<const void*>(data_),
                             size_ * sizeof(T));
    } else {
      for (std::size_t i = 0; i < size_; ++i) {
        new (data + i) T(std::move(data_[i]));
        data_[i].~T();
      }
    }
    free_block();
    data_ = data;
    cap_ = cap;
  }
  void free_block() {
    if (!is_inline()) std::free(static_cast<void*>(data_));
  }
  // Takes o's elements, leaving it empty: its block, or its inline elements
  // moved one by one.
  void take(Vec& o) {
    if (o.is_inline()) {
      data_ = inline_data();
      cap_ = N;
      size_ = 0;
      append_moved(o);
      o.clear();
      return;
    }
    data_ = std::exchange(o.data_, o.inline_data());
    size_ = std::exchange(o.size_, 0);
    cap_ = std::exchange(o.cap_, N);
  }
  void append_copies(const T* p, std::size_t n) {
    reserve(size_ + n);
    for (std::size_t i = 0; i < n; ++i, ++size_) new (data_ + size_) T(p[i]);
  }
  void append_moved(Vec& o) {
    reserve(size_ + o.size_);
    for (std::size_t i = 0; i < o.size_; ++i, ++size_) new (data_ + size_) T(std::move(o[i]));
  }
  void release() {
    clear();
    free_block();
    data_ = inline_data();
    cap_ = N;
  }

  T* data_ = inline_data();
  std::size_t size_ = 0;
  std::size_t cap_ = N;
};

// A byte string with the members of std::string that this code uses. Any
// byte may occur in it, a zero included; c_str() adds a terminating zero.
class Str {
 public:
  using value_type = char;

  Str() = default;
  Str(const char* s) { append(s, std::strlen(s)); }
  Str(const char* s, std::size_t n) { append(s, n); }
  explicit Str(std::string_view s) { append(s.data(), s.size()); }
  Str(std::size_t n, char c) { append(n, c); }
  Str(const Str& o) { append(o.data(), o.size()); }
  Str(Str&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)),
        size_(std::exchange(o.size_, 0)),
        cap_(std::exchange(o.cap_, 0)) {}
  Str& operator=(const Str& o) {
    if (this != &o) {
      size_ = 0;
      append(o.data(), o.size());
    }
    return *this;
  }
  Str& operator=(Str&& o) noexcept {
    if (this != &o) {
      std::free(data_);
      data_ = std::exchange(o.data_, nullptr);
      size_ = std::exchange(o.size_, 0);
      cap_ = std::exchange(o.cap_, 0);
    }
    return *this;
  }
  ~Str() { std::free(data_); }

  std::size_t size() const { return size_; }
  std::size_t length() const { return size_; }
  std::size_t capacity() const { return cap_; }
  bool empty() const { return size_ == 0; }
  char* data() { return data_ ? data_ : empty_text(); }
  const char* data() const { return data_ ? data_ : empty_text(); }
  const char* c_str() const { return data(); }
  char& operator[](std::size_t i) { return data_[i]; }
  const char& operator[](std::size_t i) const { return data_[i]; }
  char& back() { return data_[size_ - 1]; }
  const char& back() const { return data_[size_ - 1]; }
  char* begin() { return data(); }
  char* end() { return data() + size_; }
  const char* begin() const { return data(); }
  const char* end() const { return data() + size_; }
  operator std::string_view() const { return std::string_view(data(), size_); }

  void reserve(std::size_t n) {
    if (n > cap_) move_to(n);
  }
  void clear() { set_size(0); }
  void resize(std::size_t n, char c = '\0') {
    if (n > size_)
      append(n - size_, c);
    else
      set_size(n);
  }
  void push_back(char c) { append(1, c); }
  void pop_back() { set_size(size_ - 1); }
  // The source may lie inside this string: it is copied before the old block is freed.
  Str& append(const char* s, std::size_t n) {
    if (n == 0) return *this;
    if (n > SIZE_MAX - 1 - size_) out_of_memory();
    if (size_ + n > cap_) {
      const std::size_t cap = grown(size_ + n);
      char* data = static_cast<char*>(alloc_or_die(cap + 1));
      if (size_) std::memcpy(data, data_, size_);
      std::memcpy(data + size_, s, n);
      std::free(data_);
      data_ = data;
      cap_ = cap;
    } else {
      std::memmove(data_ + size_, s, n);
    }
    set_size(size_ + n);
    return *this;
  }
  Str& append(const char* s) { return append(s, std::strlen(s)); }
  Str& append(std::string_view s) { return append(s.data(), s.size()); }
  Str& append(const Str& s) { return append(s.data(), s.size()); }
  Str& append(std::size_t n, char c) {
    if (n == 0) return *this;
    if (n > SIZE_MAX - 1 - size_) out_of_memory();
    reserve(size_ + n > cap_ ? grown(size_ + n) : cap_);
    std::memset(data_ + size_, c, n);
    set_size(size_ + n);
    return *this;
  }
  Str& operator+=(const char* s) { return append(s); }
  Str& operator+=(std::string_view s) { return append(s); }
  Str& operator+=(const Str& s) { return append(s); }
  Str& operator+=(char c) { return append(1, c); }

  friend bool operator==(const Str& a, std::string_view b) {
    return std::string_view(a) == b;
  }
  friend bool operator!=(const Str& a, std::string_view b) { return !(a == b); }

 private:
  static char* empty_text() {
    static char zero = '\0';  // constant-initialised: no guard, never written
    return &zero;
  }
  std::size_t grown(std::size_t n) const {
    const std::size_t twice = cap_ > SIZE_MAX / 4 ? SIZE_MAX - 1 : 2 * cap_;
    return n > twice ? n : twice;
  }
  void move_to(std::size_t cap) {
    if (cap > SIZE_MAX - 1) out_of_memory();
    char* data = static_cast<char*>(alloc_or_die(cap + 1));
    if (size_) std::memcpy(data, data_, size_);
    data[size_] = '\0';
    std::free(data_);
    data_ = data;
    cap_ = cap;
  }
  void set_size(std::size_t n) {
    size_ = n;
    if (data_) data_[n] = '\0';
  }

  char* data_ = nullptr;  // cap_ + 1 bytes when allocated
  std::size_t size_ = 0;
  std::size_t cap_ = 0;
};

}  // namespace wexo
