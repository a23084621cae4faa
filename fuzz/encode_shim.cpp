// The native encoder, reachable from the harness as C functions (the harness
// uses the full API, the encoder the limited one: only C types cross).
#include <utility>

#include "decode/decoder.h"
#include "encode/encoder.h"

// A new bytes object holding root's document written with these options, or
// null with the exception set, as wexo._ext.dumps would give without a
// default and with non-finite floats refused. Needs the interpreter lock.
extern "C" PyObject* wexo_fuzz_encode(PyObject* root, unsigned options) {
  wexo::Result<wexo::Owned> r = wexo::enc::encode(root, options, nullptr, false);
  if (!r.ok()) return wexo::raise(std::move(r).fail());
  return (*r).release();
}

// Every option of the encoder on.
extern "C" unsigned wexo_fuzz_encode_all(void) { return wexo::enc::OPT_ALL; }

// The deepest nesting a document may hold: a value at a greater depth is refused.
extern "C" unsigned wexo_fuzz_max_depth(void) { return static_cast<unsigned>(wexo::MAX_DEPTH); }
