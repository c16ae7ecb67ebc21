#include "arrow/document.h"

#include "arrow/values.h"
#include "columns/column_body.h"
#include "columns/table_body.h"
#include "columns/typed_list.h"
#include "decoder/context.h"
#include "decoder/primitives.h"
#include "decoder/values.h"
#include "foundation/owned.h"

namespace vorn::arrow {

namespace {

// What the walk along the path found.
struct Found {
  Found(Shared& s, PyObject* p) noexcept : shared(s), path(p) {}
  Shared& shared;
  PyObject* path;                  // borrowed tuple
  ColumnPtr table;                 // a table read straight into columns
  Owned value;                     // or a value read as Python objects ...
  Py_ssize_t rest = 0;             // ... at this many path steps, the others still to follow
  PyObject* error_type = nullptr;  // or the path leads nowhere (with `error`)
  std::string error;
};

PyObject* placeholder() {
  Py_INCREF(Py_None);
  return Py_None;
}

void lead_nowhere(Found& found, PyObject* type, std::string text) {
  if (found.error_type != nullptr) return;
  found.error_type = type;
  found.error = std::move(text);
}

// The table at the end of the path: tables and typed lists of records are read
// into columns, anything else as Python values.
PyObject* read_target(DecodeContext& c, int depth, Found& found) {
  uint8_t tag = *c.pos;
  if (tag == tag_byte(Tag::RowTable) || tag == tag_byte(Tag::ColumnTable)) {
    ++c.pos;
    TableFiller filler(found.shared);
    bool read = tag == tag_byte(Tag::RowTable) ? read_row_table_into(c, depth, filler)
                                               : read_column_table_into(c, depth, filler);
    found.table.reset(filler.finish());
    return read ? placeholder() : nullptr;
  }
  if (tag == tag_byte(Tag::TypedList)) {
    ++c.pos;
    uint64_t count;
    if (!read_typed_list_count(c, count)) return nullptr;
    Column* column = read_arrow_column(c, found.shared, size_t(count), nullptr, size_t(count),
                                       depth + 1, std::string());
    if (column == nullptr) return nullptr;
    if (column->type == Type::Struct) {
      found.table.reset(column);
    } else {
      Column::destroy(column);
      lead_nowhere(found, PyExc_TypeError,
                   "vorn: expected a table or a list of records, found a typed list of values");
    }
    return placeholder();
  }
  PyObject* value = read_value(c, depth);
  if (value == nullptr) return nullptr;
  found.value = Owned::steal(value);
  found.rest = PyTuple_Size(found.path);
  return placeholder();
}

PyObject* read_along(DecodeContext& c, int depth, Py_ssize_t step, Found& found);

// An Object on the path: its members are read as the decoder reads them, the
// one under the path's key along the rest of the path.
PyObject* read_object_along(DecodeContext& c, int depth, Py_ssize_t step, Found& found,
                            PyObject* wanted) {
  uint64_t count;
  if (!read_length(c, count)) return nullptr;
  if (count > c.remaining()) return c.fail("truncated input", c.pos);
  Owned dict = Owned::steal(PyDict_New());
  if (!dict) return c.python_failed();
  bool seen = false;
  for (uint64_t i = 0; i < count; ++i) {
    StringItem key;
    if (!read_string_item(c, key)) return nullptr;
    Owned key_ref = Owned::steal(key.str);
    int match = seen ? 0 : PyObject_RichCompareBool(key.str, wanted, Py_EQ);
    if (match < 0) return c.python_failed();
    seen = seen || match;
    Owned value =
        Owned::steal(match ? read_along(c, depth + 1, step + 1, found) : read_value(c, depth + 1));
    if (!value) return nullptr;
    if (PyDict_SetItem(dict.get(), key.str, value.get()) < 0) return c.python_failed();
    if (uint64_t(PyDict_Size(dict.get())) != i + 1) {
      return c.fail_at(c.offset(c.pos),
                       {"duplicate key '", span_text(c, key.start, key.length), "'"});
    }
  }
  if (!seen) {
    Owned text = Owned::steal(PyObject_Repr(wanted));
    const char* chars = "?";
    size_t size = 1;
    if (!text || !utf8_of(text.get(), chars, size)) return c.python_failed();
    lead_nowhere(
        found, PyExc_KeyError,
        "vorn: no member " + std::string(chars, size) + " at path step " + std::to_string(step));
  }
  return placeholder();
}

// A List on the path: its items are read as the decoder reads them, the one
// at the path's index along the rest of the path.
PyObject* read_list_along(DecodeContext& c, int depth, Py_ssize_t step, Found& found,
                          long long wanted) {
  uint64_t count;
  if (!read_length(c, count)) return nullptr;
  if (count > c.remaining()) return c.fail("truncated input", c.pos);
  long long index = wanted < 0 ? wanted + (long long)count : wanted;
  for (uint64_t i = 0; i < count; ++i) {
    Owned item = Owned::steal(index == (long long)i ? read_along(c, depth + 1, step + 1, found)
                                                    : read_value(c, depth + 1));
    if (!item) return nullptr;
  }
  if (index < 0 || uint64_t(index) >= count) {
    lead_nowhere(found, PyExc_IndexError,
                 "vorn: index " + std::to_string(wanted) + " out of range at path step " +
                     std::to_string(step));
  }
  return placeholder();
}

PyObject* read_along(DecodeContext& c, int depth, Py_ssize_t step, Found& found) {
  // The checks of the value reader, before any tag is looked at.
  if (depth > kMaxDepth) return c.fail("nesting too deep", c.pos);
  if (c.pos >= c.end) return c.fail("truncated input", c.pos);
  if (step == PyTuple_Size(found.path)) return read_target(c, depth, found);
  PyObject* wanted = PyTuple_GetItem(found.path, step);
  uint8_t tag = *c.pos;
  if (tag == tag_byte(Tag::Object) && PyUnicode_Check(wanted)) {
    ++c.pos;
    return read_object_along(c, depth, step, found, wanted);
  }
  if (tag == tag_byte(Tag::List) && PyLong_Check(wanted) && !PyBool_Check(wanted)) {
    long long index = PyLong_AsLongLong(wanted);
    if (index == -1 && PyErr_Occurred()) return c.python_failed();
    ++c.pos;
    return read_list_along(c, depth, step, found, index);
  }
  // Anchors, references and anything the path cannot enter: the value as
  // Python objects, followed along the rest of the path afterwards.
  PyObject* value = read_value(c, depth);
  if (value == nullptr) return nullptr;
  found.value = Owned::steal(value);
  found.rest = step;
  return placeholder();
}

// Follows the rest of the path through Python values. Borrowed result, or
// null with an exception set.
PyObject* follow(Found& found) {
  PyObject* value = found.value.get();
  for (Py_ssize_t step = found.rest; step < PyTuple_Size(found.path); ++step) {
    PyObject* wanted = PyTuple_GetItem(found.path, step);
    if (PyDict_Check(value) && PyUnicode_Check(wanted)) {
      PyObject* member = PyDict_GetItemWithError(value, wanted);
      if (member == nullptr) {
        if (!PyErr_Occurred()) {
          raise_with(PyExc_KeyError,
                     PyUnicode_FromFormat("vorn: no member %R at path step %zd", wanted, step));
        }
        return nullptr;
      }
      value = member;
    } else if (PyList_Check(value) && PyLong_Check(wanted) && !PyBool_Check(wanted)) {
      Py_ssize_t index = PyLong_AsSsize_t(wanted);
      if (index == -1 && PyErr_Occurred()) return nullptr;
      if (index < 0) index += PyList_Size(value);
      PyObject* item = index >= 0 ? PyList_GetItem(value, index) : nullptr;
      if (item == nullptr) {
        PyErr_Clear();
        raise_with(
            PyExc_IndexError,
            PyUnicode_FromFormat("vorn: index %R out of range at path step %zd", wanted, step));
        return nullptr;
      }
      value = item;
    } else {
      raise_with(PyExc_TypeError,
                 PyUnicode_FromFormat("vorn: path step %zd (%R) cannot enter %S", step, wanted,
                                      reinterpret_cast<PyObject*>(Py_TYPE(value))));
      return nullptr;
    }
  }
  return value;
}

}  // namespace

Batch* decode_table(const uint8_t* input, size_t length, PyObject* path, Shared& shared) {
  Found found{shared, path};
  Owned done = Owned::steal(decode_document_with(
      input, length, [&](DecodeContext& c) { return read_along(c, 0, 0, found); }));
  if (!done) return nullptr;
  if (found.error_type != nullptr) {
    raise_with(found.error_type, PyUnicode_FromString(found.error.c_str()));
    return nullptr;
  }
  if (!found.table) {
    PyObject* value = follow(found);
    if (value == nullptr) return nullptr;
    found.table.reset(table_from_objects(shared, value));
    if (!found.table) return nullptr;
  }
  if (!shared.refusal.empty()) {
    raise_with(PyExc_TypeError, PyUnicode_FromString(("vorn: " + shared.refusal).c_str()));
    return nullptr;
  }
  return Batch::make(found.table.release());
}

}  // namespace vorn::arrow
