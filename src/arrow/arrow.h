// The columnar entry point: a document whose root is a table or a sparse
// table, as one Arrow struct array (a record batch) in the Arrow C data
// interface, without a Python object per cell.
//
// The folder:
//   arrow.h, arrow.cpp    the entry point, the root's checks, the capsules
//   reader.h, reader.cpp  the walk: the decoder's object-free readers, with
//                         Arrow nodes as what they build; copies of anchored
//                         values read again from their bytes
//   node.h, node.cpp      one Arrow array under construction, whose type
//                         follows its cells; the export into the C data interface
//   writer.h, writer.cpp  the other way: record batches written as a root table
#pragma once

#include <cstdint>

#include "err.h"
#include "run.h"

struct ArrowSchema;
struct ArrowArray;

namespace wexo::arrow {

// Bytes of strings and padding nulls a table may hold beyond its input: per
// input byte, plus a base (see Spend in node.h).
constexpr int64_t SPEND_PER_BYTE = 16;
constexpr int64_t SPEND_BASE = int64_t{64} << 20;

// The schema and array of the root table, each filled and owned by the
// caller's structs (released with their release callbacks). A root that is
// not a table decodes in full, and then fails with TypeError naming what it
// is; a document the decoder refuses fails as the decoder fails. own is set
// for a failure that is not the decoder's verdict (see capsules).
Status columns(const uint8_t* b, uint64_t n, Budgets start, ArrowSchema* schema,
               ArrowArray* array, bool& own);

// For Python: a pair of capsules ("arrow_schema", "arrow_array").
Result<Owned> capsules(const uint8_t* b, uint64_t n, Budgets start);

}  // namespace wexo::arrow
