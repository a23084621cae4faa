// libFuzzer target fuzz_arrow: wexo.loads_arrow against wexo.loads (the
// oracle's set-up and shared checks are in oracle.h).
//
// Each input goes, on libFuzzer's exact-size buffer, through loads_columns
// (the native call behind wexo.loads_arrow, with the default limits: the
// Arrow C structures in two capsules) and through wexo.loads's decode with
// the same limits. The table is read back without pyarrow: nanoarrow's full
// validation, then every cell turned into the object to_pylist() gives (a
// struct a dict, a list a list, a dictionary index its string, a union the
// value of the child it points at, a null None). The oracle:
//   - both fail with the same WexoError (message and offset), or either with
//     MemoryError;
//   - or loads succeeds, the value is not a record list (a list of dicts), and
//     loads_arrow raises TypeError;
//   - or both succeed, and the rows read back equal the decoded rows as
//     loads_arrow promises them: numbers equal by value (an int in a float64
//     column reads back as a float), a key a row lacks reads back as None (a
//     field absent from a sparse row, or one another row's struct has), every
//     other value of the same type and equal.
// Most mutated inputs are no longer tables: every list that decodes is also
// written again by the native encoder (every option on), and that document
// goes through the same oracle from a buffer of its exact size.
// A root object's first values are also read through a path of their key,
// against loads' value there.
// Every table built is then written again by dumps_arrow's writer, which
// must give the very bytes the encoder writes for the rows read back (or
// refuse them where the encoder does).
// Where loads succeeds, loads_arrow may also refuse what Arrow cannot hold
// (ValueError: a NUL in a name, types nested too deep, 32-bit offsets
// exceeded) or its own bound on copied strings and padding nulls ("decoded
// size too large"); each is counted and printed at exit. Anything else is a
// finding, as are a table that fails validation, a string that is not UTF-8,
// and a table's row count other than the decoded list's.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "nanoarrow/nanoarrow.h"
#include "oracle.h"

namespace {

using oracle::need;
using oracle::Outcome;
using oracle::settle;

const uint8_t* g_encoded = nullptr;  // the encoder's document under way, for reports
size_t g_encoded_size = 0;

void context() {
  if (g_encoded) oracle::dump("the input's list as the encoder writes it", g_encoded, g_encoded_size);
}

struct Counts {
  uint64_t tables = 0;       // tables read back and compared with the rows
  uint64_t encoded = 0;      // of which written by the encoder from a decoded list
  uint64_t not_table = 0;    // roots refused with TypeError
  uint64_t same_error = 0;   // documents both refuse alike
  uint64_t value_error = 0;  // tables Arrow cannot hold (ValueError)
  uint64_t spend = 0;        // refused by loads_arrow's own bound only
  uint64_t memory = 0;       // MemoryError on either side
  uint64_t written_back = 0;   // tables written again by dumps_arrow's writer, byte for byte
  uint64_t refused_alike = 0;  // tables whose rows both writers refuse
  uint64_t python_path = 0;    // tables dumps_arrow leaves to to_pylist() (unions)
  uint64_t at_key = 0;         // tables read at a key of a root object
} g_counts;

void print_counts() {
  std::fprintf(stderr,
               "==wexo-fuzz== loads_arrow: %" PRIu64 " tables compared (%" PRIu64
               " written by the encoder), %" PRIu64 " roots not a table, %" PRIu64
               " refused alike; refused by loads_arrow only: %" PRIu64 " ValueError, %" PRIu64
               " its own size bound; %" PRIu64 " MemoryError\n",
               g_counts.tables, g_counts.encoded, g_counts.not_table, g_counts.same_error,
               g_counts.value_error, g_counts.spend, g_counts.memory);
  std::fprintf(stderr,
               "==wexo-fuzz== dumps_arrow: %" PRIu64 " tables written again byte for byte as "
               "the encoder writes their rows, %" PRIu64 " refused alike, %" PRIu64
               " left to to_pylist(); %" PRIu64 " tables read at a key of the root\n",
               g_counts.written_back, g_counts.refused_alike, g_counts.python_path,
               g_counts.at_key);
}

// The object to_pylist() gives for cell i of the array v, whose schema is s.
// A new reference; null (with MemoryError set) only when out of memory.
PyObject* cell(const ArrowSchema* s, const ArrowArrayView* v, int64_t i) {
  if (ArrowArrayViewIsNull(v, i)) return Py_NewRef(Py_None);
  switch (v->storage_type) {
    case NANOARROW_TYPE_BOOL: return PyBool_FromLong(ArrowArrayViewGetIntUnsafe(v, i) != 0);
    case NANOARROW_TYPE_INT64: return PyLong_FromLongLong(ArrowArrayViewGetIntUnsafe(v, i));
    case NANOARROW_TYPE_DOUBLE: return PyFloat_FromDouble(ArrowArrayViewGetDoubleUnsafe(v, i));
    case NANOARROW_TYPE_STRING: {
      const ArrowStringView t = ArrowArrayViewGetStringUnsafe(v, i);
      PyObject* str = PyUnicode_DecodeUTF8(t.data, t.size_bytes, "strict");
      need(str || PyErr_ExceptionMatches(PyExc_MemoryError), "a string of the table is not UTF-8");
      return str;
    }
    case NANOARROW_TYPE_INT32: {
      need(v->dictionary != nullptr && s->dictionary != nullptr,
           "an int32 column without a dictionary");
      return cell(s->dictionary, v->dictionary, ArrowArrayViewGetIntUnsafe(v, i));
    }
    case NANOARROW_TYPE_LIST: {
      const int64_t from = ArrowArrayViewListChildOffset(v, v->offset + i);
      const int64_t to = ArrowArrayViewListChildOffset(v, v->offset + i + 1);
      PyObject* list = PyList_New(to - from);
      for (int64_t j = from; list && j < to; ++j) {
        PyObject* x = cell(s->children[0], v->children[0], j);
        if (!x) Py_CLEAR(list);
        else PyList_SET_ITEM(list, j - from, x);
      }
      return list;
    }
    case NANOARROW_TYPE_STRUCT: {
      PyObject* dict = PyDict_New();
      for (int64_t k = 0; dict && k < v->n_children; ++k) {
        PyObject* x = cell(s->children[k], v->children[k], i);
        if (!x || PyDict_SetItemString(dict, s->children[k]->name, x) < 0) Py_CLEAR(dict);
        Py_XDECREF(x);
      }
      return dict;
    }
    case NANOARROW_TYPE_DENSE_UNION: {
      const int8_t k = ArrowArrayViewUnionChildIndex(v, i);
      return cell(s->children[k], v->children[k], ArrowArrayViewUnionChildOffset(v, i));
    }
    default: oracle::finding("the table holds a type loads_arrow does not make");
  }
}

bool is_number(PyObject* x) {
  return PyLong_CheckExact(x) || PyFloat_CheckExact(x);
}

// Whether got (a row read back) is want (the decoded row) as loads_arrow
// promises it; see the file's comment.
bool matches(PyObject* want, PyObject* got) {
  if (PyDict_CheckExact(want)) {
    if (!PyDict_CheckExact(got)) return false;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(want, &pos, &k, &v)) {
      PyObject* g = PyDict_GetItemWithError(got, k);
      need(g || !PyErr_Occurred(), "dict lookup failed");
      if (!g || !matches(v, g)) return false;
    }
    pos = 0;
    while (PyDict_Next(got, &pos, &k, &v)) {
      if (v == Py_None) continue;
      PyObject* w = PyDict_GetItemWithError(want, k);
      need(w || !PyErr_Occurred(), "dict lookup failed");
      if (!w) return false;
    }
    return true;
  }
  if (PyList_CheckExact(want)) {
    if (!PyList_CheckExact(got) || PyList_GET_SIZE(got) != PyList_GET_SIZE(want)) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(want); ++i)
      if (!matches(PyList_GET_ITEM(want, i), PyList_GET_ITEM(got, i))) return false;
    return true;
  }
  if (!(is_number(want) && is_number(got)) && Py_TYPE(want) != Py_TYPE(got)) return false;
  const int eq = PyObject_RichCompareBool(want, got, Py_EQ);
  need(eq >= 0, "comparison failed");
  return eq == 1;
}

// The table written again by dumps_arrow's writer: the very bytes the
// encoder writes for the rows read back from it, or refused where the
// encoder refuses them (a NaN, say).
void write_back(const ArrowSchema* schema, const ArrowArray* array, PyObject* back) {
  PyObject* written = nullptr;
  const int r = wexo_fuzz_write_table(schema, array, &written);
  if (r < 0) {
    need(PyErr_ExceptionMatches(PyExc_MemoryError), "dumps_arrow's writer failed");
    PyErr_Clear();
    ++g_counts.memory;
    return;
  }
  if (r == 2) {
    ++g_counts.python_path;
    return;
  }
  PyObject* want = wexo_fuzz_encode(back, wexo_fuzz_encode_all());
  if (!want) {
    const bool memory = PyErr_ExceptionMatches(PyExc_MemoryError);
    need(memory || r == 1, "dumps_arrow's writer wrote rows the encoder refuses");
    PyErr_Clear();
    if (memory) ++g_counts.memory;
    else ++g_counts.refused_alike;
    return;
  }
  need(r == 0, "dumps_arrow's writer refused rows the encoder writes");
  const int same = PyObject_RichCompareBool(written, want, Py_EQ);
  if (same != 1) {
    oracle::dump("dumps_arrow's writer", reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(written)),
                 static_cast<size_t>(PyBytes_GET_SIZE(written)));
    oracle::dump("the encoder", reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(want)),
                 static_cast<size_t>(PyBytes_GET_SIZE(want)));
    oracle::finding("dumps_arrow's writer and the encoder write the rows differently");
  }
  Py_DECREF(written);
  Py_DECREF(want);
  ++g_counts.written_back;
}

// The table in the capsules, validated and read back as rows, against the
// decoded rows; then written again.
void compare_table(PyObject* capsules, PyObject* rows) {
  need(PyTuple_CheckExact(capsules) && PyTuple_GET_SIZE(capsules) == 2,
       "loads_columns returned something other than two capsules");
  auto* schema = static_cast<ArrowSchema*>(
      PyCapsule_GetPointer(PyTuple_GET_ITEM(capsules, 0), "arrow_schema"));
  auto* array = static_cast<ArrowArray*>(
      PyCapsule_GetPointer(PyTuple_GET_ITEM(capsules, 1), "arrow_array"));
  need(schema && array && schema->release && array->release,
       "loads_columns' capsules hold no schema or array");
  ArrowError error;
  error.message[0] = 0;
  ArrowArrayView view;
  const char* broken = nullptr;
  if (ArrowArrayViewInitFromSchema(&view, schema, &error) != NANOARROW_OK) {
    broken = "the table's schema does not parse";
  } else if (ArrowArrayViewSetArray(&view, array, &error) != NANOARROW_OK) {
    broken = "the table's array does not match its schema";
  } else if (ArrowArrayViewValidate(&view, NANOARROW_VALIDATION_LEVEL_FULL, &error) !=
             NANOARROW_OK) {
    broken = "the table fails full validation";
  } else if (view.storage_type != NANOARROW_TYPE_STRUCT) {
    broken = "the table is not a struct array";
  }
  if (broken) {
    std::fprintf(stderr, "==wexo-fuzz== %s\n", error.message);
    oracle::finding(broken);
  }
  need(PyList_CheckExact(rows) && view.length == PyList_GET_SIZE(rows),
       "the table and loads differ in their number of rows");
  PyObject* back = PyList_New(0);  // the rows read back, as to_pylist() gives them
  need(back != nullptr, "no list for the rows read back");
  for (int64_t i = 0; i < view.length; ++i) {
    PyObject* got = cell(schema, &view, i);
    if (!got) {
      need(PyErr_ExceptionMatches(PyExc_MemoryError), "reading the table back failed");
      PyErr_Clear();
      ++g_counts.memory;
      Py_CLEAR(back);
      break;
    }
    if (back && PyList_Append(back, got) < 0) {
      PyErr_Clear();
      Py_CLEAR(back);
    }
    if (!matches(PyList_GET_ITEM(rows, i), got)) {
      std::fprintf(stderr, "==wexo-fuzz== row %" PRId64 ":\n", i);
      PyObject_Print(PyList_GET_ITEM(rows, i), stderr, 0);
      std::fprintf(stderr, "\n==wexo-fuzz== read back from the table:\n");
      PyObject_Print(got, stderr, 0);
      std::fprintf(stderr, "\n");
      oracle::finding("a row read back from loads_arrow's table differs from loads'");
    }
    Py_DECREF(got);
  }
  ArrowArrayViewReset(&view);
  ++g_counts.tables;
  if (back) write_back(schema, array, back);
  Py_XDECREF(back);
}

// A root object's values through a path of one key each: a record list's
// table against loads' rows, anything else refused with TypeError, and the
// whole document read all the same (loads decoded it: no WexoError).
void at_keys(const uint8_t* data, size_t size, PyObject* root) {
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  int seen = 0;
  while (PyDict_Next(root, &pos, &key, &value) && seen++ < 4) {
    PyObject* capsules = wexo_fuzz_loads_columns_at(data, size, key);
    if (capsules) {
      need(oracle::record_list(value), "loads_arrow built a table at a key that holds no record list");
      compare_table(capsules, value);
      ++g_counts.at_key;
      Py_DECREF(capsules);
      continue;
    }
    PyObject *type, *val, *tb;
    PyErr_Fetch(&type, &val, &tb);
    if (PyErr_GivenExceptionMatches(type, PyExc_MemoryError)) {
      ++g_counts.memory;
    } else if (PyErr_GivenExceptionMatches(type, PyExc_TypeError)) {
      need(!oracle::record_list(value), "loads_arrow refused a record list at a key");
    } else if (PyErr_GivenExceptionMatches(type, PyExc_ValueError) && type != oracle::g_wexo_error) {
      ++g_counts.value_error;  // what Arrow cannot hold
    } else if (type == oracle::g_wexo_error) {
      // its own bound on copied strings, the only refusal of a document loads decodes
      ++g_counts.spend;
    } else {
      PyErr_Restore(type, val, tb);
      oracle::finding("loads_arrow at a key raised an unexpected exception");
    }
    Py_XDECREF(type);
    Py_XDECREF(val);
    Py_XDECREF(tb);
  }
}

// The oracle on one document. With list non-null, a list that loads decodes
// is handed back there (a new reference).
void compare(const uint8_t* data, size_t size, PyObject** list) {
  Outcome loads = settle(wexo_fuzz_run_limited(data, size, -1, -1));
  PyObject* capsules = wexo_fuzz_loads_columns(data, size);
  if (capsules) {
    need(!PyErr_Occurred(), "loads_columns returned with an exception set");
    need(loads.result || loads.memory_error, "loads_arrow built a table where loads fails");
    if (loads.result) compare_table(capsules, loads.result);
    else ++g_counts.memory;
    Py_DECREF(capsules);
  } else {
    need(PyErr_Occurred() != nullptr, "loads_columns failed without an exception");
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (PyErr_GivenExceptionMatches(type, PyExc_MemoryError) || loads.memory_error) {
      ++g_counts.memory;
    } else if (type == oracle::g_wexo_error) {
      need(value != nullptr, "WexoError without an instance");
      oracle::ErrorInfo e = oracle::check_wexo_error(value, size);
      if (loads.result) {
        if (PyUnicode_CompareWithASCIIString(e.message, "decoded size too large") != 0) {
          std::fprintf(stderr, "==wexo-fuzz== loads_arrow: offset %" PRIu64 ": %s\n",
                       e.offset, PyUnicode_AsUTF8(e.message));
          oracle::finding("loads_arrow refuses a document loads accepts");
        }
        ++g_counts.spend;
      } else {
        if (e.offset != loads.error.offset ||
            PyUnicode_Compare(e.message, loads.error.message) != 0) {
          std::fprintf(stderr, "==wexo-fuzz== loads: offset %" PRIu64 ": %s\n",
                       loads.error.offset, PyUnicode_AsUTF8(loads.error.message));
          std::fprintf(stderr, "==wexo-fuzz== loads_arrow: offset %" PRIu64 ": %s\n",
                       e.offset, PyUnicode_AsUTF8(e.message));
          oracle::finding("loads_arrow and loads refuse with different messages or offsets");
        }
        ++g_counts.same_error;
      }
      Py_DECREF(e.message);
    } else if (type == PyExc_TypeError) {
      need(loads.result && !oracle::record_list(loads.result),
           "loads_arrow raised TypeError where loads fails, or for a record list");
      ++g_counts.not_table;
    } else if (type == PyExc_ValueError) {
      need(loads.result != nullptr, "loads_arrow raised ValueError where loads fails");
      ++g_counts.value_error;
    } else {
      PyErr_Restore(type, value, tb);
      oracle::finding("loads_arrow raised an unexpected exception");
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
  }
  if (loads.result && PyDict_CheckExact(loads.result)) at_keys(data, size, loads.result);
  if (list && loads.result && PyList_CheckExact(loads.result) && PyList_GET_SIZE(loads.result)) {
    *list = loads.result;
    loads.result = nullptr;
  }
  loads.clear();
  need(!PyErr_Occurred(), "exception left pending");
}

void check(const uint8_t* data, size_t size, uint64_t) {
  PyObject* list = nullptr;
  compare(data, size, &list);
  if (!list) return;
  PyObject* doc = wexo_fuzz_encode(list, wexo_fuzz_encode_all());
  Py_DECREF(list);
  if (!doc) {
    // Refused (nested too deep for a document) or out of memory: the round
    // trip's target judges the encoder.
    PyErr_Clear();
    return;
  }
  const auto* b = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(doc));
  const std::vector<uint8_t> exact(b, b + PyBytes_GET_SIZE(doc));
  Py_DECREF(doc);
  g_encoded = exact.data();
  g_encoded_size = exact.size();
  const uint64_t before = g_counts.tables;
  compare(exact.data(), exact.size(), nullptr);
  g_counts.encoded += g_counts.tables - before;
  g_encoded = nullptr;
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
