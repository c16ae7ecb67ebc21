// Lists of string keys without duplicates: table headers and object columns.
#pragma once

#include "decoder/context.h"
#include "foundation/owned.h"

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

// Makes the dicts of rows whose members come from a key list, in its order.
// With more keys than a new dict holds before it grows, each row is a copy of
// a template that maps every key to None: the dict is sized once and filling
// it only replaces values (and removes the keys of absent members). Smaller
// rows, and rows whose members the input cannot pay for, are plain new dicts.
class RowMaker {
 public:
  // For `rows` rows of `keys`, with the columns still to be read. False with
  // the failure recorded.
  bool init(DecodeContext& c, const KeyList& keys, size_t rows);
  // A new row, or null with an exception pending.
  PyObject* make() const { return template_ ? PyDict_Copy(template_.get()) : PyDict_New(); }
  // Whether rows are template copies (every key present, mapped to None).
  bool prefills() const { return bool(template_); }

 private:
  Owned template_;
};

}  // namespace vorn
