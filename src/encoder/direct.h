// Documents in one pass, straight from the value: plain ones (compact=False)
// and compact ones.
//
// When the value holds only exact dicts, lists, tuples, strs, ints, floats,
// bools and None, reading it runs no Python code: no callback can mutate or
// free what is being read, so borrowed references stay valid and the bytes
// can be written as the walk meets each value. Anything else (a subclass, a
// value for `default`, anything the checked encoder would refuse) is
// declined, and the caller encodes with the two passes, which give the same
// bytes or the error with its path.
#pragma once

#include <Python.h>

#include "output.h"

namespace vorn {

enum class Direct {
  written,   // `out` holds the whole document
  declined,  // nothing pending; `out` holds a partial document to discard
  failed,    // MemoryError pending
};

// Writes the plain document of `root` (borrowed) into `out` (empty).
Direct write_plain(PyObject* root, Output& out) noexcept;

// Writes the compact document of `root` (borrowed) into `out` (empty), for a
// decoder whose size budget starts at `budget_base`. Also declined: a
// document whose tables and typed lists go over the budget (the two passes
// write some of them plainly).
Direct write_compact(PyObject* root, int64_t budget_base, Output& out) noexcept;

}  // namespace vorn
