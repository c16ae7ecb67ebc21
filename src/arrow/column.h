// One Arrow array and its type, as the decode builds it: buffers in raw
// memory, children and dictionary owned. A finished tree is immutable and is
// freed without the interpreter lock (see batch.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "arrow/raw_buffer.h"

namespace vorn::arrow {

enum class Type : uint8_t {
  Null,
  Bool,
  Int64,
  Float64,
  Decimal128,
  Utf8,
  Dictionary,
  List,
  Struct
};

class Column {
 public:
  // A new column (raw memory), or null with MemoryError pending.
  static Column* make(Type type, int64_t length) noexcept;
  // Frees `column` and everything it owns; needs no interpreter lock.
  static void destroy(Column* column) noexcept;

  Type type;
  uint8_t scale = 0;  // Decimal128
  int64_t length;
  int64_t null_count = 0;
  char format[16] = {};
  RawBuffer name;                // NUL-terminated; empty for the top-level struct
  RawBuffer validity;            // empty: no nulls
  RawBuffer values;              // bits, 64-bit values, 128-bit decimals, int32 offsets or indexes
  RawBuffer data;                // Utf8 text
  RawBuffer children;            // Column* each, owned
  Column* dictionary = nullptr;  // owned: the Utf8 entries of a Dictionary

  size_t child_count() const noexcept { return children.size() / sizeof(Column*); }
  Column* child(size_t i) const noexcept {
    return reinterpret_cast<Column* const*>(children.data())[i];
  }
  // Takes over `column` (freed here if it cannot be kept). False with
  // MemoryError pending.
  bool adopt_child(Column* column) noexcept;
  // Sets the field name. False with MemoryError pending.
  bool set_name(const char* text, size_t length) noexcept;
  // Number of Arrow buffers of this type (validity included).
  int64_t buffer_count() const noexcept;

 private:
  Column(Type t, int64_t n) noexcept;
  ~Column();
};

// Owns a column until it is handed on.
struct ColumnDeleter {
  void operator()(Column* column) const noexcept { Column::destroy(column); }
};
using ColumnPtr = std::unique_ptr<Column, ColumnDeleter>;

}  // namespace vorn::arrow
