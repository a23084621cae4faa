// Streams of documents: one document at a time from the start of the bytes
// held, the rest left for the next call.
#include "stream.h"

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "decode/decoder.h"

namespace wexo {

namespace {

// A document that ran out of bytes is tried again only once the bytes held
// have grown, since its last try, by at least as many bytes as that try
// read: the tries that fail then read at most about twice the document's
// bytes in all, however small the pieces (about doubling the bytes held per
// try when each runs to the end). Up to this many bytes held, at every new
// piece: small documents come out with their last byte. Besides, a piece
// shorter than the largest one fed so far is taken as a pause of the writer,
// often at the end of a document (the last segment of a message, a short
// read of a pipe): it earns a try too, as long as the failed tries have read
// at most twice the bytes held.
constexpr uint64_t RETRY_FREE = 4096;

bool starts_with(std::string_view text, std::string_view head) {
  return text.size() >= head.size() && text.compare(0, head.size(), head) == 0;
}

}  // namespace

Stream::~Stream() { std::free(own_); }

void Stream::view(Owned bytes, const uint8_t* b, uint64_t n) {
  holder_ = std::move(bytes);
  data_ = b;
  size_ = n;
  ended_ = true;
}

void Stream::feed(const uint8_t* p, uint64_t n) {
  if (n == 0) return;
  // The documents already read are dropped once they are at least as many
  // bytes as those still held, or when that makes room: each byte held is
  // moved a bounded number of times.
  if (head_ > 0 && (head_ >= size_ - head_ || n > cap_ - size_)) {
    std::memmove(own_, own_ + head_, static_cast<std::size_t>(size_ - head_));
    base_ += head_;
    size_ -= head_;
    head_ = 0;
  }
  if (n > cap_ - size_) {
    if (n > UINT64_MAX / 2 - size_) out_of_memory();
    uint64_t cap = cap_ * 2 > size_ + n ? cap_ * 2 : size_ + n;
    if (cap < 4096) cap = 4096;
    void* grown = std::realloc(own_, static_cast<std::size_t>(cap));
    if (!grown) out_of_memory();
    own_ = static_cast<uint8_t*>(grown);
    cap_ = cap;
  }
  last_piece_ = n;
  if (n > max_piece_) max_piece_ = n;
  std::memcpy(own_ + size_, p, static_cast<std::size_t>(n));
  size_ += n;
  data_ = own_;
}

// A failure that more bytes could have avoided: one at the end of the bytes
// held (where a byte was missing, whatever the message: a decimal scale, a
// column kind that decides whether max_cells is charged), input ending
// inside a value or a count above the bytes held, or a budget that grows
// with the bytes available (the size budget, and max_cells and max_copies by
// default). Any other failure comes out the same with more bytes: the
// decoder reads the same bytes up to it, and larger budgets and looser
// bounds fail no sooner.
bool Stream::incomplete(const DecodeError& e, uint64_t avail) const {
  if (e.offset >= avail) return true;
  const std::string_view m = e.message;
  if (m == "truncated input" || m == "decoded size too large") return true;
  if (cells_ < 0 && starts_with(m, "decoded size too large: over max_cells=")) return true;
  if (copies_ < 0 && starts_with(m, "reference expansion too large: over max_copies="))
    return true;
  return false;
}

bool Stream::due(uint64_t avail) const {
  if (ended_ || last_try_ == 0) return true;
  if (avail <= last_try_) return false;  // nothing new since the last try
  if (avail <= RETRY_FREE || avail - last_try_ >= last_read_) return true;
  return last_piece_ < max_piece_ && spent_ <= 2 * avail;
}

void Stream::raise_again() const { raise(bad(message_, offset_)); }

Stream::Step Stream::next(Owned& out) {
  if (failed_) {
    raise_again();
    return Step::failed;
  }
  const uint64_t avail = size_ - head_;
  if (avail == 0) return Step::wait;
  const uint8_t* p = data_ + head_;
  // A lone first byte of a prologue waits for the second.
  if (!ended_ && avail < 2 && p[0] == DOC_MAGIC) return Step::wait;
  if (!due(avail)) return Step::wait;
  uint64_t end = 0;
  // As in decode_object: only our code runs during the decode.
  const int collecting = PyGC_Disable();
  Result<Owned> r = run_prefix(p, avail, limited_budgets(avail, cells_, copies_), end);
  if (collecting) PyGC_Enable();
  if (r.ok()) {
    head_ += end;
    last_try_ = 0;
    last_read_ = 0;
    spent_ = 0;
    out = std::move(*r);
    return Step::document;
  }
  Failure f = std::move(r).fail();
  const DecodeError* e = f.error();
  if (!e) {
    raise(std::move(f));  // the interpreter's exception passes on
    return Step::failed;
  }
  if (!ended_ && incomplete(*e, avail)) {
    last_try_ = avail;
    last_read_ = e->offset;
    spent_ += e->offset;
    ++tries_;
    tried_bytes_ += e->offset;
    return Step::wait;
  }
  failed_ = true;
  message_ = e->message;
  offset_ = base_ + head_ + e->offset;
  raise_again();
  return Step::failed;
}

}  // namespace wexo
