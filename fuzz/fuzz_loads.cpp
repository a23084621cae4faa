// libFuzzer target for the WEXO decoder.
//
// The interpreter is embedded (malloc as its allocator, so that ASan sees
// every object), wexo_native is imported through its normal multi-phase
// start-up, and each input is decoded by run on libFuzzer's own buffer, whose
// size is exactly the input's: a read one byte past the document is a
// heap-buffer-overflow here, where a bytes object would hide it behind its
// trailing NUL. Every 8th input also goes through loads_binary(memoryview(..))
// and both outcomes must agree.
//
// What counts as a finding (abort):
//   - a failure without an exception, or a result with an exception set;
//   - any exception other than WexoError or MemoryError;
//   - a WexoError whose message, offset or text is malformed, or whose offset
//     lies past the end of the input;
//   - a result holding anything but dict, list, str, int, float (finite),
//     bool and None, a null item, a non-str key, or a list or dict with
//     more than one reference (every container belongs to its parent only);
//   - the two paths disagreeing;
//   - with WEXO_FUZZ_REFCOUNT (debug libpython): a change of the interpreter's
//     total reference count over an input, seen twice in a row.
//
// With WEXO_FUZZ_REINIT=N in the environment, the interpreter is finalised
// and initialised again every N inputs, as an embedding application may do:
// nothing the decoder keeps across calls may outlive the interpreter that
// made it (ASan reports a use after free).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#if defined(WEXO_FUZZ_REFCOUNT) && !defined(Py_REF_DEBUG)
#error "WEXO_FUZZ_REFCOUNT needs a debug interpreter (Py_REF_DEBUG)"
#endif

extern "C" PyObject* PyInit_wexo_native(void);
extern "C" PyObject* wexo_fuzz_run(const uint8_t* data, size_t size);

namespace {

PyObject* g_loads = nullptr;        // wexo_native.loads_binary
PyObject* g_wexo_error = nullptr;   // wexo_native.WexoError
uint64_t g_inputs = 0;
uint64_t g_reinit = 0;              // WEXO_FUZZ_REINIT; 0: never

const uint8_t* g_data = nullptr;  // the input being decoded, for reports
size_t g_size = 0;

[[noreturn]] void finding(const char* what) {
  std::fprintf(stderr, "\n==wexo-fuzz== FINDING: %s\n", what);
  if (g_data) {
    std::fprintf(stderr, "==wexo-fuzz== input (%zu bytes):", g_size);
    for (size_t i = 0; i < g_size && i < 256; ++i) std::fprintf(stderr, " %02x", g_data[i]);
    std::fprintf(stderr, g_size > 256 ? " ...\n" : "\n");
  }
  if (PyErr_Occurred()) PyErr_Print();
  std::fflush(stderr);
  std::abort();
}

void need(bool ok, const char* what) {
  if (!ok) finding(what);
}

// Checks every node of a decoded tree. Iterative: trees may nest thousands
// deep (anchor copies).
void check_tree(PyObject* root) {
  std::vector<PyObject*> stack{root};
  while (!stack.empty()) {
    PyObject* x = stack.back();
    stack.pop_back();
    need(x != nullptr, "null object in result");
    if (PyList_CheckExact(x)) {
      need(Py_REFCNT(x) == 1, "list with more than one reference");
      const Py_ssize_t n = PyList_GET_SIZE(x);
      for (Py_ssize_t i = 0; i < n; ++i) stack.push_back(PyList_GET_ITEM(x, i));
    } else if (PyDict_CheckExact(x)) {
      need(Py_REFCNT(x) == 1, "dict with more than one reference");
      Py_ssize_t pos = 0;
      PyObject *k, *v;
      while (PyDict_Next(x, &pos, &k, &v)) {
        need(k != nullptr && PyUnicode_CheckExact(k), "dict key is not a str");
        stack.push_back(v);
      }
    } else if (PyFloat_CheckExact(x)) {
      need(std::isfinite(PyFloat_AS_DOUBLE(x)), "non-finite float in result");
    } else if (PyUnicode_CheckExact(x)) {
      need(PyUnicode_IS_READY(x), "str not ready");
    } else {
      need(PyLong_CheckExact(x) || PyBool_Check(x) || x == Py_None,
           "result holds an object of an unexpected type");
    }
  }
}

// Exact equality of two decoded trees: same types, same key order, same
// float bits. Returns false on the first difference.
bool same_tree(PyObject* a, PyObject* b) {
  std::vector<std::pair<PyObject*, PyObject*>> stack{{a, b}};
  while (!stack.empty()) {
    auto [x, y] = stack.back();
    stack.pop_back();
    if (Py_TYPE(x) != Py_TYPE(y)) return false;
    if (PyList_CheckExact(x)) {
      const Py_ssize_t n = PyList_GET_SIZE(x);
      if (n != PyList_GET_SIZE(y)) return false;
      for (Py_ssize_t i = 0; i < n; ++i)
        stack.emplace_back(PyList_GET_ITEM(x, i), PyList_GET_ITEM(y, i));
    } else if (PyDict_CheckExact(x)) {
      if (PyDict_GET_SIZE(x) != PyDict_GET_SIZE(y)) return false;
      Py_ssize_t px = 0, py = 0;
      PyObject *kx, *vx, *ky, *vy;
      while (PyDict_Next(x, &px, &kx, &vx)) {
        if (!PyDict_Next(y, &py, &ky, &vy)) return false;
        if (PyUnicode_Compare(kx, ky) != 0) return false;
        stack.emplace_back(vx, vy);
      }
    } else if (PyFloat_CheckExact(x)) {
      const double dx = PyFloat_AS_DOUBLE(x), dy = PyFloat_AS_DOUBLE(y);
      if (std::memcmp(&dx, &dy, sizeof dx) != 0) return false;
    } else if (PyUnicode_CheckExact(x)) {
      if (PyUnicode_Compare(x, y) != 0) return false;
    } else if (PyLong_CheckExact(x)) {
      const int eq = PyObject_RichCompareBool(x, y, Py_EQ);
      need(eq >= 0, "int comparison failed");
      if (!eq) return false;
    } else if (x != y) {  // bool, None
      return false;
    }
  }
  return true;
}

// The message and offset of a pending WexoError, checked for form.
struct ErrorInfo {
  PyObject* message = nullptr;  // new references
  uint64_t offset = 0;
};

ErrorInfo check_wexo_error(PyObject* exc) {
  ErrorInfo info;
  PyObject* message = PyObject_GetAttrString(exc, "message");
  need(message && PyUnicode_CheckExact(message), "WexoError.message is not a str");
  PyObject* offset = PyObject_GetAttrString(exc, "offset");
  need(offset && PyLong_CheckExact(offset), "WexoError.offset is not an int");
  const unsigned long long off = PyLong_AsUnsignedLongLong(offset);
  need(!PyErr_Occurred(), "WexoError.offset out of range");
  need(off <= g_size, "WexoError.offset lies past the end of the input");
  need(PyUnicode_GET_LENGTH(message) > 0, "WexoError.message is empty");
  PyObject* text = PyObject_Str(exc);
  need(text != nullptr, "str(WexoError) failed");
  PyObject* expected = PyUnicode_FromFormat("wexo: offset %llu: %U", off, message);
  need(expected != nullptr, "formatting failed");
  need(PyUnicode_Compare(text, expected) == 0, "WexoError text is not 'wexo: offset N: message'");
  Py_DECREF(expected);
  Py_DECREF(text);
  Py_DECREF(offset);
  info.message = message;
  info.offset = off;
  return info;
}

// One decoding's outcome, after its checks: the result, or the error (a
// WexoError's message and offset; memory_error for MemoryError).
struct Outcome {
  PyObject* result = nullptr;
  ErrorInfo error;
  bool memory_error = false;
  void clear() {
    Py_CLEAR(result);
    Py_CLEAR(error.message);
  }
};

Outcome settle(PyObject* r) {
  Outcome out;
  if (r) {
    need(!PyErr_Occurred(), "result returned with an exception set");
    check_tree(r);
    out.result = r;
    return out;
  }
  need(PyErr_Occurred() != nullptr, "failure returned without an exception");
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (PyErr_GivenExceptionMatches(type, PyExc_MemoryError)) {
    out.memory_error = true;
  } else if (type == g_wexo_error) {  // exactly the class, not a subclass
    need(value != nullptr, "WexoError without an instance");
    out.error = check_wexo_error(value);
  } else {
    PyErr_Restore(type, value, tb);
    finding("exception other than WexoError or MemoryError");
  }
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(tb);
  return out;
}

void decode_one(const uint8_t* data, size_t size, bool also_memoryview) {
  Outcome direct = settle(wexo_fuzz_run(data, size));
  if (also_memoryview) {
    PyObject* view = PyMemoryView_FromMemory(
        reinterpret_cast<char*>(const_cast<uint8_t*>(data)), static_cast<Py_ssize_t>(size),
        PyBUF_READ);
    need(view != nullptr, "memoryview creation failed");
    Outcome viaview = settle(PyObject_CallOneArg(g_loads, view));
    Py_DECREF(view);
    if (!direct.memory_error && !viaview.memory_error) {
      need((direct.result != nullptr) == (viaview.result != nullptr),
           "run and loads_binary(memoryview) disagree on success");
      if (direct.result) {
        need(same_tree(direct.result, viaview.result),
             "run and loads_binary(memoryview) decode different trees");
      } else {
        need(direct.error.offset == viaview.error.offset &&
                 PyUnicode_Compare(direct.error.message, viaview.error.message) == 0,
             "run and loads_binary(memoryview) report different errors");
      }
    }
    viaview.clear();
  }
  direct.clear();
  need(!PyErr_Occurred(), "exception left pending");
}

// Starts the interpreter (malloc as its allocator) and imports wexo_native.
void start() {
  PyPreConfig pre;
  PyPreConfig_InitIsolatedConfig(&pre);
  pre.allocator = PYMEM_ALLOCATOR_MALLOC;  // every object a malloc block ASan can see
  PyStatus st = Py_PreInitialize(&pre);
  if (PyStatus_Exception(st)) Py_ExitStatusException(st);

  if (PyImport_AppendInittab("wexo_native", PyInit_wexo_native) < 0) {
    std::fprintf(stderr, "wexo fuzz: PyImport_AppendInittab failed\n");
    std::abort();
  }

  PyConfig config;
  PyConfig_InitIsolatedConfig(&config);
  config.install_signal_handlers = 0;  // libFuzzer owns the signals
  config.site_import = 0;
  const char* home = std::getenv("WEXO_PYHOME");
#ifdef WEXO_PYHOME
  if (!home || !*home) home = WEXO_PYHOME;
#endif
  if (home && *home) {
    st = PyConfig_SetBytesString(&config, &config.home, home);
    if (PyStatus_Exception(st)) Py_ExitStatusException(st);
  }
  st = Py_InitializeFromConfig(&config);
  PyConfig_Clear(&config);
  if (PyStatus_Exception(st)) Py_ExitStatusException(st);

  PyObject* mod = PyImport_ImportModule("wexo_native");
  if (!mod) {
    PyErr_Print();
    std::abort();
  }
  g_loads = PyObject_GetAttrString(mod, "loads_binary");
  g_wexo_error = PyObject_GetAttrString(mod, "WexoError");
  if (!g_loads || !g_wexo_error || !PyCallable_Check(g_loads) ||
      !PyType_Check(g_wexo_error) ||
      !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(g_wexo_error),
                        reinterpret_cast<PyTypeObject*>(PyExc_ValueError))) {
    PyErr_Print();
    std::fprintf(stderr, "wexo fuzz: module lacks loads_binary or WexoError\n");
    std::abort();
  }
  Py_DECREF(mod);
}

// The key object of a one-key document decoded now. The decoder keeps short
// names across calls: the same text decoded after a re-initialisation must
// never come back as an object of the interpreter that ended.
const uint8_t PROBE[] = {0x0f, 0x01, 0x08, 0x01, 0x4c, 'r', 'e', 'i', 'n', 'i', 't',
                         '_', 'p', 'r', 'o', 'b', 'e', 0x81};
PyObject* g_probe = nullptr;  // an address only, never dereferenced

// keep: the key's reference is never released, so that no later object of
// any interpreter can take its address.
PyObject* probe_key(bool keep) {
  PyObject* r = wexo_fuzz_run(PROBE, sizeof PROBE);
  need(r && PyDict_CheckExact(r) && PyDict_GET_SIZE(r) == 1, "probe document failed");
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  PyDict_Next(r, &pos, &k, &v);
  if (keep) Py_INCREF(k);
  Py_DECREF(r);
  return k;
}

// Ends the interpreter; start() makes a new one.
void stop() {
  g_probe = probe_key(true);
  Py_CLEAR(g_loads);
  Py_CLEAR(g_wexo_error);
  if (Py_FinalizeEx() < 0) {
    std::fprintf(stderr, "wexo fuzz: Py_FinalizeEx failed\n");
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (const char* every = std::getenv("WEXO_FUZZ_REINIT"))
    g_reinit = std::strtoull(every, nullptr, 10);
  start();
  // Unless WEXO_FUZZ_REINIT asks, the interpreter is never finalised:
  // libFuzzer exits from its own code.
  return 0;
}



extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_reinit && g_inputs > 0 && g_inputs % g_reinit == 0) {
    stop();
    start();
    need(probe_key(false) != g_probe, "a name decoded before the re-initialisation came back");
  }
  g_data = data;
  g_size = size;
  const bool also_memoryview = (g_inputs++ % 8) == 0;
#if defined(WEXO_FUZZ_REFCOUNT)
  // The first run of an input may warm a cache (an interned name, a free
  // list): a change is only a finding when a second run repeats it.
  Py_ssize_t before = _Py_GetRefTotal();
  decode_one(data, size, also_memoryview);
  Py_ssize_t delta = _Py_GetRefTotal() - before;
  if (delta != 0) {
    before = _Py_GetRefTotal();
    decode_one(data, size, also_memoryview);
    delta = _Py_GetRefTotal() - before;
    if (delta != 0) {
      std::fprintf(stderr, "==wexo-fuzz== total reference count changed by %zd\n", delta);
      finding("refcount drift");
    }
  }
#else
  decode_one(data, size, also_memoryview);
#endif
  g_data = nullptr;
  return 0;
}
