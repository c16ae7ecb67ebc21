// Where a column body delivers its items. Each slot type takes over the item
// it is given; a failed put has recorded its failure and released the item.
#pragma once

#include "decoder/context.h"

namespace vorn {

// Item i becomes item i of a new list.
struct ListSlots {
  PyObject* list;  // borrowed

  bool put(DecodeContext& c, size_t i, PyObject* item) {
    if (PyList_SetItem(list, Py_ssize_t(i), item) != 0) return c.python_failed(), false;
    return true;
  }
};

// Item i becomes the member of dict i under `key`.
struct RowSlots {
  PyObject* const* rows;  // borrowed dicts
  size_t count;
  PyObject* key;  // borrowed

  bool put(DecodeContext& c, size_t i, PyObject* item) {
    if (i >= count) [[unlikely]] {
      Py_DECREF(item);
      c.fail_at("internal row index", 0);
      return false;
    }
    int status = PyDict_SetItem(rows[i], key, item);
    Py_DECREF(item);
    if (status < 0) return c.python_failed(), false;
    return true;
  }
};

// Item j becomes the member under `key` of the j-th row whose presence bit
// is set; rows are taken in increasing order.
struct PresentSlots {
  PyObject* const* rows;  // borrowed dicts
  size_t count;
  PyObject* key;          // borrowed
  const uint8_t* bitmap;  // in the input
  size_t cursor = 0;

  bool put(DecodeContext& c, size_t, PyObject* item) {
    size_t row = cursor;
    while (row < count && !((bitmap[row >> 3] >> (row & 7)) & 1)) ++row;
    if (row >= count) [[unlikely]] {
      Py_DECREF(item);
      c.fail_at("bad presence bitmap", 0);
      return false;
    }
    int status = PyDict_SetItem(rows[row], key, item);
    Py_DECREF(item);
    if (status < 0) return c.python_failed(), false;
    cursor = row + 1;
    return true;
  }
};

// Reads one column body of `count` items at `depth` into `slots`. False with
// the failure recorded.
template <class Slots>
bool read_column_body(DecodeContext& c, size_t count, int depth, Slots& slots);

extern template bool read_column_body(DecodeContext&, size_t, int, ListSlots&);
extern template bool read_column_body(DecodeContext&, size_t, int, RowSlots&);
extern template bool read_column_body(DecodeContext&, size_t, int, PresentSlots&);

}  // namespace vorn
