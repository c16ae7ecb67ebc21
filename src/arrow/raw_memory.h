// Memory that outlives the interpreter lock: Arrow consumers free it from any
// thread through the release callbacks, so it comes from malloc (the raw
// PyMem functions are not in the 3.10 stable ABI). The module counts what its
// buffers hold, for the benchmark, and can fail allocations on purpose, for
// the fault sweep, since the interpreter's hooks do not see malloc.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn::arrow {

// malloc, calloc (zeroed), realloc and free, any thread, no lock needed.
void* raw_malloc(size_t size) noexcept;
void* raw_calloc(size_t count, size_t size) noexcept;
void* raw_realloc(void* block, size_t size) noexcept;
void raw_free(void* block) noexcept;

// Bytes held by column buffers (`resize` and `free` report them), now and at
// the most since the last reset.
void note_buffer_bytes(int64_t change) noexcept;
int64_t buffer_bytes() noexcept;
int64_t peak_buffer_bytes() noexcept;
void reset_peak_buffer_bytes() noexcept;

// After `count` more raw allocations succeed, every one fails (negative: none
// fails).
void fail_raw_allocations_after(int64_t count) noexcept;

}  // namespace vorn::arrow
