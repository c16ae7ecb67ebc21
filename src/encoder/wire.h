// The encoder's arithmetic over the format's vocabulary (foundation/format.h):
// the header it writes, and what a value costs in bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/format.h"

namespace vorn::wire {

constexpr uint8_t kHeader[kHeaderSize] = {kMagic, kVersion};

constexpr uint64_t kRefLimit = 0x4000;  // references below this always pay (at most 3 bytes)
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

// How far `charge` goes past the decoded-size budget of a document of `size`
// bytes whose budget starts at `base`: over when positive. Any 64-bit base
// may come in, so the sum is taken wider and saturated.
inline int64_t budget_excess(int64_t charge, size_t size, int64_t base) {
  __int128 excess = __int128(charge) - (__int128(size) * kSizeBudgetPerByte + base);
  return excess > INT64_MAX ? INT64_MAX : excess < INT64_MIN ? INT64_MIN : int64_t(excess);
}

}  // namespace vorn::wire
