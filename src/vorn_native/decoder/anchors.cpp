#include "decoder/anchors.h"

#include "decoder/primitives.h"
#include "decoder/values.h"
#include "foundation/membuf.h"

namespace vorn {

namespace {

enum class CopyOutcome { copied, budget_exhausted, failed };

// One list or dict being copied. The copy is owned by the frame until it is
// complete and handed to its parent.
struct CopyFrame {
  PyObject* source;  // borrowed
  PyObject* copy;    // owned
  Py_ssize_t size;
  Py_ssize_t next;  // list: index being copied; dict: iteration position
  PyObject* key;    // dict: key of the value being copied (borrowed)
  bool is_dict;
};

// The copy's explicit stack: deep copies do not use the C stack, and a failed
// copy releases every container it made.
class CopyStack {
 public:
  ~CopyStack() {
    for (size_t i = 0; i < frames_.size(); ++i) Py_DECREF(frames_[i].copy);
  }
  MemBuf<CopyFrame>& frames() noexcept { return frames_; }

 private:
  MemBuf<CopyFrame> frames_;
};

inline bool is_container(PyObject* obj) noexcept {
  return Py_TYPE(obj) == &PyList_Type || Py_TYPE(obj) == &PyDict_Type;
}

// Charges the budget for a list or dict and opens its frame.
CopyOutcome open_frame(DecodeContext& c, MemBuf<CopyFrame>& frames, PyObject* source) {
  bool is_dict = Py_TYPE(source) == &PyDict_Type;
  Py_ssize_t size = is_dict ? PyDict_Size(source) : PyList_Size(source);
  if (!c.charge_references(int64_t(size) + 1)) return CopyOutcome::budget_exhausted;
  PyObject* copy = is_dict ? PyDict_New() : PyList_New(size);
  if (copy == nullptr) {
    c.python_failed();
    return CopyOutcome::failed;
  }
  if (!frames.push(CopyFrame{source, copy, size, 0, nullptr, is_dict})) {
    Py_DECREF(copy);
    c.python_failed();
    return CopyOutcome::failed;
  }
  return CopyOutcome::copied;
}

// Stores a finished item (new reference, taken over) into its parent's copy.
bool attach(DecodeContext& c, CopyFrame& parent, PyObject* item) {
  if (parent.is_dict) {
    int status = PyDict_SetItem(parent.copy, parent.key, item);
    Py_DECREF(item);
    if (status < 0) return c.python_failed();
    return true;
  }
  if (PyList_SetItem(parent.copy, parent.next, item) != 0) return c.python_failed();
  ++parent.next;
  return true;
}

// Copies `value` depth first in item order: fresh lists and dicts, shared
// everything else. Each list or dict costs its size plus one, charged before
// its items are copied; the charge stays whatever the outcome.
CopyOutcome copy_anchored_value(DecodeContext& c, PyObject* value, PyObject*& result) {
  if (!is_container(value)) {
    Py_INCREF(value);
    result = value;
    return CopyOutcome::copied;
  }
  CopyStack stack;
  MemBuf<CopyFrame>& frames = stack.frames();
  if (CopyOutcome opened = open_frame(c, frames, value); opened != CopyOutcome::copied) {
    return opened;
  }
  for (;;) {
    CopyFrame& top = frames.back();
    PyObject* child = nullptr;
    bool more;
    if (top.is_dict) {
      more = PyDict_Next(top.source, &top.next, &top.key, &child) != 0;
    } else {
      more = top.next < top.size;
      if (more) {
        child = PyList_GetItem(top.source, top.next);
        if (child == nullptr) return c.python_failed(), CopyOutcome::failed;
      }
    }
    if (!more) {
      PyObject* finished = top.copy;
      frames.pop();
      if (frames.empty()) {
        result = finished;
        return CopyOutcome::copied;
      }
      if (!attach(c, frames.back(), finished)) return CopyOutcome::failed;
      continue;
    }
    if (frames.size() > kMaxCopyDepth) {
      c.fail_at("nesting too deep", 0);
      return CopyOutcome::failed;
    }
    if (is_container(child)) {
      if (CopyOutcome opened = open_frame(c, frames, child); opened != CopyOutcome::copied) {
        return opened;
      }
      continue;
    }
    Py_INCREF(child);
    if (!attach(c, top, child)) return CopyOutcome::failed;
  }
}

}  // namespace

PyObject* read_anchor(DecodeContext& c, int depth) {
  size_t slot = c.anchors.size();
  if (!c.anchors.push(nullptr)) return c.python_failed();
  PyObject* value = read_value(c, depth + 1);
  if (value == nullptr) return nullptr;
  VORN_ASSERT(c.anchors[slot] == nullptr);
  Py_INCREF(value);
  c.anchors[slot] = value;
  return value;
}

PyObject* read_reference(DecodeContext& c) {
  uint64_t number;
  if (!read_varint(c, number)) return nullptr;
  if (number >= c.anchors.size() || c.anchors[size_t(number)] == nullptr) {
    return c.fail("bad anchor reference", c.pos);
  }
  PyObject* copy = nullptr;
  switch (copy_anchored_value(c, c.anchors[size_t(number)], copy)) {
    case CopyOutcome::copied:
      return copy;
    case CopyOutcome::budget_exhausted:
      return c.fail("reference expansion too large", c.pos);
    case CopyOutcome::failed:
      break;
  }
  return nullptr;
}

}  // namespace vorn
