#include "module/errors.h"

#include <atomic>

#include "foundation/once.h"
#include "foundation/owned.h"

namespace vorn {

namespace {

std::atomic<PyObject*> vorn_error_slot{nullptr};

PyObject* make_vorn_error() {
  return PyErr_NewExceptionWithDoc("vorn_native.VornError", "Invalid VORN input.", PyExc_ValueError,
                                   nullptr);
}

// Reports the pending exception as unraisable and gives up on the conversion.
[[noreturn]] void conversion_failed() {
  PyErr_WriteUnraisable(nullptr);
  throw InternalFault("could not build the VornError for a decode failure");
}

// Sets one attribute of a raised VornError. False with the exception that
// stopped it pending (a MemoryError): a VornError without its attributes
// would break every handler that reads them, so none is raised then.
bool set_attribute(PyObject* instance, PyObject* name, Owned value) {
  return name != nullptr && value && PyObject_SetAttr(instance, name, value.get()) == 0;
}

}  // namespace

PyObject* vorn_error_type() {
  PyObject* type = create_once(vorn_error_slot, make_vorn_error);
  if (type == nullptr) {
    PyErr_Clear();
    throw InternalFault("Failed to initialize new exception type.");
  }
  return type;
}

void adopt_vorn_error_type(PyObject* type) noexcept {
  PyObject* expected = nullptr;
  Py_INCREF(type);
  if (!vorn_error_slot.compare_exchange_strong(expected, type)) Py_DECREF(type);
}

void raise_vorn_error(DecodeError&& error) {
  std::string text = "vorn: offset " + std::to_string(error.offset) + ": " + error.message;
  PyObject* type = vorn_error_type();
  Owned value = Owned::steal(PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "replace"));
  if (!value) conversion_failed();

  // Raise and normalise at once, so that we hold the instance VornError(text).
  PyErr_SetObject(type, value.get());
  PyObject *raw_type, *raw_value, *raw_tb;
  PyErr_Fetch(&raw_type, &raw_value, &raw_tb);
  PyErr_NormalizeException(&raw_type, &raw_value, &raw_tb);
  Owned exc_type = Owned::steal(raw_type);
  Owned instance = Owned::steal(raw_value);
  Owned traceback = Owned::steal(raw_tb);
  if (exc_type.get() != type || !instance) {
    // The constructor itself failed; report what it raised.
    PyErr_Restore(exc_type.release(), instance.release(), traceback.release());
    conversion_failed();
  }

  bool complete =
      set_attribute(instance.get(), interned_message(),
                    Owned::steal(PyUnicode_DecodeUTF8(
                        error.message.data(), Py_ssize_t(error.message.size()), "replace")));
  std::string().swap(error.message);
  complete = complete && set_attribute(instance.get(), interned_offset(),
                                       Owned::steal(PyLong_FromUnsignedLongLong(error.offset)));
  if (!complete) {
    if (!PyErr_Occurred()) PyErr_NoMemory();
    return;  // the half-built instance goes with its owners
  }
  PyErr_Restore(exc_type.release(), instance.release(), traceback.release());
}

void raise_pending_error() noexcept {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    PyErr_SetString(PyExc_SystemError, "vorn_native: error without exception");
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  PyErr_Restore(type, value, traceback);
}

}  // namespace vorn
