// The exceptions of refused values, with the pure encoder's messages (see
// `vorn._check`): built here, without running Python code, so that they stay
// MemoryError-safe like the rest of the module.
#pragma once

#include <Python.h>

namespace vorn {

enum class Reason {
  scalar,       // an invalid int, float or str (or subclass) at `keys`
  key,          // a dict key that is not text; `keys` is the dict's path
  cycle,        // a container open at depth `extra` that is met again at `keys`
  depth,        // a container at depth `extra` whose first key is `value`
  count,        // a container with too many items
  unsupported,  // a value of another type; `extra` calls of default gave no other
};

// Raises the error for `value` (borrowed) at the path `keys` (a list of list
// indexes and dict keys, borrowed). Always returns false.
bool refuse(Reason reason, PyObject* value, PyObject* keys, Py_ssize_t extra) noexcept;

}  // namespace vorn
