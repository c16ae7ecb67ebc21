// The format's vocabulary as the encoder writes it: tags, column kinds and
// the limits a document must keep.
#pragma once

#include <cstdint>

namespace vorn::wire {

constexpr uint8_t kHeader[2] = {0x0f, 0x01};

enum Tag : uint8_t {
  kNone = 0x00,
  kFalse = 0x01,
  kTrue = 0x02,
  kInt = 0x03,
  kFloat = 0x04,
  kString = 0x05,
  kStringRef = 0x06,
  kList = 0x07,
  kObject = 0x08,
  kRowTable = 0x09,
  kTypedList = 0x0c,
  kColumnTable = 0x0d,
  kShortString = 0x40,  // | length, for 0..31 bytes
  kSmallInt = 0x80,     // | value, for 0..127
};

enum Kind : uint8_t {
  kValues = 0,
  kDeltaIntegers = 1,
  kDecimals = 2,
  kStringDictionary = 3,
  kBooleans = 4,
  kObjectColumn = 5,
};

constexpr int kMaxDepth = 512;             // the deepest level a value may stand at (top is 0)
constexpr int64_t kMaxCount = 2147483647;  // the largest count or byte length
constexpr uint32_t kShortStringMax = 31;
constexpr uint64_t kRefLimit = 0x4000;  // references below this always pay (at most 3 bytes)
constexpr int kMaxScale = 6;            // decimal scales 0..6

// The decoder's decoded-size budget: 32 per document byte plus a base.
constexpr int64_t kBudgetPerByte = 32;
constexpr int64_t kBudgetBase = 4194304;

constexpr double kTwo53 = 9007199254740992.0;
constexpr int64_t kTwo53Int = int64_t(1) << 53;

// A float that decodes as an int: integral and below 2^53 in magnitude.
inline bool integral(double v) { return v > -kTwo53 && v < kTwo53 && double(int64_t(v)) == v; }

inline uint64_t zigzag(int64_t v) { return (uint64_t(v) << 1) ^ uint64_t(v >> 63); }

inline int varint_size(uint64_t v) {
  int n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}

// Bytes of an int written as a value: SmallInt, else Int and its zigzag.
inline int int_value_size(int64_t v) { return v >= 0 && v < 0x80 ? 1 : 1 + varint_size(zigzag(v)); }

// Bytes of a string of `length` UTF-8 bytes written out in full.
inline int64_t literal_size(uint64_t length) {
  return length <= kShortStringMax ? 1 + int64_t(length)
                                   : 1 + varint_size(length) + int64_t(length);
}

}  // namespace vorn::wire
