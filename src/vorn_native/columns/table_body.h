// The two table encodings, read into a filler: the decoder's RowFiller makes
// rows of dicts, other targets make other things from the same reads. A
// filler has `init(c, keys, count)` (after the header and the row count have
// passed their checks) and `read_column(c, key, bitmap, present, depth)` (one
// column body: for every row when `bitmap` is null, otherwise for the
// `present` rows whose bit is set), each false with the failure recorded.
#pragma once

#include <bit>
#include <cstring>

#include "columns/key_list.h"
#include "decoder/primitives.h"

namespace vorn {

namespace table_body {

// The column names of a table: at least one, no two alike.
inline bool read_table_header(DecodeContext& c, KeyList& keys) {
  uint64_t count;
  if (!read_varint(c, count)) return false;
  if (count > kMaxLength || count > c.remaining()) return c.fail("truncated input", c.pos);
  if (count == 0) return c.fail("empty table header", c.pos);
  return read_key_list(c, size_t(count), "duplicate column", keys);
}

// The row count of a table, bounded by eight times the remaining bytes.
inline bool read_row_count(DecodeContext& c, uint64_t& rows) {
  if (!read_varint(c, rows)) return false;
  if (rows > kMaxLength || c.exceeds_bit_bound(rows)) return c.fail("truncated input", c.pos);
  return true;
}

// Number of set bits in `length` bytes.
inline size_t count_bits(const uint8_t* bytes, size_t length) {
  size_t total = 0;
  size_t i = 0;
  for (; i + 8 <= length; i += 8) {
    uint64_t word;
    std::memcpy(&word, bytes + i, 8);
    total += size_t(std::popcount(word));
  }
  for (; i < length; ++i) total += size_t(std::popcount(unsigned(bytes[i])));
  return total;
}

}  // namespace table_body

// The body of a RowTable whose tag stands at `depth`, into `rows`.
template <class Filler>
bool read_row_table_into(DecodeContext& c, int depth, Filler& rows) {
  using namespace table_body;
  KeyList keys;
  if (!read_table_header(c, keys)) return false;
  uint64_t count;
  if (!read_row_count(c, count)) return false;
  if (!c.check_size(int64_t(count) + 1, c.pos)) return false;
  if (!rows.init(c, keys, size_t(count))) return false;
  for (size_t k = 0; k < keys.size(); ++k) {
    if (!rows.read_column(c, keys.key(k), nullptr, 0, depth + 1)) return false;
  }
  return true;
}

// The body of a ColumnTable whose tag stands at `depth`, into `rows`.
template <class Filler>
bool read_column_table_into(DecodeContext& c, int depth, Filler& rows) {
  using namespace table_body;
  KeyList keys;
  if (!read_table_header(c, keys)) return false;
  uint64_t count;
  if (!read_row_count(c, count)) return false;
  if (!c.charge_size(2 * int64_t(count), c.pos)) return false;
  if (!rows.init(c, keys, size_t(count))) return false;
  size_t bitmap_bytes = size_t(count / 8 + (count % 8 != 0));
  for (size_t k = 0; k < keys.size(); ++k) {
    const uint8_t* flag_at = c.pos;
    if (flag_at >= c.end) return c.fail("truncated input", flag_at);
    uint8_t flag = *c.pos++;
    if (flag == 0) {
      if (!rows.read_column(c, keys.key(k), nullptr, 0, depth + 1)) return false;
      continue;
    }
    if (flag != 1) return c.fail("bad presence flag", c.pos);
    const uint8_t* bitmap = c.pos;
    if (bitmap_bytes > c.remaining()) return c.fail("truncated input", bitmap);
    c.pos = bitmap + bitmap_bytes;
    size_t present = count_bits(bitmap, bitmap_bytes);
    bool stray = count % 8 != 0 && (bitmap[bitmap_bytes - 1] >> (count % 8)) != 0;
    if (present > count || stray) return c.fail("bad presence bitmap", c.pos);
    if (!rows.read_column(c, keys.key(k), bitmap, present, depth + 1)) return false;
  }
  return true;
}

}  // namespace vorn
