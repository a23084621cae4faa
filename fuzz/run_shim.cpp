// The decoder's top-level run, reachable from the harness as a C function.
//
// run lives in module.cpp. Where src/run.h declares it, module.cpp is built
// as usual and this file only calls it; otherwise module.cpp is compiled here,
// inside this translation unit (and left out of the build), which makes its
// internal run visible below. Either way the harness calls the very function
// loads_binary calls, on a buffer of exactly the input's size.
#include <cstddef>
#include <cstdint>
#include <utility>

#if __has_include("run.h")
#include "run.h"
#else
#include "module.cpp"
#endif

// A new reference to the decoded tree, or null with the exception set, as
// loads_binary would return for the same bytes. Needs the interpreter lock.
extern "C" PyObject* wexo_fuzz_run(const uint8_t* data, size_t size) {
  // As in loads_binary: no collection runs during a decode.
  const int collecting = PyGC_Disable();
  wexo::Result<wexo::Owned> r = wexo::run(data, static_cast<uint64_t>(size));
  if (collecting) PyGC_Enable();
  if (!r.ok()) return wexo::raise(std::move(r).fail());
  return (*r).release();
}

// The same decode within limits (wexo._ext.loads): cells and copies below 0
// stand for the package's defaults for this size.
extern "C" PyObject* wexo_fuzz_run_limited(const uint8_t* data, size_t size, int64_t cells,
                                           int64_t copies) {
  const uint64_t n = static_cast<uint64_t>(size);
  const wexo::Budgets start = wexo::limited_budgets(n, cells, copies);
  const int collecting = PyGC_Disable();
  wexo::Result<wexo::Owned> r = wexo::run(data, n, start);
  if (collecting) PyGC_Enable();
  if (!r.ok()) return wexo::raise(std::move(r).fail());
  return (*r).release();
}
