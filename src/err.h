// Failures and results: DecodeError, PyErrPending, Result<T>, bad, py_fail,
// no_memory, TRY; WexoError. The module's own memory is mem.h's.
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
// Sets MemoryError: for a fallible growth (try_push, try_room, ...) that failed.
[[gnu::cold, gnu::noinline]] Failure no_memory();

// The interpreter lock released for work on plain memory (bytes the caller
// keeps alive, our own buffers), and taken back at the end of the scope. The
// work may fail on a cold path that must set an exception (MemoryError, a
// ValueError of its own): such paths set it through with_lock, which takes
// the lock back around the call where this thread released it. Scopes nest
// per thread.
class Unlocked {
 public:
  Unlocked() : outer_(current_), saved_(PyEval_SaveThread()) { current_ = this; }
  ~Unlocked() {
    current_ = outer_;
    PyEval_RestoreThread(saved_);
  }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

  // Runs f with the interpreter lock held.
  template <class F>
  static void with_lock(F&& f) {
    Unlocked* u = current_;
    if (!u) return f();
    PyEval_RestoreThread(u->saved_);
    f();
    u->saved_ = PyEval_SaveThread();
  }

 private:
  static thread_local Unlocked* current_;
  Unlocked* outer_;
  PyThreadState* saved_;
};

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
