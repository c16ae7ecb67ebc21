// The distinct strings of one value, each with its UTF-8 form: string items
// name an entry, so equal texts are compared by number while writing.
#pragma once

#include <Python.h>

#include <cstdint>

#include "foundation/membuf.h"

namespace vorn {

struct Text {
  const char* utf8;  // owned by `obj`, which caches it
  PyObject* obj;     // owned (unless borrowed): the first str (or subclass) seen with this text
  uint32_t length;
  uint32_t hash;  // of the UTF-8 bytes, for texts of two bytes or more
};

class Texts {
 public:
  // With `dedupe`, equal texts share one entry; without it every string has
  // its own (plain output never looks them up). With `borrowed`, the strings
  // are not held: for a caller that runs no Python code while it uses them,
  // so that none can be freed meanwhile (nor its address reused).
  explicit Texts(bool dedupe, bool borrowed = false) noexcept;
  Texts(const Texts&) = delete;
  Texts& operator=(const Texts&) = delete;
  ~Texts() { release(); }
  // Drops every entry and the memory of the table.
  void release() noexcept;
  // Gives back the lookup table once no text is to be entered: the entries
  // stay. Entering after this is not allowed.
  void seal() noexcept {
    groups_.release();
    grow_at_ = 0;
  }

  // Sizes the lookup table for about `texts` texts before the first is
  // entered, so that a document of many strings does not re-enter them at
  // each growth; at most kExpectMax. False with MemoryError pending.
  bool expect(size_t texts) noexcept;
  static constexpr size_t kExpectMax = size_t(1) << 13;

  // The entry of `obj` if this very object was entered before, else -1.
  int64_t seen(PyObject* obj) const noexcept {
    const Seen& slot = seen_[slot_of(obj)];
    return slot.obj == obj ? int64_t(slot.id) : -1;
  }
  // The entry for the text `utf8`; takes over `obj` (a new reference, or
  // borrowed with `borrowed`), which
  // is kept when it starts a new entry or is a key (keys come back as the
  // same objects: a parser shares them between the dicts it makes), so that
  // seen() may know it next time. -1 with MemoryError pending.
  int64_t enter(PyObject* obj, const char* utf8, size_t length, bool is_key) noexcept;

  const Text& operator[](size_t id) const noexcept {
    return blocks_[id >> kBlockBits][id & (kBlock - 1)];
  }
  size_t size() const noexcept { return size_; }
  bool borrowed() const noexcept { return borrowed_; }
  // The UTF-8 bytes of all entries together.
  size_t bytes() const noexcept { return bytes_; }

 private:
  struct Seen {
    PyObject* obj;
    uint32_t id;
  };
  static constexpr size_t kSeenSlots = 1024;
  static size_t slot_of(PyObject* obj) noexcept {
    return (reinterpret_cast<uintptr_t>(obj) >> 4) & (kSeenSlots - 1);
  }
  bool grow_table() noexcept {
    size_t groups = groups_.empty() ? kFirstGroups : groups_.size() * kGrowth;
    return resize(groups, capacity(groups));
  }
  // `full`: how many entries the groups take before they grow.
  [[gnu::noinline]] bool resize(size_t groups,
                                size_t full) noexcept;  // cold: out of new_text_entry
  // Lets seen() find `obj` (held here). A value's object does not push out
  // another's: keys are what come back.
  void remember(PyObject* obj, uint32_t id, bool is_key) noexcept {
    Seen& slot = seen_[slot_of(obj)];
    if (is_key || slot.obj == nullptr) slot = Seen{obj, id};
  }
  // Entry `id`, found by its text for `obj` (taken over); -1 with
  // MemoryError pending.
  int64_t found(PyObject* obj, uint32_t id, bool is_key) noexcept;
  // A new entry for `obj` (taken over). -1 with MemoryError pending. Inline
  // while the last block has room: most strings of a document are new.
  int64_t add(PyObject* obj, const char* utf8, size_t length, uint32_t hash = 0) noexcept {
    if ((size_ & (kBlock - 1)) == 0 && !open_block(obj)) return -1;
    blocks_.back()[size_ & (kBlock - 1)] = Text{utf8, obj, uint32_t(length), hash};
    bytes_ += length;
    return int64_t(size_++);
  }
  // Starts the next block of entries; false with MemoryError pending and
  // `obj` (taken over) released.
  [[gnu::noinline]] bool open_block(PyObject* obj) noexcept;  // cold, as resize

  bool dedupe_;
  bool borrowed_;
  uint64_t seed_;
  size_t bytes_ = 0;
  // The entries, in blocks of a fixed size that never move: growing copies
  // nothing, and blocks of one size are reused from one document to the next.
  static constexpr size_t kBlockBits = 12;
  static constexpr size_t kBlock = size_t(1) << kBlockBits;
  Scratch<Text*> blocks_;  // each owned, kBlock entries
  size_t size_ = 0;
  Scratch<PyObject*> held_;  // owned: keys seen() knows that are not an entry's object
  // Open addressing over texts of two bytes or more, in groups of eight
  // slots. One word holds eight bits a slot: seven bits of the hash, or the
  // top bit alone for a free slot. A few operations on it tell which slots
  // may match and which are free, with no branch per slot (probing slot by
  // slot mispredicted its loop's end on a good share of new texts); the ids
  // sit beside it, so that a match costs no second cache miss.
  static constexpr size_t kGroup = 8;
  struct Group {
    uint64_t control;
    uint32_t ids[kGroup];
  };
  Scratch<Group> groups_;
  // The groups start at kFirstGroups and grow kGrowth-fold once the entries
  // reach capacity(): at most half the slots taken, so that a group rarely
  // has none free.
  static constexpr size_t kFirstGroups = 32;
  static constexpr size_t kGrowth = 4;
  static constexpr size_t capacity(size_t groups) noexcept { return groups * kGroup / 2; }
  // A table sized by expect() may fill to seven eighths: its guess counts
  // repeated strings too, so most such tables stay far below it, and a
  // smaller one misses the cache less.
  static constexpr size_t expected_capacity(size_t groups) noexcept {
    return groups * kGroup * 7 / 8;
  }
  size_t grow_at_ = 0;  // how many entries the groups take
  // Enters `id` in the first free slot of `free` (a group's free ones).
  static void put(Group& group, uint64_t free, uint32_t hash, uint32_t id) noexcept;
  // Enters `id` in the first group from its hash's with a free slot.
  static void take(Scratch<Group>& groups, uint32_t hash, uint32_t id) noexcept;
  uint32_t short_[1 + 128] = {};  // entry id + 1 of "" and of each one-byte text, or 0
  Seen seen_[kSeenSlots] = {};
};

}  // namespace vorn
