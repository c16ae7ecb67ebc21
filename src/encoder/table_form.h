// Deciding whether a list of records (exact dicts) is written as a table,
// and with which header: the rules of the pure encoder's `_tables`.
//
// All rows with the same keys in the same order (at least one key): a row
// table with those keys. Otherwise, when one header order exists in which
// every row's keys stand in their own order (the topological order of the
// "comes before" relation of neighbouring keys, the key seen first going
// first among those free to come next) and the present cells fill the
// header's columns at least twice on average: a column table.
#pragma once

#include <cstdint>

#include "foundation/membuf.h"
#include "snapshot.h"

namespace vorn {

enum class Form : uint8_t { none, rows, columns };

// The distinct key sequences (of texts) of a list's rows, in first-seen order.
class Shapes {
 public:
  void clear() noexcept;
  // The index of `keys[0..count)`, added if new; -1 with MemoryError pending.
  int64_t add(const uint32_t* keys, uint32_t count) noexcept;
  bool same(size_t shape, const uint32_t* keys, uint32_t count) const noexcept {
    if (this->count(shape) != count) return false;
    const uint32_t* mine = this->keys(shape);
    for (uint32_t k = 0; k < count; ++k) {
      if (mine[k] != keys[k]) return false;
    }
    return true;
  }
  size_t size() const noexcept { return hashes_.size(); }
  // Arithmetic, not indexing: a list of empty rows has no keys at all.
  const uint32_t* keys(size_t shape) const noexcept { return keys_.data() + starts_[shape]; }
  uint32_t count(size_t shape) const noexcept {
    size_t end = shape + 1 < starts_.size() ? starts_[shape + 1] : keys_.size();
    return uint32_t(end - starts_[shape]);
  }

 private:
  bool grow() noexcept;

  Scratch<uint32_t> keys_;    // every shape's keys, one shape after another
  Scratch<uint32_t> starts_;  // where each shape starts in keys_
  Scratch<uint32_t> hashes_;  // the hash of each shape
  Scratch<uint32_t> table_;   // open addressing over the shapes: index + 1, or 0
};

class TableFormer {
 public:
  explicit TableFormer(const Snapshot& snapshot) noexcept : snapshot_(snapshot) {}

  // The form for the records `rows[0..n)` (node indexes); the header's texts
  // are left in `header`. False with MemoryError pending.
  bool form(const uint32_t* rows, size_t n, Form& form) noexcept;
  // The same for rows whose key sequences are `shapes` and whose cells
  // number `cells` in all, for a caller that read the rows itself.
  bool form(const Shapes& shapes, uint64_t cells, Form& form) noexcept;

  Scratch<uint32_t> header;

 private:
  bool shapes(const uint32_t* rows, size_t n) noexcept;
  bool merge(const Shapes& shapes, bool& merged) noexcept;
  const Box& row(uint32_t node) const noexcept {
    return snapshot_.boxes[snapshot_.nodes[node].box];
  }
  uint32_t key(const Box& box, uint32_t k) const noexcept {
    return snapshot_.nodes[box.first + 2 * k].text;
  }

  const Snapshot& snapshot_;
  Shapes shapes_;
  Scratch<uint32_t> row_keys_;  // the keys of the row being added
  Scratch<int32_t> rank_;       // per text: its rank among the header's keys, or -1
  Scratch<uint32_t> keys_;      // the keys by rank
  Scratch<uint64_t> edges_;     // (rank before << 32 | rank after) of neighbouring keys
  Scratch<uint32_t> waiting_;
  Scratch<uint32_t> ready_;
};

}  // namespace vorn
