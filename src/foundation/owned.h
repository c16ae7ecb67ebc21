// Owning handle for Python references, so that every early return releases
// what was built without a hand-written cleanup ladder.
#pragma once

#include <Python.h>

namespace vorn {

class Owned {
 public:
  Owned() noexcept = default;
  // Takes over a new reference (which may be null).
  static Owned steal(PyObject* obj) noexcept {
    Owned handle;
    handle.obj_ = obj;
    return handle;
  }
  // Adds a reference of its own to a borrowed object.
  static Owned borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return steal(obj);
  }

  Owned(Owned&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
  Owned& operator=(Owned&& other) noexcept {
    if (this != &other) {
      PyObject* old = obj_;
      obj_ = other.obj_;
      other.obj_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  // Hands the reference to the caller.
  PyObject* release() noexcept {
    PyObject* obj = obj_;
    obj_ = nullptr;
    return obj;
  }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  PyObject* obj_ = nullptr;
};

}  // namespace vorn
