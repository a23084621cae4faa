// libFuzzer target fuzz_loads: the WEXO decoder (the oracle and the file map
// are in oracle.h).
//
// Each input is decoded by run on libFuzzer's own buffer, whose size is
// exactly the input's: a read one byte past the document is a
// heap-buffer-overflow here, where a bytes object would hide it behind its
// trailing NUL. Every 8th input also goes through loads_binary(memoryview(..))
// and both outcomes must agree. Every input is also decoded within limits, as
// wexo.loads decodes it: with the defaults for its size, and with small limits
// taken from its last two bytes. Each outcome must be the unlimited one, or a
// failure of a limit ("decoded size too large", "reference expansion too
// large").
//
// What counts as a finding (abort):
//   - a failure without an exception, or a result with an exception set;
//   - any exception other than WexoError or MemoryError;
//   - a WexoError whose message, offset or text is malformed, or whose offset
//     lies past the end of the input;
//   - a result holding anything but dict, list, str, int, float (finite),
//     bool and None, a null item, a non-str key, or a list or dict with
//     more than one reference (every container belongs to its parent only);
//   - the two paths disagreeing;
//   - a decode within limits that differs from the unlimited one other than
//     by failing with a limit's message;
//   - with WEXO_FUZZ_REFCOUNT (debug libpython): a change of the interpreter's
//     total reference count over an input, seen twice in a row.
//
// Every input also goes through the columnar reader (wexo::arrow::columns,
// fuzz/arrow_shim.cpp), which builds the Arrow C structures of a root table
// without pyarrow; a table it builds must pass nanoarrow's full validation
// (offsets, union offsets and dictionary indexes in range) and hold as many
// rows as the decoder's list, and is then released. Findings, besides the
// above:
//   - a table built from a document the decoder refuses, or with another
//     number of rows, or one that fails validation;
//   - a refusal other than the decoder's (message and offset), where the
//     decoder refuses too;
//   - where the decoder succeeds, any refusal but these: TypeError for a root
//     that is not a table, ValueError for a name holding NUL, "decoded size
//     too large" (the bound on copied string bytes), MemoryError.
//
// With WEXO_FUZZ_REINIT=N in the environment, the interpreter is finalised
// and initialised again every N inputs, as an embedding application may do:
// nothing the decoder keeps across calls may outlive the interpreter that
// made it (ASan reports a use after free).
#include "oracle.h"

namespace {

void check(const uint8_t* data, size_t size, uint64_t n) {
  oracle::Outcome direct = oracle::decode_checked(data, size, n % 8 == 0);
  direct.clear();
  oracle::need(!PyErr_Occurred(), "exception left pending");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  oracle::initialize();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  oracle::each_input(data, size, check);
  return 0;
}
