#include "foundation/once.h"

namespace vorn {

PyObject* create_once(std::atomic<PyObject*>& slot, PyObject* (*create)()) {
  if (PyObject* ready = slot.load(std::memory_order_acquire)) return ready;
  // No lock is held while creating: a creation can run a collection, and a
  // finalizer may come back here (or fork). Two creations may race; the
  // first one published wins and the other is released.
  PyObject* value = create();
  if (value == nullptr) return nullptr;
  PyObject* first = nullptr;
  if (slot.compare_exchange_strong(first, value, std::memory_order_acq_rel,
                                   std::memory_order_acquire)) {
    return value;
  }
  Py_DECREF(value);
  return first;
}

#define VORN_INTERNED(fn, text)                                                \
  PyObject* fn() {                                                             \
    static std::atomic<PyObject*> slot{nullptr};                               \
    return create_once(slot, [] { return PyUnicode_InternFromString(text); }); \
  }

VORN_INTERNED(interned_name, "__name__")
VORN_INTERNED(interned_all, "__all__")
VORN_INTERNED(interned_message, "message")
VORN_INTERNED(interned_offset, "offset")
VORN_INTERNED(interned_items, "items")

#undef VORN_INTERNED

}  // namespace vorn
