#include "columns/typed_list.h"

#include "columns/slots.h"
#include "decoder/primitives.h"
#include "module/owned.h"

namespace vorn {

PyObject* read_typed_list(DecodeContext& c, int depth) {
  uint64_t count;
  if (!read_length(c, count)) return nullptr;
  if (exceeds_bit_bound(c, count)) return c.fail("truncated input", c.pos);
  if (c.size_budget < int64_t(count) + 1) return c.fail("decoded size too large", c.pos);
  // Presized when the input can pay for the slots (see `slot_bits`).
  int64_t claim = int64_t(count);
  if (claim > c.slot_bits) {
    Owned list = Owned::steal(PyList_New(0));
    if (!list) return c.python_failed();
    AppendSlots items{list.get()};
    if (!read_column_body(c, size_t(count), depth + 1, items)) return nullptr;
    return list.release();
  }
  c.slot_bits -= claim;
  Owned list = Owned::steal(PyList_New(Py_ssize_t(count)));
  if (!list) return c.python_failed();
  ListSlots items{list.get()};
  if (!read_column_body(c, size_t(count), depth + 1, items)) return nullptr;
  c.slot_bits += claim;
  return list.release();
}

}  // namespace vorn
