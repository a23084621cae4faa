// libFuzzer target fuzz_roundtrip: fuzz_loads' checks on every input (see
// fuzz_loads.cpp and oracle.h), then the native encoder's round trip of every
// tree that decodes, and the stream reader on every input.
//
// Every tree that decodes is encoded again by the native encoder, three ways:
// with every option on; with the options the input's last two bytes select;
// and, with those options, inside a list that holds the tree twice and a few
// of its own containers once more (shared containers: the encoder's anchors,
// and the decoder's expansion budget). Each document is decoded again from a
// buffer of its exact size, and goes through the columnar reader as inputs
// do. Findings, besides fuzz_loads':
//   - any exception from the encoder but MemoryError (a tree nested deeper
//     than a document may hold is counted and skipped: the encoder refuses it
//     with ValueError, and must, since the tree has no shared parts);
//   - any failure of the second decode but MemoryError, the budgets' "decoded
//     size too large" and "reference expansion too large" included;
//   - a second tree that is not the first (same types, key order, float bits);
//   - encoding the second tree giving other bytes than the first encoding.
//
// Every input is also read as a stream of documents written back to back (in
// place, as iter_loads reads it; fed in pieces, as StreamDecoder is fed), and
// every encoded document twice back to back; see compare_streams.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "oracle.h"

namespace {

using oracle::check_tree;
using oracle::compare_arrow;
using oracle::dump;
using oracle::ErrorInfo;
using oracle::finding;
using oracle::g_data;
using oracle::g_size;
using oracle::need;
using oracle::Outcome;
using oracle::same_outcome;
using oracle::same_tree;
using oracle::settle;

const char* g_stage = nullptr;     // the round trip's step under way, for reports
unsigned g_options = 0;            // its encoder options
PyObject* g_encoded = nullptr;     // the document being decoded again (borrowed)

void context() {
  if (g_stage) std::fprintf(stderr, "==wexo-fuzz== round trip: %s, options 0x%03x\n", g_stage, g_options);
  if (g_encoded && PyBytes_Check(g_encoded)) {
    oracle::dump("encoded document", reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(g_encoded)),
                 static_cast<size_t>(PyBytes_GET_SIZE(g_encoded)));
  }
}

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
    PyObject* fed = wexo_fuzz_stream_pieces(data, size, oracle::input_hash(data, size) + end, end,
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
  const uint64_t hash = oracle::input_hash(g_data, g_size);
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

void check(const uint8_t* data, size_t size, uint64_t n) {
  Outcome direct = oracle::decode_checked(data, size, n % 8 == 0);
  compare_streams(data, size);
  if (direct.result) roundtrips(direct.result);
  direct.clear();
  need(!PyErr_Occurred(), "exception left pending");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  oracle::g_context = context;
  oracle::initialize();
  std::atexit(print_counts);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  oracle::each_input(data, size, check);
  return 0;
}
