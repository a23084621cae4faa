// run: the top-level decode of one document held in a byte buffer, used by
// loads_binary, by wexo._ext.loads (with budgets of its own) and by the
// fuzzing harness (which hands it exact-size buffers).
#pragma once

#include <cstdint>

#include "err.h"

namespace wexo {

// The starting values of a document's two budgets: cells made by tables and
// typed arrays, and container slots copied by anchor references.
struct Budgets {
  int64_t cells;
  int64_t copies;
};

// The format's own budgets for a document of n bytes.
Budgets format_budgets(uint64_t n);

// The decoded tree, or the failure to raise. Needs the interpreter lock; the
// bytes stay alive and unchanged until it returns. Without budgets, the
// format's own.
Result<Owned> run(const uint8_t* b, uint64_t n);
Result<Owned> run(const uint8_t* b, uint64_t n, Budgets start);

}  // namespace wexo
