#include "decoder/values.h"

#include <cstdio>

#include "columns/tables.h"
#include "columns/typed_list.h"
#include "decoder/anchors.h"
#include "decoder/objects.h"
#include "decoder/primitives.h"
#include "module/owned.h"

namespace vorn {

namespace {

// Text of `length` bytes at the read position, entered in the string table
// when it is 2 bytes or longer.
inline PyObject* read_string_body(DecodeContext& c, size_t length) {
  const uint8_t* start = c.pos;
  PyObject* text = read_text(c, start, length);
  if (text != nullptr && length >= 2) {
    if (!c.append_string(text, start, length)) {
      Py_DECREF(text);
      return nullptr;
    }
    Py_INCREF(text);
  }
  return text;
}

inline PyObject* read_long_string(DecodeContext& c) {
  uint64_t length;
  if (!read_length(c, length)) return nullptr;
  return read_string_body(c, size_t(length));
}

inline PyObject* read_string_ref(DecodeContext& c, const StringEntry** entry) {
  uint64_t index;
  if (!read_varint(c, index)) return nullptr;
  if (index >= c.strings.size()) return c.fail("bad string reference", c.pos);
  *entry = &c.strings[size_t(index)];
  PyObject* str = (*entry)->str;
  Py_INCREF(str);
  return str;
}

// A list whose slots the input cannot pay for yet: it grows as its items
// arrive, so that every slot stands for an item already read.
PyObject* read_growing_list(DecodeContext& c, size_t count, int depth) {
  Owned list = Owned::steal(PyList_New(0));
  if (!list) return c.python_failed();
  for (size_t i = 0; i < count; ++i) {
    Owned item = Owned::steal(read_value(c, depth + 1));
    if (!item) return nullptr;
    if (PyList_Append(list.get(), item.get()) != 0) return c.python_failed();
  }
  return list.release();
}

}  // namespace

PyObject* read_value(DecodeContext& c, int depth) {
  if (depth > kMaxDepth) [[unlikely]]
    return c.fail("nesting too deep", c.pos);
  if (c.pos >= c.end) [[unlikely]]
    return c.fail("truncated input", c.pos);
  const uint8_t* at = c.pos;
  uint8_t tag = *c.pos++;
  PyObject* value;
  if (tag & 0x80) {
    value = PyLong_FromLong(tag & 0x7F);
  } else if ((tag & 0x60) == 0x40) {
    return read_string_body(c, tag & 0x1F);
  } else {
    switch (tag) {
      case 0x00:
        Py_INCREF(Py_None);
        return Py_None;
      case 0x01:
        Py_INCREF(Py_False);
        return Py_False;
      case 0x02:
        Py_INCREF(Py_True);
        return Py_True;
      case 0x03: {
        int64_t number;
        if (!read_zigzag(c, number)) return nullptr;
        value = PyLong_FromLongLong(number);
        break;
      }
      case 0x04:
        return read_float(c);
      case 0x05:
        return read_long_string(c);
      case 0x06: {
        const StringEntry* entry = nullptr;
        return read_string_ref(c, &entry);
      }
      case 0x07:
        return read_list(c, depth);
      case 0x08:
        return read_object(c, depth);
      case 0x09:
        return read_row_table(c, depth);
      case 0x0A:
        return read_anchor(c, depth);
      case 0x0B:
        return read_reference(c);
      case 0x0C:
        return read_typed_list(c, depth);
      case 0x0D:
        return read_column_table(c, depth);
      default: {
        char message[16];
        std::snprintf(message, sizeof message, "bad tag 0x%02x", unsigned(tag));
        return c.fail(message, at);  // formatted only on failure
      }
    }
  }
  return value != nullptr ? value : c.python_failed();
}

PyObject* read_list(DecodeContext& c, int depth) {
  uint64_t count;
  if (!read_length(c, count)) return nullptr;
  if (count > c.remaining()) return c.fail("truncated input", c.pos);
  int64_t claim = int64_t(count) * 8;
  if (claim > c.slot_bits) return read_growing_list(c, size_t(count), depth);
  c.slot_bits -= claim;
  Owned list = Owned::steal(PyList_New(Py_ssize_t(count)));
  if (!list) return c.python_failed();
  for (size_t i = 0; i < count; ++i) {
    PyObject* item = read_value(c, depth + 1);
    if (item == nullptr) return nullptr;
    if (PyList_SetItem(list.get(), Py_ssize_t(i), item) != 0) return c.python_failed();
  }
  c.slot_bits += claim;
  return list.release();
}

bool read_string_item(DecodeContext& c, StringItem& item) {
  if (c.pos >= c.end) {
    c.fail("truncated input", c.pos);
    return false;
  }
  const uint8_t* at = c.pos;
  uint8_t tag = *c.pos++;
  if ((tag & 0xE0) == 0x40 || tag == 0x05) {
    size_t length = tag & 0x1F;
    if (tag == 0x05) {
      uint64_t long_length;
      if (!read_length(c, long_length)) return false;
      length = size_t(long_length);
    }
    item.start = size_t(c.pos - c.base);
    item.length = length;
    item.str = read_string_body(c, length);
    return item.str != nullptr;
  }
  if (tag == 0x06) {
    const StringEntry* entry = nullptr;
    item.str = read_string_ref(c, &entry);
    if (item.str == nullptr) return false;
    item.start = entry->start;
    item.length = entry->length;
    return true;
  }
  c.fail("key must be a string", at);
  return false;
}

}  // namespace vorn
