#include "columns/tables.h"

#include "columns/row_filler.h"
#include "columns/table_body.h"

namespace vorn {

PyObject* read_row_table(DecodeContext& c, int depth) {
  RowFiller rows;
  if (!read_row_table_into(c, depth, rows)) return nullptr;
  return rows.finish(c);
}

PyObject* read_column_table(DecodeContext& c, int depth) {
  RowFiller rows;
  if (!read_column_table_into(c, depth, rows)) return nullptr;
  return rows.finish(c);
}

}  // namespace vorn
