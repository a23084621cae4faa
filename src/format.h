// The WEXO binary format's constants and the small rules both directions
// share: tags, column kinds, presence flags, the format's limits and budgets,
// zigzag integers, varint sizes, little-endian doubles, and which doubles
// read back as ints. Included by decode/, encode/ and arrow/; it knows no
// Python object.
#pragma once

#include <cstdint>
#include <cstring>

namespace wexo {

constexpr uint8_t DOC_MAGIC = 0x0F;
constexpr uint8_t DOC_VERSION = 0x01;

constexpr uint8_t TAG_NONE = 0x00;
constexpr uint8_t TAG_FALSE = 0x01;
constexpr uint8_t TAG_TRUE = 0x02;
constexpr uint8_t TAG_INT = 0x03;
constexpr uint8_t TAG_FLOAT = 0x04;
constexpr uint8_t TAG_STR = 0x05;
constexpr uint8_t TAG_STR_REF = 0x06;
constexpr uint8_t TAG_ARRAY = 0x07;
constexpr uint8_t TAG_OBJECT = 0x08;
constexpr uint8_t TAG_TABLE = 0x09;
constexpr uint8_t TAG_ANCHOR = 0x0A;
constexpr uint8_t TAG_ANCHOR_REF = 0x0B;
constexpr uint8_t TAG_TYPED_ARRAY = 0x0C;
constexpr uint8_t TAG_SPARSE = 0x0D;
constexpr uint8_t TAG_SHORT_STR = 0x40;  // 0x40..0x5F, length in the low five bits
constexpr uint8_t TAG_SMALL_INT = 0x80;  // 0x80..0xFF, value in the low seven bits

constexpr uint8_t COL_VALUES = 0x00;
constexpr uint8_t COL_DELTA_INT = 0x01;
constexpr uint8_t COL_DECIMAL = 0x02;
constexpr uint8_t COL_DICT_STR = 0x03;
constexpr uint8_t COL_BOOL_BITS = 0x04;
constexpr uint8_t COL_OBJECT = 0x05;

constexpr uint8_t PRESENCE_ALL = 0x00;
constexpr uint8_t PRESENCE_BITMAP = 0x01;

constexpr uint64_t SHORT_STR_MAX = 0x1F;  // longest string of the one-byte form
constexpr uint64_t POOL_MIN_LEN = 2;      // inline strings this long enter the pool
constexpr unsigned MAX_SCALE = 6;         // decimal columns: 10^0 .. 10^6

constexpr uint64_t MAX_DEPTH = 512;        // nesting of values and typed columns
constexpr uint64_t MAX_COPY_DEPTH = 4096;  // nesting reached by one reference copy
constexpr uint64_t MAX_COUNT = 0x7FFFFFFF;
constexpr int64_t EXPAND_BUDGET = int64_t{1} << 24;
constexpr int64_t SIZE_BUDGET_BASE = int64_t{1} << 22;
constexpr int64_t SIZE_BUDGET_PER_BYTE = 32;

constexpr double POW10[MAX_SCALE + 1] = {1.0, 10.0, 100.0, 1000.0, 10000.0, 100000.0, 1000000.0};
constexpr uint64_t IPOW10[MAX_SCALE + 1] = {1, 10, 100, 1000, 10000, 100000, 1000000};
constexpr uint64_t EXACT_LIMIT = uint64_t{1} << 53;  // integers a double holds exactly
constexpr double EXACT_INT_LIMIT = 9007199254740992.0;  // the same, as a double

inline int64_t zigzag(uint64_t v) {
  return static_cast<int64_t>((v >> 1) ^ (0 - (v & 1)));
}

inline uint64_t zigzag_of(int64_t n) {
  return (static_cast<uint64_t>(n) << 1) ^ static_cast<uint64_t>(n >> 63);
}

// Unsigned LEB128 byte length of v.
inline unsigned uvarint_len(uint64_t v) {
  unsigned n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}

// Bytes of a string written inline: the one-byte form up to 31 bytes.
inline uint64_t inline_size(uint64_t n) {
  return n <= SHORT_STR_MAX ? 1 + n : 1 + uvarint_len(n) + n;
}

// |m| as an unsigned number (2^63 for the most negative m).
inline uint64_t magnitude(int64_t m) {
  return m < 0 ? 0 - static_cast<uint64_t>(m) : static_cast<uint64_t>(m);
}

// The bits of a binary64 stored little-endian at p.
inline uint64_t load_le64(const uint8_t* p) {
  uint64_t bits;
  std::memcpy(&bits, p, sizeof bits);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  bits = __builtin_bswap64(bits);
#endif
  return bits;
}

// Whether binary64 bits encode a finite value.
inline bool finite_bits(uint64_t bits) {
  return (bits & 0x7FFFFFFFFFFFFFFFu) <= 0x7FEFFFFFFFFFFFFFu;
}

// A double reads back as an int when it is integral and below 2^53 in
// magnitude (-0.0 included, as 0): the one rule for the decoder, the
// encoder's choices and the Arrow columns. The test converts through int64,
// which needs no rounding instruction or call.
inline bool int_valued(double x, int64_t* out) {
  if (!(x > -EXACT_INT_LIMIT && x < EXACT_INT_LIMIT)) return false;
  const auto i = static_cast<int64_t>(x);
  if (static_cast<double>(i) != x) return false;
  *out = i;
  return true;
}

}  // namespace wexo
