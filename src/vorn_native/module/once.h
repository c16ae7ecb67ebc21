// Process-wide values created once. A thread that has to wait for another
// thread's creation releases the interpreter lock while it waits, so that the
// creating thread can take the lock if its creation gives it up.
#pragma once

#include <Python.h>

#include <atomic>

namespace vorn {

// Returns the value in `slot`, calling `create` (with the interpreter lock
// held) if it is still empty. `create` returns a new reference that the slot
// keeps for the life of the process, or null with an exception set.
PyObject* create_once(std::atomic<PyObject*>& slot, PyObject* (*create)());

// The interned strings "__name__", "__all__", "message" and "offset".
PyObject* interned_name();
PyObject* interned_all();
PyObject* interned_message();
PyObject* interned_offset();

}  // namespace vorn
