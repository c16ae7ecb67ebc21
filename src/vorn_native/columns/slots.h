// Where a column body delivers its items. Each slot type takes over the item
// it is given; a failed put has recorded its failure and released the item.
#pragma once

#include <concepts>

#include "decoder/context.h"

namespace vorn {

class KeyList;

// A scalar cell of a Values column, for slots that take scalars without a
// Python object: None, False/True (integer 0/1), an int (integer) or a float
// that the integral-float rule keeps a float (number).
enum class Scalar : uint8_t { none, boolean, integer, number };

// Hooks a slot type may declare to take items as they stand in the input
// instead of as Python objects (each returns false with the failure recorded):
// - begin_column(c, kind): a valid kind byte was read (also for no items);
// - put_int(c, i, value): the sums of a DeltaIntegers column;
// - begin_decimals(c, scale), then put_decimal(c, i, mantissa): Decimals;
// - begin_dictionary(c, entries, size), then put_index(c, i, index): a
//   StringDictionary's entries (borrowed str objects) and its indexes;
// - put_bitmap(c, bitmap, count): a Booleans column's bits, all at once;
// - take_scalar(c, i, kind, integer, number): a scalar item of a Values column;
// - read_members(c, keys, count, depth): an ObjectColumn's member column
//   bodies, each read by the slots for `count` items at `depth`.
template <class S>
concept TakesKinds = requires(S& s, DecodeContext& c) {
  { s.begin_column(c, ColumnKind::Values) } -> std::same_as<bool>;
};
template <class S>
concept TakesIntegers = requires(S& s, DecodeContext& c) {
  { s.put_int(c, size_t(0), int64_t(0)) } -> std::same_as<bool>;
};
template <class S>
concept TakesDecimals = requires(S& s, DecodeContext& c) {
  { s.begin_decimals(c, 0u) } -> std::same_as<bool>;
  { s.put_decimal(c, size_t(0), int64_t(0)) } -> std::same_as<bool>;
};
template <class S>
concept TakesIndexes = requires(S& s, DecodeContext& c, PyObject* const* entries) {
  { s.begin_dictionary(c, entries, size_t(0)) } -> std::same_as<bool>;
  { s.put_index(c, size_t(0), size_t(0)) } -> std::same_as<bool>;
};
template <class S>
concept TakesBitmaps = requires(S& s, DecodeContext& c, const uint8_t* bits) {
  { s.put_bitmap(c, bits, size_t(0)) } -> std::same_as<bool>;
};
template <class S>
concept TakesScalars = requires(S& s, DecodeContext& c) {
  { s.take_scalar(c, size_t(0), Scalar::none, int64_t(0), 0.0) } -> std::same_as<bool>;
};
template <class S>
concept TakesObjectColumns = requires(S& s, DecodeContext& c, const KeyList& keys) {
  { s.read_members(c, keys, size_t(0), 0) } -> std::same_as<bool>;
};

// Item i becomes item i of a new list.
struct ListSlots {
  PyObject* list;  // borrowed

  bool put(DecodeContext& c, size_t i, PyObject* item) {
    if (PyList_SetItem(list, Py_ssize_t(i), item) != 0) return c.python_failed();
    return true;
  }
};

// Item i is appended to a list that holds items 0 to i - 1.
struct AppendSlots {
  PyObject* list;  // borrowed

  bool put(DecodeContext& c, size_t, PyObject* item) {
    int status = PyList_Append(list, item);
    Py_DECREF(item);
    if (status != 0) return c.python_failed();
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
      return c.fail_at("internal row index", 0);
    }
    int status = PyDict_SetItem(rows[i], key, item);
    Py_DECREF(item);
    if (status < 0) return c.python_failed();
    return true;
  }
};

// Item i is kept at items[i] (a row filler's buffer) until it is placed.
struct BufferSlots {
  PyObject** items;
  size_t count;
  const char* overflow;  // the failure for an item beyond `count`

  bool put(DecodeContext& c, size_t i, PyObject* item) {
    if (i >= count) [[unlikely]] {
      Py_DECREF(item);
      return c.fail_at(overflow, 0);
    }
    items[i] = item;
    return true;
  }
};

// Reads one column body of `count` items at `depth` into `slots`. False with
// the failure recorded.
template <class Slots>
bool read_column_body(DecodeContext& c, size_t count, int depth, Slots& slots);

extern template bool read_column_body(DecodeContext&, size_t, int, ListSlots&);
extern template bool read_column_body(DecodeContext&, size_t, int, AppendSlots&);
extern template bool read_column_body(DecodeContext&, size_t, int, RowSlots&);
extern template bool read_column_body(DecodeContext&, size_t, int, BufferSlots&);

}  // namespace vorn
