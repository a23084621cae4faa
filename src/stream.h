// Streams of documents: documents written back to back, each with its own
// prologue. Stream holds the bytes of one (read in place, or fed piece by
// piece) and decodes one document at a time from the start of what it holds.
#pragma once

#include <cstddef>
#include <cstdint>

#include "err.h"
#include "pyo.h"
#include "run.h"

namespace wexo {

class Stream {
 public:
  // cells and copies as limited_budgets takes them: below 0 the default for
  // the bytes available from a document's start, NO_LIMIT for None.
  Stream(int64_t cells, int64_t copies) : cells_(cells), copies_(copies) {}
  ~Stream();
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  // Reads the bytes of a bytes object in place (kept alive here) as the
  // whole stream: no more bytes follow them.
  void view(Owned bytes, const uint8_t* b, uint64_t n);
  // Appends bytes that the stream holds in a buffer of its own.
  void feed(const uint8_t* p, uint64_t n);
  // No more bytes follow: a document left incomplete is then a failure.
  void end() { ended_ = true; }

  enum class Step { document, wait, failed };
  // The next document (document: out holds it), or none yet (wait: the
  // bytes held are the start of a document, or nothing), or a failure
  // (failed: the exception is set). A decoding failure is kept: every later
  // call fails with it again. An interpreter failure (MemoryError) is not.
  Step next(Owned& out);

  uint64_t pending() const { return size_ - head_; }
  bool failed() const { return failed_; }
  // Raises the kept failure again.
  void raise_again() const;

  // The tries of incomplete documents, for the feed cost's measurement: how
  // many decodes failed for want of bytes, and the bytes they had read.
  uint64_t tries() const { return tries_; }
  uint64_t tried_bytes() const { return tried_bytes_; }

 private:
  bool incomplete(const DecodeError& e, uint64_t avail) const;
  bool due(uint64_t avail) const;

  const int64_t cells_;
  const int64_t copies_;
  Owned holder_;                 // a bytes object read in place, or none
  uint8_t* own_ = nullptr;       // the bytes fed, or null
  uint64_t cap_ = 0;
  const uint8_t* data_ = nullptr;
  uint64_t size_ = 0;            // bytes at data_
  uint64_t head_ = 0;            // where the next document starts in data_
  uint64_t base_ = 0;            // the stream offset of data_[0]
  bool ended_ = false;
  // The current document's last try that ran out of bytes: the bytes held
  // then (0: none yet) and the bytes it read before failing.
  uint64_t last_try_ = 0;
  uint64_t last_read_ = 0;
  uint64_t spent_ = 0;       // the bytes all its failed tries read
  uint64_t last_piece_ = 0;  // the size of the last piece fed
  uint64_t max_piece_ = 0;   // and of the largest
  uint64_t tries_ = 0;
  uint64_t tried_bytes_ = 0;
  bool failed_ = false;
  Str message_;
  uint64_t offset_ = 0;
};

}  // namespace wexo
