#include "foundation/interpreter.h"

namespace vorn {

bool in_main_interpreter(const char* module) noexcept {
  // The main interpreter is number 0.
  if (PyInterpreterState_GetID(PyInterpreterState_Get()) == 0) return true;
  // PyErr_Format, not a formatted std::string: nothing here may throw.
  PyErr_Format(PyExc_ImportError, "%s can only be imported in the main interpreter", module);
  return false;
}

}  // namespace vorn
