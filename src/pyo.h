// Owned: one strong reference to an interpreter object, released exactly once.
// This header is the only place that includes the interpreter's API, and the
// only code that touches reference counts.
#pragma once

#if !defined(Py_LIMITED_API) || Py_LIMITED_API != 0x030A0000
#error "wexo_native is built against the 3.10 limited API only"
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace wexo {

class Owned {
 public:
  Owned() = default;
  // Takes over a new reference (which may be null).
  static Owned steal(PyObject* p) { return Owned(p); }
  // Adds a reference of its own.
  static Owned borrow(PyObject* p) {
    _Py_IncRef(p);
    return Owned(p);
  }
  Owned(Owned&& o) noexcept : p_(o.release()) {}
  Owned& operator=(Owned&& o) noexcept {
    reset();
    p_ = o.release();
    return *this;
  }
  Owned(const Owned&) = delete;  // a second reference is written out: borrow(x.get())
  Owned& operator=(const Owned&) = delete;
  ~Owned() { reset(); }

  PyObject* get() const { return p_; }  // lends; ownership stays here
  explicit operator bool() const { return p_ != nullptr; }
  [[nodiscard]] PyObject* release() { return std::exchange(p_, nullptr); }  // hands it on
  void reset() {
    if (p_) _Py_DecRef(std::exchange(p_, nullptr));
  }

 private:
  explicit Owned(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace wexo
