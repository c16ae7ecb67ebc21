#include "columns/row_filler.h"

namespace vorn {

RowFiller::~RowFiller() {
  for (size_t i = 0; i < buffer_.size(); ++i) Py_XDECREF(buffer_[i]);
}

bool RowFiller::init(DecodeContext& c, size_t columns) {
  group_ = columns < kMaxGroup ? columns : kMaxGroup;
  if (group_ == 0) group_ = 1;
  size_t items = group_ * count_;
  if (!buffer_.reserve(items)) return c.python_failed(), false;
  for (size_t i = 0; i < items; ++i) buffer_.push_reserved(nullptr);
  return true;
}

BufferSlots RowFiller::next_column(PyObject* key, const uint8_t* bitmap, size_t present) {
  columns_[pending_] = Column{key, bitmap};
  if (bitmap == nullptr)
    return BufferSlots{buffer_.data() + pending_ * count_, count_, "internal row index"};
  return BufferSlots{buffer_.data() + pending_ * count_, present, "bad presence bitmap"};
}

bool RowFiller::flush(DecodeContext& c) {
  size_t cursors[kMaxGroup] = {};
  for (size_t row = 0; row < count_; ++row) {
    PyObject* dict = PyList_GetItem(rows_, Py_ssize_t(row));
    if (dict == nullptr) return c.python_failed(), false;
    for (size_t j = 0; j < pending_; ++j) {
      const Column& column = columns_[j];
      size_t at = row;
      if (column.bitmap != nullptr) {
        if (!((column.bitmap[row >> 3] >> (row & 7)) & 1)) {
          if (prefilled_ && PyDict_DelItem(dict, column.key) < 0) return c.python_failed(), false;
          continue;
        }
        at = cursors[j]++;
      }
      PyObject** slot = buffer_.data() + j * count_ + at;
      PyObject* item = *slot;
      *slot = nullptr;
      int status = PyDict_SetItem(dict, column.key, item);
      Py_DECREF(item);
      if (status < 0) return c.python_failed(), false;
    }
  }
  pending_ = 0;
  return true;
}

}  // namespace vorn
