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
Budgets default_budgets(uint64_t n) {
  const Budgets format = format_budgets(n);
  const int64_t cells = static_cast<int64_t>(n) * CELLS_PER_BYTE + CELLS_BASE;
  const int64_t copies = static_cast<int64_t>(n) * COPIES_PER_BYTE + COPIES_BASE;
  return {cells < format.cells ? cells : format.cells,
          copies < format.copies ? copies : format.copies};
}

Result<Owned> run(const uint8_t* b, uint64_t n) { return run(b, n, format_budgets(n)); }

// prologue (DOC_MAGIC, DOC_VERSION) | one value | nothing more
Result<Owned> run(const uint8_t* b, uint64_t n, Budgets start) {
  if (n < 2 || b[0] != DOC_MAGIC) return bad("not a WEXO binary document", 0);
  if (b[1] != DOC_VERSION) {
    char text[40];
    std::snprintf(text, sizeof text, "unsupported binary version %u", unsigned{b[1]});
    return bad(text, 1);
  }
  Decoder d(b, n, start.cells, start.copies);
  TRY(v, d.value(0));
  if (d.pos != n) return bad("trailing data", d.pos);
  return v;
}

}  // namespace wexo
