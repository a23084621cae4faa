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

// The package's default limits (wexo.loads), proportional to the input:
// cells made by tables and typed arrays, and container slots copied by
// references, per input byte plus a base. Documents of the benchmark corpus,
// encoded with every combination of encoder options, need at most 0.61 cells
// and no copies per byte (scripts/limits.py): 2 cells per byte is 3.3 times
// that. A cell costs up to about 200 bytes of objects and 0.5 us, a copied
// slot about 100 bytes; copies are what anchors save, and 2 per byte keeps
// them useful.
constexpr int64_t CELLS_PER_BYTE = 2;
constexpr int64_t CELLS_BASE = 4096;
constexpr int64_t COPIES_PER_BYTE = 2;
constexpr int64_t COPIES_BASE = 4096;

// The default limits for n bytes, each lowered to the format's budget where
// that is lower: a limit never admits what the format refuses.
Budgets default_budgets(uint64_t n);

// The decoded tree, or the failure to raise. Needs the interpreter lock; the
// bytes stay alive and unchanged until it returns. Without budgets, the
// format's own.
Result<Owned> run(const uint8_t* b, uint64_t n);
Result<Owned> run(const uint8_t* b, uint64_t n, Budgets start);

// What loads_binary and wexo._ext.loads share: data as bytes (read in place,
// or converted by PyBytes_FromObject), decoded with the budgets budgets_for
// gives for its size while the collector is paused. A new reference, or null
// with the exception set.
// decode_with does the decoding (run, by default).
using BudgetsFor = Budgets (*)(uint64_t n, const void* context);
using Decode = Result<Owned> (*)(const uint8_t* b, uint64_t n, Budgets start);
PyObject* decode_object(PyObject* data, BudgetsFor budgets_for, const void* context,
                        Decode decode_with = nullptr);

}  // namespace wexo
