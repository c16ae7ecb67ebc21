// Which interpreter is importing a module. The modules keep process-wide
// objects (types, interned strings, cached references) that one interpreter
// creates and every caller shares; those cannot cross into a sub-interpreter,
// which keeps its own type caches and object lists.
#pragma once

#include <Python.h>

namespace vorn {

// True in the main interpreter. Elsewhere false with ImportError set:
// "<module> can only be imported in the main interpreter". `module` is the
// module's import name (static text).
bool in_main_interpreter(const char* module) noexcept;

}  // namespace vorn
