// The module's own memory: Vec<T> and Str, growable arrays that end the
// process when memory runs out instead of throwing. They replace std::vector
// and std::string so that the modules need no C++ runtime library at all.
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

// The byte size of n elements of size each; a product that overflows can
// never be allocated.
inline std::size_t bytes_for(std::size_t n, std::size_t size) {
  if (n > SIZE_MAX / size) out_of_memory();
  return n * size;
}

// A contiguous array with the members of std::vector that this code uses.
// Elements move into a new block when it grows; pointers into it are then
// invalid, as with std::vector.
template <class T>
class Vec {
 public:
  using value_type = T;
  using iterator = T*;
  using const_iterator = const T*;

  Vec() = default;
  Vec(std::size_t n, const T& v) { assign(n, v); }
  Vec(const Vec& o) { append_copies(o.data_, o.size_); }
  Vec(Vec&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)),
        size_(std::exchange(o.size_, 0)),
        cap_(std::exchange(o.cap_, 0)) {}
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
      data_ = std::exchange(o.data_, nullptr);
      size_ = std::exchange(o.size_, 0);
      cap_ = std::exchange(o.cap_, 0);
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

  void reserve(std::size_t n) {
    if (n > cap_) move_to(n);
  }
  void push_back(const T& v) { emplace_back(v); }
  void push_back(T&& v) { emplace_back(std::move(v)); }
  // The new element is made before the old ones move, so v may be one of them.
  template <class... A>
  T& emplace_back(A&&... a) {
    if (size_ < cap_) {
      new (data_ + size_) T(std::forward<A>(a)...);
    } else {
      const std::size_t cap = grown(size_ + 1);
      T* data = static_cast<T*>(alloc_or_die(bytes_for(cap, sizeof(T))));
      new (data + size_) T(std::forward<A>(a)...);
      adopt(data, cap);
    }
    return data_[size_++];
  }
  void pop_back() { data_[--size_].~T(); }
  void clear() { shrink(0); }
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
  void swap(Vec& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(size_, o.size_);
    std::swap(cap_, o.cap_);
  }

 private:
  // At least n, and at least twice the present capacity.
  std::size_t grown(std::size_t n) const {
    const std::size_t twice = cap_ > SIZE_MAX / 2 ? SIZE_MAX : 2 * cap_;
    return n > twice ? n : twice;
  }
  void move_to(std::size_t cap) {
    adopt(static_cast<T*>(alloc_or_die(bytes_for(cap, sizeof(T)))), cap);
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
    std::free(data_);
    data_ = data;
    cap_ = cap;
  }
  void append_copies(const T* p, std::size_t n) {
    reserve(size_ + n);
    for (std::size_t i = 0; i < n; ++i, ++size_) new (data_ + size_) T(p[i]);
  }
  void append_moved(Vec& o) {
    reserve(size_ + o.size_);
    for (std::size_t i = 0; i < o.size_; ++i, ++size_) new (data_ + size_) T(std::move(o[i]));
  }
  void shrink(std::size_t n) {
    while (size_ > n) data_[--size_].~T();
  }
  void release() {
    clear();
    std::free(data_);
    data_ = nullptr;
    cap_ = 0;
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t cap_ = 0;
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
