#include "decoder/primitives.h"

#include <bit>
#include <cmath>
#include <cstring>

namespace vorn {

bool read_varint_slow(DecodeContext& c, uint64_t& value) {
  const uint8_t* start = c.pos;
  size_t available = c.remaining();
  uint64_t result = 0;
  // Bytes 0 to 8 carry seven bits each; the loop is fully unrolled.
#pragma GCC unroll 9
  for (unsigned k = 0; k < 9; ++k) {
    if (k >= available) {
      c.fail("truncated input", start);
      return false;
    }
    uint8_t byte = start[k];
    result |= uint64_t(byte & 0x7F) << (7 * k);
    if (byte < 0x80) {
      c.pos = start + k + 1;
      value = result;
      return true;
    }
  }
  // The tenth byte can only carry bit 63.
  if (available < 10) {
    c.fail("truncated input", start);
    return false;
  }
  if (start[9] > 1) {
    c.fail("varint overflows 64 bits", start);
    return false;
  }
  c.pos = start + 10;
  value = result | (uint64_t(start[9]) << 63);
  return true;
}

PyObject* number_from_double(double x) noexcept {
  // Below 2^53 in magnitude the conversion to a 64-bit integer is exact for
  // the integral part, so converting back tells integral values apart (and
  // costs two instructions where a call to trunc costs many).
  if (std::fabs(x) < 9007199254740992.0) {
    long long integral = static_cast<long long>(x);
    if (static_cast<double>(integral) == x) return PyLong_FromLongLong(integral);
  }
  return PyFloat_FromDouble(x);
}

PyObject* read_float(DecodeContext& c) {
  const uint8_t* start = c.pos;
  if (c.remaining() < 8) return c.fail("truncated input", start);
  uint64_t bits;
  std::memcpy(&bits, start, 8);
  if constexpr (std::endian::native == std::endian::big) bits = __builtin_bswap64(bits);
  if ((bits & 0x7FFFFFFFFFFFFFFFull) > 0x7FEFFFFFFFFFFFFFull) {
    return c.fail("float is not finite", start);
  }
  c.pos = start + 8;
  PyObject* number = number_from_double(std::bit_cast<double>(bits));
  return number != nullptr ? number : c.python_failed();
}

PyObject* read_text(DecodeContext& c, const uint8_t* start, size_t length) {
  if (size_t(c.end - start) < length) return c.fail("truncated input", start);
  PyObject* text =
      PyUnicode_FromStringAndSize(reinterpret_cast<const char*>(start), Py_ssize_t(length));
  if (text == nullptr) [[unlikely]] {
    if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
      PyErr_Clear();
      return c.fail("string is not valid UTF-8", start);
    }
    return c.python_failed();
  }
  c.pos = start + length;
  return text;
}

}  // namespace vorn
