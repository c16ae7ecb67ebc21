#pragma once

#include "decoder/context.h"
#include "decoder/primitives.h"

namespace vorn {

// The item count of a TypedList: at most eight per remaining byte, and covered
// by the decoded-size budget (tested, not charged: the column body charges).
// False with the failure recorded.
inline bool read_typed_list_count(DecodeContext& c, uint64_t& count) {
  if (!read_length(c, count)) return false;
  if (c.exceeds_bit_bound(count)) return c.fail("truncated input", c.pos);
  return c.check_size(int64_t(count) + 1, c.pos);
}

// The body of a TypedList whose tag stands at `depth`: a new list, or null
// with the failure recorded.
PyObject* read_typed_list(DecodeContext& c, int depth);

}  // namespace vorn
