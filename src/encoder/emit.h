// What both compact writers (the two-pass Writer and the one-pass writer of
// exact values) write the same way: scalars, strings numbered as the decoder
// numbers them, and the bodies of the typed column kinds.
#pragma once

#include <cstdint>

#include "column_kind.h"
#include "output.h"
#include "snapshot.h"
#include "texts.h"
#include "wire.h"

namespace vorn {

class Emit {
 public:
  // Writes into `out`, numbering strings in `strings` (whose `known` covers
  // every entry of `texts`). All three outlive this.
  Emit(Output& out, StringTable& strings, const Texts& texts, bool compact) noexcept
      : out_(out), strings_(strings), texts_(texts), compact_(compact) {}

  // A string item. Inline, the case of most strings in documents of many
  // records: one the decoder has, at an index that always pays (keys).
  bool string(uint32_t text) noexcept {
    if (compact_) {
      int64_t index = strings_.known[text];
      if (index >= 0 && index < int64_t(wire::kRefLimit)) {
        if (!out_.room(3)) return false;
        out_.byte(tag_byte(Tag::StringRef));
        out_.varint(uint64_t(index));
        return true;
      }
    }
    return literal(text);
  }
  bool literal(uint32_t text) noexcept;
  bool integer(int64_t v) noexcept;
  bool number(double v) noexcept;
  // A node that is not a container. False with MemoryError (or, for a node
  // not yet checked, SystemError) pending.
  bool scalar(const Node& item) noexcept;
  // The body of a column of kind Booleans, DeltaIntegers, Decimals or
  // StringDictionary after its kind byte: from `cells` and what `chooser`
  // left for `plan`.
  bool typed_body(const Node* cells, size_t n, const Plan& plan, const Chooser& chooser) noexcept;
  // A list of the scalars `items[0..n)`: a typed list when `chooser` finds
  // a kind smaller than Values, whose decoded-size charge is added to
  // `charge`, else a plain list.
  bool list(const Node* items, size_t n, Chooser& chooser, int64_t& charge) noexcept;

 private:
  bool zigzags(const int64_t* values, size_t n, bool deltas) noexcept;

  Output& out_;
  StringTable& strings_;
  const Texts& texts_;
  bool compact_;
};

}  // namespace vorn
