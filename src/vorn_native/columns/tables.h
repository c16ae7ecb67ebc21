// Lists of records: row tables and columnar tables.
#pragma once

#include "decoder/context.h"

namespace vorn {

// The body of a RowTable whose tag stands at `depth`.
PyObject* read_row_table(DecodeContext& c, int depth);

// The body of a ColumnTable whose tag stands at `depth`.
PyObject* read_column_table(DecodeContext& c, int depth);

}  // namespace vorn
