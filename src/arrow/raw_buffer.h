// Byte buffers of exported columns, in raw memory (raw_memory.h). Exhaustion
// is MemoryError, set while the interpreter lock is held (buffers are only
// made then).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "arrow/raw_memory.h"

namespace vorn::arrow {

class RawBuffer {
 public:
  RawBuffer() noexcept = default;
  RawBuffer(const RawBuffer&) = delete;
  RawBuffer& operator=(const RawBuffer&) = delete;
  ~RawBuffer() {
    raw_free(data_);
    note_buffer_bytes(-int64_t(capacity_));
  }

  // Sets the size to `size` bytes, new bytes zeroed. False with MemoryError
  // pending (the interpreter lock is held whenever buffers are made).
  bool resize(size_t size) noexcept {
    if (size > capacity_) {
      // Exact for a first size (fixed-width columns are sized once), doubling
      // for appends (text).
      size_t capacity = capacity_ != 0 && capacity_ <= PY_SSIZE_T_MAX / 2 ? capacity_ * 2 : 0;
      if (capacity < size) capacity = size;
      void* grown = raw_realloc(data_, capacity);
      if (grown == nullptr) {
        PyErr_NoMemory();
        return false;
      }
      note_buffer_bytes(int64_t(capacity) - int64_t(capacity_));
      data_ = static_cast<uint8_t*>(grown);
      capacity_ = capacity;
    }
    if (size > size_) std::memset(data_ + size_, 0, size - size_);
    size_ = size;
    return true;
  }
  // Appends `length` bytes. False with MemoryError pending.
  bool append(const void* bytes, size_t length) noexcept {
    size_t at = size_;
    if (!resize(size_ + length)) return false;
    if (length != 0) std::memcpy(data_ + at, bytes, length);
    return true;
  }

  uint8_t* data() noexcept { return data_; }
  const uint8_t* data() const noexcept { return data_; }
  size_t size() const noexcept { return size_; }
  template <class T>
  T* as() noexcept {
    return reinterpret_cast<T*>(data_);
  }

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

inline void set_bit(uint8_t* bits, size_t i) noexcept { bits[i >> 3] |= uint8_t(1u << (i & 7)); }
inline bool get_bit(const uint8_t* bits, size_t i) noexcept {
  return (bits[i >> 3] >> (i & 7)) & 1;
}
inline size_t bitmap_bytes(size_t count) noexcept { return count / 8 + (count % 8 != 0); }

}  // namespace vorn::arrow
