// libFuzzer driver for vorn_native.loads_binary and the encoders.
//
// The interpreter is embedded once; every input is passed to the real
// extension modules (built with VORN_FUZZ: coverage, ASan and UBSan
// instrumentation of the C++ decoder and encoder). Any outcome other than a
// value, a VornError with a sane message and offset, or MemoryError aborts,
// and so does every sanitizer report. A value decoded is encoded again by
// vorn._native and vorn.pure in both modes: both must give the same bytes
// (or the same refusal), and the decoder must read them back to an equal value.
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

PyObject* loads_binary = nullptr;  // borrowed for the life of the process
PyObject* vorn_error = nullptr;
PyObject* message_name = nullptr;
PyObject* offset_name = nullptr;
PyObject* round_trip = nullptr;

// The encoders' check, in Python: it raises AssertionError on a mismatch.
const char* kRoundTrip = R"(
import vorn_native
from vorn import _native, pure

def outcome(encode, value, compact):
    try:
        return encode(value, compact=compact)
    except (ValueError, TypeError, OverflowError) as error:
        return type(error), str(error)

def round_trip(value):
    for compact in (True, False):
        native = outcome(_native.dumps, value, compact)
        if isinstance(native, bytes) and len(native) > 65536:
            continue  # the pure encoder would take too long
        expected = outcome(pure.dumps, value, compact)
        assert native == expected, (compact, native, expected)
        if isinstance(native, bytes):
            assert vorn_native.loads_binary(native) == value, compact
)";

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz_decoder: %s\n", what);
  if (PyErr_Occurred()) PyErr_Print();
  std::fflush(stderr);
  std::abort();
}

PyObject* import_attr(const char* module_name, const char* attr) {
  PyObject* module = PyImport_ImportModule(module_name);
  if (module == nullptr) fail("cannot import vorn_native (is PYTHONPATH set?)");
  PyObject* value = PyObject_GetAttrString(module, attr);
  Py_DECREF(module);
  if (value == nullptr) fail("module attribute missing");
  return value;
}

// A VornError must carry a str message and an int offset within the input,
// and its text must name both.
void check_vorn_error(PyObject* error, size_t size) {
  PyObject* message = PyObject_GetAttr(error, message_name);
  PyObject* offset = PyObject_GetAttr(error, offset_name);
  if (message == nullptr || offset == nullptr) fail("VornError without message or offset");
  if (!PyUnicode_Check(message) || PyUnicode_GetLength(message) == 0) fail("bad VornError message");
  if (!PyLong_Check(offset)) fail("VornError offset is not an int");
  unsigned long long at = PyLong_AsUnsignedLongLong(offset);
  if (at == static_cast<unsigned long long>(-1) && PyErr_Occurred()) fail("VornError offset negative");
  if (at > size) fail("VornError offset past the end of the input");
  PyObject* expected = PyUnicode_FromFormat("vorn: offset %llu: %U", at, message);
  PyObject* text = PyObject_Str(error);
  if (expected == nullptr || text == nullptr) fail("cannot format VornError");
  if (PyUnicode_Compare(expected, text) != 0) fail("VornError text does not match its attributes");
  Py_DECREF(expected);
  Py_DECREF(text);
  Py_DECREF(message);
  Py_DECREF(offset);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Every Python allocation goes through malloc, so ASan sees it.
  PyPreConfig preconfig;
  PyPreConfig_InitPythonConfig(&preconfig);
  preconfig.allocator = PYMEM_ALLOCATOR_MALLOC;
  PyStatus status = Py_PreInitialize(&preconfig);
  if (PyStatus_Exception(status)) Py_ExitStatusException(status);
  Py_InitializeEx(0);
  loads_binary = import_attr("vorn_native", "loads_binary");
  vorn_error = import_attr("vorn_native", "VornError");
  message_name = PyUnicode_InternFromString("message");
  offset_name = PyUnicode_InternFromString("offset");
  if (message_name == nullptr || offset_name == nullptr) fail("cannot intern names");
  PyObject* globals = PyDict_New();
  if (globals == nullptr || PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) < 0) {
    fail("cannot make the check's namespace");
  }
  PyObject* ran = PyRun_String(kRoundTrip, Py_file_input, globals, globals);
  if (ran == nullptr) fail("cannot define the encoders' check (is vorn on PYTHONPATH?)");
  Py_DECREF(ran);
  round_trip = PyDict_GetItemString(globals, "round_trip");  // kept alive by `globals`
  if (round_trip == nullptr) fail("no round_trip");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  PyObject* input = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                              static_cast<Py_ssize_t>(size));
  if (input == nullptr) fail("cannot make the input bytes");
  PyObject* result = PyObject_CallOneArg(loads_binary, input);
  Py_DECREF(input);
  if (result != nullptr) {
    PyObject* checked = PyObject_CallOneArg(round_trip, result);
    Py_DECREF(result);
    if (checked == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_MemoryError)) fail("the encoders disagree");
      PyErr_Clear();
    }
    Py_XDECREF(checked);
    return 0;
  }
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(vorn_error))) {
    check_vorn_error(value, size);
  } else if (type == nullptr || !PyErr_GivenExceptionMatches(type, PyExc_MemoryError)) {
    PyErr_Restore(type, value, traceback);
    fail("loads_binary raised something other than VornError or MemoryError");
  }
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  return 0;
}
