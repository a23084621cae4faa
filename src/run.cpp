// The top-level decode of one document, shared by both modules: the
// prologue, one value, nothing after it.
#include "run.h"

#include <cstdio>

#include "decode/decoder.h"
#include "pyo.h"

namespace wexo {

Budgets format_budgets(uint64_t n) {
  return {static_cast<int64_t>(n) * SIZE_BUDGET_PER_BYTE + SIZE_BUDGET_BASE, EXPAND_BUDGET};
}

// n < 2^63 / 32 (a buffer's size): no overflow.
Budgets limited_budgets(uint64_t n, int64_t cells, int64_t copies) {
  Budgets start = format_budgets(n);
  start.limit = cells < 0 ? static_cast<int64_t>(n) * CELLS_PER_BYTE + CELLS_BASE : cells;
  if (copies < 0) copies = static_cast<int64_t>(n) * COPIES_PER_BYTE + COPIES_BASE;
  if (copies < start.copies) {
    start.copies = copies;
    start.copies_limited = true;
  }
  return start;
}

Failure bad_prologue(const uint8_t* b, uint64_t n) {
  if (n < 2 || b[0] != DOC_MAGIC) return bad("not a WEXO binary document", 0);
  char text[40];
  std::snprintf(text, sizeof text, "unsupported binary version %u", unsigned{b[1]});
  return bad(text, 1);
}

Result<Owned> run(const uint8_t* b, uint64_t n) { return run(b, n, format_budgets(n)); }

// prologue (DOC_MAGIC, DOC_VERSION) | one value | nothing more
Result<Owned> run(const uint8_t* b, uint64_t n, Budgets start) {
  if (n < 2 || b[0] != DOC_MAGIC || b[1] != DOC_VERSION) return bad_prologue(b, n);
  Decoder d(b, n, start);
  TRY(v, d.value(0));
  CHECK(d.end());
  return v;
}

Result<Owned> run_prefix(const uint8_t* b, uint64_t n, Budgets start, uint64_t& end) {
  if (n < 2 || b[0] != DOC_MAGIC || b[1] != DOC_VERSION) return bad_prologue(b, n);
  Decoder d(b, n, start);
  TRY(v, d.value(0));
  end = d.pos;
  return v;
}

bool bytes_of(PyObject* data, Owned& converted, const uint8_t*& b, uint64_t& n) {
  if (!(PyType_GetFlags(Py_TYPE(data)) & Py_TPFLAGS_BYTES_SUBCLASS)) {
    converted = Owned::steal(PyBytes_FromObject(data));
    if (!converted) return false;
    data = converted.get();
  }
  char* start = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(data, &start, &size) < 0) return false;
  b = reinterpret_cast<const uint8_t*>(start);
  n = static_cast<uint64_t>(size);
  return true;
}

PyObject* decode_object(PyObject* data, BudgetsFor budgets_for, const void* context,
                        Decode decode_with) {
  Owned converted;  // released after run, on every path
  const uint8_t* b = nullptr;
  uint64_t n = 0;
  if (!bytes_of(data, converted, b, n)) return nullptr;
  const Budgets budgets = budgets_for(n, context);
  // Only our code runs during a decode, and every object it makes is
  // reachable from the result or released by it: collections triggered by
  // the new containers would only rescan them. The collector's own state is
  // restored afterwards.
  const int collecting = PyGC_Disable();
  Result<Owned> r = decode_with ? decode_with(b, n, budgets) : run(b, n, budgets);
  if (collecting) PyGC_Enable();
  if (!r.ok()) return raise(std::move(r).fail());
  return (*r).release();
}

}  // namespace wexo
