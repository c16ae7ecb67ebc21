#include "columns/typed_list.h"

#include "columns/slots.h"
#include "decoder/primitives.h"
#include "foundation/owned.h"

namespace vorn {

PyObject* read_typed_list(DecodeContext& c, int depth) {
  uint64_t count;
  if (!read_typed_list_count(c, count)) return nullptr;
  // Presized when the input can pay for the slots (see `claim_slots`).
  int64_t claim = int64_t(count);
  if (!c.claim_slots(claim)) {
    Owned list = Owned::steal(PyList_New(0));
    if (!list) return c.python_failed();
    AppendSlots items{list.get()};
    if (!read_column_body(c, size_t(count), depth + 1, items)) return nullptr;
    return list.release();
  }
  Owned list = Owned::steal(PyList_New(Py_ssize_t(count)));
  if (!list) return c.python_failed();
  ListSlots items{list.get()};
  if (!read_column_body(c, size_t(count), depth + 1, items)) return nullptr;
  c.release_slots(claim);
  return list.release();
}

}  // namespace vorn
