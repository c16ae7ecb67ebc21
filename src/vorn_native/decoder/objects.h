#pragma once

#include "decoder/context.h"

namespace vorn {

// The body of an Object whose tag stands at `depth`: a new dict, or null with
// the failure recorded.
PyObject* read_object(DecodeContext& c, int depth);

}  // namespace vorn
