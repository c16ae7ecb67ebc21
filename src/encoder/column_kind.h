// Choosing how a column (the values of one table column, of one key of an
// object column, or the items of a list that may become a typed list) is
// written: the smallest exact kind, a tie going to Values. The rules and the
// sizes compared are those of the pure encoder's `_columns.choose`.
#pragma once

#include <cstdint>

#include "foundation/membuf.h"
#include "snapshot.h"
#include "wire.h"

namespace vorn {

struct Plan {
  ColumnKind kind = ColumnKind::Values;
  int scale = 0;  // Decimals
};

// What the string table holds while a column is chosen: the first index of
// each text (-1 if none yet) and the number of entries so far.
struct StringTable {
  Scratch<int64_t> known;
  int64_t size = 0;
};

// A kind's bit in a set of kinds.
constexpr uint32_t kind_bit(NodeKind kind) noexcept {
  return uint32_t(1) << static_cast<unsigned>(kind);
}

// Whether a list of exact scalars of the kinds `kinds` (a set of kind_bit)
// may yet become a typed list: all bools, all numbers or all strings. Any
// other mix is a plain list whatever the other items are.
constexpr bool may_be_typed(uint32_t kinds) noexcept {
  return (kinds & ~(kind_bit(NodeKind::true_) | kind_bit(NodeKind::false_))) == 0 ||
         (kinds & ~(kind_bit(NodeKind::int_) | kind_bit(NodeKind::float_))) == 0 ||
         (kinds & ~kind_bit(NodeKind::str)) == 0;
}

class Chooser {
 public:
  explicit Chooser(const Snapshot& snapshot) noexcept : snapshot_(snapshot) {}

  // Chooses the kind for the column of nodes `cells[0..n)` (the nodes
  // themselves, side by side, so that the loops here read them in order). `extra` is what a
  // kind other than Values costs on top (1 for a typed list). What writing the
  // kind needs is left in the arrays below. False with MemoryError pending.
  bool choose(const Node* cells, size_t n, int extra, const StringTable& strings,
              Plan& plan) noexcept;

  Scratch<int64_t> numbers;     // DeltaIntegers: the ints; Decimals: the mantissas
  Scratch<uint32_t> entries;    // StringDictionary: the entries (texts)
  Scratch<uint32_t> positions;  // StringDictionary: the entry of each item

 private:
  bool integers(size_t n, int extra, Plan& plan) noexcept;
  bool decimals(const Node* cells, size_t n, int extra, Plan& plan) noexcept;
  bool strings(const Node* cells, size_t n, int extra, const StringTable& table,
               Plan& plan) noexcept;
  int64_t item_costs(const uint32_t* texts, size_t n, const StringTable& table) noexcept;

  const Snapshot& snapshot_;
  Scratch<uint32_t> counts_;  // per text: how often it stands in the column
  Scratch<int64_t> index_;    // per text: its index in the cost model
  Scratch<uint32_t> order_;   // the column's distinct texts in first-seen order
};

}  // namespace vorn
