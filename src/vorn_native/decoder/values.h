// The tag dispatcher and the readers of strings and lists. Every reader
// returns a new reference, or null with the failure recorded in the context.
#pragma once

#include "decoder/context.h"

namespace vorn {

// One tagged value at the read position, standing at `depth`.
PyObject* read_value(DecodeContext& c, int depth);

// The body of a List whose tag stands at `depth`.
PyObject* read_list(DecodeContext& c, int depth);

// A String, StringRef or ShortString, with the span of its text in the input.
struct StringItem {
  PyObject* str;  // new reference
  size_t start;
  size_t length;
};

// Reads a string item; false with the failure recorded.
bool read_string_item(DecodeContext& c, StringItem& item);

// The text of an input span, for failure messages.
inline std::string_view span_text(const DecodeContext& c, size_t start, size_t length) {
  return std::string_view(reinterpret_cast<const char*>(c.base + start), length);
}

}  // namespace vorn
