// The fuzzing oracle shared by every libFuzzer target of fuzz/.
//
// Files of fuzz/:
//   oracle.h / oracle.cpp  the embedded interpreter (malloc as its allocator,
//                          wexo_native imported through its normal multi-phase
//                          start-up), the checks of one decoding's outcome, the
//                          comparisons every target shares (within limits, the
//                          columnar reader against the decoder), the per-input
//                          driver (re-initialisation, refcount drift) and the
//                          report of a finding
//   fuzz_loads.cpp         target fuzz_loads: the decoder, its call paths and
//                          limits, and the columnar reader, on each input
//   fuzz_roundtrip.cpp     target fuzz_roundtrip: fuzz_loads' checks, then the
//                          encoder's round trip of every tree that decodes and
//                          the stream reader on every input
//   fuzz_arrow.cpp         target fuzz_arrow: loads_columns (what wexo.loads_arrow
//                          calls) against wexo.loads on each input, the table read
//                          back natively as rows
//   run_shim.cpp           the module's run (and run within limits) as C functions
//   arrow_shim.cpp         the columnar reader and loads_columns as C functions
//   encode_shim.cpp        the native encoder as C functions
//   stream_shim.cpp        the stream reader as C functions
//   make_seeds.py          writes seeds/; wexo.dict: libFuzzer's dictionary
//
// The targets and this oracle use the full C API (interpreter configuration);
// the shims are compiled with the module's sources under the limited API, and
// only C types and objects cross between them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#if defined(WEXO_FUZZ_REFCOUNT) && !defined(Py_REF_DEBUG)
#error "WEXO_FUZZ_REFCOUNT needs a debug interpreter (Py_REF_DEBUG)"
#endif

// ---- the shims (C functions over the module's code)
extern "C" {
PyObject* PyInit_wexo_native(void);
PyObject* wexo_fuzz_run(const uint8_t* data, size_t size);
PyObject* wexo_fuzz_run_limited(const uint8_t* data, size_t size, int64_t cells,
                                int64_t copies);
int wexo_fuzz_arrow(const uint8_t* data, size_t size, int64_t* rows);
const char* wexo_fuzz_arrow_problem(void);
PyObject* wexo_fuzz_loads_columns(const uint8_t* data, size_t size);
PyObject* wexo_fuzz_loads_columns_at(const uint8_t* data, size_t size, PyObject* key);
int wexo_fuzz_write_table(const struct ArrowSchema* schema, const struct ArrowArray* array,
                          PyObject** out);
PyObject* wexo_fuzz_encode(PyObject* root, unsigned options);
unsigned wexo_fuzz_encode_all(void);
unsigned wexo_fuzz_max_depth(void);
PyObject* wexo_fuzz_iter_loads(const uint8_t* data, size_t size, int* failed);
PyObject* wexo_fuzz_stream_pieces(const uint8_t* data, size_t size, uint64_t seed, int end,
                                  int* failed, uint64_t* pending);
}

namespace oracle {

extern PyObject* g_loads;       // wexo_native.loads_binary
extern PyObject* g_wexo_error;  // wexo_native.WexoError
extern const uint8_t* g_data;   // the input under way, for reports
extern size_t g_size;

// Prints what a target knows of the step under way, after the input (set by
// the target; may be null).
extern void (*g_context)(void);

void dump(const char* what, const uint8_t* p, size_t n);
[[noreturn]] void finding(const char* what);
inline void need(bool ok, const char* what) {
  if (!ok) finding(what);
}

// Every node of a decoded tree: dict, list, str, int, finite float, bool,
// None; str keys; every list and dict held by its parent only.
void check_tree(PyObject* root);
// Exact equality of two decoded trees: types, key order, float bits.
bool same_tree(PyObject* a, PyObject* b);
// Whether a decoded value is a record list: a list of dicts (none included),
// what loads_arrow builds a table from.
bool record_list(PyObject* v);

// A WexoError's message (a new reference) and offset, checked for form.
struct ErrorInfo {
  PyObject* message = nullptr;
  uint64_t offset = 0;
};
ErrorInfo check_wexo_error(PyObject* exc, size_t size);

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
// The outcome of a call that returned r (a new reference, or null with the
// exception set); anything but a result, WexoError or MemoryError is a finding.
Outcome settle(PyObject* r);
bool same_outcome(const Outcome& a, const Outcome& b);
// The format's budgets' messages, or a caller's limit's.
bool limit_message(PyObject* message);

// Within limits (cells and copies below 0: the defaults for the size) the
// outcome is the unlimited one, or a limit's failure.
void compare_limited(const uint8_t* data, size_t size, const Outcome& direct, int64_t cells,
                     int64_t copies);
// The columnar reader (format budgets, no pyarrow) against the decoder's outcome.
void compare_arrow(const uint8_t* data, size_t size, const Outcome& direct);
// The decoder's checks every target starts with: run on the exact-size buffer,
// the columnar reader, the decodes within limits and (every 8th input)
// loads_binary(memoryview). Returns the outcome of run (the caller clears it).
Outcome decode_checked(const uint8_t* data, size_t size, bool also_memoryview);

uint64_t input_hash(const uint8_t* data, size_t size);

// The interpreter, once (WEXO_FUZZ_REINIT=N: finalised and started again
// every N inputs).
void initialize();
// One input through check(data, size, n), n counting inputs from 0: the
// re-initialisation when due, and with WEXO_FUZZ_REFCOUNT the total reference
// count around it (a change seen twice in a row is a finding).
void each_input(const uint8_t* data, size_t size,
                void (*check)(const uint8_t* data, size_t size, uint64_t n));

}  // namespace oracle
