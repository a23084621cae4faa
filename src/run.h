// run: the top-level decode of one document held in a byte buffer, used by
// loads_binary, by wexo._ext.loads (with budgets of its own) and by the
// fuzzing harness (which hands it exact-size buffers).
//
// The folder src/:
//   format.h           the format's constants and the rules both directions share
//   pyo.h              the interpreter's API and Owned, the one reference type
//   mem.h              Vec, the one growable array (aborting or fallible growth,
//                      optional inline room), and Str
//   nameset.h          NameSet, the one set of names: indexes by hash and equality
//   err.h              failures, results, no_memory, WexoError
//   run.h, run.cpp     one document decoded, budgets and limits, bytes arguments
//   module.cpp         wexo_native: loads_binary and WexoError
//   ext.cpp            wexo._ext: dumps, loads, loads_columns, streams
//   stream.h, .cpp     documents one after another: StreamDecoder, iter_loads
//   decode/            the decoder (map in decode/decoder.h)
//   encode/            the encoder (map in encode/encoder.h)
//   arrow/             tables into Arrow (map in arrow/arrow.h)
#pragma once

#include <cstdint>

#include "decode/decoder.h"
#include "err.h"

namespace wexo {

// The format's own budgets for a document of n bytes.
Budgets format_budgets(uint64_t n);

// The package's default limits (wexo.loads), proportional to the input:
// dicts made by tables, sparse tables and object columns and the slots of
// typed arrays other than bit arrays (max_cells), and container slots copied
// by references (max_copies), per input byte plus a base. Documents of the
// benchmark corpus, encoded with every combination of encoder options, need
// at most 0.15 cells and no copies per byte (scripts/limits.py), and the
// encoder keeps its output within these for its own size. A dict costs up to
// about 200 bytes and 0.2 us, a copied slot about 100 bytes; below 64 KB a
// document then peaks at about 24 MiB (scripts/hostile.py --limits).
constexpr int64_t CELLS_PER_BYTE = 2;
constexpr int64_t CELLS_BASE = 4096;
constexpr int64_t COPIES_PER_BYTE = 2;
constexpr int64_t COPIES_BASE = 4096;

// The budgets of wexo._ext for n bytes: max_cells and max_copies as given,
// where a negative value stands for the default and NO_LIMIT for None. The
// format's budgets stay; max_copies lowers the copy budget where it is lower.
Budgets limited_budgets(uint64_t n, int64_t cells, int64_t copies);

// The decoded tree, or the failure to raise. Needs the interpreter lock; the
// bytes stay alive and unchanged until it returns. Without budgets, the
// format's own.
// The prologue's faults: a first byte that is not DOC_MAGIC (or fewer than
// two bytes), then a version other than DOC_VERSION.
[[gnu::cold, gnu::noinline]] Failure bad_prologue(const uint8_t* b, uint64_t n);

Result<Owned> run(const uint8_t* b, uint64_t n);
Result<Owned> run(const uint8_t* b, uint64_t n, Budgets start);

// One document at the start of b[0..n), the bytes after it left unread: the
// same checks as run but the last, and on success end is the document's
// length. Offsets count from b. Used for streams of documents.
Result<Owned> run_prefix(const uint8_t* b, uint64_t n, Budgets start, uint64_t& end);

// The bytes of data: bytes and its subclasses are read in place (no copy, no
// method of theirs) and converted stays empty; anything else is converted by
// PyBytes_FromObject, which converted then holds. False with the exception set.
bool bytes_of(PyObject* data, Owned& converted, const uint8_t*& b, uint64_t& n);

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
