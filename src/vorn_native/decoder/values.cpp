#include "decoder/values.h"

#include <cstdio>

#include "columns/tables.h"
#include "columns/typed_list.h"
#include "decoder/anchors.h"
#include "decoder/objects.h"
#include "decoder/primitives.h"
#include "foundation/owned.h"

namespace vorn {

namespace {

// Text of `length` bytes at the read position, entered in the string table
// when it is 2 bytes or longer.
inline PyObject* read_string_body(DecodeContext& c, size_t length) {
  const uint8_t* start = c.pos;
  PyObject* text = read_text(c, start, length);
  if (text != nullptr && length >= 2 && !c.append_string(text, start, length)) {
    Py_DECREF(text);
    return nullptr;
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
  if (is_small_int(tag)) {
    value = PyLong_FromLong(tag & kSmallIntMax);
  } else if (is_short_string(tag)) {
    return read_string_body(c, tag & kShortStringMax);
  } else {
    switch (static_cast<Tag>(tag)) {
      case Tag::None:
        Py_INCREF(Py_None);
        return Py_None;
      case Tag::False:
        Py_INCREF(Py_False);
        return Py_False;
      case Tag::True:
        Py_INCREF(Py_True);
        return Py_True;
      case Tag::Int: {
        int64_t number;
        if (!read_zigzag(c, number)) return nullptr;
        value = PyLong_FromLongLong(number);
        break;
      }
      case Tag::Float:
        return read_float(c);
      case Tag::String:
        return read_long_string(c);
      case Tag::StringRef: {
        const StringEntry* entry = nullptr;
        return read_string_ref(c, &entry);
      }
      case Tag::List:
        return read_list(c, depth);
      case Tag::Object:
        return read_object(c, depth);
      case Tag::RowTable:
        return read_row_table(c, depth);
      case Tag::Anchor:
        return read_anchor(c, depth);
      case Tag::Reference:
        return read_reference(c);
      case Tag::TypedList:
        return read_typed_list(c, depth);
      case Tag::ColumnTable:
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
  if (!c.claim_slots(claim)) return read_growing_list(c, size_t(count), depth);
  Owned list = Owned::steal(PyList_New(Py_ssize_t(count)));
  if (!list) return c.python_failed();
  for (size_t i = 0; i < count; ++i) {
    PyObject* item = read_value(c, depth + 1);
    if (item == nullptr) return nullptr;
    if (PyList_SetItem(list.get(), Py_ssize_t(i), item) != 0) return c.python_failed();
  }
  c.release_slots(claim);
  return list.release();
}

bool read_string_item(DecodeContext& c, StringItem& item) {
  if (c.pos >= c.end) {
    return c.fail("truncated input", c.pos);
  }
  const uint8_t* at = c.pos;
  uint8_t tag = *c.pos++;
  if (is_short_string(tag) || tag == tag_byte(Tag::String)) {
    size_t length = tag & kShortStringMax;
    if (tag == tag_byte(Tag::String)) {
      uint64_t long_length;
      if (!read_length(c, long_length)) return false;
      length = size_t(long_length);
    }
    item.start = size_t(c.pos - c.base);
    item.length = length;
    item.str = read_string_body(c, length);
    return item.str != nullptr;
  }
  if (tag == tag_byte(Tag::StringRef)) {
    const StringEntry* entry = nullptr;
    item.str = read_string_ref(c, &entry);
    if (item.str == nullptr) return false;
    item.start = entry->start;
    item.length = entry->length;
    return true;
  }
  return c.fail("key must be a string", at);
}

}  // namespace vorn
