#include "columns/row_filler.h"

namespace vorn {

RowFiller::~RowFiller() {
  for (size_t i = 0; i < buffer_.size(); ++i) Py_XDECREF(buffer_[i]);
}

bool RowFiller::init(DecodeContext& c, const KeyList& keys, size_t count) {
  // Rows are made with every key (when that pays) and lose the keys of
  // absent members as they are filled: cheaper than growing each dict.
  if (!maker_.init(c, keys, count)) return false;
  count_ = count;
  group_ = keys.size() < kMaxGroup ? keys.size() : kMaxGroup;
  size_t items = group_ * count_;
  if (!buffer_.reserve(items)) return c.python_failed();
  for (size_t i = 0; i < items; ++i) buffer_.push_reserved(nullptr);
  return true;
}

bool RowFiller::read_column(DecodeContext& c, PyObject* key, const uint8_t* bitmap, size_t present,
                            int depth) {
  columns_[pending_] = Column{key, bitmap};
  BufferSlots slots{buffer_.data() + pending_ * count_, bitmap == nullptr ? count_ : present,
                    bitmap == nullptr ? "internal row index" : "bad presence bitmap"};
  if (!read_column_body(c, slots.count, depth, slots)) return false;
  return ++pending_ < group_ || flush(c);
}

PyObject* RowFiller::finish(DecodeContext& c) {
  if ((pending_ != 0 || !rows_) && !flush(c)) return nullptr;
  return rows_.release();
}

bool RowFiller::make_rows(DecodeContext& c) {
  rows_ = Owned::steal(PyList_New(Py_ssize_t(count_)));
  if (!rows_) return c.python_failed();
  for (size_t i = 0; i < count_; ++i) {
    PyObject* row = maker_.make();
    if (row == nullptr || PyList_SetItem(rows_.get(), Py_ssize_t(i), row) != 0) {
      return c.python_failed();
    }
  }
  return true;
}

bool RowFiller::flush(DecodeContext& c) {
  if (!rows_ && !make_rows(c)) return false;
  const bool prefilled = maker_.prefills();
  size_t cursors[kMaxGroup] = {};
  for (size_t row = 0; row < count_; ++row) {
    PyObject* dict = PyList_GetItem(rows_.get(), Py_ssize_t(row));
    if (dict == nullptr) return c.python_failed();
    for (size_t j = 0; j < pending_; ++j) {
      const Column& column = columns_[j];
      size_t at = row;
      if (column.bitmap != nullptr) {
        if (!((column.bitmap[row >> 3] >> (row & 7)) & 1)) {
          if (prefilled && PyDict_DelItem(dict, column.key) < 0) return c.python_failed();
          continue;
        }
        at = cursors[j]++;
      }
      PyObject** slot = buffer_.data() + j * count_ + at;
      PyObject* item = *slot;
      VORN_ASSERT(item != nullptr);
      *slot = nullptr;
      int status = PyDict_SetItem(dict, column.key, item);
      Py_DECREF(item);
      if (status < 0) return c.python_failed();
    }
  }
  for (size_t j = 0; j < pending_; ++j) {
    VORN_ASSERT(columns_[j].bitmap == nullptr || cursors[j] <= count_);
  }
  pending_ = 0;
  return true;
}

}  // namespace vorn
