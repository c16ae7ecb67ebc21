#include "texts.h"

#include <cstring>

namespace vorn {

namespace {

// A fast hash of a byte string, eight bytes at a time.
uint32_t hash_bytes(const char* p, size_t n) noexcept {
  uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
  while (n >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h = (h ^ w) * 0xFF51AFD7ED558CCDull;
    h ^= h >> 32;
    p += 8;
    n -= 8;
  }
  uint64_t w = 0;
  std::memcpy(&w, p, n);
  h = (h ^ w) * 0xC4CEB9FE1A85EC53ull;
  h ^= h >> 29;
  return uint32_t(h);
}

}  // namespace

Texts::~Texts() {
  for (size_t i = 0; i < entries_.size(); ++i) Py_DECREF(entries_[i].obj);
}

bool Texts::grow_table() noexcept {
  size_t cap = table_.size() < 64 ? 64 : table_.size() * 2;
  MemBuf<uint32_t> grown;
  if (!grown.resize(cap, 0)) return false;
  size_t mask = cap - 1;
  for (size_t id = 0; id < entries_.size(); ++id) {
    size_t slot = entries_[id].hash & mask;
    while (grown[slot] != 0) slot = (slot + 1) & mask;
    grown[slot] = uint32_t(id + 1);
  }
  table_.swap(grown);
  return true;
}

int64_t Texts::enter(PyObject* obj, const char* utf8, size_t length) noexcept {
  if (entries_.size() >= UINT32_MAX - 1) {
    Py_DECREF(obj);
    PyErr_NoMemory();
    return -1;
  }
  uint32_t hash = 0;
  size_t slot = 0;
  if (dedupe_) {
    if ((entries_.size() + 1) * 2 > table_.size() && !grow_table()) {
      Py_DECREF(obj);
      return -1;
    }
    hash = hash_bytes(utf8, length);
    size_t mask = table_.size() - 1;
    for (slot = hash & mask; table_[slot] != 0; slot = (slot + 1) & mask) {
      const Text& known = entries_[table_[slot] - 1];
      if (known.hash == hash && known.length == length &&
          std::memcmp(known.utf8, utf8, length) == 0) {
        Py_DECREF(obj);
        return int64_t(table_[slot] - 1);
      }
    }
  }
  if (!entries_.push(Text{utf8, uint32_t(length), hash, obj})) {
    Py_DECREF(obj);
    return -1;
  }
  uint32_t id = uint32_t(entries_.size() - 1);
  if (dedupe_) {
    table_[slot] = id + 1;
    // Only objects held here may be recognised by identity: a string that is
    // dropped could be freed and its address reused by another.
    seen_[slot_of(obj)] = Seen{obj, id};
  }
  return id;
}

}  // namespace vorn
