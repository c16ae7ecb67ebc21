// A set of object addresses: the lists the budget fallback writes plainly.
#pragma once

#include <cstdint>

#include "foundation/membuf.h"

namespace vorn {

class PtrSet {
 public:
  bool contains(uintptr_t key) const noexcept {
    if (size_ == 0) return false;
    size_t mask = slots_.size() - 1;
    for (size_t slot = spread(key) & mask; slots_[slot] != 0; slot = (slot + 1) & mask) {
      if (slots_[slot] == key) return true;
    }
    return false;
  }
  // Adds `key` (not zero). False with MemoryError pending.
  bool insert(uintptr_t key) noexcept {
    if ((size_ + 1) * 2 > slots_.size() && !grow()) return false;
    size_t mask = slots_.size() - 1;
    size_t slot = spread(key) & mask;
    for (; slots_[slot] != 0; slot = (slot + 1) & mask) {
      if (slots_[slot] == key) return true;
    }
    slots_[slot] = key;
    ++size_;
    return true;
  }

 private:
  static size_t spread(uintptr_t key) noexcept {
    return size_t((key >> 4) * 0x9E3779B97F4A7C15ull >> 20);
  }
  bool grow() noexcept {
    Scratch<uintptr_t> old;
    old.swap(slots_);
    if (!slots_.resize(old.size() < 16 ? 16 : old.size() * 2, 0)) {
      slots_.swap(old);
      return false;
    }
    size_ = 0;
    for (uintptr_t key : old) {
      if (key != 0) insert(key);
    }
    return true;
  }

  Scratch<uintptr_t> slots_;
  size_t size_ = 0;
};

}  // namespace vorn
