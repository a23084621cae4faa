// The columnar entry point: the record list of a document (a table, a
// sparse table or an array of objects, at the root or at a path), as one
// Arrow struct array (a record batch) in the Arrow C data interface, without
// a Python object per cell and without the interpreter lock.
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
#include "mem.h"
#include "run.h"
#include "arrow/reader.h"

struct ArrowSchema;
struct ArrowArray;

namespace wexo::arrow {

// Bytes of strings and padding nulls a table may hold beyond its input: per
// input byte, plus a base (see Spend in node.h).
constexpr int64_t SPEND_PER_BYTE = 16;
constexpr int64_t SPEND_BASE = int64_t{64} << 20;

// What to build: the record list at path (the root where it is empty), only
// the columns named in keep where filtered, dictionary columns as Arrow
// dictionaries or as strings.
struct Shape {
  Vec<Step> path;
  Vec<Str> keep;
  bool filtered = false;
  bool dictionaries = false;
};

// How a well-formed document fell short of a record list.
struct Verdict {
  Miss miss = Miss::NONE;  // the path went astray
  uint64_t step = 0;       // at this step
  uint8_t tag = 0;         // meeting this tag
  bool records = true;     // what the path leads to is a record list
  const char* what = "";   // else, what it is
};

// Whether a failure is the reader's own rather than the decoder's verdict:
// its bound on copied strings, or a reference only the decoder can judge
// (YES); a column past Arrow's offsets, the ValueError it raises
// (IF_VALUE_ERROR, told once the lock is back).
enum class Own : uint8_t { NO, YES, IF_VALUE_ERROR };

// The schema and array of the record list, each filled and owned by the
// caller's structs (released with their release callbacks). Makes no Python
// object and needs no interpreter lock, except to set the exception of a
// failure of its own (MemoryError, what Arrow cannot hold), which it takes
// the lock for. A document the decoder refuses fails as the decoder fails; a
// well-formed one that holds no record list where asked succeeds with
// verdict saying why, and nothing exported. own is set for a failure that is
// not the decoder's verdict (see capsules).
Status columns(const uint8_t* b, uint64_t n, Budgets start, const Shape& shape,
               ArrowSchema* schema, ArrowArray* array, Verdict& verdict, Own& own);

// Whether two schemas describe the same type: formats, names, flags
// (nullable, ordered, sorted keys), children and dictionaries alike, and no
// metadata below the top (whose name, flags and metadata are not compared).
bool same_schema(const ArrowSchema* a, const ArrowSchema* b, bool top = true);

// For Python: a pair of capsules ("arrow_schema", "arrow_array"). path is
// the caller's path, for messages.
Result<Owned> capsules(const uint8_t* b, uint64_t n, Budgets start, const Shape& shape,
                       PyObject* path);

}  // namespace wexo::arrow
