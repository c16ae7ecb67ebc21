// Reading Arrow arrays cell by cell into Python values. The schema is checked
// whole before the first batch, so that an unsupported column is refused by
// name even for an empty table.
#include "arrow/rows.h"

#include <cstdint>
#include <cstring>

#include "arrow/abi.h"
#include "foundation/owned.h"

namespace vorn::arrow {

namespace {

// Releases what a producer handed us, once, whichever way we leave.
struct SchemaGuard {
  ArrowSchema schema{};
  ~SchemaGuard() {
    if (schema.release != nullptr) schema.release(&schema);
  }
};
struct ArrayGuard {
  ArrowArray array{};
  ~ArrayGuard() {
    if (array.release != nullptr) array.release(&array);
  }
};
struct StreamGuard {
  ArrowArrayStream stream{};
  ~StreamGuard() {
    if (stream.release != nullptr) stream.release(&stream);
  }
};

bool is_signed_int(char c) { return c == 'c' || c == 's' || c == 'i' || c == 'l'; }
bool is_unsigned_int(char c) { return c == 'C' || c == 'S' || c == 'I' || c == 'L'; }

// The formats read here; anything else is named in the refusal.
bool supported(const ArrowSchema* schema) {
  const char* f = schema->format;
  if (schema->dictionary != nullptr) {
    return f[1] == '\0' && (is_signed_int(f[0]) || is_unsigned_int(f[0])) &&
           supported(schema->dictionary);
  }
  if (f[0] != '\0' && f[1] == '\0') {
    return is_signed_int(f[0]) || is_unsigned_int(f[0]) || std::strchr("nbfguU", f[0]) != nullptr;
  }
  if (std::strcmp(f, "vu") == 0) return true;
  if (std::strcmp(f, "+s") == 0 || std::strcmp(f, "+l") == 0 || std::strcmp(f, "+L") == 0) {
    if (f[1] != 's' && schema->n_children != 1) return false;
    for (int64_t i = 0; i < schema->n_children; ++i) {
      if (!supported(schema->children[i])) return false;
    }
    return true;
  }
  return false;
}

// The first unsupported format under `schema`, for the message.
const char* first_unsupported(const ArrowSchema* schema) {
  const char* f = schema->format;
  if (f[0] == '+' && schema->dictionary == nullptr) {
    for (int64_t i = 0; i < schema->n_children; ++i) {
      if (!supported(schema->children[i])) return first_unsupported(schema->children[i]);
    }
  }
  if (schema->dictionary != nullptr && !supported(schema->dictionary)) {
    return first_unsupported(schema->dictionary);
  }
  return f;
}

template <class T>
T at(const ArrowArray* array, int buffer, int64_t index) {
  T value;
  std::memcpy(&value, static_cast<const char*>(array->buffers[buffer]) + index * int64_t(sizeof(T)),
              sizeof(T));
  return value;
}

bool bit(const void* bits, int64_t index) {
  return (static_cast<const uint8_t*>(bits)[index >> 3] >> (index & 7)) & 1;
}

bool valid(const ArrowArray* array, int64_t row) {
  if (array->null_count == 0 || array->buffers[0] == nullptr) return true;
  return bit(array->buffers[0], row + array->offset);
}

// A column of the null type has no validity buffer: every cell is null.
bool null_typed(const ArrowSchema* schema) {
  return schema->dictionary == nullptr && std::strcmp(schema->format, "n") == 0;
}

// An integer cell of format `f` at physical index `j`, widened.
bool integer(char f, const ArrowArray* array, int64_t j, long long* out_signed,
             unsigned long long* out_unsigned) {
  switch (f) {
    case 'c':
      *out_signed = at<int8_t>(array, 1, j);
      return true;
    case 's':
      *out_signed = at<int16_t>(array, 1, j);
      return true;
    case 'i':
      *out_signed = at<int32_t>(array, 1, j);
      return true;
    case 'l':
      *out_signed = at<int64_t>(array, 1, j);
      return true;
    case 'C':
      *out_unsigned = at<uint8_t>(array, 1, j);
      return false;
    case 'S':
      *out_unsigned = at<uint16_t>(array, 1, j);
      return false;
    case 'I':
      *out_unsigned = at<uint32_t>(array, 1, j);
      return false;
    default:
      *out_unsigned = at<uint64_t>(array, 1, j);
      return false;
  }
}

PyObject* text(const char* data, int64_t size) {
  return PyUnicode_DecodeUTF8(data, Py_ssize_t(size), "strict");
}

PyObject* value_at(const ArrowSchema* schema, const ArrowArray* array, int64_t row);

PyObject* struct_at(const ArrowSchema* schema, const ArrowArray* array, int64_t row) {
  Owned dict = Owned::steal(PyDict_New());
  if (!dict) return nullptr;
  for (int64_t i = 0; i < schema->n_children; ++i) {
    const ArrowArray* child = array->children[i];
    Owned cell;
    if (valid(child, row + array->offset)) {
      cell = Owned::steal(value_at(schema->children[i], child, row + array->offset));
    } else {
      cell = Owned::borrow(Py_None);
    }
    if (!cell) return nullptr;
    const char* name = schema->children[i]->name;
    if (PyDict_SetItemString(dict.get(), name == nullptr ? "" : name, cell.get()) < 0) {
      return nullptr;
    }
  }
  return dict.release();
}

template <class Offset>
PyObject* list_at(const ArrowSchema* schema, const ArrowArray* array, int64_t j) {
  auto begin = int64_t(at<Offset>(array, 1, j));
  auto end = int64_t(at<Offset>(array, 1, j + 1));
  Owned list = Owned::steal(PyList_New(Py_ssize_t(end - begin)));
  if (!list) return nullptr;
  const ArrowArray* child = array->children[0];
  for (int64_t k = begin; k < end; ++k) {
    PyObject* item = valid(child, k) ? value_at(schema->children[0], child, k) : Py_NewRef(Py_None);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), Py_ssize_t(k - begin), item);
  }
  return list.release();
}

// A string of a utf8 view array: short ones inline, long ones in a data buffer.
PyObject* view_at(const ArrowArray* array, int64_t j) {
  const char* view = static_cast<const char*>(array->buffers[1]) + j * 16;
  int32_t size;
  std::memcpy(&size, view, 4);
  if (size <= 12) return text(view + 4, size);
  int32_t buffer;
  int32_t offset;
  std::memcpy(&buffer, view + 8, 4);
  std::memcpy(&offset, view + 12, 4);
  return text(static_cast<const char*>(array->buffers[2 + buffer]) + offset, size);
}

// The cell at logical index `row` of `array` (not null), as a new reference.
PyObject* value_at(const ArrowSchema* schema, const ArrowArray* array, int64_t row) {
  const char* f = schema->format;
  int64_t j = row + array->offset;
  if (schema->dictionary != nullptr) {
    long long s = 0;
    unsigned long long u = 0;
    int64_t index = integer(f[0], array, j, &s, &u) ? int64_t(s) : int64_t(u);
    const ArrowArray* entries = array->dictionary;
    if (!valid(entries, index)) Py_RETURN_NONE;
    return value_at(schema->dictionary, entries, index);
  }
  if (f[0] == '+') {
    if (f[1] == 's') return struct_at(schema, array, row);
    return f[1] == 'l' ? list_at<int32_t>(schema, array, j) : list_at<int64_t>(schema, array, j);
  }
  if (f[0] == 'v') return view_at(array, j);
  switch (f[0]) {
    case 'n':
      Py_RETURN_NONE;
    case 'b':
      return PyBool_FromLong(bit(array->buffers[1], j));
    case 'f':
      return PyFloat_FromDouble(at<float>(array, 1, j));
    case 'g':
      return PyFloat_FromDouble(at<double>(array, 1, j));
    case 'u': {
      auto begin = at<int32_t>(array, 1, j);
      return text(static_cast<const char*>(array->buffers[2]) + begin,
                  at<int32_t>(array, 1, j + 1) - begin);
    }
    case 'U': {
      auto begin = at<int64_t>(array, 1, j);
      return text(static_cast<const char*>(array->buffers[2]) + begin,
                  at<int64_t>(array, 1, j + 1) - begin);
    }
    default: {
      long long s = 0;
      unsigned long long u = 0;
      return integer(f[0], array, j, &s, &u) ? PyLong_FromLongLong(s)
                                             : PyLong_FromUnsignedLongLong(u);
    }
  }
}

PyObject* stream_error(ArrowArrayStream* stream, int code) {
  const char* message =
      stream->get_last_error != nullptr ? stream->get_last_error(stream) : nullptr;
  PyErr_Format(PyExc_OSError, "the Arrow stream failed (error %d): %s", code,
               message != nullptr ? message : "no message");
  return nullptr;
}

// Appends the rows of one batch (a struct array of the columns) to `rows`.
bool append_rows(const ArrowSchema* schema, PyObject* const* names, const ArrowArray* batch,
                 PyObject* rows) {
  for (int64_t row = 0; row < batch->length; ++row) {
    Owned dict = Owned::steal(PyDict_New());
    if (!dict) return false;
    for (int64_t i = 0; i < schema->n_children; ++i) {
      const ArrowArray* column = batch->children[i];
      int64_t at_row = row + batch->offset;
      if (null_typed(schema->children[i]) || !valid(column, at_row)) continue;
      Owned cell = Owned::steal(value_at(schema->children[i], column, at_row));
      if (!cell || PyDict_SetItem(dict.get(), names[i], cell.get()) < 0) return false;
    }
    if (PyList_Append(rows, dict.get()) < 0) return false;
  }
  return true;
}

// (name, format, child names) of a column, the format of a dictionary's
// values standing for the dictionary; a new reference or null.
PyObject* field_of(const ArrowSchema* column) {
  const ArrowSchema* values = column->dictionary != nullptr ? column->dictionary : column;
  Owned children = Owned::steal(PyTuple_New(Py_ssize_t(values->n_children)));
  if (!children) return nullptr;
  for (int64_t i = 0; i < values->n_children; ++i) {
    const char* name = values->children[i]->name;
    PyObject* text = PyUnicode_FromString(name == nullptr ? "" : name);
    if (text == nullptr) return nullptr;
    PyTuple_SetItem(children.get(), Py_ssize_t(i), text);
  }
  return Py_BuildValue("(ssO)", column->name == nullptr ? "" : column->name, values->format,
                       children.get());
}

}  // namespace

PyObject* rows_of_stream(PyObject* capsule, bool with_fields) {
  auto* source =
      static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
  if (source == nullptr) return nullptr;
  if (source->release == nullptr) {
    PyErr_SetString(PyExc_ValueError, "the Arrow stream was already consumed");
    return nullptr;
  }
  // Moving the stream out marks the capsule's copy released: its destructor
  // then leaves it alone and ours releases it, once.
  StreamGuard guard;
  guard.stream = *source;
  source->release = nullptr;
  ArrowArrayStream* stream = &guard.stream;

  SchemaGuard schema;
  if (int code = stream->get_schema(stream, &schema.schema); code != 0) {
    return stream_error(stream, code);
  }
  const ArrowSchema& top = schema.schema;
  if (std::strcmp(top.format, "+s") != 0) {
    PyErr_Format(PyExc_TypeError, "an Arrow stream of records was expected, not of format '%s'",
                 top.format);
    return nullptr;
  }
  Owned names = Owned::steal(PyList_New(Py_ssize_t(top.n_children)));
  if (!names) return nullptr;
  Owned fields;
  if (with_fields) {
    fields = Owned::steal(PyList_New(Py_ssize_t(top.n_children)));
    if (!fields) return nullptr;
  }
  for (int64_t i = 0; i < top.n_children; ++i) {
    const ArrowSchema* column = top.children[i];
    const char* name = column->name == nullptr ? "" : column->name;
    if (!supported(column)) {
      PyErr_Format(PyExc_TypeError, "column '%s': Arrow type '%s' cannot be written", name,
                   first_unsupported(column));
      return nullptr;
    }
    PyObject* key = PyUnicode_FromString(name);
    if (key == nullptr) return nullptr;
    PyList_SetItem(names.get(), Py_ssize_t(i), key);
    if (with_fields) {
      PyObject* field = field_of(column);
      if (field == nullptr) return nullptr;
      PyList_SetItem(fields.get(), Py_ssize_t(i), field);
    }
  }
  Owned keys = Owned::steal(PyList_AsTuple(names.get()));
  if (!keys) return nullptr;
  // Tuples of the limited API have no item array to point into.
  PyObject* key_array[64];
  PyObject** key_at = key_array;
  Owned rows = Owned::steal(PyList_New(0));
  if (!rows) return nullptr;
  PyObject** heap_keys = nullptr;
  if (top.n_children > 64) {
    heap_keys = static_cast<PyObject**>(PyMem_Malloc(size_t(top.n_children) * sizeof(PyObject*)));
    if (heap_keys == nullptr) return PyErr_NoMemory();
    key_at = heap_keys;
  }
  for (int64_t i = 0; i < top.n_children; ++i) key_at[i] = PyTuple_GetItem(keys.get(), i);
  bool ok = true;
  while (ok) {
    ArrayGuard batch;
    if (int code = stream->get_next(stream, &batch.array); code != 0) {
      stream_error(stream, code);
      ok = false;
      break;
    }
    if (batch.array.release == nullptr) break;  // the end of the stream
    ok = append_rows(&top, key_at, &batch.array, rows.get());
  }
  PyMem_Free(heap_keys);
  if (!ok) return nullptr;
  if (with_fields) return PyTuple_Pack(2, rows.get(), fields.get());
  return rows.release();
}

}  // namespace vorn::arrow
