// A decoded table shared by everything exported from it: each exported
// schema, array and stream holds one reference, and the last release frees
// the columns. Releases may come from any thread, without the interpreter
// lock: the count is atomic and the memory raw.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "arrow/abi.h"
#include "arrow/column.h"

namespace vorn::arrow {

class Batch {
 public:
  // Takes over `table` (a Struct column). Null with MemoryError pending (the
  // table is freed then).
  static Batch* make(Column* table) noexcept;
  void retain() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
  void release() noexcept;
  const Column& table() const noexcept { return *table_; }

  // Fills `out` with a schema or an array of the whole table; each holds a
  // reference to the batch. False with MemoryError pending (`out` untouched).
  bool export_schema(ArrowSchema* out) noexcept;
  bool export_array(ArrowArray* out) noexcept;
  // Fills `out` with a stream of one record batch.
  bool export_stream(ArrowArrayStream* out) noexcept;

 private:
  explicit Batch(Column* table) noexcept : table_(table) {}
  std::atomic<int64_t> refs_{1};
  Column* table_;
};

// Exported structures (schemas, arrays, streams and their children) not yet
// released, and batches not yet freed: zero once every consumer is done.
int64_t live_exports() noexcept;

}  // namespace vorn::arrow
