// Places the members of table rows. A table sends its columns one after the
// other, each for every row. Placing each item straight into its row would
// walk all the row dicts once per column, and for large tables each walk
// reaches far more memory than the caches hold. The filler keeps the items of
// a few columns and then places them row by row: one visit per row and group.
#pragma once

#include "columns/slots.h"
#include "module/membuf.h"

namespace vorn {

class RowFiller {
 public:
  // `rows` is the borrowed list of `count` row dicts. `prefilled` says that
  // every row already maps every key of the table to None (a template copy):
  // the filler then replaces those values and removes the keys of absent
  // members.
  RowFiller(PyObject* rows, size_t count, bool prefilled) noexcept
      : rows_(rows), count_(count), prefilled_(prefilled) {}
  RowFiller(const RowFiller&) = delete;
  RowFiller& operator=(const RowFiller&) = delete;
  ~RowFiller();

  // Makes room for the items of up to `columns` columns. False with the
  // failure recorded.
  bool init(DecodeContext& c, size_t columns);
  // Slots for the next column, under `key`: every row when `bitmap` is null,
  // otherwise the `present` rows whose bit is set, in increasing order.
  BufferSlots next_column(PyObject* key, const uint8_t* bitmap, size_t present);
  // Called once the column's body has delivered every item.
  bool column_done(DecodeContext& c) { return ++pending_ < group_ ? true : flush(c); }
  // Places whatever is still kept. False with the failure recorded.
  bool finish(DecodeContext& c) { return pending_ == 0 || flush(c); }

 private:
  struct Column {
    PyObject* key;          // borrowed
    const uint8_t* bitmap;  // null: every row
  };
  // Three columns at a time: most of the speed of placing whole rows at once,
  // for a buffer of 24 bytes a row.
  static constexpr size_t kMaxGroup = 3;

  bool flush(DecodeContext& c);

  PyObject* rows_;
  size_t count_;
  bool prefilled_;
  size_t group_ = 1;
  size_t pending_ = 0;
  Column columns_[kMaxGroup] = {};
  MemBuf<PyObject*> buffer_;  // group_ x count_ items, null where none is kept
};

}  // namespace vorn
