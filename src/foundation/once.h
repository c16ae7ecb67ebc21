// Process-wide values created once. Every caller holds the interpreter lock,
// but a creation may give it up (or run finalizers that call back in), so
// creations are not serialised: the first value published is the one every
// caller gets, and a value that lost the race is released.
#pragma once

#include <Python.h>

#include <atomic>

namespace vorn {

// Returns the value in `slot` (borrowed), calling `create` (with the
// interpreter lock held) if it is still empty. `create` returns a new
// reference that the slot keeps for the life of the process, or null with an
// exception set, which is then returned with the exception still pending.
PyObject* create_once(std::atomic<PyObject*>& slot, PyObject* (*create)());

// The interned strings "__name__", "__all__", "message", "offset" and "items".
PyObject* interned_name();
PyObject* interned_all();
PyObject* interned_message();
PyObject* interned_offset();
PyObject* interned_items();

}  // namespace vorn
