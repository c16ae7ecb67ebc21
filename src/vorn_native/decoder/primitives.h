// Varints, lengths, zigzag integers, floats and text. The one-byte varint is
// decoded in place at every call site; longer ones go through the general
// reader. Both give the same values, positions and failures.
#pragma once

#include <bit>
#include <cmath>
#include <cstring>

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
    return c.fail("truncated input", c.pos);
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
// Whether the rule makes `x` an int, and which (`integral`).
inline bool integral_double(double x, long long& integral) noexcept {
  // Below 2^53 in magnitude the conversion to a 64-bit integer is exact for
  // the integral part, so converting back tells integral values apart (and
  // costs two instructions where a call to trunc costs many).
  if (std::fabs(x) < 9007199254740992.0) {
    integral = static_cast<long long>(x);
    return static_cast<double>(integral) == x;
  }
  return false;
}

inline PyObject* number_from_double(double x) noexcept {
  long long integral;
  if (integral_double(x, integral)) return PyLong_FromLongLong(integral);
  return PyFloat_FromDouble(x);
}

// The body of a Float value. New reference or null (failure recorded).
// The eight bytes of a Float value. False with the failure recorded.
inline bool read_float_bits(DecodeContext& c, double& x) {
  const uint8_t* start = c.pos;
  if (c.remaining() < 8) return c.fail("truncated input", start);
  uint64_t bits;
  std::memcpy(&bits, start, 8);
  if constexpr (std::endian::native == std::endian::big) bits = __builtin_bswap64(bits);
  if ((bits & 0x7FFFFFFFFFFFFFFFull) > 0x7FEFFFFFFFFFFFFFull) {
    return c.fail("float is not finite", start);
  }
  c.pos = start + 8;
  x = std::bit_cast<double>(bits);
  return true;
}

inline PyObject* read_float(DecodeContext& c) {
  double x;
  if (!read_float_bits(c, x)) return nullptr;
  PyObject* number = number_from_double(x);
  return number != nullptr ? number : c.python_failed();
}

// A str from `length` bytes at `start`; the position moves past them.
// New reference or null (failure recorded).
PyObject* read_text(DecodeContext& c, const uint8_t* start, size_t length);

}  // namespace vorn
