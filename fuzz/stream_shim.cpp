// The stream reader behind wexo.iter_loads and wexo.StreamDecoder, reachable
// from the harness as C functions (only C types and objects cross).
#include <cstddef>
#include <cstdint>
#include <utility>

#include "stream.h"

namespace {

// Appends the documents s yields now to list; 0 when it waits for more bytes
// (or has none), -1 with the exception set when it failed.
int drain(wexo::Stream& s, PyObject* list) {
  for (;;) {
    wexo::Owned doc;
    const wexo::Stream::Step step = s.next(doc);
    if (step == wexo::Stream::Step::wait) return 0;
    if (step == wexo::Stream::Step::failed) return -1;
    if (PyList_Append(list, doc.get()) < 0) return -1;
  }
}

}  // namespace

// The documents of data read as one stream, as wexo.iter_loads reads a bytes
// object, but in place on the harness's exact-size buffer: a new list of
// those yielded; *failed is 1 (with the exception set) when a failure came
// after them. Null (with the exception set) when no list could be made.
extern "C" PyObject* wexo_fuzz_iter_loads(const uint8_t* data, size_t size, int* failed) {
  PyObject* list = PyList_New(0);
  if (!list) return nullptr;
  wexo::Stream s(-1, -1);
  s.view(wexo::Owned(), data, static_cast<uint64_t>(size));
  *failed = drain(s, list) < 0;
  return list;
}

// The same bytes fed to a StreamDecoder in pieces whose sizes come from seed
// (1 to 64 bytes, now and then a larger one), iterating after each piece; then,
// with end set, the end of the stream, and iterating again. *failed as above;
// *pending the bytes held when it stopped.
extern "C" PyObject* wexo_fuzz_stream_pieces(const uint8_t* data, size_t size, uint64_t seed,
                                             int end, int* failed, uint64_t* pending) {
  PyObject* list = PyList_New(0);
  if (!list) return nullptr;
  wexo::Stream s(-1, -1);
  *failed = 0;
  size_t at = 0;
  while (at < size && !*failed) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    size_t k = 1 + ((seed >> 33) % 64);
    if (((seed >> 20) & 15) == 0) k += (seed >> 40) % 4096;
    if (k > size - at) k = size - at;
    s.feed(data + at, k);
    at += k;
    *failed = drain(s, list) < 0;
  }
  if (end && !*failed) {
    s.end();
    *failed = drain(s, list) < 0;
  }
  *pending = s.pending();
  return list;
}
