// Failure constructors, the WexoError class and the conversion of a failure
// into the exception that loads_binary raises.
#include "err.h"

// The one-time section's lock: POSIX threads on Linux and macOS alike.
#if defined(__linux__) || defined(__APPLE__)
#include <pthread.h>
#else
#error "wexo_native builds on Linux and macOS only"
#endif

#include <atomic>
#include <cinttypes>
#include <cstdio>

namespace wexo {

void out_of_memory() { Py_FatalError("wexo_native: out of memory"); }

void Failure::drop(DecodeError* e) {
  if (!e) return;
  e->~DecodeError();
  std::free(e);
}

Failure bad(std::string_view message, uint64_t offset) {
  auto* e = new (alloc_or_die(sizeof(DecodeError)))
      DecodeError{Str(message.data(), message.size()), offset};
  return Failure(e);
}

Failure py_fail() { return Failure(nullptr); }

// Safe with or without the interpreter lock (see Unlocked).
Failure no_memory() {
  Unlocked::with_lock([] { PyErr_NoMemory(); });
  return Failure(nullptr);
}

thread_local Unlocked* Unlocked::current_ = nullptr;

namespace {

// The class lives from its creation until the process ends; nothing
// releases it, so module objects, calls and threads all share it.
std::atomic<PyObject*> error_class{nullptr};
pthread_mutex_t error_once = PTHREAD_MUTEX_INITIALIZER;

// Sets a plain attribute of a new exception instance. A failure is cleared:
// the instance is still raised, only without that attribute.
void set_attr(PyObject* exc, const char* name, PyObject* v) {
  if (!v || PyObject_SetAttrString(exc, name, v) < 0) PyErr_Clear();
  if (v) _Py_DecRef(v);
}

}  // namespace

PyObject* wexo_error() {
  PyObject* cls = error_class.load(std::memory_order_acquire);
  if (cls) return cls;
  // Wait for the one-time section without the interpreter lock: the thread
  // creating the class needs that lock to finish.
  PyThreadState* ts = PyEval_SaveThread();
  pthread_mutex_lock(&error_once);
  PyEval_RestoreThread(ts);
  cls = error_class.load(std::memory_order_relaxed);
  if (!cls) {
    cls = PyErr_NewExceptionWithDoc("wexo_native.WexoError", "Invalid WEXO input.",
                                    PyExc_ValueError, nullptr);
    // On failure the state stays "not created" and a later caller retries.
    if (cls) error_class.store(cls, std::memory_order_release);
  }
  pthread_mutex_unlock(&error_once);
  return cls;
}

bool share_wexo_error(PyObject* cls) {
  PyObject* none = nullptr;
  if (error_class.compare_exchange_strong(none, cls, std::memory_order_acq_rel)) {
    _Py_IncRef(cls);  // never released, like a class created here
    return true;
  }
  return none == cls;
}

PyObject* raise(Failure f) {
  const DecodeError* e = f.error();
  if (!e) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "wexo_native: error without exception");
    return nullptr;  // the pending exception passes on unchanged
  }
  char head[48];
  const int n = std::snprintf(head, sizeof head, "wexo: offset %" PRIu64 ": ", e->offset);
  Str text(head, static_cast<std::size_t>(n));
  text += e->message;  // the message may hold any byte, a zero included
  PyObject* cls = wexo_error();
  if (!cls) return nullptr;
  Owned arg = Owned::steal(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!arg) return nullptr;
  PyErr_SetObject(cls, arg.get());
  PyObject *type, *inst, *tb;  // owned until PyErr_Restore takes them back
  PyErr_Fetch(&type, &inst, &tb);
  PyErr_NormalizeException(&type, &inst, &tb);
  if (inst) {
    set_attr(inst, "message",
             PyUnicode_FromStringAndSize(e->message.data(),
                                         static_cast<Py_ssize_t>(e->message.size())));
    set_attr(inst, "offset", PyLong_FromUnsignedLongLong(e->offset));
  }
  PyErr_Restore(type, inst, tb);
  return nullptr;
}

}  // namespace wexo
