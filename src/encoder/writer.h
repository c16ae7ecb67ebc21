// The second pass of an encoding: the checked nodes become the document,
// in the order the decoder reads it, without recursion and without calling
// into Python. Every choice is the pure encoder's (`vorn.pure`): string
// references numbered as the decoder numbers strings, row and column tables,
// typed lists and column kinds, and the decoded-size budget fallback, which
// writes the tabular parts with the largest charges again as plain lists
// until the document fits.
#pragma once

#include <Python.h>

#include <cstdint>

#include "column_kind.h"
#include "emit.h"
#include "foundation/membuf.h"
#include "output.h"
#include "ptr_set.h"
#include "snapshot.h"
#include "table_form.h"
#include "wire.h"

namespace vorn {

class Writer {
 public:
  // Writes into `out`, numbering strings in `strings`; all three outlive
  // this. run() releases `snapshot` and its texts once the document is
  // written.
  Writer(Snapshot& snapshot, bool compact, int64_t budget_base, Output& out,
         StringTable& strings) noexcept
      : snapshot_(snapshot),
        compact_(compact),
        budget_base_(budget_base),
        chooser_(snapshot),
        former_(snapshot),
        out_(out),
        strings_(strings) {}

  // The document as a new bytes object, or null with MemoryError pending.
  PyObject* run() noexcept;
  // Writes the snapshot's value where `out` stands, the strings numbered on
  // from where `strings` stands: a part of a compact document that the one
  // pass writes; the writer may write another part after it. What it
  // charges to the decoded-size budget is left in charge(); the caller
  // decides whether the document fits. False with MemoryError pending.
  bool write_part() noexcept;
  int64_t charge() const noexcept { return charge_; }

 private:
  enum class Step : uint8_t { object, list, values, cells, table, object_column };
  // An open container or column, resumed until it has written all it holds.
  struct Frame {
    Step step;
    Form form;        // table
    uint32_t next;    // the next node (object, list), item (values) or column
    uint32_t end;     // where `next` stops
    size_t items;     // arena offset: the column's nodes (values, object_column), the rows (table)
    size_t count;     // how many items or rows
    size_t header;    // table: arena offset of the header texts, then one cursor per row
    size_t base;      // the arena size to return to when the frame ends
    uintptr_t ident;  // table: the list it writes
    // table: the block of `width` columns gathered, from column `first` on
    uint32_t first = 0;
    uint32_t width = 0;
    size_t block = 0;    // table: arena offset of the block
    size_t blocked = 0;  // table: block_cells_ offset of the block's cells; cells: the column's
  };
  // A table's columns are gathered a block at a time in one pass over the
  // rows: reading all twelve cells of a row together costs one walk of the
  // rows' nodes where a column at a time cost twelve, each fetching a cache
  // line for one cell. In the arena a block holds, for each of its `width`
  // columns, the count of rows that have it, the bitmap of those rows (32 a
  // word) and their cells' nodes; block_cells_ holds copies of the cells.
  struct Part {
    int64_t charge;
    uint32_t order;
    uintptr_t ident;
  };

  bool pass() noexcept;
  bool resume(Frame& frame) noexcept;
  bool value(uint32_t node) noexcept;
  bool scalar(const Node& item) noexcept { return emit_.scalar(item); }
  bool string(uint32_t text) noexcept { return emit_.string(text); }
  bool list(uint32_t box) noexcept;
  bool table(uint32_t box, size_t rows, Form form) noexcept;
  bool table_column(Frame& frame) noexcept;
  bool gather(Frame& frame) noexcept;
  bool object_column(Frame frame) noexcept;
  // `base`: the arena size to return to once the column is written;
  // `blocked`: where block_cells_ holds copies of its cells, or kNoBlock.
  static constexpr size_t kNoBlock = ~size_t(0);
  bool column(size_t items, const Node* cells, size_t n, const Plan& plan, size_t base,
              size_t blocked = kNoBlock) noexcept;
  bool push(const Frame& frame) noexcept { return frames_.push(frame); }
  void add_charge(int64_t amount) noexcept {
    charge_ += amount;
    part_charges_.back() += amount;
  }
  bool open_part() noexcept { return part_charges_.push(0); }
  bool close_part(uintptr_t ident) noexcept;
  // The first item node of the record at node `row`.
  uint32_t row_first(uint32_t row) const noexcept {
    return snapshot_.boxes[snapshot_.nodes[row].box].first;
  }

  Snapshot& snapshot_;
  bool compact_;
  int64_t budget_base_;
  Chooser chooser_;
  TableFormer former_;
  Output& out_;
  StringTable& strings_;
  Emit emit_{out_, strings_, snapshot_.texts, compact_};
  Scratch<Frame> frames_;
  Scratch<uint32_t> arena_;    // the open frames' arrays, as a stack
  Scratch<Node> cells_;        // the nodes of the column being chosen, side by side
  Scratch<Node> block_cells_;  // the open tables' blocks of cells, as a stack
  int64_t charge_ = 0;
  Scratch<int64_t> part_charges_;  // the charge of each open tabular part
  Scratch<Part> parts_;
  PtrSet plain_;  // the lists to write plainly
};

}  // namespace vorn
