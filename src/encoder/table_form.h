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

class TableFormer {
 public:
  explicit TableFormer(const Snapshot& snapshot) noexcept : snapshot_(snapshot) {}

  // The form for the records `rows[0..n)` (node indexes); the header's texts
  // are left in `header`. False with MemoryError pending.
  bool form(const uint32_t* rows, size_t n, Form& form) noexcept;

  Scratch<uint32_t> header;

 private:
  bool shapes(const uint32_t* rows, size_t n) noexcept;
  bool merge(bool& merged) noexcept;
  const Box& row(uint32_t node) const noexcept {
    return snapshot_.boxes[snapshot_.nodes[node].box];
  }
  uint32_t key(const Box& box, uint32_t k) const noexcept {
    return snapshot_.nodes[box.first + 2 * k].text;
  }

  const Snapshot& snapshot_;
  Scratch<uint32_t> shapes_;  // the row (node) of each distinct key sequence, first-seen order
  Scratch<uint32_t> table_;   // open addressing over shapes_: index + 1, or 0
  Scratch<uint32_t> hashes_;  // the hash of each distinct shape
  Scratch<int32_t> rank_;     // per text: its rank among the header's keys, or -1
  Scratch<uint32_t> keys_;    // the keys by rank
  Scratch<uint64_t> edges_;   // (rank before << 32 | rank after) of neighbouring keys
  Scratch<uint32_t> waiting_;
  Scratch<uint32_t> ready_;
};

}  // namespace vorn
