// The Arrow target of the column-body readers: each column body is read into
// one Arrow column, typed by its kind, with the rows that a presence bitmap
// leaves out as nulls. The same readers, checks, budgets and failures as the
// decoder's own slots; only what the items become differs.
#pragma once

#include <string>

#include "arrow/column.h"
#include "columns/key_list.h"
#include "columns/slots.h"

namespace vorn::arrow {

// What one decode asks for, and the first column it cannot convert.
struct Shared {
  bool decimal128 = false;     // Decimals as decimal128(38, scale) rather than float64
  bool plain_strings = false;  // dictionary columns as plain utf8
  std::string refusal;         // the first column refused (empty: none)
};

// Records `message` as the refusal unless one is recorded already; decoding
// goes on, so that invalid input still fails as invalid input.
void refuse(Shared& shared, std::string message);

class ColumnSlots {
 public:
  // A column of `rows` rows under the name path `path`, filled by a column
  // body whose item j goes to the j-th row set in `presence` (every row when
  // null).
  ColumnSlots(Shared& shared, size_t rows, const uint8_t* presence, size_t present,
              std::string path) noexcept
      : shared_(shared),
        rows_(rows),
        presence_(presence),
        present_(present),
        path_(std::move(path)) {}
  ColumnSlots(const ColumnSlots&) = delete;
  ColumnSlots& operator=(const ColumnSlots&) = delete;
  ~ColumnSlots() {
    for (size_t i = 0; i < objects_.size(); ++i) Py_XDECREF(objects_[i]);
  }

  bool begin_column(DecodeContext& c, ColumnKind kind);
  bool put(DecodeContext& c, size_t i, PyObject* item);
  bool put_int(DecodeContext& c, size_t i, int64_t value);
  bool begin_decimals(DecodeContext& c, unsigned scale);
  bool put_decimal(DecodeContext& c, size_t i, int64_t mantissa);
  bool begin_dictionary(DecodeContext& c, PyObject* const* entries, size_t size);
  bool put_index(DecodeContext& c, size_t i, size_t index);
  bool put_bitmap(DecodeContext& c, const uint8_t* bits, size_t count);
  bool read_members(DecodeContext& c, const KeyList& keys, size_t count, int depth);
  bool take_scalar(DecodeContext& c, size_t i, Scalar kind, int64_t integer, double number);

  // The finished column (the caller owns it), or null with the failure
  // recorded in `c`.
  Column* finish(DecodeContext& c);

 private:
  size_t row_of(size_t i) noexcept {
    if (presence_ == nullptr) return i;
    while (!get_bit(presence_, cursor_)) ++cursor_;
    return cursor_++;
  }
  bool start(DecodeContext& c, Type type, size_t width);
  // Values columns of scalars fill their buffers as the items arrive; other
  // values wait in `objects_` for column_from_objects.
  bool put_scalar(DecodeContext& c, size_t row, PyObject* item);
  bool settle(DecodeContext& c, Type first);
  bool mismatch(size_t row, const std::string& problem);  // a refusal; decoding goes on
  bool cell_bool(DecodeContext& c, size_t row, bool value);
  bool cell_int(DecodeContext& c, size_t row, int64_t value);
  bool cell_float(DecodeContext& c, size_t row, double value);
  bool cell_str(DecodeContext& c, size_t row, PyObject* str);
  bool valid(size_t row) noexcept {
    set_bit(column_->validity.data(), row);
    ++valid_;
    return true;
  }
  bool to_objects(DecodeContext& c);
  Column* finish_scalars(DecodeContext& c);

  Shared& shared_;
  size_t rows_;
  const uint8_t* presence_;  // borrowed from the input
  size_t present_;
  std::string path_;
  size_t cursor_ = 0;
  ColumnKind kind_ = ColumnKind::Values;
  ColumnPtr column_;
  MemBuf<PyObject*> objects_;  // Values: each row's item (owned), null where absent
  enum class Lane : uint8_t { scalars, objects, refused } lane_ = Lane::scalars;
  size_t valid_ = 0;  // scalars: cells that are not None
};

// A column body read into one column; the column, or null with the failure
// recorded.
Column* read_arrow_column(DecodeContext& c, Shared& shared, size_t rows, const uint8_t* presence,
                          size_t present, int depth, std::string path);

// The table target of the row and columnar table readers: one column per key.
class TableFiller {
 public:
  explicit TableFiller(Shared& shared) noexcept : shared_(shared) {}
  bool init(DecodeContext& c, const KeyList& keys, size_t count);
  bool read_column(DecodeContext& c, PyObject* key, const uint8_t* bitmap, size_t present,
                   int depth);
  // The table as a struct column of its columns (the caller owns it).
  Column* finish() noexcept { return table_.release(); }

 private:
  Shared& shared_;
  size_t rows_ = 0;
  ColumnPtr table_;
};

// The UTF-8 text of a str (borrowed), or false with the exception pending.
bool utf8_of(PyObject* str, const char*& text, size_t& length);

}  // namespace vorn::arrow
