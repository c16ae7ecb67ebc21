#include "spare.h"

#include <cstring>

namespace vorn::spare {

namespace {

constexpr int kSlots = 8;

struct Block {
  void* p;
  size_t bytes;
};

Block blocks[kSlots] = {};  // kept blocks; p is null in a free slot
size_t kept_bytes = 0;

void forget(Block& block) noexcept {
  kept_bytes -= block.bytes;
  block = Block{nullptr, 0};
}

}  // namespace

void* grow(void* p, size_t bytes, size_t used, size_t want, size_t& got) noexcept {
  // The smallest kept block that is large enough, for a large request.
  Block* best = nullptr;
  for (Block& block : blocks) {
    if (want >= kMin && block.p != nullptr && block.bytes >= want &&
        (best == nullptr || block.bytes < best->bytes)) {
      best = &block;
    }
  }
  if (best == nullptr) {
    // Small, or nothing kept fits: realloc may grow the block in place (a
    // large one without copying it).
    void* grown = PyMem_Realloc(p, want);
    if (grown == nullptr) {
      PyErr_NoMemory();
      return nullptr;
    }
    got = want;
    return grown;
  }
  void* fresh = best->p;
  got = best->bytes;
  forget(*best);
  if (used > 0) std::memcpy(fresh, p, used);
  give(p, bytes);
  return fresh;
}

void give(void* p, size_t bytes) noexcept {
  if (p == nullptr) return;
  if (bytes < kMin || bytes > kKeep) {
    PyMem_Free(p);
    return;
  }
  // Room by dropping smaller blocks: a large block saves more faults.
  for (;;) {
    Block* free_slot = nullptr;
    Block* smallest = nullptr;
    for (Block& block : blocks) {
      if (block.p == nullptr) {
        free_slot = &block;
      } else if (smallest == nullptr || block.bytes < smallest->bytes) {
        smallest = &block;
      }
    }
    if (free_slot != nullptr && kept_bytes + bytes <= kKeep) {
      *free_slot = Block{p, bytes};
      kept_bytes += bytes;
      return;
    }
    if (smallest == nullptr || smallest->bytes > bytes) {
      PyMem_Free(p);
      return;
    }
    PyMem_Free(smallest->p);
    forget(*smallest);
  }
}

size_t kept() noexcept { return kept_bytes; }

size_t drop() noexcept {
  size_t bytes = kept_bytes;
  for (Block& block : blocks) {
    if (block.p != nullptr) {
      PyMem_Free(block.p);
      forget(block);
    }
  }
  return bytes;
}

}  // namespace vorn::spare
