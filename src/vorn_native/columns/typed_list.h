#pragma once

#include "decoder/context.h"

namespace vorn {

// The body of a TypedList whose tag stands at `depth`: a new list, or null
// with the failure recorded.
PyObject* read_typed_list(DecodeContext& c, int depth);

}  // namespace vorn
