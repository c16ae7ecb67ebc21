// The distinct strings of one value, each with its UTF-8 form: string items
// name an entry, so equal texts are compared by number while writing.
#pragma once

#include <Python.h>

#include <cstdint>

#include "foundation/membuf.h"

namespace vorn {

struct Text {
  const char* utf8;  // owned by `obj`, which caches it
  uint32_t length;
  uint32_t hash;
  PyObject* obj;  // owned: the first str (or subclass) seen with this text
};

class Texts {
 public:
  // With `dedupe`, equal texts share one entry; without it every string has
  // its own (plain output never looks them up).
  explicit Texts(bool dedupe) noexcept : dedupe_(dedupe) {}
  Texts(const Texts&) = delete;
  Texts& operator=(const Texts&) = delete;
  ~Texts();

  // The entry of `obj` if this very object was entered before, else -1.
  int64_t seen(PyObject* obj) const noexcept {
    const Seen& slot = seen_[slot_of(obj)];
    return slot.obj == obj ? int64_t(slot.id) : -1;
  }
  // The entry for the text `utf8`; takes over `obj` (a new reference), which
  // is kept when it starts a new entry. -1 with MemoryError pending.
  int64_t enter(PyObject* obj, const char* utf8, size_t length) noexcept;

  const Text& operator[](size_t id) const noexcept { return entries_[id]; }
  size_t size() const noexcept { return entries_.size(); }

 private:
  struct Seen {
    PyObject* obj;
    uint32_t id;
  };
  static constexpr size_t kSeenSlots = 1024;
  static size_t slot_of(PyObject* obj) noexcept {
    return (reinterpret_cast<uintptr_t>(obj) >> 4) & (kSeenSlots - 1);
  }
  bool grow_table() noexcept;

  bool dedupe_;
  MemBuf<Text> entries_;
  MemBuf<uint32_t> table_;  // open addressing: entry id + 1, or 0 for a free slot
  Seen seen_[kSeenSlots] = {};
};

}  // namespace vorn
