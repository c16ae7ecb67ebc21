// The module vorn._arrow: decoded tables as Arrow C data, behind the
// Python class vorn.ArrowTable (python/vorn/_arrow_table.py).
#include <Python.h>

#include "arrow/batch.h"
#include "arrow/document.h"
#include "arrow/raw_memory.h"
#include "arrow/rows.h"
#include "foundation/fault.h"
#include "foundation/interpreter.h"
#include "foundation/owned.h"
#include "module/errors.h"

namespace vorn::arrow {

namespace {

constexpr const char* kBatchName = "vorn._arrow.batch";

void drop_batch(PyObject* capsule) {
  auto* batch = static_cast<Batch*>(PyCapsule_GetPointer(capsule, kBatchName));
  if (batch != nullptr) batch->release();
}

// A consumed capsule holds a released structure; one never consumed is
// released here, when it is collected.
void drop_schema(PyObject* capsule) {
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
  if (schema == nullptr) return;
  if (schema->release != nullptr) schema->release(schema);
  raw_free(schema);
}

void drop_array(PyObject* capsule) {
  auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, "arrow_array"));
  if (array == nullptr) return;
  if (array->release != nullptr) array->release(array);
  raw_free(array);
}

void drop_stream(PyObject* capsule) {
  auto* stream =
      static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
  if (stream == nullptr) return;
  if (stream->release != nullptr) stream->release(stream);
  raw_free(stream);
}

Batch* batch_of(PyObject* capsule) {
  return static_cast<Batch*>(PyCapsule_GetPointer(capsule, kBatchName));
}

// decode(data, path, decimal128, plain_strings) -> batch
PyObject* decode_body(PyObject* args) {
  PyObject* data;
  PyObject* path = nullptr;
  int decimal128 = 0;
  int plain_strings = 0;
  if (!PyArg_ParseTuple(args, "O|O!pp:decode", &data, &PyTuple_Type, &path, &decimal128,
                        &plain_strings)) {
    return nullptr;
  }
  Owned converted;
  if (!(PyType_GetFlags(Py_TYPE(data)) & Py_TPFLAGS_BYTES_SUBCLASS)) {
    converted = Owned::steal(PyBytes_FromObject(data));
    if (!converted) return nullptr;
    data = converted.get();
  }
  const char* bytes = PyBytes_AsString(data);
  if (bytes == nullptr) return nullptr;
  Owned top;
  if (path == nullptr) {
    top = Owned::steal(PyTuple_New(0));
    if (!top) return nullptr;
    path = top.get();
  }
  Shared shared;
  shared.decimal128 = decimal128 != 0;
  shared.plain_strings = plain_strings != 0;
  Batch* batch = decode_table(reinterpret_cast<const uint8_t*>(bytes), size_t(PyBytes_Size(data)),
                              path, shared);
  if (batch == nullptr) return nullptr;
  PyObject* capsule = PyCapsule_New(batch, kBatchName, drop_batch);
  if (capsule == nullptr) batch->release();
  return capsule;
}

template <class Node>
PyObject* export_capsule(Batch* batch, const char* name, bool (Batch::*fill)(Node*),
                         void (*drop)(PyObject*)) {
  auto* node = static_cast<Node*>(raw_calloc(1, sizeof(Node)));
  if (node == nullptr) return PyErr_NoMemory();
  if (!(batch->*fill)(node)) {
    raw_free(node);
    return nullptr;
  }
  PyObject* capsule = PyCapsule_New(node, name, drop);
  if (capsule == nullptr) {
    node->release(node);
    raw_free(node);
  }
  return capsule;
}

PyObject* schema_body(PyObject* capsule) {
  Batch* batch = batch_of(capsule);
  if (batch == nullptr) return nullptr;
  return export_capsule(batch, "arrow_schema", &Batch::export_schema, drop_schema);
}

PyObject* array_body(PyObject* capsule) {
  Batch* batch = batch_of(capsule);
  if (batch == nullptr) return nullptr;
  Owned schema = Owned::steal(schema_body(capsule));
  if (!schema) return nullptr;
  Owned array =
      Owned::steal(export_capsule(batch, "arrow_array", &Batch::export_array, drop_array));
  if (!array) return nullptr;
  return PyTuple_Pack(2, schema.get(), array.get());
}

PyObject* stream_body(PyObject* capsule) {
  Batch* batch = batch_of(capsule);
  if (batch == nullptr) return nullptr;
  return export_capsule(batch, "arrow_array_stream", &Batch::export_stream, drop_stream);
}

PyObject* shape_body(PyObject* capsule) {
  Batch* batch = batch_of(capsule);
  if (batch == nullptr) return nullptr;
  const Column& table = batch->table();
  Owned names = Owned::steal(PyList_New(Py_ssize_t(table.child_count())));
  if (!names) return nullptr;
  for (size_t i = 0; i < table.child_count(); ++i) {
    const RawBuffer& name = table.child(i)->name;
    PyObject* text = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(name.data()),
                                          Py_ssize_t(name.size() - 1), "strict");
    if (text == nullptr) return nullptr;
    PyList_SetItem(names.get(), Py_ssize_t(i), text);
  }
  return Py_BuildValue("(LO)", static_cast<long long>(table.length), names.get());
}

PyObject* decode(PyObject*, PyObject* args) {
  return guard_entry([&] { return decode_body(args); }, static_cast<PyObject*>(nullptr));
}
PyObject* export_schema(PyObject*, PyObject* capsule) {
  return guard_entry([&] { return schema_body(capsule); }, static_cast<PyObject*>(nullptr));
}
PyObject* export_array(PyObject*, PyObject* capsule) {
  return guard_entry([&] { return array_body(capsule); }, static_cast<PyObject*>(nullptr));
}
PyObject* export_stream(PyObject*, PyObject* capsule) {
  return guard_entry([&] { return stream_body(capsule); }, static_cast<PyObject*>(nullptr));
}
PyObject* shape(PyObject*, PyObject* capsule) {
  return guard_entry([&] { return shape_body(capsule); }, static_cast<PyObject*>(nullptr));
}
PyObject* rows(PyObject*, PyObject* capsule) {
  return guard_entry([&] { return rows_of_stream(capsule, false); },
                     static_cast<PyObject*>(nullptr));
}
PyObject* rows_and_fields(PyObject*, PyObject* capsule) {
  return guard_entry([&] { return rows_of_stream(capsule, true); },
                     static_cast<PyObject*>(nullptr));
}
PyObject* live(PyObject*, PyObject*) { return PyLong_FromLongLong(live_exports()); }
PyObject* memory(PyObject*, PyObject* reset) {
  PyObject* result = Py_BuildValue("(LL)", static_cast<long long>(buffer_bytes()),
                                   static_cast<long long>(peak_buffer_bytes()));
  if (PyObject_IsTrue(reset) == 1) reset_peak_buffer_bytes();
  return result;
}
PyObject* fail_after(PyObject*, PyObject* count) {
  long long n = PyLong_AsLongLong(count);
  if (n == -1 && PyErr_Occurred()) return nullptr;
  fail_raw_allocations_after(n);
  Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"decode", decode, METH_VARARGS,
     "decode(data, path=(), decimal128=False, plain_strings=False)\n--\n\nThe table at `path` as a "
     "batch."},
    {"export_schema", export_schema, METH_O, "An 'arrow_schema' capsule of a batch."},
    {"export_array", export_array, METH_O, "('arrow_schema', 'arrow_array') capsules of a batch."},
    {"export_stream", export_stream, METH_O, "An 'arrow_array_stream' capsule of a batch."},
    {"shape", shape, METH_O, "(rows, column names) of a batch."},
    {"rows", rows, METH_O,
     "The rows of an 'arrow_array_stream' capsule as dicts without their null cells; the stream "
     "is consumed."},
    {"rows_and_fields", rows_and_fields, METH_O,
     "(rows, fields): the rows as rows() gives them and each column as (name, Arrow format, "
     "names of its children); the stream is consumed."},
    {"live_exports", live, METH_NOARGS, "Exported structures and batches not yet released."},
    {"buffer_memory", memory, METH_O,
     "(bytes held by column buffers, peak since the last reset); a true argument resets."},
    {"fail_raw_allocations_after", fail_after, METH_O,
     "For the fault sweep: after n more raw allocations every one fails (-1: none)."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_body(PyObject*) {
  // The exception type and the panic type are the process's, and objects
  // cannot cross into a sub-interpreter. Checked before vorn_native is
  // imported, so that the refusal names this module.
  if (!in_main_interpreter("vorn._arrow")) return -1;
  // The decoder's exception is the one type for both modules.
  Owned native = Owned::steal(PyImport_ImportModule("vorn_native"));
  if (!native) return -1;
  Owned type = Owned::steal(PyObject_GetAttrString(native.get(), "VornError"));
  if (!type) return -1;
  adopt_vorn_error_type(type.get());
  return 0;
}

int exec(PyObject* module) {
  return guard_entry([&] { return exec_body(module); }, -1);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vorn._arrow",
    "Decoded tables as Arrow C data.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace vorn::arrow

PyMODINIT_FUNC PyInit__arrow(void) { return PyModuleDef_Init(&vorn::arrow::module_def); }
