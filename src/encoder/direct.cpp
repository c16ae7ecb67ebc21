#include "direct.h"

#include <cmath>
#include <cstring>

#include "foundation/format.h"
#include "wire.h"

namespace vorn {

namespace {

// An open container: where its walk stands. Borrowed: the root holds it.
struct Open {
  PyObject* obj;
  Py_ssize_t next;  // the next item (list, tuple) or PyDict_Next position (dict)
  Py_ssize_t size;  // list, tuple
  bool is_dict;
};

// The most that a value needs before its text: a tag and a varint, or a tag
// and a double.
constexpr size_t kHead = 1 + Output::kVarintMax;

}  // namespace

// One function with its cursor in locals: the calls into the interpreter
// cannot see them, so they stay in registers across every PyFloat_AsDouble.
Direct write_plain(PyObject* root, Output& out) noexcept {
  uint8_t* p = out.tail();
  uint8_t* end = p + out.spare();
  // Makes room for `n` more bytes at p.
  auto room = [&](size_t n) noexcept {
    if (size_t(end - p) >= n) return true;
    out.advance(size_t(p - out.tail()));
    if (!out.room(n)) return false;
    p = out.tail();
    end = p + out.spare();
    return true;
  };
  auto text = [&](PyObject* s) __attribute__((always_inline)) {
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(s, &length);
    if (utf8 == nullptr) {
      // A lone surrogate (the checked encoder names it) or no memory for the
      // UTF-8 form (the checked encoder meets that again).
      PyErr_Clear();
      return Direct::declined;
    }
    if (uint64_t(length) > kMaxLength) return Direct::declined;
    if (!room(kHead + size_t(length))) return Direct::failed;
    p = Output::put_string(p, utf8, size_t(length));
    return Direct::written;
  };

  Open stack[kMaxDepth];
  size_t depth = 0;
  // Opens a container: its tag and count now, its items from the loop below.
  auto open = [&](PyObject* obj, Py_ssize_t n, bool dict, Tag tag) __attribute__((always_inline)) {
    // A cycle reaches the depth limit too: the checked encoder names either.
    if (n < 0 || uint64_t(n) > kMaxLength) return Direct::declined;
    *p++ = tag_byte(tag);
    p = Output::put_varint(p, uint64_t(n));
    if (n == 0) return Direct::written;
    if (depth >= size_t(kMaxDepth)) return Direct::declined;
    stack[depth++] = Open{obj, 0, n, dict};
    return Direct::written;
  };
  // Writes a scalar, or opens a container (its items follow from the loop).
  auto value = [&](PyObject* v) __attribute__((always_inline)) {
    PyTypeObject* type = Py_TYPE(v);
    if (!room(kHead)) return Direct::failed;
    if (type == &PyUnicode_Type) return text(v);
    if (type == &PyLong_Type) {
      int overflow = 0;
      long long i = PyLong_AsLongLongAndOverflow(v, &overflow);
      if (overflow != 0) return Direct::declined;
      if (i >= 0 && i <= int64_t(kSmallIntMax)) {
        *p++ = uint8_t(tag_byte(Tag::SmallInt) | i);
      } else {
        *p++ = tag_byte(Tag::Int);
        p = Output::put_varint(p, wire::zigzag(i));
      }
      return Direct::written;
    }
    if (type == &PyFloat_Type) {
      double f = PyFloat_AsDouble(v);
      if (!std::isfinite(f)) return Direct::declined;
      *p++ = tag_byte(Tag::Float);
      std::memcpy(p, &f, sizeof f);  // little-endian, as the format stores it
      p += sizeof f;
      return Direct::written;
    }
    if (type == &PyDict_Type) return open(v, PyDict_Size(v), true, Tag::Object);
    if (type == &PyList_Type) return open(v, PyList_Size(v), false, Tag::List);
    if (v == Py_None) {
      *p++ = tag_byte(Tag::None);
      return Direct::written;
    }
    if (v == Py_True || v == Py_False) {
      *p++ = tag_byte(v == Py_True ? Tag::True : Tag::False);
      return Direct::written;
    }
    if (type == &PyTuple_Type) return open(v, PyTuple_Size(v), false, Tag::List);
    return Direct::declined;
  };

  if (!room(sizeof wire::kHeader)) return Direct::failed;
  std::memcpy(p, wire::kHeader, sizeof wire::kHeader);
  p += sizeof wire::kHeader;
  Direct wrote = value(root);
  // Each container's items are written in one inner loop, left only to enter
  // a nested container (which `value` has opened on top).
  while (wrote == Direct::written && depth > 0) {
    size_t at = depth - 1;
    Open& top = stack[at];
    if (top.is_dict) {
      PyObject *key, *item;
      while (depth == at + 1) {
        if (!PyDict_Next(top.obj, &top.next, &key, &item)) {
          --depth;
          break;
        }
        if (Py_TYPE(key) != &PyUnicode_Type) return Direct::declined;
        if ((wrote = text(key)) != Direct::written || (wrote = value(item)) != Direct::written) {
          break;
        }
      }
    } else {
      // The sequence cannot change under us: nothing here runs Python code.
      bool is_list = Py_TYPE(top.obj) == &PyList_Type;
      while (depth == at + 1) {
        if (top.next == top.size) {
          --depth;
          break;
        }
        PyObject* item =
            is_list ? PyList_GetItem(top.obj, top.next) : PyTuple_GetItem(top.obj, top.next);
        ++top.next;
        if ((wrote = value(item)) != Direct::written) break;
      }
    }
  }
  out.advance(size_t(p - out.tail()));
  return wrote;
}

}  // namespace vorn
