#include "foundation/fault.h"

#include <atomic>

#include "foundation/once.h"

namespace vorn {

namespace {

std::atomic<PyObject*> panic_slot{nullptr};

PyObject* make_panic() {
  return PyErr_NewExceptionWithDoc(
      "vorn_native.PanicException",
      "An internal fault of vorn_native. Not an input error: please report it.",
      PyExc_BaseException, nullptr);
}

}  // namespace

void raise_panic(const char* message) noexcept {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyObject* panic = create_once(panic_slot, make_panic);
  if (panic == nullptr) {
    // No class to raise (memory is exhausted): keep what is pending.
    if (PyErr_Occurred()) {
      Py_XDECREF(type);
      Py_XDECREF(value);
      Py_XDECREF(traceback);
    } else if (type != nullptr) {
      PyErr_Restore(type, value, traceback);
    } else {
      PyErr_NoMemory();
    }
    return;
  }
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  PyErr_SetString(panic, message != nullptr ? message : "internal fault");
}

}  // namespace vorn
