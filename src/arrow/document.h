// A whole document decoded with the value at a path read into Arrow columns.
#pragma once

#include <Python.h>

#include "arrow/batch.h"
#include "arrow/builder.h"

namespace vorn::arrow {

// Decodes `length` bytes at `input` and returns the table at `path` (a tuple
// of str keys and int indexes, borrowed) as a batch, or null with an
// exception set: VornError for invalid input, exactly as the decoder raises
// it; KeyError, IndexError or TypeError when the path leads to no table;
// TypeError for a column whose cells share no Arrow type.
Batch* decode_table(const uint8_t* input, size_t length, PyObject* path, Shared& shared);

}  // namespace vorn::arrow
