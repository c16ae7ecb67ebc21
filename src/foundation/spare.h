// Large blocks of working memory kept from one call for the next. A block
// given back to the C library is often handed back to the system at once,
// and the next call then takes a page fault on every page it touches: for a
// document of a few hundred kilobytes that was up to half the time of
// encoding it. Blocks of at least kMin bytes are kept, up to kKeep bytes in
// all; smaller ones go straight back to PyMem. Every call holds the
// interpreter lock and the modules refuse sub-interpreters, so the lock
// guards the blocks kept here.
#pragma once

#include <Python.h>

#include <cstddef>

namespace vorn::spare {

inline constexpr size_t kMin = size_t(64) << 10;
inline constexpr size_t kKeep = size_t(16) << 20;

// A block of at least `want` bytes holding the first `used` bytes of `p`
// (a block of `bytes`, or null when `bytes` is 0), which it replaces: a kept
// block, a new one, or `p` grown in place. Its size is left in `got`. Null
// with MemoryError pending, `p` untouched. Never inlined, here and in give:
// both are rare and large, and a flattened hot path must not take them in.
[[gnu::noinline]] void* grow(void* p, size_t bytes, size_t used, size_t want, size_t& got) noexcept;
// Gives back `p` (a block of `bytes` from grow, or null): kept if it is
// large and there is room, else freed.
[[gnu::noinline]] void give(void* p, size_t bytes) noexcept;
// The bytes kept now.
size_t kept() noexcept;
// Frees every kept block. Returns how many bytes they held.
size_t drop() noexcept;

}  // namespace vorn::spare
