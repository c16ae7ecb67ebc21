// Arrow C streams read back as rows: the other direction of vorn._arrow,
// so that vorn.dumps can write a pyarrow or polars table.
#pragma once

#include <Python.h>

namespace vorn::arrow {

// Consumes an 'arrow_array_stream' capsule (the stream is released once,
// here) and returns a new list of dicts, one per row, without the null
// cells of the top-level columns; nested nulls stay None. Null with an
// exception set on failure: TypeError for a column type we do not read.
// With `with_fields`, a tuple (rows, fields) instead: each top-level column
// as (name, Arrow format, names of its children), a dictionary's format being
// its values', so that columns which no row holds can still be written.
PyObject* rows_of_stream(PyObject* capsule, bool with_fields);

}  // namespace vorn::arrow
