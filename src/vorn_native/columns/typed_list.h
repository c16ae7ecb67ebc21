#pragma once

#include "decoder/context.h"

namespace vorn {

// The body of a TypedList whose tag stands at `depth`: a new list, or null
// with the failure recorded.
PyObject* read_typed_list(DecodeContext& c, int depth);

// Whether `count` exceeds eight times the bytes that remain (the bound of
// typed lists and table rows).
inline bool exceeds_bit_bound(const DecodeContext& c, uint64_t count) {
  uint64_t remaining = c.remaining();
  return remaining < (uint64_t(1) << 61) && count > remaining * 8;
}

}  // namespace vorn
