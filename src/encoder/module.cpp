// The encoder module's boundary with the interpreter: initialisation and the
// dumps and encode entry points. Nothing here keeps per-module or per-call
// state; the only thing kept between calls is the spare working memory.
#include <Python.h>

#include "direct.h"
#include "foundation/fault.h"
#include "foundation/interpreter.h"
#include "foundation/spare.h"
#include "snapshot.h"
#include "wire.h"
#include "writer.h"

namespace vorn {

namespace {

PyObject* encode_value(PyObject* obj, PyObject* compact_arg, int64_t budget_base,
                       PyObject* fallback) {
  int compact = compact_arg == nullptr ? 1 : PyObject_IsTrue(compact_arg);
  if (compact < 0) return nullptr;
  if (fallback == Py_None) fallback = nullptr;
  {
    // Exact values in one pass; anything else (declined) in two.
    Output out;
    Direct direct = compact == 0 ? write_plain(obj, out) : write_compact(obj, budget_base, out);
    if (direct == Direct::written) return out.to_bytes();
    if (direct == Direct::failed) return nullptr;
  }
  Texts texts(compact != 0);
  Snapshot snapshot(texts);
  if (!snapshot.build(obj, fallback)) return nullptr;
  Output out;
  StringTable strings;
  Writer writer(snapshot, compact != 0, budget_base, out, strings);
  return writer.run();
}

PyObject* dumps(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard_entry(
      [&]() -> PyObject* {
        static const char* names[] = {"obj", "compact", "default", nullptr};
        PyObject *obj, *compact = nullptr, *fallback = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OO:dumps", const_cast<char**>(names),
                                         &obj, &compact, &fallback)) {
          return nullptr;
        }
        return encode_value(obj, compact, kSizeBudgetBase, fallback);
      },
      static_cast<PyObject*>(nullptr));
}

PyObject* encode(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard_entry(
      [&]() -> PyObject* {
        static const char* names[] = {"obj", "compact", "budget_base", "default", nullptr};
        PyObject *obj, *compact = nullptr, *fallback = nullptr;
        long long budget_base = kSizeBudgetBase;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OLO:encode", const_cast<char**>(names),
                                         &obj, &compact, &budget_base, &fallback)) {
          return nullptr;
        }
        return encode_value(obj, compact, budget_base, fallback);
      },
      static_cast<PyObject*>(nullptr));
}

// Frees the working memory kept for the next call, for a caller that wants
// it back now or that measures one call's memory from nothing.
PyObject* drop_spare(PyObject*, PyObject*) { return PyLong_FromSize_t(spare::drop()); }

PyMethodDef methods[] = {
    {"dumps", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dumps)),
     METH_VARARGS | METH_KEYWORDS,
     "dumps(obj, *, compact=True, default=None)\n--\n\n"
     "Encodes obj as a VORN document: the bytes of vorn.pure.dumps."},
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode)),
     METH_VARARGS | METH_KEYWORDS,
     "encode(obj, compact=True, budget_base=4194304, default=None)\n--\n\n"
     "dumps, for a decoder whose decoded-size budget starts at budget_base."},
    {"drop_spare", drop_spare, METH_NOARGS,
     "drop_spare()\n--\n\n"
     "Frees the working memory kept from earlier calls; returns how many bytes it held."},
    {nullptr, nullptr, 0, nullptr},
};

// The interned strings and the panic type that the encoder uses are created
// once for the process, and objects cannot cross into a sub-interpreter.
int exec(PyObject*) { return in_main_interpreter("vorn._native") ? 0 : -1; }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vorn._native",
    "The native VORN encoder.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace vorn

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&vorn::module_def); }
