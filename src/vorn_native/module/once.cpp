#include "module/once.h"

#include <mutex>

namespace vorn {

namespace {
std::mutex creation_lock;
}

PyObject* create_once(std::atomic<PyObject*>& slot, PyObject* (*create)()) {
  if (PyObject* ready = slot.load(std::memory_order_acquire)) return ready;
  // Wait for the lock without the interpreter lock, then take both.
  PyThreadState* state = PyEval_SaveThread();
  creation_lock.lock();
  PyEval_RestoreThread(state);
  PyObject* value = slot.load(std::memory_order_acquire);
  if (value == nullptr) {
    value = create();
    if (value != nullptr) slot.store(value, std::memory_order_release);
  }
  creation_lock.unlock();
  return value;
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

#undef VORN_INTERNED

}  // namespace vorn
