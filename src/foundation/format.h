// The format's own vocabulary: the header, the tags, the column kinds and the
// limits, shared by the decoder and the encoder so that the two cannot drift.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn {

inline constexpr uint8_t kMagic = 0x0F;  // byte 0 of every document
inline constexpr uint8_t kVersion = 1;   // byte 1
inline constexpr size_t kHeaderSize = 2;

// The byte that opens every encoded value.
enum class Tag : uint8_t {
  None = 0x00,
  False = 0x01,
  True = 0x02,
  Int = 0x03,  // zigzag varint
  Float = 0x04,
  String = 0x05,     // length varint, UTF-8
  StringRef = 0x06,  // index into the string table
  List = 0x07,
  Object = 0x08,
  RowTable = 0x09,
  Anchor = 0x0A,
  Reference = 0x0B,
  TypedList = 0x0C,
  ColumnTable = 0x0D,
  ShortString = 0x40,  // 0x40 to 0x5F: the text's length in the low 5 bits
  SmallInt = 0x80,     // 0x80 to 0xFF: the value 0 to 127 in the low 7 bits
};

inline constexpr unsigned kShortStringMax = 0x1F;
inline constexpr unsigned kSmallIntMax = 0x7F;

constexpr bool is_short_string(uint8_t tag) noexcept { return (tag & 0xE0) == 0x40; }
constexpr bool is_small_int(uint8_t tag) noexcept { return (tag & 0x80) != 0; }
constexpr uint8_t tag_byte(Tag tag) noexcept { return static_cast<uint8_t>(tag); }

// The byte that opens a column body.
enum class ColumnKind : uint8_t {
  Values = 0,
  DeltaIntegers = 1,
  Decimals = 2,
  StringDictionary = 3,
  Booleans = 4,
  ObjectColumn = 5,
};

inline constexpr unsigned kMaxDecimalScale = 6;

// Limits that every decoder of the format keeps.
inline constexpr int kMaxDepth = 512;                   // nesting of values read from the input
inline constexpr size_t kMaxCopyDepth = 4096;           // nesting inside one reference's copy
inline constexpr uint64_t kMaxLength = 0x7fffffff;      // counts and byte lengths
inline constexpr int64_t kReferenceBudget = 0x1000000;  // items copied by references
inline constexpr int64_t kSizeBudgetBase = 0x400000;    // items made by tables and columns ...
inline constexpr int64_t kSizeBudgetPerByte = 32;       // ... plus this many per input byte
inline constexpr uint64_t kItemsPerByte = 8;            // row and typed-list counts: a bit per item

}  // namespace vorn
