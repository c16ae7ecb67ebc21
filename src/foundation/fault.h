// Containment of internal faults: no C++ exception crosses into the
// interpreter. Entry points run their bodies under `guard_entry`.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

namespace vorn {

// A broken internal invariant. Thrown inside a module, caught at its entry
// points and raised as PanicException; never crosses into the interpreter.
class InternalFault : public std::exception {
 public:
  explicit InternalFault(const char* message) noexcept : message_(message) {}
  const char* what() const noexcept override { return message_; }

 private:
  const char* message_;  // static text
};

// Turns an internal fault into PanicException (a BaseException, created once
// per process). If that class cannot be made, whatever is pending
// (MemoryError) is left to propagate instead.
void raise_panic(const char* message) noexcept;

// Raises `type` with `text` (a new reference, taken over). When the text
// could not be made (null), its MemoryError stays pending: PyErr_SetString
// and PyErr_Format would raise `type` without a message on some versions.
inline void raise_with(PyObject* type, PyObject* text) noexcept {
  if (text == nullptr) return;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

// Runs an entry point's body, turning any C++ exception into a Python one:
// bad_alloc into MemoryError, anything else into PanicException.
template <class Fn>
auto guard_entry(Fn&& body, decltype(body()) failed) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& fault) {
    raise_panic(fault.what());
  } catch (...) {
    raise_panic("internal fault");
  }
  return failed;
}

}  // namespace vorn
