// Growable arrays of trivially copyable items in interpreter memory
// (PyMem_*): exhaustion becomes MemoryError rather than an abort, and
// tracemalloc and fault injection see the module's own buffers.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

#include "spare.h"

namespace vorn {

// With `Spare`, large blocks are kept for the next call (spare.h) instead
// of being freed: for the scratch arrays of one call's work.
template <class T, bool Spare = false>
class MemBuf {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  MemBuf() noexcept = default;
  MemBuf(const MemBuf&) = delete;
  MemBuf& operator=(const MemBuf&) = delete;
  ~MemBuf() { give_back(); }

  // Makes room for `cap` items in total; a buffer that already holds some at
  // least doubles, so that growing by small steps stays linear. False with
  // MemoryError pending.
  bool reserve(size_t cap) noexcept {
    if (cap <= cap_) return true;
    if (cap < cap_ * 2) cap = cap_ * 2;
    if (cap > PY_SSIZE_T_MAX / sizeof(T)) {
      PyErr_NoMemory();
      return false;
    }
    if constexpr (Spare) {
      size_t got = 0;
      void* grown = spare::grow(data_, cap_ * sizeof(T), size_ * sizeof(T), cap * sizeof(T), got);
      if (grown == nullptr) return false;
      data_ = static_cast<T*>(grown);
      cap_ = got / sizeof(T);
    } else {
      void* grown = PyMem_Realloc(data_, cap * sizeof(T));
      if (grown == nullptr) {
        PyErr_NoMemory();
        return false;
      }
      data_ = static_cast<T*>(grown);
      cap_ = cap;
    }
    return true;
  }
  // Room for `more` items, at least doubling the capacity: linear growth
  // for the arrays of one large piece of work. (Growing fourfold saved no
  // measurable time and held up to twice the memory.) False with
  // MemoryError pending.
  bool make_room(size_t more) noexcept {
    if (more <= cap_ - size_) return true;
    size_t cap = cap_ < 32 ? 64 : cap_ > PY_SSIZE_T_MAX / 2 ? cap_ : 2 * cap_;
    return reserve(more > cap - size_ ? size_ + more : cap);
  }
  // Appends one item. False with MemoryError pending.
  bool push(const T& item) noexcept {
    if (size_ == cap_ && !reserve(cap_ < 8 ? 8 : cap_ * 2)) return false;
    data_[size_++] = item;
    return true;
  }
  // Appends within reserved room; the caller has reserved enough.
  void push_reserved(const T& item) noexcept { data_[size_++] = item; }
  void pop() noexcept { --size_; }
  // Sets the size to `size`, filling new items with `fill`. False with
  // MemoryError pending.
  bool resize(size_t size, const T& fill) noexcept {
    if (!reserve(size)) return false;
    for (size_t i = size_; i < size; ++i) data_[i] = fill;
    size_ = size;
    return true;
  }
  void truncate(size_t size) noexcept { size_ = size; }
  // Grows the size to `size` within reserved room, the new items unset: for
  // a caller that fills them at once.
  void extend_reserved(size_t size) noexcept { size_ = size; }
  void clear() noexcept { size_ = 0; }
  // Empties the buffer and gives its memory back.
  void release() noexcept {
    give_back();
    data_ = nullptr;
    size_ = cap_ = 0;
  }
  void swap(MemBuf& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(cap_, other.cap_);
  }

  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  T* begin() noexcept { return data_; }
  T* end() noexcept { return data_ + size_; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + size_; }
  size_t size() const noexcept { return size_; }
  size_t capacity() const noexcept { return cap_; }
  bool empty() const noexcept { return size_ == 0; }
  T& operator[](size_t i) noexcept { return data_[i]; }
  const T& operator[](size_t i) const noexcept { return data_[i]; }
  T& back() noexcept { return data_[size_ - 1]; }

 private:
  void give_back() noexcept {
    if constexpr (Spare) {
      spare::give(data_, cap_ * sizeof(T));
    } else {
      PyMem_Free(data_);
    }
  }

  T* data_ = nullptr;
  size_t size_ = 0;
  size_t cap_ = 0;
};

// The scratch arrays of one encoding.
template <class T>
using Scratch = MemBuf<T, true>;

// An array of owned references: every non-null entry is released with it.
class OwnedArray {
 public:
  OwnedArray() noexcept = default;
  OwnedArray(const OwnedArray&) = delete;
  OwnedArray& operator=(const OwnedArray&) = delete;
  ~OwnedArray() {
    for (size_t i = 0; i < items_.size(); ++i) Py_XDECREF(items_[i]);
  }
  bool reserve(size_t cap) noexcept { return items_.reserve(cap); }
  // Takes over `obj`.
  void push_reserved(PyObject* obj) noexcept { items_.push_reserved(obj); }
  PyObject* operator[](size_t i) const noexcept { return items_[i]; }
  PyObject** data() noexcept { return items_.data(); }
  size_t size() const noexcept { return items_.size(); }
  // Hands entry i's reference to the caller.
  PyObject* take(size_t i) noexcept {
    PyObject* obj = items_[i];
    items_[i] = nullptr;
    return obj;
  }

 private:
  MemBuf<PyObject*> items_;
};

}  // namespace vorn
