// Reading exact values into nodes, for the compact one pass and what it
// writes from them: these borrow what they read, since nothing they do runs
// Python code.
#pragma once

#include <Python.h>

#include <cmath>
#include <cstdint>

#include "column_kind.h"
#include "snapshot.h"
#include "texts.h"

namespace vorn {

// text_entry() for a string that `texts` does not know as this object.
int64_t new_text_entry(Texts& texts, StringTable& strings, PyObject* s, bool is_key) noexcept;

// The entry of `s` (an exact str, borrowed), entered in `texts` and, when
// new, in `strings` as not yet written. -1 with MemoryError pending; -2 when
// it has no UTF-8 form or is too long (the two passes name it, nothing is
// pending). Inline up to the call: a string met before as this very object
// (most keys) costs no call, nor the saved registers of the lookup's frame.
inline int64_t text_entry(Texts& texts, StringTable& strings, PyObject* s, bool is_key) noexcept {
  int64_t id = texts.seen(s);
  return id >= 0 ? id : new_text_entry(texts, strings, s, is_key);
}

enum class Read : uint8_t { scalar, container, declined, failed };

// `item` (borrowed) as a node when it is an exact scalar that the format
// holds; `container` for an exact dict, list or tuple; `declined` for
// anything else (a subclass, or a value that is refused or meant for
// default); `failed` with MemoryError pending.
inline Read read_scalar(PyObject* item, Texts& texts, StringTable& strings, Node& node) noexcept {
  PyTypeObject* type = Py_TYPE(item);
  if (type == &PyUnicode_Type) {
    int64_t id = text_entry(texts, strings, item, false);
    if (id < 0) return id == -1 ? Read::failed : Read::declined;
    node = Node{{.text = uint32_t(id)}, NodeKind::str};
  } else if (type == &PyLong_Type) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (overflow != 0) return Read::declined;
    node = Node{{.i = v}, NodeKind::int_};
  } else if (type == &PyFloat_Type) {
    double f = PyFloat_AsDouble(item);
    if (!std::isfinite(f)) return Read::declined;
    node = Node{{.f = f}, NodeKind::float_};
  } else if (item == Py_None || type == &PyBool_Type) {
    NodeKind kind = item == Py_None   ? NodeKind::none
                    : item == Py_True ? NodeKind::true_
                                      : NodeKind::false_;
    node = Node{{.i = 0}, kind};
  } else if (type == &PyDict_Type || type == &PyList_Type || type == &PyTuple_Type) {
    return Read::container;
  } else {
    return Read::declined;
  }
  return Read::scalar;
}

}  // namespace vorn
