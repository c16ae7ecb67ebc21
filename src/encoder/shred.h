// A list of records written as a table straight from its dicts, in the
// compact one pass. One walk over the rows sends each cell to its column (a
// record in a cell to the columns of its keys), so a table costs one node a
// cell; the two passes' snapshot costs two (key and value) and then a copy of
// each column. Only the common tables come this way, whose cells are scalars,
// lists of scalars or, per column, records of one shape: any other list
// declines, having written nothing, and goes to the two passes' parts.
#pragma once

#include <Python.h>

#include <cstdint>

#include "column_kind.h"
#include "direct.h"
#include "emit.h"
#include "foundation/membuf.h"
#include "output.h"
#include "snapshot.h"
#include "table_form.h"
#include "texts.h"

namespace vorn {

class Shredder {
 public:
  // Writes into `out` with the one pass's texts, string numbers, Emit and
  // Chooser, all of which outlive this; `empty` is the snapshot (of nothing)
  // that the Chooser reads the texts through.
  Shredder(Texts& texts, StringTable& strings, const Snapshot& empty, Emit& emit, Chooser& chooser,
           Output& out) noexcept
      : texts_(texts),
        strings_(strings),
        emit_(emit),
        chooser_(chooser),
        former_(empty),
        out_(out) {}

  // Writes `list` (an exact list or tuple of `n` >= 2 exact dicts, borrowed),
  // opened at depth `depth`, as the two passes would, and adds its
  // decoded-size charge to `charge`. Declined: nothing written.
  Direct write(PyObject* list, size_t n, size_t depth, int64_t& charge) noexcept;

 private:
  // Columns in all, nested ones included, and levels of records in cells.
  static constexpr size_t kMaxColumns = 64;
  static constexpr int kMaxNesting = 8;

  struct Column {
    uint32_t key = 0;      // its key's text
    uint32_t present = 0;  // the cells it has
    // Records: the columns of their keys, first..first+width.
    uint32_t first = 0;
    uint32_t width = 0;
    // Scalars and lists of scalars. A list's node holds its item count
    // (high half) and where its items start in `items` (low half).
    Scratch<Node> cells;
    Scratch<Node> items;
    Scratch<uint32_t> bits;  // of a table's column: the rows that have it, 32 a word

    bool records() const noexcept { return width > 0; }
    bool scalars() const noexcept { return !cells.empty(); }
  };

  Direct read(PyObject* list, size_t n) noexcept;
  Direct cell(Column& column, PyObject* value, int level) noexcept;
  Direct record(Column& column, PyObject* dict, int level) noexcept;
  Direct list(Column& column, PyObject* list) noexcept;
  // The table's column for the key `text`, made if new; -1 with MemoryError
  // pending, -2 when there would be too many.
  int64_t column_of(uint32_t text, size_t words) noexcept;
  bool write_table(size_t n, Form form, int64_t& charge) noexcept;
  bool write_column(const Column& column, int64_t& charge) noexcept;
  void reset() noexcept;

  Texts& texts_;
  StringTable& strings_;
  Emit& emit_;
  Chooser& chooser_;
  TableFormer former_;
  Output& out_;
  Shapes shapes_;
  uint64_t cells_ = 0;          // the table's cells, all rows together
  Scratch<int32_t> column_of_;  // per text: its column in the table, or -1
  Column columns_[kMaxColumns];
  size_t used_ = 0;
  uint32_t top_[kMaxColumns];  // the table's columns, first-seen order
  size_t tops_ = 0;
};

}  // namespace vorn
