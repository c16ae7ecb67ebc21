// Varints, lengths, zigzag integers, floats and text. The one-byte varint is
// decoded in place at every call site; longer ones go through the general
// reader. Both give the same values, positions and failures.
#pragma once

#include "decoder/context.h"

namespace vorn {

// General varint reader (any length up to 10 bytes).
bool read_varint_slow(DecodeContext& c, uint64_t& value);

inline bool read_varint(DecodeContext& c, uint64_t& value) {
  if (c.pos < c.end && *c.pos < 0x80) [[likely]] {
    value = *c.pos++;
    return true;
  }
  return read_varint_slow(c, value);
}

// A count or byte length: a varint of at most 2,147,483,647.
inline bool read_length(DecodeContext& c, uint64_t& value) {
  if (!read_varint(c, value)) return false;
  if (value > kMaxLength) [[unlikely]] {
    c.fail("truncated input", c.pos);
    return false;
  }
  return true;
}

inline bool read_zigzag(DecodeContext& c, int64_t& value) {
  uint64_t raw;
  if (!read_varint(c, raw)) return false;
  value = int64_t((raw >> 1) ^ (0 - (raw & 1)));
  return true;
}

// The integral-float rule: an int for integral values below 2^53 in
// magnitude, a float otherwise. New reference or null (exception pending).
PyObject* number_from_double(double x) noexcept;

// The body of a Float value. New reference or null (failure recorded).
PyObject* read_float(DecodeContext& c);

// A str from `length` bytes at `start`; the position moves past them.
// New reference or null (failure recorded).
PyObject* read_text(DecodeContext& c, const uint8_t* start, size_t length);

}  // namespace vorn
