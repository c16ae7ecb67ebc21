#include "arrow/builder.h"

#include <climits>
#include <cstdio>

#include "arrow/values.h"
#include "columns/column_body.h"
#include "foundation/owned.h"

namespace vorn::arrow {

void refuse(Shared& shared, std::string message) {
  if (shared.refusal.empty()) shared.refusal = std::move(message);
}

bool utf8_of(PyObject* str, const char*& text, size_t& length) {
  Py_ssize_t size = 0;
  text = PyUnicode_AsUTF8AndSize(str, &size);
  length = size_t(size);
  return text != nullptr;
}

bool ColumnSlots::start(DecodeContext& c, Type type, size_t width) {
  column_.reset(Column::make(type, int64_t(rows_)));
  if (!column_) return c.python_failed();
  if (width != 0 && !column_->values.resize(rows_ * width)) return c.python_failed();
  if (presence_ != nullptr && present_ != rows_) {
    // The rows the column leaves out are its nulls.
    if (!column_->validity.append(presence_, bitmap_bytes(rows_))) return c.python_failed();
    column_->null_count = int64_t(rows_ - present_);
  }
  return true;
}

bool ColumnSlots::begin_column(DecodeContext& c, ColumnKind kind) {
  kind_ = kind;
  switch (kind) {
    case ColumnKind::Values:
      // Typed by the first cell that is not None.
      column_.reset(Column::make(Type::Null, int64_t(rows_)));
      return column_ || c.python_failed();
    case ColumnKind::DeltaIntegers:
      return start(c, Type::Int64, 8);
    case ColumnKind::Decimals:
      return true;  // typed by its scale
    case ColumnKind::StringDictionary:
      return start(c, Type::Dictionary, 4);
    case ColumnKind::Booleans:
      return start(c, Type::Bool, 0) &&
             (column_->values.resize(bitmap_bytes(rows_)) || c.python_failed());
    case ColumnKind::ObjectColumn:
      return start(c, Type::Struct, 0);
  }
  return true;
}

bool ColumnSlots::put(DecodeContext& c, size_t i, PyObject* item) {
  if (kind_ != ColumnKind::Values || i >= present_) [[unlikely]] {
    Py_DECREF(item);
    return c.fail_at("internal row index", 0);
  }
  size_t row = row_of(i);
  if (lane_ == Lane::scalars) return put_scalar(c, row, item);
  if (lane_ == Lane::objects) {
    objects_[row] = item;
  } else {
    Py_DECREF(item);
  }
  return true;
}

bool ColumnSlots::settle(DecodeContext& c, Type first) {
  // The first cell that is not None decides the buffers.
  Column& column = *column_;
  size_t bytes = first == Type::Bool   ? bitmap_bytes(rows_)
                 : first == Type::Utf8 ? (rows_ + 1) * 4
                                       : rows_ * 8;
  if (!column.values.resize(bytes) || !column.validity.resize(bitmap_bytes(rows_))) {
    return c.python_failed();
  }
  column.type = first;
  std::snprintf(column.format, sizeof column.format, "%s",
                first == Type::Bool      ? "b"
                : first == Type::Int64   ? "l"
                : first == Type::Float64 ? "g"
                                         : "u");
  return true;
}

bool ColumnSlots::mismatch(size_t row, const std::string& problem) {
  refuse(shared_, "column '" + path_ + "': row " + std::to_string(row) + " " + problem);
  lane_ = Lane::refused;
  return true;
}

bool ColumnSlots::cell_bool(DecodeContext& c, size_t row, bool value) {
  Column& column = *column_;
  if (column.type == Type::Null && !settle(c, Type::Bool)) return false;
  if (column.type != Type::Bool) return mismatch(row, conflict_text("a bool", column.type));
  if (value) set_bit(column.values.data(), row);
  return valid(row);
}

bool ColumnSlots::cell_int(DecodeContext& c, size_t row, int64_t value) {
  Column& column = *column_;
  if (column.type == Type::Null && !settle(c, Type::Int64)) return false;
  if (column.type == Type::Int64) {
    column.values.as<int64_t>()[row] = value;
  } else if (column.type == Type::Float64) {
    column.values.as<double>()[row] = double(value);
  } else {
    return mismatch(row, conflict_text("an int", column.type));
  }
  return valid(row);
}

bool ColumnSlots::cell_float(DecodeContext& c, size_t row, double value) {
  Column& column = *column_;
  if (column.type == Type::Null && !settle(c, Type::Float64)) return false;
  if (column.type == Type::Int64) {
    // Ints and floats mix as float64.
    int64_t* ints = column.values.as<int64_t>();
    double* floats = column.values.as<double>();
    for (size_t r = 0; r < row; ++r) floats[r] = double(ints[r]);
    column.type = Type::Float64;
    std::snprintf(column.format, sizeof column.format, "g");
  }
  if (column.type != Type::Float64) return mismatch(row, conflict_text("a float", column.type));
  column.values.as<double>()[row] = value;
  return valid(row);
}

bool ColumnSlots::cell_str(DecodeContext& c, size_t row, PyObject* str) {
  Column& column = *column_;
  if (column.type == Type::Null && !settle(c, Type::Utf8)) return false;
  if (column.type != Type::Utf8) return mismatch(row, conflict_text("a str", column.type));
  const char* text;
  size_t length;
  if (!utf8_of(str, text, length)) return c.python_failed();
  if (length > size_t(INT32_MAX) - column.data.size()) {
    return mismatch(row, "holds more than 2 GiB of text");
  }
  if (!column.data.append(text, length)) return c.python_failed();
  column.values.as<int32_t>()[row + 1] = int32_t(column.data.size());
  return valid(row);
}

bool ColumnSlots::put_scalar(DecodeContext& c, size_t row, PyObject* item) {
  Owned cell = Owned::steal(item);
  if (item == Py_None) return true;
  if (PyBool_Check(item)) return cell_bool(c, row, item == Py_True);
  if (PyLong_Check(item)) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (overflow != 0) return mismatch(row, "holds an int beyond 64 bits");
    return cell_int(c, row, value);
  }
  if (PyFloat_Check(item)) return cell_float(c, row, PyFloat_AsDouble(item));
  if (PyUnicode_Check(item)) return cell_str(c, row, item);
  if (column_->type != Type::Null) {
    return mismatch(row, conflict_text(PyList_Check(item) ? "a list" : "a dict", column_->type));
  }
  // Lists and dicts after None only: built from the objects at the end.
  if (!to_objects(c)) return false;
  objects_[row] = cell.release();
  return true;
}

bool ColumnSlots::take_scalar(DecodeContext& c, size_t i, Scalar kind, int64_t integer,
                              double number) {
  if (lane_ == Lane::refused) return true;
  if (lane_ == Lane::objects) {
    // Cells waiting as objects: this one too, as the decoder makes it.
    PyObject* item = kind == Scalar::none      ? Py_None
                     : kind == Scalar::boolean ? (integer ? Py_True : Py_False)
                                               : nullptr;
    if (item != nullptr) {
      Py_INCREF(item);
    } else {
      item = kind == Scalar::integer ? PyLong_FromLongLong(integer) : PyFloat_FromDouble(number);
      if (item == nullptr) return c.python_failed();
    }
    return put(c, i, item);
  }
  if (i >= present_) [[unlikely]]
    return c.fail_at("internal row index", 0);
  size_t row = row_of(i);
  switch (kind) {
    case Scalar::none:
      return true;
    case Scalar::boolean:
      return cell_bool(c, row, integer != 0);
    case Scalar::integer:
      return cell_int(c, row, integer);
    case Scalar::number:
      return cell_float(c, row, number);
  }
  return true;
}

bool ColumnSlots::to_objects(DecodeContext& c) {
  if (!objects_.reserve(rows_)) return c.python_failed();
  while (objects_.size() < rows_) objects_.push_reserved(nullptr);
  lane_ = Lane::objects;
  return true;
}

Column* ColumnSlots::finish_scalars(DecodeContext&) {
  Column& column = *column_;
  column.null_count = int64_t(rows_ - valid_);
  if (column.type == Type::Null) {
    column.validity.resize(0);
  } else if (valid_ == rows_) {
    column.validity.resize(0);
  }
  if (column.type == Type::Utf8) {
    // Rows without text end where the row before them ends.
    int32_t* offsets = column.values.as<int32_t>();
    for (size_t r = 0; r < rows_; ++r) {
      if (offsets[r + 1] < offsets[r]) offsets[r + 1] = offsets[r];
    }
  }
  return column_.release();
}

bool ColumnSlots::put_int(DecodeContext&, size_t i, int64_t value) {
  column_->values.as<int64_t>()[row_of(i)] = value;
  return true;
}

bool ColumnSlots::begin_decimals(DecodeContext& c, unsigned scale) {
  // Scale 0 is how integers far apart are sent (each one's own varint rather
  // than a delta): they decode as ints, and as a float64 the ones above 2^53
  // would be rounded.
  if (scale == 0) return start(c, Type::Int64, 8);
  if (!shared_.decimal128) {
    if (!start(c, Type::Float64, 8)) return false;
    column_->scale = uint8_t(scale);
    return true;
  }
  if (!start(c, Type::Decimal128, 16)) return false;
  column_->scale = uint8_t(scale);
  std::snprintf(column_->format, sizeof column_->format, "d:38,%u", scale);
  return true;
}

bool ColumnSlots::put_decimal(DecodeContext& c, size_t i, int64_t mantissa) {
  size_t row = row_of(i);
  if (column_->type == Type::Int64) {
    column_->values.as<int64_t>()[row] = mantissa;
    return true;
  }
  if (column_->type == Type::Float64) {
    return decimal_quotient(c, mantissa, column_->scale, column_->values.as<double>()[row]);
  }
  int64_t* words = column_->values.as<int64_t>() + 2 * row;  // little-endian 128 bits
  words[0] = mantissa;
  words[1] = mantissa < 0 ? -1 : 0;
  return true;
}

bool ColumnSlots::begin_dictionary(DecodeContext& c, PyObject* const* entries, size_t size) {
  Column* dictionary = Column::make(Type::Utf8, int64_t(size));
  if (dictionary == nullptr) return c.python_failed();
  column_->dictionary = dictionary;
  if (!dictionary->values.resize((size + 1) * 4)) return c.python_failed();
  int32_t* offsets = dictionary->values.as<int32_t>();
  for (size_t j = 0; j < size; ++j) {
    const char* text;
    size_t length;
    if (!utf8_of(entries[j], text, length)) return c.python_failed();
    // The entries come from the input, which holds at most 2^31 - 1 bytes.
    if (!dictionary->data.append(text, length)) return c.python_failed();
    offsets[j + 1] = int32_t(dictionary->data.size());
  }
  return true;
}

bool ColumnSlots::put_index(DecodeContext&, size_t i, size_t index) {
  column_->values.as<int32_t>()[row_of(i)] = int32_t(index);
  return true;
}

bool ColumnSlots::put_bitmap(DecodeContext&, const uint8_t* bits, size_t count) {
  uint8_t* out = column_->values.data();
  if (presence_ == nullptr) {
    if (count != 0) std::memcpy(out, bits, bitmap_bytes(count));
    return true;
  }
  for (size_t i = 0; i < count; ++i) {
    size_t row = row_of(i);
    if (get_bit(bits, i)) set_bit(out, row);
  }
  return true;
}

bool ColumnSlots::read_members(DecodeContext& c, const KeyList& keys, size_t count, int depth) {
  for (size_t k = 0; k < keys.size(); ++k) {
    const char* text;
    size_t length;
    if (!utf8_of(keys.key(k), text, length)) return c.python_failed();
    Column* member = read_arrow_column(
        c, shared_, rows_, presence_, count, depth,
        (path_.empty() ? std::string() : path_ + ".") + std::string(text, length));
    if (member == nullptr) return false;
    if (!member->set_name(text, length)) {
      Column::destroy(member);
      return c.python_failed();
    }
    if (!column_->adopt_child(member)) return c.python_failed();
  }
  return true;
}

Column* ColumnSlots::finish(DecodeContext& c) {
  if (kind_ == ColumnKind::Values && lane_ != Lane::objects) {
    if (lane_ == Lane::scalars) return finish_scalars(c);
    Column* placeholder = Column::make(Type::Null, int64_t(rows_));  // refused
    if (placeholder == nullptr) c.python_failed();
    return placeholder;
  }
  if (kind_ == ColumnKind::Values) {
    Column* column = column_from_objects(shared_, path_, objects_.data(), rows_);
    if (column == nullptr) c.python_failed();
    return column;
  }
  if (kind_ == ColumnKind::StringDictionary && shared_.plain_strings) {
    Column* plain = plain_strings(shared_, path_, *column_);
    if (plain == nullptr) c.python_failed();
    return plain;
  }
  return column_.release();
}

Column* read_arrow_column(DecodeContext& c, Shared& shared, size_t rows, const uint8_t* presence,
                          size_t present, int depth, std::string path) {
  ColumnSlots slots(shared, rows, presence, present, std::move(path));
  if (!read_column_body(c, present, depth, slots)) return nullptr;
  return slots.finish(c);
}

bool TableFiller::init(DecodeContext& c, const KeyList&, size_t count) {
  rows_ = count;
  table_.reset(Column::make(Type::Struct, int64_t(count)));
  return table_ || c.python_failed();
}

bool TableFiller::read_column(DecodeContext& c, PyObject* key, const uint8_t* bitmap,
                              size_t present, int depth) {
  const char* text;
  size_t length;
  if (!utf8_of(key, text, length)) return c.python_failed();
  Column* column = read_arrow_column(c, shared_, rows_, bitmap, bitmap ? present : rows_, depth,
                                     std::string(text, length));
  if (column == nullptr) return false;
  if (!column->set_name(text, length)) {
    Column::destroy(column);
    return c.python_failed();
  }
  return table_->adopt_child(column) || c.python_failed();
}

}  // namespace vorn::arrow

namespace vorn {
template bool read_column_body(DecodeContext&, size_t, int, arrow::ColumnSlots&);
}  // namespace vorn
