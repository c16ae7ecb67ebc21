// The module's boundary with the interpreter: initialisation and the
// loads_binary entry point. Nothing here keeps per-module or per-call state.
#include <Python.h>

#include <cstring>

#include "decoder/context.h"
#include "foundation/interpreter.h"
#include "foundation/once.h"
#include "foundation/owned.h"
#include "module/errors.h"

namespace vorn {

namespace {

// Binds the one argument `data`. Returns it borrowed, or null with TypeError.
PyObject* bind_data(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs >= 2) {
    PyErr_Format(PyExc_TypeError, "loads_binary() takes 1 positional arguments but %zd were given",
                 nargs);
    return nullptr;
  }
  PyObject* data = nargs == 1 ? args[0] : nullptr;
  Py_ssize_t keywords = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t i = 0; i < keywords; ++i) {
    PyObject* name = PyTuple_GetItem(kwnames, i);
    if (name == nullptr) return nullptr;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr) PyErr_Clear();
    if (text == nullptr || size != 4 || std::memcmp(text, "data", 4) != 0) {
      PyErr_Format(PyExc_TypeError, "loads_binary() got an unexpected keyword argument '%S'", name);
      return nullptr;
    }
    if (data != nullptr) {
      PyErr_SetString(PyExc_TypeError, "loads_binary() got multiple values for argument 'data'");
      return nullptr;
    }
    data = args[nargs + i];
  }
  if (data == nullptr) {
    PyErr_SetString(PyExc_TypeError,
                    "loads_binary() missing 1 required positional argument: 'data'");
  }
  return data;
}

PyObject* loads_binary_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* data = bind_data(args, nargs, kwnames);
  if (data == nullptr) return nullptr;
  Owned converted;
  if (!(PyType_GetFlags(Py_TYPE(data)) & Py_TPFLAGS_BYTES_SUBCLASS)) {
    converted = Owned::steal(PyBytes_FromObject(data));
    if (!converted) return nullptr;
    data = converted.get();
  }
  const char* bytes = PyBytes_AsString(data);
  if (bytes == nullptr) return nullptr;
  Py_ssize_t length = PyBytes_Size(data);
  return decode_document(reinterpret_cast<const uint8_t*>(bytes), size_t(length));
}

PyObject* loads_binary(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard_entry([&] { return loads_binary_body(args, nargs, kwnames); },
                     static_cast<PyObject*>(nullptr));
}

PyMethodDef loads_binary_def = {
    "loads_binary",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(loads_binary)),
    METH_FASTCALL | METH_KEYWORDS,
    "loads_binary(data)\n--\n\nDecodes VORN binary into dict/list/str/int/float/bool/None.",
};

// Adds one attribute and records its name in __all__.
int module_add(PyObject* module, PyObject* name, PyObject* value) {
  PyObject* all_name = interned_all();
  if (all_name == nullptr) return -1;
  Owned all = Owned::steal(PyObject_GetAttr(module, all_name));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = Owned::steal(PyList_New(0));
    if (!all) throw InternalFault("could not create __all__");
    if (PyObject_SetAttr(module, all_name, all.get()) < 0) return -1;
  } else if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return -1;
  }
  if (PyList_Append(all.get(), name) < 0) {
    throw InternalFault("could not append __name__ to __all__");
  }
  return PyObject_SetAttr(module, name, value);
}

int module_exec_body(PyObject* module) {
  if (!PyType_IsSubtype(Py_TYPE(module), &PyModule_Type)) {
    PyErr_SetString(PyExc_TypeError, "vorn_native can only initialise a module object");
    return -1;
  }
  // The exception type is one heap type for the whole process, and a type
  // cannot be shared between interpreters: a sub-interpreter keeps its own
  // type caches and subclass lists, which the other interpreters would see
  // through it.
  if (!in_main_interpreter("vorn_native")) return -1;
  Owned function;
  {
    Owned module_name = Owned::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    function = Owned::steal(PyCMethod_New(&loads_binary_def, module, module_name.get(), nullptr));
    if (!function) return -1;
  }
  PyObject* name_attr = interned_name();
  if (name_attr == nullptr) return -1;
  Owned function_name = Owned::steal(PyObject_GetAttr(function.get(), name_attr));
  if (!function_name) return -1;
  if (!PyUnicode_Check(function_name.get())) {
    PyErr_SetString(PyExc_TypeError, "__name__ of loads_binary is not a str");
    return -1;
  }
  if (module_add(module, function_name.get(), function.get()) < 0) return -1;

  PyObject* error_type = vorn_error_type();
  Owned error_name = Owned::steal(PyUnicode_FromString("VornError"));
  if (!error_name) return -1;
  return module_add(module, error_name.get(), error_type);
}

int module_exec(PyObject* module) {
  return guard_entry([&] { return module_exec_body(module); }, -1);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vorn_native", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace vorn

// PyMODINIT_FUNC already declares extern "C" linkage in C++.
PyMODINIT_FUNC PyInit_vorn_native(void) { return PyModuleDef_Init(&vorn::module_def); }
