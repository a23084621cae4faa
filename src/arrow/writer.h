// The other way: Arrow record batches (struct arrays of one schema) written
// as one document whose root is a table, the encoder choosing each column's
// layout as wexo.dumps does for the list of the rows as dicts, from the
// Arrow buffers without a Python object per cell.
#pragma once

#include <cstddef>
#include <cstdint>

#include "err.h"
#include "mem.h"

struct ArrowSchema;
struct ArrowArray;

namespace wexo::arrow {

// How a write ended, beyond success and an exception.
struct WriteOutcome {
  enum Kind {
    WRITTEN,      // out holds the document
    REFUSED,      // row holds a value dumps refuses (the first such row)
    UNSUPPORTED,  // a type or value this writer does not take; why says which
    FAILED,       // an exception is set (MemoryError)
  } kind = WRITTEN;
  int64_t row = -1;
  const char* why = nullptr;  // static text
};

// The document for the rows of chunks[0 .. n) (struct arrays of schema, one
// table) with the encoder's options (enc::Option bits), NaN and the
// infinities written as None where null_nonfinite, else refused. Touches no
// Python object; the interpreter lock is needed only where it says FAILED
// (MemoryError is set with the lock taken back: Unlocked::with_lock). The fuzz target's entry.
WriteOutcome write_table(const ArrowSchema* schema, const ArrowArray* const* chunks, std::size_t n,
                         unsigned options, bool null_nonfinite, Vec<uint8_t>& out);

// For Python (wexo._ext.dumps_columns): from an "arrow_array_stream" capsule
// or an ("arrow_schema", "arrow_array") pair of capsules, the document as
// bytes; the first refused row as an int; or the reason it is not written
// here as a str (the caller then writes the rows as dumps does). The lock is
// released while the buffers are walked and written.
Result<Owned> dumps_columns(PyObject* data, unsigned options, bool null_nonfinite);

}  // namespace wexo::arrow
