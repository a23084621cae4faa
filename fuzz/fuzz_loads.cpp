// libFuzzer target for the WEXO decoder.
//
// The interpreter is embedded (malloc as its allocator, so that ASan sees
// every object), wexo_native is imported through its normal multi-phase
// start-up, and each input is decoded by run on libFuzzer's own buffer, whose
// size is exactly the input's: a read one byte past the document is a
// heap-buffer-overflow here, where a bytes object would hide it behind its
// trailing NUL. Every 8th input also goes through loads_binary(memoryview(..))
// and both outcomes must agree. Every input is also decoded within limits, as
// wexo.loads decodes it: with the defaults for its size, and with small limits
// taken from its last two bytes. Each outcome must be the unlimited one, or a
// failure of a limit ("decoded size too large", "reference expansion too
// large").
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
//   - a decode within limits that differs from the unlimited one other than
//     by failing with a limit's message;
//   - with WEXO_FUZZ_REFCOUNT (debug libpython): a change of the interpreter's
//     total reference count over an input, seen twice in a row.
//
// Built with WEXO_FUZZ_ROUNDTRIP (the target fuzz_roundtrip), every tree that
// decodes is also encoded again by the native encoder, three ways: with every
// option on; with the options the input's last two bytes select; and, with
// those options, inside a list that holds the tree twice and a few of its own
// containers once more (shared containers: the encoder's anchors, and the
// decoder's expansion budget). Each document is decoded again from a buffer of
// its exact size, and goes through the columnar reader as inputs do. Findings,
// besides the above:
//   - any exception from the encoder but MemoryError (a tree nested deeper
//     than a document may hold is counted and skipped: the encoder refuses it
//     with ValueError, and must, since the tree has no shared parts);
//   - any failure of the second decode but MemoryError, the budgets' "decoded
//     size too large" and "reference expansion too large" included;
//   - a second tree that is not the first (same types, key order, float bits);
//   - encoding the second tree giving other bytes than the first encoding.
//
// Every input also goes through the columnar reader (wexo::arrow::columns,
// fuzz/arrow_shim.cpp), which builds the Arrow C structures of a root table
// without pyarrow; a table it builds must pass nanoarrow's full validation
// (offsets, union offsets and dictionary indexes in range) and hold as many
// rows as the decoder's list, and is then released. Findings, besides the
// above:
//   - a table built from a document the decoder refuses, or with another
//     number of rows, or one that fails validation;
//   - a refusal other than the decoder's (message and offset), where the
//     decoder refuses too;
//   - where the decoder succeeds, any refusal but these: TypeError for a root
//     that is not a table, ValueError for a name holding NUL, "decoded size
//     too large" (the bound on copied string bytes), MemoryError.
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
extern "C" PyObject* wexo_fuzz_run_limited(const uint8_t* data, size_t size, int64_t cells,
                                           int64_t copies);
extern "C" int wexo_fuzz_arrow(const uint8_t* data, size_t size, int64_t* rows);
extern "C" const char* wexo_fuzz_arrow_problem(void);
#ifdef WEXO_FUZZ_ROUNDTRIP
extern "C" PyObject* wexo_fuzz_encode(PyObject* root, unsigned options);
extern "C" unsigned wexo_fuzz_encode_all(void);
extern "C" unsigned wexo_fuzz_max_depth(void);
extern "C" PyObject* wexo_fuzz_iter_loads(const uint8_t* data, size_t size, int* failed);
extern "C" PyObject* wexo_fuzz_stream_pieces(const uint8_t* data, size_t size, uint64_t seed,
                                             int end, int* failed, uint64_t* pending);
#endif

namespace {

PyObject* g_loads = nullptr;        // wexo_native.loads_binary
PyObject* g_wexo_error = nullptr;   // wexo_native.WexoError
uint64_t g_inputs = 0;
uint64_t g_reinit = 0;              // WEXO_FUZZ_REINIT; 0: never

const uint8_t* g_data = nullptr;  // the input being decoded, for reports
size_t g_size = 0;
#ifdef WEXO_FUZZ_ROUNDTRIP
const char* g_stage = nullptr;     // the round trip's step under way, for reports
unsigned g_options = 0;            // its encoder options
PyObject* g_encoded = nullptr;     // the document being decoded again (borrowed)
#endif

void dump(const char* what, const uint8_t* p, size_t n) {
  std::fprintf(stderr, "==wexo-fuzz== %s (%zu bytes):", what, n);
  for (size_t i = 0; i < n && i < 256; ++i) std::fprintf(stderr, " %02x", p[i]);
  std::fprintf(stderr, n > 256 ? " ...\n" : "\n");
}

[[noreturn]] void finding(const char* what) {
  std::fprintf(stderr, "\n==wexo-fuzz== FINDING: %s\n", what);
  if (g_data) dump("input", g_data, g_size);
#ifdef WEXO_FUZZ_ROUNDTRIP
  if (g_stage) std::fprintf(stderr, "==wexo-fuzz== round trip: %s, options 0x%03x\n", g_stage, g_options);
  if (g_encoded && PyBytes_Check(g_encoded)) {
    dump("encoded document", reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(g_encoded)),
         static_cast<size_t>(PyBytes_GET_SIZE(g_encoded)));
  }
#endif
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

ErrorInfo check_wexo_error(PyObject* exc, size_t size = g_size) {
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
    need(direct.result && size >= 3 && data[2] != 0x09 && data[2] != 0x0D,
         "columnar reader raised TypeError for a table root or a malformed document");
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

#ifdef WEXO_FUZZ_ROUNDTRIP
// What the round trips did, printed at exit.
struct Counts {
  uint64_t trees = 0;      // inputs that decoded
  uint64_t documents = 0;  // documents encoded, decoded again and compared
  uint64_t too_deep = 0;   // trees refused as nested too deep for a document
  uint64_t memory = 0;     // steps ended by MemoryError
} g_counts;

void print_counts() {
  std::fprintf(stderr,
               "==wexo-fuzz== round trips: %" PRIu64 " trees, %" PRIu64
               " documents encoded and decoded again; skipped: %" PRIu64
               " too deep to encode, %" PRIu64 " MemoryError\n",
               g_counts.trees, g_counts.documents, g_counts.too_deep, g_counts.memory);
}

// The nesting a document needs for x: 0 for a scalar or an empty container,
// else 1 + that of its tallest element. Also lists every container of x.
uint64_t height(PyObject* root, std::vector<PyObject*>& containers) {
  std::vector<std::pair<PyObject*, uint64_t>> stack{{root, 0}};
  uint64_t tallest = 0;
  while (!stack.empty()) {
    auto [x, depth] = stack.back();
    stack.pop_back();
    if (PyList_CheckExact(x)) {
      containers.push_back(x);
      const Py_ssize_t n = PyList_GET_SIZE(x);
      if (n && tallest < depth + 1) tallest = depth + 1;
      for (Py_ssize_t i = 0; i < n; ++i) stack.emplace_back(PyList_GET_ITEM(x, i), depth + 1);
    } else if (PyDict_CheckExact(x)) {
      containers.push_back(x);
      if (PyDict_GET_SIZE(x) && tallest < depth + 1) tallest = depth + 1;
      Py_ssize_t pos = 0;
      PyObject *k, *v;
      while (PyDict_Next(x, &pos, &k, &v)) stack.emplace_back(v, depth + 1);
    }
  }
  return tallest;
}

// A new bytes object: tree encoded with options. Null when the step is
// skipped: MemoryError, or a tree taller than a document may hold refused
// for its nesting. Anything else is a finding.
PyObject* encode_checked(PyObject* tree, unsigned options, uint64_t tree_height) {
  PyObject* doc = wexo_fuzz_encode(tree, options);
  if (doc) {
    need(!PyErr_Occurred(), "encoder returned a document with an exception set");
    need(PyBytes_CheckExact(doc), "encoder returned something other than bytes");
    return doc;
  }
  need(PyErr_Occurred() != nullptr, "encoder failed without an exception");
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Clear();
    ++g_counts.memory;
    return nullptr;
  }
  if (tree_height > wexo_fuzz_max_depth() && PyErr_ExceptionMatches(PyExc_ValueError)) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyObject* text = value ? PyObject_Str(value) : nullptr;
    const char* t = text ? PyUnicode_AsUTF8(text) : nullptr;
    const bool depth = t && std::strstr(t, "nesting deeper than") != nullptr;
    Py_XDECREF(text);
    if (depth) {
      Py_XDECREF(type);
      Py_XDECREF(value);
      Py_XDECREF(tb);
      ++g_counts.too_deep;
      return nullptr;
    }
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
  }
  finding("the encoder refused a decoded tree");
}

// The tree that doc decodes to, read from a buffer of exactly its size (a
// read past the document is an overflow). Null after MemoryError; any other
// failure is a finding: the encoder writes only what the decoder takes back,
// within its budgets.
PyObject* decode_again(PyObject* doc) {
  const size_t n = static_cast<size_t>(PyBytes_GET_SIZE(doc));
  std::vector<uint8_t> buf(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(doc)),
                           reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(doc)) + n);
  buf.shrink_to_fit();
  PyObject* tree = wexo_fuzz_run(buf.data(), n);
  if (tree) {
    need(!PyErr_Occurred(), "result returned with an exception set");
    check_tree(tree);
    return tree;
  }
  need(PyErr_Occurred() != nullptr, "failure returned without an exception");
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Clear();
    ++g_counts.memory;
    return nullptr;
  }
  finding("the encoder's document does not decode");
}

void stream_twice(PyObject* doc, PyObject* tree);  // below

// Encodes tree, decodes the document and compares the trees; then encodes
// again (the second tree, or with shared containers the same tree, whose
// sharing the decoded one lacks) and compares the bytes.
void roundtrip(PyObject* tree, unsigned options, uint64_t tree_height, bool shared,
               const char* stage) {
  g_stage = stage;
  g_options = options;
  PyObject* doc = encode_checked(tree, options, tree_height);
  if (!doc) return;
  g_encoded = doc;
  PyObject* again = decode_again(doc);
  if (again) {
    ++g_counts.documents;
    need(same_tree(tree, again), "the encoder's document decodes to another tree");
    stream_twice(doc, again);
    // The encoder's tables are richer than most mutated inputs: through the
    // columnar reader too, from a buffer of the document's exact size.
    const auto* bytes = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(doc));
    const std::vector<uint8_t> exact(bytes, bytes + PyBytes_GET_SIZE(doc));
    Outcome decoded;
    decoded.result = again;  // borrowed: released below
    compare_arrow(exact.data(), exact.size(), decoded);
    PyObject* doc2 = encode_checked(shared ? tree : again, options, tree_height);
    if (doc2) {
      if (PyBytes_GET_SIZE(doc2) != PyBytes_GET_SIZE(doc) ||
          std::memcmp(PyBytes_AS_STRING(doc2), PyBytes_AS_STRING(doc),
                      static_cast<size_t>(PyBytes_GET_SIZE(doc))) != 0) {
        dump("second encoding", reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(doc2)),
             static_cast<size_t>(PyBytes_GET_SIZE(doc2)));
        finding(shared ? "encoding the same tree twice gives different bytes"
                       : "encoding the decoded tree gives different bytes");
      }
      Py_DECREF(doc2);
    }
    Py_DECREF(again);
  }
  g_encoded = nullptr;
  Py_DECREF(doc);
  g_stage = nullptr;
}

// A failure that more bytes could have avoided, as the stream reader judges
// it: at the end of the input, input ending inside a value, a budget that
// grows with the input, or a lone first byte of a prologue.
// (The format's copy budget is fixed: its plain "reference expansion too
// large" is final; the default max_copies grows with the input.)
bool growable(const ErrorInfo& e, size_t size) {
  const char* text = PyUnicode_AsUTF8(e.message);
  need(text != nullptr, "WexoError.message is not UTF-8");
  return e.offset >= size || std::strcmp(text, "truncated input") == 0 ||
         std::strncmp(text, "decoded size too large", 22) == 0 ||
         std::strncmp(text, "reference expansion too large: over max_copies=", 47) == 0 ||
         (e.offset + 1 == size && g_data[e.offset] == 0x0F &&
          PyUnicode_CompareWithASCIIString(e.message, "not a WEXO binary document") == 0);
}

uint64_t input_hash(const uint8_t* data, size_t size) {
  uint64_t hash = 14695981039346656037ull;
  for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 1099511628211ull;
  return hash;
}

// The input as a stream of documents: read in place as iter_loads reads it,
// against loads of the whole input, and fed in pieces as StreamDecoder is fed.
void compare_streams(const uint8_t* data, size_t size) {
  int failed = 0;
  PyObject* docs = wexo_fuzz_iter_loads(data, size, &failed);
  if (!docs) {
    need(PyErr_ExceptionMatches(PyExc_MemoryError), "stream reader failed to start");
    PyErr_Clear();
    return;
  }
  Outcome fault;
  if (failed) fault = settle(nullptr);
  const Py_ssize_t n = PyList_GET_SIZE(docs);
  for (Py_ssize_t i = 0; i < n; ++i) check_tree(PyList_GET_ITEM(docs, i));
  Outcome whole = settle(wexo_fuzz_run_limited(data, size, -1, -1));
  if (size == 0) {
    need(!failed && n == 0, "an empty stream yields something or fails");
  } else if (!whole.memory_error && !fault.memory_error) {
    if (whole.result) {
      need(!failed && n == 1 && same_tree(PyList_GET_ITEM(docs, 0), whole.result),
           "iter_loads of one document differs from loads");
    } else if (PyUnicode_CompareWithASCIIString(whole.error.message, "trailing data") == 0) {
      need(n >= 1, "iter_loads yields nothing where loads finds trailing data");
    } else {
      need(failed && n == 0 && same_outcome(whole, fault),
           "iter_loads fails otherwise than loads on the first document");
    }
  }
  whole.clear();
  for (int end = 0; end < 2 && !fault.memory_error; ++end) {
    int fed_failed = 0;
    uint64_t pending = 0;
    PyObject* fed = wexo_fuzz_stream_pieces(data, size, input_hash(data, size) + end, end,
                                            &fed_failed, &pending);
    need(fed != nullptr, "stream decoder failed to start");
    Outcome fed_fault;
    if (fed_failed) fed_fault = settle(nullptr);
    if (!fed_fault.memory_error) {
      // Without the end, a document held in part may wait for more bytes than
      // its tries have read (the retry schedule): what is yielded is then a
      // prefix of iter_loads' documents, and the rest is held. A failure
      // raised is iter_loads' own, and one that more bytes could not avoid.
      const Py_ssize_t m = PyList_GET_SIZE(fed);
      bool same = end ? m == n : m <= n;
      for (Py_ssize_t i = 0; same && i < m; ++i)
        same = same_tree(PyList_GET_ITEM(fed, i), PyList_GET_ITEM(docs, i));
      need(same, "the stream decoder fed in pieces yields other documents than iter_loads");
      if (end) {
        need(failed == fed_failed && (!failed || same_outcome(fed_fault, fault)) &&
                 (failed || pending == 0),
             "the stream decoder at the end of its input differs from iter_loads");
      } else if (fed_failed) {
        need(failed && m == n && same_outcome(fed_fault, fault) && !growable(fault.error, size),
             "the stream decoder fails otherwise than iter_loads");
      } else {
        // Held: the documents not yet yielded, or the one that fails (a final
        // failure, too, waits for the document's next try).
        need(m < n || failed ? pending > 0 : pending == 0,
             "the stream decoder holds other bytes than iter_loads leaves");
      }
    }
    fed_fault.clear();
    Py_DECREF(fed);
  }
  fault.clear();
  Py_DECREF(docs);
  need(!PyErr_Occurred(), "exception left pending by the stream reader");
}

// A document written twice, back to back, from a buffer of exactly their size:
// the stream reader yields the tree twice.
void stream_twice(PyObject* doc, PyObject* tree) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(doc));
  const size_t n = static_cast<size_t>(PyBytes_GET_SIZE(doc));
  std::vector<uint8_t> two(bytes, bytes + n);
  two.insert(two.end(), bytes, bytes + n);
  two.shrink_to_fit();
  int failed = 0;
  PyObject* docs = wexo_fuzz_iter_loads(two.data(), two.size(), &failed);
  if (!docs || failed) {
    need(PyErr_ExceptionMatches(PyExc_MemoryError), "the encoder's document twice fails as a stream");
    PyErr_Clear();
    Py_XDECREF(docs);
    return;
  }
  need(PyList_GET_SIZE(docs) == 2 && same_tree(PyList_GET_ITEM(docs, 0), tree) &&
           same_tree(PyList_GET_ITEM(docs, 1), tree),
       "the encoder's document twice does not stream back as the tree twice");
  Py_DECREF(docs);
}

// The three round trips of one decoded tree.
void roundtrips(PyObject* tree) {
  ++g_counts.trees;
  std::vector<PyObject*> containers;
  const uint64_t h = height(tree, containers);
  roundtrip(tree, wexo_fuzz_encode_all(), h, false, "every option");
  // Options 0 to 7 from the last byte, 8 and 9 from the one before.
  const unsigned last = g_size ? g_data[g_size - 1] : 0u;
  const unsigned before = g_size > 1 ? g_data[g_size - 2] : 0u;
  const unsigned chosen = (last | (before & 3u) << 8) & wexo_fuzz_encode_all();
  if (chosen != wexo_fuzz_encode_all()) roundtrip(tree, chosen, h, false, "options of the input");
  // Shared containers: [tree, tree, c1, c2, c3], the c's containers of tree
  // picked by a hash of the input. Needs one level more than tree.
  if (containers.empty() || h + 1 > wexo_fuzz_max_depth()) return;
  uint64_t hash = 14695981039346656037ull;
  for (size_t i = 0; i < g_size; ++i) hash = (hash ^ g_data[i]) * 1099511628211ull;
  PyObject* root = PyList_New(0);
  need(root != nullptr, "list creation failed");
  bool ok = PyList_Append(root, tree) == 0 && PyList_Append(root, tree) == 0;
  for (uint64_t k = 1; ok && k <= 3 && containers.size() > 1; ++k) {
    ok = PyList_Append(root, containers[(hash >> (16 * k)) % containers.size()]) == 0;
  }
  if (ok) {
    roundtrip(root, chosen, h + 1, true, "shared containers");
  } else {
    need(PyErr_ExceptionMatches(PyExc_MemoryError), "list append failed");
    PyErr_Clear();
  }
  Py_DECREF(root);
}
#endif

void decode_one(const uint8_t* data, size_t size, bool also_memoryview) {
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
#ifdef WEXO_FUZZ_ROUNDTRIP
  compare_streams(data, size);
  if (direct.result) roundtrips(direct.result);
#endif
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
#ifdef WEXO_FUZZ_ROUNDTRIP
  std::atexit(print_counts);
#endif
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
