#include "decoder/primitives.h"

namespace vorn {

bool read_varint_slow(DecodeContext& c, uint64_t& value) {
  const uint8_t* start = c.pos;
  size_t available = c.remaining();
  uint64_t result = 0;
  // Bytes 0 to 8 carry seven bits each; the loop is fully unrolled.
#pragma GCC unroll 9
  for (unsigned k = 0; k < 9; ++k) {
    if (k >= available) {
      return c.fail("truncated input", start);
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
    return c.fail("truncated input", start);
  }
  if (start[9] > 1) {
    return c.fail("varint overflows 64 bits", start);
  }
  c.pos = start + 10;
  value = result | (uint64_t(start[9]) << 63);
  return true;
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
