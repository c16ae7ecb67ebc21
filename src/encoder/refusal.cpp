#include "refusal.h"

#include <cstdio>

#include "foundation/membuf.h"
#include "foundation/once.h"
#include "foundation/owned.h"
#include "wire.h"

namespace vorn {

namespace {

constexpr Py_ssize_t kPathLimit = 200;  // paths beyond this keep their ends (PATH_LIMIT)

// `key` as JSON writes it: quoted, with every character beyond ASCII escaped.
Owned quoted(PyObject* key) {
  Py_ssize_t length = PyUnicode_GetLength(key);
  if (length < 0) return Owned();
  MemBuf<char> out;
  if (!out.reserve(size_t(length) + 2)) return Owned();
  auto put = [&](const char* text) {
    for (; *text != '\0'; ++text) {
      if (!out.push(*text)) return false;
    }
    return true;
  };
  auto escape = [&](Py_UCS4 unit) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "\\u%04x", unsigned(unit));
    return put(buffer);
  };
  bool ok = out.push('"');
  for (Py_ssize_t i = 0; ok && i < length; ++i) {
    Py_UCS4 c = PyUnicode_ReadChar(key, i);
    switch (c) {
      case '"':
        ok = put("\\\"");
        break;
      case '\\':
        ok = put("\\\\");
        break;
      case '\n':
        ok = put("\\n");
        break;
      case '\r':
        ok = put("\\r");
        break;
      case '\t':
        ok = put("\\t");
        break;
      case '\b':
        ok = put("\\b");
        break;
      case '\f':
        ok = put("\\f");
        break;
      default:
        if (c >= 0x20 && c < 0x7f) {
          ok = out.push(char(c));
        } else if (c > 0xffff) {
          ok = escape(0xd800 + ((c - 0x10000) >> 10)) && escape(0xdc00 + ((c - 0x10000) & 0x3ff));
        } else {
          ok = escape(c);
        }
    }
  }
  if (!ok || !out.push('"')) return Owned();
  return Owned::steal(PyUnicode_FromStringAndSize(out.data(), Py_ssize_t(out.size())));
}

Owned part(PyObject* key) {
  if (PyLong_Check(key)) return Owned::steal(PyUnicode_FromFormat("[%S]", key));
  int identifier = PyUnicode_Check(key) ? PyUnicode_IsIdentifier(key) : -1;
  if (identifier < 0) {
    // Not text (the first key of a too deep dict may be anything): ask it, as
    // the pure encoder's path formatting does.
    Owned answer = Owned::steal(PyObject_CallMethod(key, "isidentifier", nullptr));
    if (!answer) return Owned();
    identifier = PyObject_IsTrue(answer.get());
    if (identifier < 0) return Owned();
  }
  if (identifier) return Owned::steal(PyUnicode_FromFormat(".%U", key));
  Owned text = quoted(key);
  if (!text) return Owned();
  return Owned::steal(PyUnicode_FromFormat("[%U]", text.get()));
}

// `$` and the parts of `keys[0..count)`, the middle elided beyond the limit.
Owned format_path(PyObject* keys, Py_ssize_t count) {
  Owned parts = Owned::steal(PyList_New(0));
  Owned root = Owned::steal(PyUnicode_FromString("$"));
  if (!parts || !root || PyList_Append(parts.get(), root.get()) < 0) return Owned();
  Py_ssize_t total = 1;
  for (Py_ssize_t i = 0; i < count; ++i) {
    Owned text = part(PyList_GetItem(keys, i));
    if (!text || PyList_Append(parts.get(), text.get()) < 0) return Owned();
    total += PyUnicode_GetLength(text.get());
  }
  Owned empty = Owned::steal(PyUnicode_FromString(""));
  if (!empty) return Owned();
  Py_ssize_t n = count + 1;
  if (total <= kPathLimit) return Owned::steal(PyUnicode_Join(empty.get(), parts.get()));
  auto length = [&](Py_ssize_t i) { return PyUnicode_GetLength(PyList_GetItem(parts.get(), i)); };
  Py_ssize_t half = kPathLimit / 2;
  Py_ssize_t head = 1, size = length(0);
  while (head < n && size + length(head) <= half) size += length(head++);
  Py_ssize_t tail = n;
  size = 0;
  while (tail > head && size + length(tail - 1) <= half) size += length(--tail);
  Owned first = Owned::steal(PyList_GetSlice(parts.get(), 0, head));
  Owned last = Owned::steal(PyList_GetSlice(parts.get(), tail, n));
  if (!first || !last) return Owned();
  Owned start = Owned::steal(PyUnicode_Join(empty.get(), first.get()));
  Owned end = Owned::steal(PyUnicode_Join(empty.get(), last.get()));
  if (!start || !end) return Owned();
  return Owned::steal(PyUnicode_FromFormat("%U...%U", start.get(), end.get()));
}

Owned type_name(PyObject* value) {
  PyObject* name = interned_name();
  if (name == nullptr) return Owned();
  return Owned::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(value)), name));
}

// The message for text that cannot be written: a lone surrogate, or too long.
Owned text_message(const char* what, PyObject* text, PyObject* path) {
  Py_ssize_t length = PyUnicode_GetLength(text);
  for (Py_ssize_t i = 0; i < length; ++i) {
    Py_UCS4 c = PyUnicode_ReadChar(text, i);
    if (c >= 0xd800 && c <= 0xdfff) {
      char code[16];
      std::snprintf(code, sizeof code, "%04X", unsigned(c));
      return Owned::steal(PyUnicode_FromFormat(
          "%s at %U cannot be written as UTF-8 (lone surrogate U+%s)", what, path, code));
    }
  }
  Py_ssize_t size = 0;
  if (PyUnicode_AsUTF8AndSize(text, &size) == nullptr) return Owned();
  return Owned::steal(PyUnicode_FromFormat("%s at %U is %zd bytes long; the limit is %lld", what,
                                           path, size, (long long)int64_t(kMaxLength)));
}

}  // namespace

bool refuse(Reason reason, PyObject* value, PyObject* keys, Py_ssize_t extra) noexcept {
  Py_ssize_t count = PyList_Size(keys);
  PyObject* error = PyExc_ValueError;
  Owned message;
  Owned path;
  if (reason == Reason::key && PyUnicode_Check(value)) {
    if (PyList_Append(keys, value) < 0) return false;
    ++count;
  } else if (reason == Reason::depth) {
    if (PyList_Append(keys, value) < 0) return false;
    ++count;
  }
  path = format_path(keys, count);
  if (!path) return false;
  switch (reason) {
    case Reason::scalar:
      if (PyLong_Check(value)) {
        error = PyExc_OverflowError;
        message = Owned::steal(
            PyUnicode_FromFormat("int at %U is outside the signed 64-bit range", path.get()));
      } else if (PyFloat_Check(value)) {
        message =
            Owned::steal(PyUnicode_FromFormat("float at %U is not finite (%R)", path.get(), value));
      } else {
        message = text_message("str", value, path.get());
      }
      break;
    case Reason::key:
      if (PyUnicode_Check(value)) {
        message = text_message("dict key", value, path.get());
      } else {
        error = PyExc_TypeError;
        Owned name = type_name(value);
        if (!name) return false;
        message = Owned::steal(PyUnicode_FromFormat("dict key %R at %U is of type %U, not str",
                                                    value, path.get(), name.get()));
      }
      break;
    case Reason::cycle: {
      Owned name = type_name(value);
      Owned open = format_path(keys, extra);
      if (!name || !open) return false;
      message = Owned::steal(PyUnicode_FromFormat("%U at %U contains itself (at %U)", name.get(),
                                                  open.get(), path.get()));
      break;
    }
    case Reason::depth:
      message = Owned::steal(
          PyUnicode_FromFormat("value at %U is nested %zd levels deep; the limit is %d", path.get(),
                               extra + 1, kMaxDepth));
      break;
    case Reason::count: {
      Owned name = type_name(value);
      if (!name) return false;
      message = Owned::steal(PyUnicode_FromFormat("%U at %U has more than %lld items", name.get(),
                                                  path.get(), (long long)int64_t(kMaxLength)));
      break;
    }
    case Reason::unsupported: {
      error = PyExc_TypeError;
      Owned name = type_name(value);
      if (!name) return false;
      message = Owned::steal(
          extra == 0
              ? PyUnicode_FromFormat("value of type %U at %U is not supported", name.get(),
                                     path.get())
              : PyUnicode_FromFormat("value of type %U at %U is not supported (default returned no "
                                     "supported value in %zd calls)",
                                     name.get(), path.get(), extra));
      break;
    }
  }
  if (!message) return false;
  // The instance is made here, where failing to make it is a MemoryError,
  // rather than when the interpreter first looks at the exception.
  Owned instance = Owned::steal(PyObject_CallFunctionObjArgs(error, message.get(), nullptr));
  if (!instance) return false;
  PyErr_SetObject(error, instance.get());
  return false;
}

}  // namespace vorn
