// Arrow columns from Python values: the cells of Values columns, and lists of
// records that arrive as ordinary lists (or through references). A column
// takes the one Arrow type its cells share; cells that share none refuse the
// column (see `refuse`), which then stands as a column of nulls.
#pragma once

#include <string>

#include "arrow/builder.h"

namespace vorn::arrow {

// The column of `count` cells (borrowed; null where a row has no cell), or
// null with an exception pending.
Column* column_from_objects(Shared& shared, const std::string& path, PyObject* const* items,
                            size_t count);

// A Dictionary column's cells as plain utf8, or null with an exception
// pending.
Column* plain_strings(Shared& shared, const std::string& path, const Column& dictionary);

// How a refusal words a cell of `found` ("a str") among cells of `held`.
std::string conflict_text(const char* found, Type held);

// The table of a list of dicts (borrowed): one column per key, in the order
// keys are first met. Null with an exception pending (a TypeError when
// `rows` is not a list of dicts).
Column* table_from_objects(Shared& shared, PyObject* rows);

}  // namespace vorn::arrow
