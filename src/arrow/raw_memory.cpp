#include "arrow/raw_memory.h"

#include <atomic>
#include <cstdlib>

namespace vorn::arrow {

namespace {

std::atomic<int64_t> held{0};
std::atomic<int64_t> peak{0};
std::atomic<int64_t> countdown{-1};

bool allowed() noexcept {
  if (countdown.load(std::memory_order_relaxed) < 0) return true;
  return countdown.fetch_sub(1, std::memory_order_relaxed) > 0;
}

}  // namespace

void* raw_malloc(size_t size) noexcept {
  return allowed() ? std::malloc(size ? size : 1) : nullptr;
}
void* raw_calloc(size_t count, size_t size) noexcept {
  return allowed() ? std::calloc(count ? count : 1, size ? size : 1) : nullptr;
}
void* raw_realloc(void* block, size_t size) noexcept {
  return allowed() ? std::realloc(block, size ? size : 1) : nullptr;
}
void raw_free(void* block) noexcept { std::free(block); }

void note_buffer_bytes(int64_t change) noexcept {
  int64_t now = held.fetch_add(change, std::memory_order_relaxed) + change;
  int64_t top = peak.load(std::memory_order_relaxed);
  while (now > top && !peak.compare_exchange_weak(top, now, std::memory_order_relaxed)) {
  }
}
int64_t buffer_bytes() noexcept { return held.load(std::memory_order_relaxed); }
int64_t peak_buffer_bytes() noexcept { return peak.load(std::memory_order_relaxed); }
void reset_peak_buffer_bytes() noexcept { peak.store(held.load()); }

void fail_raw_allocations_after(int64_t count) noexcept { countdown.store(count); }

}  // namespace vorn::arrow
