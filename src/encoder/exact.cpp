#include "exact.h"

#include "foundation/format.h"

namespace vorn {

// Flattened: the string table's lookup is inlined into this one frame, the
// path of every new string of a compact document, which saves a call and
// its saved registers per string. Its cold paths (growing the table, a block
// of entries, a kept block) are marked to stay calls.
[[gnu::flatten]] int64_t new_text_entry(Texts& texts, StringTable& strings, PyObject* s,
                                        bool is_key) noexcept {
  Py_ssize_t length = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(s, &length);
  if (utf8 == nullptr) {
    // A lone surrogate (the two passes name it) or no memory for the UTF-8
    // form (the two passes meet that again).
    PyErr_Clear();
    return -2;
  }
  if (uint64_t(length) > kMaxLength) return -2;
  int64_t id = texts.enter(s, utf8, size_t(length), is_key);
  if (id < 0) return -1;
  if (size_t(id) == strings.known.size() && !strings.known.push(-1)) return -1;
  return id;
}

}  // namespace vorn
