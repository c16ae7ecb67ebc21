#include "decoder/objects.h"

#include "decoder/primitives.h"
#include "decoder/values.h"
#include "foundation/owned.h"

namespace vorn {

PyObject* read_object(DecodeContext& c, int depth) {
  uint64_t count;
  if (!read_length(c, count)) return nullptr;
  if (count > c.remaining()) return c.fail("truncated input", c.pos);
  Owned dict = Owned::steal(PyDict_New());
  if (!dict) return c.python_failed();
  for (uint64_t i = 0; i < count; ++i) {
    StringItem key;
    if (!read_string_item(c, key)) return nullptr;
    Owned key_ref = Owned::steal(key.str);
    Owned value = Owned::steal(read_value(c, depth + 1));
    if (!value) return nullptr;
    if (PyDict_SetItem(dict.get(), key.str, value.get()) < 0) return c.python_failed();
    // Every earlier entry grew the dict by one, so it holds i + 1 keys unless
    // this key was already there.
    if (uint64_t(PyDict_Size(dict.get())) != i + 1) {
      return c.fail_at(c.offset(c.pos),
                       {"duplicate key '", span_text(c, key.start, key.length), "'"});
    }
  }
  return dict.release();
}

}  // namespace vorn
