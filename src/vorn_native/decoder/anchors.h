#pragma once

#include "decoder/context.h"

namespace vorn {

// The body of an Anchor whose tag stands at `depth`: the anchored value
// itself (new reference), also recorded in the next anchor slot.
PyObject* read_anchor(DecodeContext& c, int depth);

// The body of a Reference: a copy of the anchored value with fresh lists and
// dicts, charged to the reference-expansion budget.
PyObject* read_reference(DecodeContext& c);

}  // namespace vorn
