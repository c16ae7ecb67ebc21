#include "columns/key_list.h"

#include <cstring>

#include "columns/siphash.h"
#include "decoder/values.h"

namespace vorn {

namespace {

constexpr size_t kScanLimit = 16;

bool same_text(const DecodeContext& c, const KeyEntry& a, size_t start, size_t length) {
  return a.length == length && std::memcmp(c.base + a.start, c.base + start, length) == 0;
}

// Open-addressing set of key-list indexes, keyed by the keys' text.
class KeySet {
 public:
  bool init(size_t count) {
    if (!prepare_hash_key()) return false;
    size_t capacity = 32;
    while (capacity < count * 2) capacity *= 2;
    if (!slots_.reserve(capacity)) return false;
    for (size_t i = 0; i < capacity; ++i) slots_.push_reserved(kEmpty);
    mask_ = capacity - 1;
    return true;
  }
  // True if an equal text is present; otherwise records `index`.
  bool find_or_insert(const DecodeContext& c, const MemBuf<KeyEntry>& entries, size_t index) {
    const KeyEntry& entry = entries[index];
    size_t at = size_t(hash_key_text(c.base + entry.start, entry.length)) & mask_;
    while (slots_[at] != kEmpty) {
      if (same_text(c, entries[slots_[at]], entry.start, entry.length)) return true;
      at = (at + 1) & mask_;
    }
    slots_[at] = uint32_t(index);
    return false;
  }

 private:
  static constexpr uint32_t kEmpty = 0xffffffff;
  MemBuf<uint32_t> slots_;
  size_t mask_ = 0;
};

}  // namespace

bool read_key_list(DecodeContext& c, size_t count, const char* label, KeyList& keys) {
  MemBuf<KeyEntry>& entries = keys.entries();
  KeySet set;
  if (!entries.reserve(count) || (count > kScanLimit && !set.init(count))) {
    return c.python_failed();
  }
  for (size_t i = 0; i < count; ++i) {
    StringItem item;
    if (!read_string_item(c, item)) return false;
    entries.push_reserved(KeyEntry{item.str, item.start, item.length});
    bool duplicate = false;
    if (count > kScanLimit) {
      duplicate = set.find_or_insert(c, entries, i);
    } else {
      for (size_t j = 0; j < i && !duplicate; ++j) {
        duplicate = same_text(c, entries[j], item.start, item.length);
      }
    }
    if (duplicate) {
      return c.fail_at(c.offset(c.pos), {label, " '", span_text(c, item.start, item.length),
                                         "'"});  // the duplicate key is released with the list
    }
  }
  return true;
}

bool RowMaker::init(DecodeContext& c, const KeyList& keys, size_t rows) {
  constexpr size_t kKeysOfNewDict = 5;
  if (keys.size() <= kKeysOfNewDict) return true;
  // Template copies hold rows x keys members before one column is read. A
  // valid table pays for that product twice over: each column charges the
  // size budget and spends at least a bit of input per row. When the budget
  // or the remaining bytes cannot cover it, the columns will fail, and rows
  // that start empty keep that failure cheap.
  uint64_t members = uint64_t(rows) * keys.size();
  if (!c.size_covers(members) || members / kItemsPerByte > uint64_t(c.remaining())) {
    return true;
  }
  template_ = Owned::steal(PyDict_New());
  if (!template_) return c.python_failed();
  for (size_t k = 0; k < keys.size(); ++k) {
    if (PyDict_SetItem(template_.get(), keys.key(k), Py_None) < 0) return c.python_failed();
  }
  return true;
}

}  // namespace vorn
