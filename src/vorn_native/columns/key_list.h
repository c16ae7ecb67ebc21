// Lists of string keys without duplicates: table headers and object columns.
#pragma once

#include "decoder/context.h"

namespace vorn {

struct KeyEntry {
  PyObject* key;  // owned by the key list
  size_t start;   // text span in the input
  size_t length;
};

class KeyList {
 public:
  KeyList() noexcept = default;
  KeyList(const KeyList&) = delete;
  KeyList& operator=(const KeyList&) = delete;
  ~KeyList() {
    for (size_t i = 0; i < entries_.size(); ++i) Py_DECREF(entries_[i].key);
  }
  size_t size() const noexcept { return entries_.size(); }
  PyObject* key(size_t i) const noexcept { return entries_[i].key; }
  MemBuf<KeyEntry>& entries() noexcept { return entries_; }

 private:
  MemBuf<KeyEntry> entries_;
};

// Reads `count` string keys into `keys`. A key whose text repeats an earlier
// key's fails with "{label} '{text}'" just past it.
bool read_key_list(DecodeContext& c, size_t count, const char* label, KeyList& keys);

}  // namespace vorn
