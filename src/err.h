// Failures and results: DecodeError, PyErrPending, Result<T>, bad, py_fail, TRY;
// the module's own memory (which ends the process when exhausted); WexoError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string_view>
#include <utility>

#include "mem.h"
#include "pyo.h"

namespace wexo {

// A vector whose first N elements live inline: small documents then need no
// allocation for their string pool or anchor table.
template <class T, std::size_t N>
class SmallVec {
 public:
  SmallVec() = default;
  SmallVec(const SmallVec&) = delete;
  SmallVec& operator=(const SmallVec&) = delete;
  ~SmallVec() {
    clear();
    if (data_ != inline_data()) std::free(data_);
  }
  std::size_t size() const { return size_; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  void push_back(T&& v) {
    if (size_ == cap_) grow();
    new (data_ + size_) T(std::move(v));
    ++size_;
  }
  // Room for n elements where memory allows, so that a pool expected to grow
  // large is not copied at each doubling; false, with nothing changed,
  // where it does not.
  bool try_reserve(std::size_t n) {
    if (n <= cap_) return true;
    if (n > SIZE_MAX / sizeof(T)) return false;
    T* data = static_cast<T*>(std::malloc(n * sizeof(T)));
    if (!data) return false;
    for (std::size_t i = 0; i < size_; ++i) {
      new (data + i) T(std::move(data_[i]));
      data_[i].~T();
    }
    if (data_ != inline_data()) std::free(data_);
    data_ = data;
    cap_ = n;
    return true;
  }
  // Destroys the elements from n on, in order.
  void shrink(std::size_t n) {
    for (std::size_t i = n; i < size_; ++i) data_[i].~T();
    if (n < size_) size_ = n;
  }
  void clear() { shrink(0); }

 private:
  T* inline_data() { return reinterpret_cast<T*>(inline_); }
  void grow() {
    if (cap_ > SIZE_MAX / (2 * sizeof(T))) out_of_memory();
    const std::size_t cap = cap_ * 2;
    T* data = static_cast<T*>(alloc_or_die(cap * sizeof(T)));
    for (std::size_t i = 0; i < size_; ++i) {
      new (data + i) T(std::move(data_[i]));
      data_[i].~T();
    }
    if (data_ != inline_data()) std::free(data_);
    data_ = data;
    cap_ = cap;
  }
  alignas(T) unsigned char inline_[N * sizeof(T)];
  T* data_ = inline_data();
  std::size_t size_ = 0;
  std::size_t cap_ = N;
};

// A decoding error: a fixed lower-case message and the absolute offset.
struct DecodeError {
  Str message;
  uint64_t offset;
};
struct PyErrPending {};  // an interpreter call failed; its exception is set

// A failure in flight: an out-of-line DecodeError, or none for PyErrPending.
// Kept to one pointer so that results stay small in recursive frames.
class Failure {
 public:
  explicit Failure(DecodeError* e) : e_(e) {}
  Failure(Failure&& o) noexcept : e_(std::exchange(o.e_, nullptr)) {}
  Failure(const Failure&) = delete;
  Failure& operator=(const Failure&) = delete;
  Failure& operator=(Failure&&) = delete;
  ~Failure() {
    if (e_) drop(e_);
  }
  const DecodeError* error() const { return e_; }  // null: PyErrPending
  DecodeError* take() { return std::exchange(e_, nullptr); }
  static void drop(DecodeError* e);

 private:
  DecodeError* e_;
};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)), ok_(true) {}
  Result(Failure f) : e_(f.take()), ok_(false) {}
  Result(Result&& o) noexcept
      : v_(std::move(o.v_)), e_(std::exchange(o.e_, nullptr)), ok_(o.ok_) {}
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;
  Result& operator=(Result&&) = delete;
  ~Result() {
    if (e_) Failure::drop(e_);
  }
  bool ok() const { return ok_; }
  T& operator*() { return v_; }
  Failure fail() && { return Failure(std::exchange(e_, nullptr)); }

 private:
  T v_{};
  DecodeError* e_ = nullptr;
  bool ok_;
};

struct Done {};
using Status = Result<Done>;

// Failure constructors, out of line so the success path carries no text.
[[gnu::cold, gnu::noinline]] Failure bad(std::string_view message, uint64_t offset);
[[gnu::cold, gnu::noinline]] Failure py_fail();

// Runs expr, forwards a failure unchanged, and declares name as its value.
// It declares a variable: never use it as the unbraced body of an if.
#define TRY(name, expr)                                      \
  auto name##_result = (expr);                               \
  if (!name##_result.ok()) return std::move(name##_result).fail(); \
  auto name = std::move(*name##_result)

// Forwards the failure of an operation that yields no value.
#define CHECK(expr)                                          \
  do {                                                       \
    auto check_result_ = (expr);                             \
    if (!check_result_.ok()) return std::move(check_result_).fail(); \
  } while (0)

// A new reference from the interpreter, or its failure.
inline Result<Owned> made(PyObject* p) {
  if (!p) return py_fail();
  return Owned::steal(p);
}

// The WexoError class, created on first need; null with an exception set if
// it could not be created.
PyObject* wexo_error();

// In the package's second module: adopts wexo_native's class as the one to
// raise. False if a different class was adopted before.
bool share_wexo_error(PyObject* cls);

// Sets the exception that a failure stands for; returns null for the caller.
PyObject* raise(Failure f);

}  // namespace wexo
