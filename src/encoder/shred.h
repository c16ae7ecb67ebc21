// A list of records written as a table straight from its dicts, in the
// compact one pass. One walk over the rows sends each cell to its column (a
// record in a cell to the columns of its keys), so a table costs one node a
// cell; the two passes' snapshot costs two (key and value) and then a copy of
// each column. Scalars and lists of scalars are read into nodes, and a column
// of records of one shape into the columns of their keys. Any other container
// in a cell (a list of records, a record of another shape) is kept as it
// stands and walked by the one pass when its column is written, so tables
// nested in cells come this way too.
#pragma once

#include <Python.h>

#include <cstdint>
#include <new>

#include "column_kind.h"
#include "direct.h"
#include "emit.h"
#include "foundation/membuf.h"
#include "output.h"
#include "snapshot.h"
#include "table_form.h"
#include "texts.h"

namespace vorn {

// Writes the cells the Shredder keeps as they stand: the one pass.
class CellWalker {
 public:
  // Writes `value` (a container, borrowed) with `depth` containers open
  // around it. Declined: the whole value goes to the two passes.
  virtual Direct walk(PyObject* value, size_t depth) noexcept = 0;

 protected:
  ~CellWalker() = default;
};

enum class Shred : uint8_t {
  written,
  unfit,     // nothing written: the two passes' parts write the list
  plain,     // nothing written: not a table, but a list of objects to walk
  declined,  // a cell's walk declined: the whole value goes to the two passes
  failed,    // MemoryError pending
};

class Shredder {
 public:
  // Writes into `out` with the one pass's texts, string numbers, Emit and
  // Chooser, all of which outlive this; `empty` is the snapshot (of nothing)
  // that the Chooser reads the texts through. Kept cells go to `walker`,
  // which may use the Chooser (never while a column's choice is in use) and
  // another Shredder, but not this one.
  Shredder(Texts& texts, StringTable& strings, const Snapshot& empty, Emit& emit, Chooser& chooser,
           Output& out, CellWalker& walker) noexcept
      : texts_(texts),
        strings_(strings),
        emit_(emit),
        chooser_(chooser),
        former_(empty),
        out_(out),
        walker_(walker) {}

  Shredder(const Shredder&) = delete;
  Shredder& operator=(const Shredder&) = delete;
  ~Shredder() {
    for (size_t c = 0; c < made_; ++c) columns_[c].~Column();
  }

  // Writes `list` (an exact list or tuple of `n` >= 2 exact dicts, borrowed)
  // with `depth` containers open around it, as the two passes would, and
  // adds its decoded-size charge to `charge`.
  Shred write(PyObject* list, size_t n, size_t depth, int64_t& charge) noexcept;

 private:
  // Columns in all, nested ones included, and levels of records in cells.
  static constexpr size_t kMaxColumns = 256;
  static constexpr int kMaxNesting = 8;

  struct Column {
    uint32_t key = 0;      // its key's text
    uint32_t present = 0;  // the cells it has
    // Records: the columns of their keys, first..first+width. A column that
    // turns out not to be one (another shape, a scalar) lets them go.
    uint32_t first = 0;
    uint32_t width = 0;
    // A node a cell: a scalar; a list of scalars, whose node holds its item
    // count (high half) and where its items start in `items` (low half); or
    // a container kept as it stands (`raw`, borrowed), records included.
    Scratch<Node> cells;
    Scratch<Node> items;
    Scratch<uint32_t> bits;  // of a table's column: the rows that have it, 32 a word

    bool records() const noexcept { return width > 0; }
  };

  // Reading: declined means unfit (nothing is written yet).
  Direct read(PyObject* list, size_t n) noexcept;
  Direct cell(Column& column, PyObject* value, int level) noexcept;
  // Whether `dict` went to the columns of `column`'s records; false when it
  // is to be kept as it stands (`got` is then written) or `got` says why not.
  bool record(Column& column, PyObject* dict, int level, Direct& got) noexcept;
  Direct list(PyObject* list, Scratch<Node>& items, Node& node) noexcept;
  // The table's column for the key `text`, made if new; -1 with MemoryError
  // pending, -2 when there would be too many.
  int64_t column_of(uint32_t text, size_t words) noexcept;
  Direct write_table(size_t n, Form form, size_t depth, int64_t& charge) noexcept;
  // `depth`: the containers open around the column's cells.
  Direct write_column(const Column& column, size_t depth, int64_t& charge) noexcept;
  void reset() noexcept;
  // Adds the pairs of neighbouring keys in a new shape, `keys[0..count)`
  // (texts of the table's columns), to the "comes before" relation; true
  // when that closes a cycle.
  bool comes_before(const uint32_t* keys, uint32_t count) noexcept;
  // Makes sure that the `count` columns after the used ones exist.
  void make(size_t count) noexcept {
    for (; made_ < used_ + count; ++made_) new (&columns_[made_]) Column();
  }

  Texts& texts_;
  StringTable& strings_;
  Emit& emit_;
  Chooser& chooser_;
  TableFormer former_;
  Output& out_;
  CellWalker& walker_;
  Shapes shapes_;
  uint64_t cells_ = 0;          // the table's cells, all rows together
  Scratch<int32_t> column_of_;  // per text: its column in the table, or -1
  // Made as tables first need them (most need few), then kept for the next.
  alignas(Column) unsigned char storage_[kMaxColumns * sizeof(Column)];
  Column* const columns_ = reinterpret_cast<Column*>(storage_);
  size_t made_ = 0;
  size_t used_ = 0;
  uint32_t top_[kMaxColumns];  // the table's columns, first-seen order
  size_t tops_ = 0;
  // The "comes before" relation of neighbouring keys over the table's
  // columns, a bitset of the columns after each. Once it has a cycle no
  // header holds every row's keys in order, so there is no table, and
  // reading the rest of the rows would be work thrown away.
  static constexpr size_t kWords = kMaxColumns / 64;
  uint64_t after_[kMaxColumns][kWords];
  bool cyclic_ = false;
};

}  // namespace vorn
