// The columnar reader (wexo::arrow::columns), reachable from the harness as a
// C function: the Arrow C structures built from an exact-size buffer, checked
// in full by nanoarrow's validation and released, without pyarrow.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <utility>

#include "arrow/arrow.h"
#include "arrow/writer.h"
#include "encode/encoder.h"
#include "nanoarrow/nanoarrow.h"

namespace {

char g_problem[512];  // what was wrong with a table that was built

int problem(const char* what, const ArrowError& error) {
  std::snprintf(g_problem, sizeof g_problem, "%s: %s", what, error.message);
  return -1;
}

// Checks a built table: a struct array whose schema and buffers agree in every
// offset, index and length; the rows it holds in rows.
int check(ArrowSchema* schema, ArrowArray* array, int64_t* rows) {
  ArrowError error;
  error.message[0] = 0;
  if (!schema->format || schema->format[0] != '+' || schema->format[1] != 's')
    return problem("the root is not a struct", error);
  if (schema->n_children != array->n_children)
    return problem("schema and array differ in their number of columns", error);
  ArrowArrayView view;
  if (ArrowArrayViewInitFromSchema(&view, schema, &error) != NANOARROW_OK)
    return problem("the schema does not parse", error);
  int r = 1;
  if (ArrowArrayViewSetArray(&view, array, &error) != NANOARROW_OK) {
    r = problem("the array does not match its schema", error);
  } else if (ArrowArrayViewValidate(&view, NANOARROW_VALIDATION_LEVEL_FULL, &error) !=
             NANOARROW_OK) {
    r = problem("the array fails full validation", error);
  }
  ArrowArrayViewReset(&view);
  *rows = array->length;
  return r;
}

}  // namespace

// 1: a valid table of *rows rows was built (and released); 0: the reader
// failed, with the exception set that loads_arrow would raise for it before
// checking the decoder's verdict; -1: the table built is broken, described by
// wexo_fuzz_arrow_problem(). Needs the interpreter lock.
extern "C" int wexo_fuzz_arrow(const uint8_t* data, size_t size, int64_t* rows) {
  const uint64_t n = static_cast<uint64_t>(size);
  ArrowSchema schema;
  ArrowArray array;
  schema.release = nullptr;
  array.release = nullptr;
  const int collecting = PyGC_Disable();
  wexo::arrow::Own own;
  wexo::arrow::Verdict verdict;
  const wexo::arrow::Shape shape;
  wexo::Status built = wexo::arrow::columns(data, n, wexo::format_budgets(n), shape, &schema,
                                            &array, verdict, own);
  if (collecting) PyGC_Enable();
  int r = 0;
  if (built.ok() && !verdict.records) {
    PyErr_SetString(PyExc_TypeError, "not a record list");
  } else if (built.ok()) {
    r = check(&schema, &array, rows);
  } else {
    wexo::raise(std::move(built).fail());
  }
  // Whatever was made, on success or failure, goes as a consumer lets it go.
  if (array.release) array.release(&array);
  if (schema.release) schema.release(&schema);
  return r;
}

extern "C" const char* wexo_fuzz_arrow_problem(void) { return g_problem; }

// What wexo._ext.loads_columns (behind wexo.loads_arrow) returns for these
// bytes with the default limits, decoded in place on the exact-size buffer: a
// new tuple (schema capsule, array capsule), or null with the exception set
// that loads_arrow raises. Needs the interpreter lock.
extern "C" PyObject* wexo_fuzz_loads_columns(const uint8_t* data, size_t size) {
  const uint64_t n = static_cast<uint64_t>(size);
  const int collecting = PyGC_Disable();  // as in every decode of the package
  const wexo::arrow::Shape shape;
  wexo::Result<wexo::Owned> r =
      wexo::arrow::capsules(data, n, wexo::limited_budgets(n, -1, -1), shape, nullptr);
  if (collecting) PyGC_Enable();
  if (!r.ok()) return wexo::raise(std::move(r).fail());
  return (*r).release();
}

// wexo.dumps_arrow's writer on a table built above (schema and one struct
// array), every option on: 0 with *out a new bytes object holding the
// document; 1 where it refuses a row (as wexo.dumps refuses that row's
// values); 2 where it leaves the table to the Python path (a union, say);
// -1 with the exception set (MemoryError). Needs the interpreter lock.
extern "C" int wexo_fuzz_write_table(const ArrowSchema* schema, const ArrowArray* array,
                                     PyObject** out) {
  wexo::Vec<uint8_t> bytes;
  const ArrowArray* chunks[1] = {array};
  const wexo::arrow::WriteOutcome r =
      wexo::arrow::write_table(schema, chunks, 1, wexo::enc::OPT_ALL, false, bytes);
  switch (r.kind) {
    case wexo::arrow::WriteOutcome::WRITTEN:
      *out = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                       static_cast<Py_ssize_t>(bytes.size()));
      return *out ? 0 : -1;
    case wexo::arrow::WriteOutcome::REFUSED: return 1;
    case wexo::arrow::WriteOutcome::UNSUPPORTED: return 2;
    case wexo::arrow::WriteOutcome::FAILED: break;
  }
  return -1;
}

// wexo_fuzz_loads_columns with a path of one key (a str): the record list at
// that key of the root object. Needs the interpreter lock.
extern "C" PyObject* wexo_fuzz_loads_columns_at(const uint8_t* data, size_t size, PyObject* key) {
  const uint64_t n = static_cast<uint64_t>(size);
  wexo::arrow::Shape shape;
  wexo::arrow::Step step{true, wexo::Str(), 0};
  Py_ssize_t len = 0;
  const char* p = PyUnicode_AsUTF8AndSize(key, &len);
  if (!p) return nullptr;
  step.key.append(p, static_cast<std::size_t>(len));
  shape.path.push_back(std::move(step));
  PyObject* path = PyTuple_Pack(1, key);
  if (!path) return nullptr;
  wexo::Result<wexo::Owned> r =
      wexo::arrow::capsules(data, n, wexo::limited_budgets(n, -1, -1), shape, path);
  Py_DECREF(path);
  if (!r.ok()) return wexo::raise(std::move(r).fail());
  return (*r).release();
}
