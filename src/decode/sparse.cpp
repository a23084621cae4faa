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
  TRY(n, table_rows(true));
  TRY(set, row_dicts(n));
  for (const Key& name : names) {
    TRY(has, presence(n));
    if (!has.bits) {
      DictSink sink{set.rows.data(), n, name.str_obj.get()};
      CHECK(column(n, depth + 1, sink));
    } else {
      // A column of P cells: its depth test, charge of P + 1 and kind byte
      // come in the same order, at the same offsets, as any column's.
      SparseSink sink{set.rows.data(), has.bits, name.str_obj.get()};
      CHECK(column(has.cells, depth + 1, sink));
    }
  }
  return std::move(set.list);
}

// presence flag | [ceil(r / 8) bytes of bitmap, row 0 in bit 0 of byte 0]
Result<Presence> Decoder::presence(uint64_t r) {
  if (pos >= len) return short_(pos);
  const uint8_t flag = buf[pos++];
  if (flag == PRESENCE_ALL) return Presence{nullptr, r};
  if (flag != PRESENCE_BITMAP) return bad("bad presence flag", pos);  // one past the flag
  const uint64_t b = r / 8 + (r % 8 != 0);
  if (remaining() < b) return short_(pos);
  const uint8_t* bits = buf + pos;
  pos += b;
  const uint64_t p = set_bits(bits, b);
  // Bits at row R and above must be clear; then P <= R holds by itself.
  if (p > r || (r % 8 != 0 && (bits[b - 1] >> (r % 8)) != 0))
    return bad("bad presence bitmap", pos);
  return Presence{bits, p};
}

}  // namespace wexo
