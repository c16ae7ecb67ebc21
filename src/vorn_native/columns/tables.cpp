#include "columns/tables.h"

#include <bit>
#include <cstring>

#include "columns/key_list.h"
#include "columns/row_filler.h"
#include "columns/slots.h"
#include "columns/typed_list.h"
#include "decoder/primitives.h"
#include "module/owned.h"

namespace vorn {

namespace {

// The column names of a table: at least one, no two alike.
bool read_table_header(DecodeContext& c, KeyList& keys) {
  uint64_t count;
  if (!read_varint(c, count)) return false;
  if (count > kMaxLength || count > c.remaining()) return c.fail("truncated input", c.pos), false;
  if (count == 0) return c.fail("empty table header", c.pos), false;
  return read_key_list(c, size_t(count), "duplicate column", keys);
}

// The row count of a table, bounded by eight times the remaining bytes.
bool read_row_count(DecodeContext& c, uint64_t& rows) {
  if (!read_varint(c, rows)) return false;
  if (rows > kMaxLength || exceeds_bit_bound(c, rows))
    return c.fail("truncated input", c.pos), false;
  return true;
}

// The result list of `count` dicts made by `maker`. The rows are reached
// through the list: an array of them would cost memory that the row filler's
// buffer spends better.
Owned new_row_list(DecodeContext& c, size_t count, const RowMaker& maker) {
  Owned list = Owned::steal(PyList_New(Py_ssize_t(count)));
  if (!list) return c.python_failed(), Owned();
  for (size_t i = 0; i < count; ++i) {
    PyObject* row = maker.make();
    if (row == nullptr || PyList_SetItem(list.get(), Py_ssize_t(i), row) != 0) {
      return c.python_failed(), Owned();
    }
  }
  return list;
}

// Number of set bits in `length` bytes.
size_t count_bits(const uint8_t* bytes, size_t length) {
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

}  // namespace

PyObject* read_row_table(DecodeContext& c, int depth) {
  KeyList keys;
  if (!read_table_header(c, keys)) return nullptr;
  uint64_t count;
  if (!read_row_count(c, count)) return nullptr;
  if (c.size_budget < int64_t(count) + 1) return c.fail("decoded size too large", c.pos);
  // Every row receives every column, in header order.
  RowMaker maker;
  if (!maker.init(c, keys)) return nullptr;
  Owned list = new_row_list(c, size_t(count), maker);
  if (!list) return nullptr;
  RowFiller filler(list.get(), size_t(count), maker.prefills());
  if (!filler.init(c, keys.size())) return nullptr;
  for (size_t k = 0; k < keys.size(); ++k) {
    BufferSlots column = filler.next_column(keys.key(k), nullptr, 0);
    if (!read_column_body(c, size_t(count), depth + 1, column)) return nullptr;
    if (!filler.column_done(c)) return nullptr;
  }
  if (!filler.finish(c)) return nullptr;
  return list.release();
}

PyObject* read_column_table(DecodeContext& c, int depth) {
  KeyList keys;
  if (!read_table_header(c, keys)) return nullptr;
  uint64_t count;
  if (!read_row_count(c, count)) return nullptr;
  c.size_budget -= 2 * int64_t(count);
  if (c.size_budget < 0) return c.fail("decoded size too large", c.pos);
  // Rows are made with every key and lose those of absent members when they
  // are filled: cheaper than growing each dict key by key.
  RowMaker maker;
  if (!maker.init(c, keys)) return nullptr;
  Owned list = new_row_list(c, size_t(count), maker);
  if (!list) return nullptr;
  RowFiller filler(list.get(), size_t(count), maker.prefills());
  if (!filler.init(c, keys.size())) return nullptr;
  size_t bitmap_bytes = size_t(count / 8 + (count % 8 != 0));
  for (size_t k = 0; k < keys.size(); ++k) {
    const uint8_t* flag_at = c.pos;
    if (flag_at >= c.end) return c.fail("truncated input", flag_at);
    uint8_t flag = *c.pos++;
    if (flag == 0) {
      BufferSlots column = filler.next_column(keys.key(k), nullptr, 0);
      if (!read_column_body(c, size_t(count), depth + 1, column)) return nullptr;
      if (!filler.column_done(c)) return nullptr;
      continue;
    }
    if (flag != 1) return c.fail("bad presence flag", c.pos);
    const uint8_t* bitmap = c.pos;
    if (bitmap_bytes > c.remaining()) return c.fail("truncated input", bitmap);
    c.pos = bitmap + bitmap_bytes;
    size_t present = count_bits(bitmap, bitmap_bytes);
    bool stray = count % 8 != 0 && (bitmap[bitmap_bytes - 1] >> (count % 8)) != 0;
    if (present > count || stray) return c.fail("bad presence bitmap", c.pos);
    BufferSlots column = filler.next_column(keys.key(k), bitmap, present);
    if (!read_column_body(c, present, depth + 1, column)) return nullptr;
    if (!filler.column_done(c)) return nullptr;
  }
  if (!filler.finish(c)) return nullptr;
  return list.release();
}

}  // namespace vorn
