// Growable arrays of trivially copyable items in interpreter memory, for the
// encoder's working state: like MemBuf, with the clearing, resizing and
// swapping that reused scratch space needs.
#pragma once

#include <Python.h>

#include <cstddef>
#include <type_traits>
#include <utility>

namespace vorn {

template <class T>
class Array {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  Array() noexcept = default;
  Array(const Array&) = delete;
  Array& operator=(const Array&) = delete;
  ~Array() { PyMem_Free(data_); }

  // Makes room for `cap` items in total. False with MemoryError pending.
  bool reserve(size_t cap) noexcept {
    if (cap <= cap_) return true;
    if (cap < cap_ * 2) cap = cap_ * 2;
    if (cap > PY_SSIZE_T_MAX / sizeof(T)) {
      PyErr_NoMemory();
      return false;
    }
    void* grown = PyMem_Realloc(data_, cap * sizeof(T));
    if (grown == nullptr) {
      PyErr_NoMemory();
      return false;
    }
    data_ = static_cast<T*>(grown);
    cap_ = cap;
    return true;
  }
  bool push(const T& item) noexcept {
    if (size_ == cap_ && !reserve(cap_ < 8 ? 8 : cap_ * 2)) return false;
    data_[size_++] = item;
    return true;
  }
  void push_reserved(const T& item) noexcept { data_[size_++] = item; }
  // Sets the size to `size`, filling new items with `fill`.
  bool resize(size_t size, const T& fill) noexcept {
    if (!reserve(size)) return false;
    for (size_t i = size_; i < size; ++i) data_[i] = fill;
    size_ = size;
    return true;
  }
  void truncate(size_t size) noexcept { size_ = size; }
  void clear() noexcept { size_ = 0; }
  void pop() noexcept { --size_; }
  void swap(Array& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(cap_, other.cap_);
  }

  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  T* begin() noexcept { return data_; }
  T* end() noexcept { return data_ + size_; }
  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  T& operator[](size_t i) noexcept { return data_[i]; }
  const T& operator[](size_t i) const noexcept { return data_[i]; }
  T& back() noexcept { return data_[size_ - 1]; }

 private:
  T* data_ = nullptr;
  size_t size_ = 0;
  size_t cap_ = 0;
};

}  // namespace vorn
