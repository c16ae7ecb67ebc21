// The rows of a table. A table sends its columns one after the other, each
// for every row. Placing each item straight into its row would walk all the
// row dicts once per column, and for large tables each walk reaches far more
// memory than the caches hold. The filler keeps the items of a few columns
// and then places them row by row: one visit per row and group of columns.
// The rows themselves are made when the first group is placed, so a table
// whose first columns are broken never pays for its row count.
#pragma once

#include "columns/key_list.h"
#include "columns/slots.h"
#include "foundation/membuf.h"
#include "foundation/owned.h"

namespace vorn {

class RowFiller {
 public:
  RowFiller() noexcept = default;
  RowFiller(const RowFiller&) = delete;
  RowFiller& operator=(const RowFiller&) = delete;
  ~RowFiller();

  // Prepares `count` rows for the columns `keys`: room for the items of a
  // group of columns. False with the failure recorded.
  bool init(DecodeContext& c, const KeyList& keys, size_t count);
  // Reads the next column's body at `depth`, under `key`: for every row when
  // `bitmap` is null, otherwise for the `present` rows whose bit is set, in
  // increasing order. False with the failure recorded.
  bool read_column(DecodeContext& c, PyObject* key, const uint8_t* bitmap, size_t present,
                   int depth);
  // Places whatever is still kept and hands over the list (a new reference),
  // or null with the failure recorded.
  PyObject* finish(DecodeContext& c);

 private:
  struct Column {
    PyObject* key;          // borrowed
    const uint8_t* bitmap;  // null: every row
  };
  // Three columns at a time: most of the speed of placing whole rows at once,
  // for a buffer of 24 bytes a row.
  static constexpr size_t kMaxGroup = 3;

  bool make_rows(DecodeContext& c);
  bool flush(DecodeContext& c);

  RowMaker maker_;
  Owned rows_;  // the result list, made by the first flush
  size_t count_ = 0;
  size_t group_ = 1;
  size_t pending_ = 0;
  Column columns_[kMaxGroup] = {};
  MemBuf<PyObject*> buffer_;  // group_ x count_ items, null where none is kept
};

}  // namespace vorn
