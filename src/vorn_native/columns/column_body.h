// The column body: a kind byte and a body that delivers n items to n slots.
// The readers are templates over the slot type; column_body.cpp instantiates
// them for the decoder's own slots, and a module with slots of its own
// includes this file to instantiate them for those. Slots that declare the
// hooks of slots.h take numbers, bits, dictionary indexes and object columns
// as they stand in the input; the others receive Python objects.
#pragma once

#include "columns/key_list.h"
#include "columns/slots.h"
#include "decoder/primitives.h"
#include "decoder/values.h"
#include "foundation/membuf.h"
#include "foundation/owned.h"

namespace vorn {

// m / 10^scale rounded to the nearest double for |m| beyond 2^53, where the
// mantissa is not exact in a double. False with the failure recorded.
bool exact_decimal_quotient(DecodeContext& c, int64_t mantissa, unsigned scale, double& quotient);

inline constexpr double kPowersOfTen[kMaxDecimalScale + 1] = {1.0,     10.0,     100.0,    1000.0,
                                                              10000.0, 100000.0, 1000000.0};

// m / 10^scale rounded to the nearest double. False with the failure recorded.
inline bool decimal_quotient(DecodeContext& c, int64_t mantissa, unsigned scale, double& quotient) {
  uint64_t magnitude = mantissa < 0 ? 0 - uint64_t(mantissa) : uint64_t(mantissa);
  if (magnitude <= (uint64_t(1) << 53)) [[likely]] {
    quotient = double(mantissa) / kPowersOfTen[scale];
    return true;
  }
  return exact_decimal_quotient(c, mantissa, scale, quotient);
}

namespace column_body {

// For slots that take scalars: reads the item at the read position if it is
// a scalar that makes no str (None, booleans, ints, floats), with the value
// reader's primitives and the integral-float rule. 1 taken, 0 not such a
// scalar (nothing read), -1 failed.
template <class Slots>
int take_scalar(DecodeContext& c, size_t i, Slots& slots) {
  uint8_t tag = *c.pos;
  bool taken;
  if (is_small_int(tag)) {
    ++c.pos;
    taken = slots.take_scalar(c, i, Scalar::integer, tag & kSmallIntMax, 0.0);
  } else if (tag == tag_byte(Tag::None)) {
    ++c.pos;
    taken = slots.take_scalar(c, i, Scalar::none, 0, 0.0);
  } else if (tag == tag_byte(Tag::False) || tag == tag_byte(Tag::True)) {
    ++c.pos;
    taken = slots.take_scalar(c, i, Scalar::boolean, tag == tag_byte(Tag::True), 0.0);
  } else if (tag == tag_byte(Tag::Int)) {
    ++c.pos;
    int64_t number;
    taken = read_zigzag(c, number) && slots.take_scalar(c, i, Scalar::integer, number, 0.0);
  } else if (tag == tag_byte(Tag::Float)) {
    ++c.pos;
    double x;
    long long integral;
    taken = read_float_bits(c, x) &&
            (integral_double(x, integral) ? slots.take_scalar(c, i, Scalar::integer, integral, 0.0)
                                          : slots.take_scalar(c, i, Scalar::number, 0, x));
  } else {
    return 0;
  }
  return taken ? 1 : -1;
}

template <class Slots>
bool read_values(DecodeContext& c, size_t count, int depth, Slots& slots) {
  for (size_t i = 0; i < count; ++i) {
    if constexpr (TakesScalars<Slots>) {
      // read_value's own checks come first; when they fail, it reports them.
      if (depth + 1 <= kMaxDepth && c.pos < c.end) {
        int taken = take_scalar(c, i, slots);
        if (taken < 0) return false;
        if (taken > 0) continue;
      }
    }
    PyObject* item = read_value(c, depth + 1);
    if (item == nullptr || !slots.put(c, i, item)) return false;
  }
  return true;
}

template <class Slots>
bool read_delta_integers(DecodeContext& c, size_t count, Slots& slots) {
  uint64_t sum = 0;  // unsigned, so that the running sum wraps without overflow
  for (size_t i = 0; i < count; ++i) {
    int64_t delta;
    if (!read_zigzag(c, delta)) return false;
    sum += uint64_t(delta);
    if constexpr (TakesIntegers<Slots>) {
      if (!slots.put_int(c, i, int64_t(sum))) return false;
    } else {
      PyObject* item = PyLong_FromLongLong(static_cast<long long>(int64_t(sum)));
      if (item == nullptr) return c.python_failed();
      if (!slots.put(c, i, item)) return false;
    }
  }
  return true;
}

// The integral-float rule over the exact quotient.
inline PyObject* scaled_decimal(DecodeContext& c, int64_t mantissa, unsigned scale) {
  double quotient;
  if (!decimal_quotient(c, mantissa, scale, quotient)) return nullptr;
  PyObject* number = number_from_double(quotient);
  return number != nullptr ? number : c.python_failed();
}

template <class Slots>
bool read_decimals(DecodeContext& c, size_t count, Slots& slots) {
  if (c.pos >= c.end || *c.pos > kMaxDecimalScale) {
    return c.fail("bad decimal scale", c.pos);
  }
  unsigned scale = *c.pos++;
  if constexpr (TakesDecimals<Slots>) {
    if (!slots.begin_decimals(c, scale)) return false;
  }
  for (size_t i = 0; i < count; ++i) {
    int64_t mantissa;
    if (!read_zigzag(c, mantissa)) return false;
    if constexpr (TakesDecimals<Slots>) {
      if (!slots.put_decimal(c, i, mantissa)) return false;
    } else {
      PyObject* item;
      if (scale == 0) {
        item = PyLong_FromLongLong(static_cast<long long>(mantissa));
        if (item == nullptr) return c.python_failed();
      } else {
        item = scaled_decimal(c, mantissa, scale);
        if (item == nullptr) return false;
      }
      if (!slots.put(c, i, item)) return false;
    }
  }
  return true;
}

template <class Slots>
bool read_string_dictionary(DecodeContext& c, size_t count, Slots& slots) {
  uint64_t size;
  if (!read_length(c, size)) return false;
  if (size > c.remaining()) return c.fail("truncated input", c.pos);
  OwnedArray entries;
  if (!entries.reserve(size_t(size))) return c.python_failed();
  for (uint64_t j = 0; j < size; ++j) {
    StringItem item;
    if (!read_string_item(c, item)) return false;
    entries.push_reserved(item.str);
  }
  if constexpr (TakesIndexes<Slots>) {
    if (!slots.begin_dictionary(c, entries.data(), entries.size())) return false;
  }
  for (size_t i = 0; i < count; ++i) {
    uint64_t index;
    if (!read_varint(c, index)) return false;
    if (index >= size) return c.fail("bad dictionary index", c.pos);
    if constexpr (TakesIndexes<Slots>) {
      if (!slots.put_index(c, i, size_t(index))) return false;
    } else {
      PyObject* entry = entries[size_t(index)];
      Py_INCREF(entry);
      if (!slots.put(c, i, entry)) return false;
    }
  }
  return true;
}

template <class Slots>
bool read_booleans(DecodeContext& c, size_t count, Slots& slots) {
  const uint8_t* bitmap = c.pos;
  size_t bytes = count / 8 + (count % 8 != 0);
  if (bytes > c.remaining()) return c.fail("truncated input", bitmap);
  c.pos = bitmap + bytes;
  if constexpr (TakesBitmaps<Slots>) {
    return slots.put_bitmap(c, bitmap, count);
  } else {
    for (size_t i = 0; i < count; ++i) {
      PyObject* item = ((bitmap[i >> 3] >> (i & 7)) & 1) ? Py_True : Py_False;
      Py_INCREF(item);
      if (!slots.put(c, i, item)) return false;
    }
    return true;
  }
}

template <class Slots>
bool read_object_column(DecodeContext& c, size_t count, int depth, Slots& slots) {
  uint64_t key_count;
  if (!read_length(c, key_count)) return false;
  if (key_count > c.remaining()) return c.fail("truncated input", c.pos);
  if (key_count == 0) return c.fail("empty object column", c.pos);
  KeyList keys;
  if (!read_key_list(c, size_t(key_count), "duplicate key", keys)) return false;
  if constexpr (TakesObjectColumns<Slots>) {
    // The slots read the members' column bodies themselves, each for `count`
    // slots at depth + 1, in key order.
    return slots.read_members(c, keys, count, depth + 1);
  } else {
    // Every dict receives every key, in key order. The first member's items
    // wait where their dicts will go, and each dict is made as it takes its
    // item: a column whose first member fails (or is itself such a column,
    // many levels deep) has made no dict.
    RowMaker maker;
    if (!maker.init(c, keys, count)) return false;
    OwnedArray dicts;
    if (!dicts.reserve(count)) return c.python_failed();
    for (size_t i = 0; i < count; ++i) dicts.push_reserved(nullptr);
    BufferSlots first{dicts.data(), count, "internal row index"};
    if (!read_column_body(c, count, depth + 1, first)) return false;
    for (size_t i = 0; i < count; ++i) {
      VORN_ASSERT(dicts[i] != nullptr);
      Owned item = Owned::steal(dicts.take(i));
      PyObject* dict = maker.make();
      if (dict == nullptr) return c.python_failed();
      dicts.data()[i] = dict;
      if (PyDict_SetItem(dict, keys.key(0), item.get()) < 0) return c.python_failed();
    }
    // The other members go straight into the dicts: a row filler's buffer of
    // m columns would cost more memory than the walks it saves.
    for (size_t k = 1; k < keys.size(); ++k) {
      RowSlots members{dicts.data(), count, keys.key(k)};
      if (!read_column_body(c, count, depth + 1, members)) return false;
    }
    for (size_t i = 0; i < count; ++i) {
      if (!slots.put(c, i, dicts.take(i))) return false;
    }
    return true;
  }
}

}  // namespace column_body

template <class Slots>
bool read_column_body(DecodeContext& c, size_t count, int depth, Slots& slots) {
  using namespace column_body;
  const uint8_t* at = c.pos;
  if (depth > kMaxDepth) return c.fail("nesting too deep", at);
  if (!c.charge_size(int64_t(count) + 1, at)) return false;
  if (at >= c.end) return c.fail("truncated input", at);
  uint8_t kind = *c.pos++;
  if constexpr (TakesKinds<Slots>) {
    if (kind <= uint8_t(ColumnKind::ObjectColumn) &&
        !slots.begin_column(c, static_cast<ColumnKind>(kind))) {
      return false;
    }
  }
  switch (static_cast<ColumnKind>(kind)) {
    case ColumnKind::Values:
      return read_values(c, count, depth, slots);
    case ColumnKind::DeltaIntegers:
      return read_delta_integers(c, count, slots);
    case ColumnKind::Decimals:
      return read_decimals(c, count, slots);
    case ColumnKind::StringDictionary:
      return read_string_dictionary(c, count, slots);
    case ColumnKind::Booleans:
      return read_booleans(c, count, slots);
    case ColumnKind::ObjectColumn:
      return read_object_column(c, count, depth, slots);
    default:
      return c.fail("bad column kind", at);
  }
}

}  // namespace vorn
