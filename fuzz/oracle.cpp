// The fuzzing oracle shared by the targets of fuzz/ (the file map is in
// oracle.h): the embedded interpreter, the checks of a decoding's outcome, the
// comparisons every target makes, the per-input driver and the report of a
// finding (an abort, which libFuzzer records with the input).
#include "oracle.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace oracle {

PyObject* g_loads = nullptr;
PyObject* g_wexo_error = nullptr;
const uint8_t* g_data = nullptr;
size_t g_size = 0;
void (*g_context)(void) = nullptr;

namespace {
uint64_t g_inputs = 0;
uint64_t g_reinit = 0;  // WEXO_FUZZ_REINIT; 0: never
}  // namespace

void dump(const char* what, const uint8_t* p, size_t n) {
  std::fprintf(stderr, "==wexo-fuzz== %s (%zu bytes):", what, n);
  for (size_t i = 0; i < n && i < 256; ++i) std::fprintf(stderr, " %02x", p[i]);
  std::fprintf(stderr, n > 256 ? " ...\n" : "\n");
}

void finding(const char* what) {
  std::fprintf(stderr, "\n==wexo-fuzz== FINDING: %s\n", what);
  if (g_data) dump("input", g_data, g_size);
  if (g_context) g_context();
  if (PyErr_Occurred()) PyErr_Print();
  std::fflush(stderr);
  std::abort();
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

ErrorInfo check_wexo_error(PyObject* exc, size_t size) {
  ErrorInfo info;
  PyObject* message = PyObject_GetAttrString(exc, "message");
  need(message && PyUnicode_CheckExact(message), "WexoError.message is not a str");
  PyObject* offset = PyObject_GetAttrString(exc, "offset");
  need(offset && PyLong_CheckExact(offset), "WexoError.offset is not an int");
  const unsigned long long off = PyLong_AsUnsignedLongLong(offset);
  need(!PyErr_Occurred(), "WexoError.offset out of range");
  need(off <= size, "WexoError.offset lies past the end of the input");
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
    out.error = check_wexo_error(value, g_size);
  } else {
    PyErr_Restore(type, value, tb);
    finding("exception other than WexoError or MemoryError");
  }
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(tb);
  return out;
}

bool same_outcome(const Outcome& a, const Outcome& b) {
  if ((a.result != nullptr) != (b.result != nullptr)) return false;
  if (a.result) return same_tree(a.result, b.result);
  return a.error.offset == b.error.offset &&
         PyUnicode_Compare(a.error.message, b.error.message) == 0;
}

// The format's budgets' messages, or a caller's limit's ("...: over max_cells=...").
bool limit_message(PyObject* message) {
  const char* text = PyUnicode_AsUTF8(message);
  if (!text) {
    PyErr_Clear();
    return false;
  }
  return std::strncmp(text, "decoded size too large", 22) == 0 ||
         std::strncmp(text, "reference expansion too large", 29) == 0;
}

// Within limits the outcome is the unlimited one, or a limit's failure.
void compare_limited(const uint8_t* data, size_t size, const Outcome& direct, int64_t cells,
                     int64_t copies) {
  Outcome limited = settle(wexo_fuzz_run_limited(data, size, cells, copies));
  if (!direct.memory_error && !limited.memory_error && !same_outcome(direct, limited)) {
    need(!limited.result && limit_message(limited.error.message),
         "a decode within limits differs from loads_binary other than by a limit");
  }
  limited.clear();
}

bool record_list(PyObject* v) {
  if (!v || !PyList_CheckExact(v)) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i)
    if (!PyDict_CheckExact(PyList_GET_ITEM(v, i))) return false;
  return true;
}

// The columnar reader on the same bytes, against the decoder's outcome.
void compare_arrow(const uint8_t* data, size_t size, const Outcome& direct) {
  int64_t rows = -1;
  const int r = wexo_fuzz_arrow(data, size, &rows);
  if (r < 0) {
    std::fprintf(stderr, "==wexo-fuzz== %s\n", wexo_fuzz_arrow_problem());
    finding("the columnar reader built a broken table");
  }
  if (direct.memory_error) {
    PyErr_Clear();
    return;
  }
  if (r == 1) {
    need(!PyErr_Occurred(), "columnar table built with an exception set");
    need(direct.result != nullptr, "columnar table built from a document the decoder refuses");
    need(PyList_CheckExact(direct.result) && rows == PyList_GET_SIZE(direct.result),
         "columnar table and decoder differ in their number of rows");
    return;
  }
  need(PyErr_Occurred() != nullptr, "columnar reader failed without an exception");
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (PyErr_GivenExceptionMatches(type, PyExc_MemoryError)) {
    // out of memory: no verdict
  } else if (type == g_wexo_error) {
    need(value != nullptr, "WexoError without an instance");
    ErrorInfo info = check_wexo_error(value, size);
    if (direct.result) {
      need(PyUnicode_CompareWithASCIIString(info.message, "decoded size too large") == 0,
           "columnar reader refuses a document the decoder accepts");
    } else {
      need(info.offset == direct.error.offset &&
               PyUnicode_Compare(info.message, direct.error.message) == 0,
           "columnar reader and decoder refuse with different messages or offsets");
    }
    Py_DECREF(info.message);
  } else if (type == PyExc_TypeError) {
    need(direct.result && !record_list(direct.result),
         "columnar reader raised TypeError for a record list or a malformed document");
  } else if (type == PyExc_ValueError) {
    need(direct.result != nullptr, "columnar reader raised ValueError for a malformed document");
  } else {
    PyErr_Restore(type, value, tb);
    finding("columnar reader raised an unexpected exception");
  }
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(tb);
}


Outcome decode_checked(const uint8_t* data, size_t size, bool also_memoryview) {
  Outcome direct = settle(wexo_fuzz_run(data, size));
  compare_arrow(data, size, direct);
  compare_limited(data, size, direct, -1, -1);
  if (size >= 4) compare_limited(data, size, direct, data[size - 1], data[size - 2]);
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
        need(same_outcome(direct, viaview),
             "run and loads_binary(memoryview) report different errors");
      }
    }
    viaview.clear();
  }
  return direct;
}

uint64_t input_hash(const uint8_t* data, size_t size) {
  uint64_t hash = 14695981039346656037ull;
  for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 1099511628211ull;
  return hash;
}

namespace {


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

void initialize() {
  if (const char* every = std::getenv("WEXO_FUZZ_REINIT"))
    g_reinit = std::strtoull(every, nullptr, 10);
  start();
  // Unless WEXO_FUZZ_REINIT asks, the interpreter is never finalised:
  // libFuzzer exits from its own code.
}

void each_input(const uint8_t* data, size_t size,
                void (*check)(const uint8_t* data, size_t size, uint64_t n)) {
  if (g_reinit && g_inputs > 0 && g_inputs % g_reinit == 0) {
    stop();
    start();
    need(probe_key(false) != g_probe, "a name decoded before the re-initialisation came back");
  }
  g_data = data;
  g_size = size;
  const uint64_t n = g_inputs++;
#if defined(WEXO_FUZZ_REFCOUNT)
  // The first run of an input may warm a cache (an interned name, a free
  // list): a change is only a finding when a second run repeats it.
  Py_ssize_t before = _Py_GetRefTotal();
  check(data, size, n);
  Py_ssize_t delta = _Py_GetRefTotal() - before;
  if (delta != 0) {
    before = _Py_GetRefTotal();
    check(data, size, n);
    delta = _Py_GetRefTotal() - before;
    if (delta != 0) {
      std::fprintf(stderr, "==wexo-fuzz== total reference count changed by %zd\n", delta);
      finding("refcount drift");
    }
  }
#else
  check(data, size, n);
#endif
  g_data = nullptr;
}

}  // namespace oracle
