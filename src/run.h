// run: the top-level decode of one document held in a byte buffer, used by
// loads_binary and by the fuzzing harness (which hands it exact-size buffers).
#pragma once

#include <cstdint>

#include "err.h"

namespace wexo {

// The decoded tree, or the failure to raise. Needs the interpreter lock; the
// bytes stay alive and unchanged until it returns.
Result<Owned> run(const uint8_t* b, uint64_t n);

}  // namespace wexo
