// sparse: tables whose columns may leave rows out, with presence bitmaps.
#include <cstring>

#include "decode/columns.h"

namespace wexo {

// Population count of n bytes, eight at a time (no compiler runtime call).
uint64_t set_bits(const uint8_t* p, uint64_t n) {
  uint64_t c = 0;
  for (uint64_t i = 0; i < n;) {
    uint64_t x = 0;
    const uint64_t take = n - i < 8 ? n - i : 8;
    std::memcpy(&x, p + i, take);
    i += take;
    x = x - ((x >> 1) & 0x5555555555555555u);
    x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    c += (x * 0x0101010101010101u) >> 56;
  }
  return c;
}

// header | uvarint N | per name: presence flag, [bitmap], typed column
Result<Owned> Decoder::sparse(uint64_t depth) {
  TRY(names, header());
  TRY(n, row_count());
  // Charged, not only checked: the rows cost even where no column fills them.
  CHECK(charge(2 * n, pos));
  CHECK(limit_cells(n, pos));  // the row dicts
  TRY(set, row_dicts(n));
  for (const Key& name : names) {
    if (pos >= len) return short_(pos);
    const uint8_t flag = buf[pos++];
    if (flag == PRESENCE_ALL) {
      DictSink sink{set.rows.data(), n, name.str_obj.get()};
      CHECK(column(n, depth + 1, sink));
      continue;
    }
    if (flag != PRESENCE_BITMAP) return bad("bad presence flag", pos);  // one past the flag
    const uint64_t b = n / 8 + (n % 8 != 0);
    if (remaining() < b) return short_(pos);
    const uint8_t* bits = buf + pos;
    pos += b;
    const uint64_t p = set_bits(bits, b);
    // Bits at row N and above must be clear; then P <= N holds by itself.
    if (p > n || (n % 8 != 0 && (bits[b - 1] >> (n % 8)) != 0))
      return bad("bad presence bitmap", pos);
    // A column of P cells: its depth test, charge of P + 1 and kind byte come
    // in the same order, at the same offsets, as any column's.
    SparseSink sink{set.rows.data(), bits, name.str_obj.get()};
    CHECK(column(p, depth + 1, sink));
  }
  return std::move(set.list);
}

}  // namespace wexo
