#include "snapshot.h"

#include <atomic>
#include <cmath>

#include "foundation/fault.h"
#include "foundation/once.h"
#include "foundation/owned.h"
#include "refusal.h"
#include "wire.h"

namespace vorn {

namespace {

// How many times in a row `default` may return an unsupported value for one
// place (DEFAULT_CALLS of the pure encoder's check pass).
constexpr Py_ssize_t kDefaultCalls = 64;

// Room for `more` nodes, whose indexes must fit the 32-bit fields.
bool node_room(Scratch<Node>& nodes, size_t more) noexcept {
  if (more > UINT32_MAX - 1 - nodes.size()) {
    PyErr_NoMemory();
    return false;
  }
  return nodes.make_room(more);
}

}  // namespace

void Snapshot::reset(size_t base_depth) noexcept {
  // Once built, no node is raw any more.
  for (size_t i = 0; !complete_ && i < nodes.size(); ++i) {
    if (nodes[i].kind == NodeKind::raw) Py_DECREF(nodes[i].raw);
  }
  for (size_t i = 0; i < boxes.size(); ++i) Py_DECREF(boxes[i].obj);
  nodes.clear();
  boxes.clear();
  frames_.clear();
  raws_.clear();
  floats = 0;
  complete_ = declined_ = false;
  base_depth_ = base_depth;
}

void Snapshot::release() noexcept {
  reset(0);
  nodes.release();
  boxes.release();
  frames_.release();
  raws_.release();
}

bool Snapshot::item_room(size_t more) noexcept {
  return node_room(nodes, more) && raws_.make_room(more);
}

bool Snapshot::build(PyObject* root, PyObject* fallback) noexcept {
  fallback_ = fallback;
  if (!node_room(nodes, 1)) return false;
  Py_INCREF(root);
  nodes.push_reserved(Node{{.raw = root}, NodeKind::raw});
  if (!check(0)) return false;
  while (!frames_.empty()) {
    Frame& frame = frames_.back();
    // Valid scalars are copied already: only raw nodes wait to be checked.
    if (frame.raw_at == frame.raw_end) {
      frames_.pop();
      continue;
    }
    uint32_t node = raws_[frame.raw_at++];
    frame.next = node + 1;
    bool is_key = frame.is_dict && ((node - boxes[frame.box].first) & 1) == 0;
    if (!(is_key ? check_key(node) : check(node))) return false;
  }
  complete_ = true;
  // A part's snapshot is used again, and its texts go on being entered by
  // the one pass.
  if (exact_only_) return true;
  // What only the checking needs goes back before the writer asks for its
  // buffers, which can take its place.
  frames_.release();
  raws_.release();
  texts.seal();
  return true;
}

int64_t Snapshot::text_of(PyObject* obj, bool is_key) noexcept {
  int64_t id = texts.seen(obj);
  if (id >= 0) return id;
  Py_ssize_t length = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &length);
  if (utf8 == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return -1;
    PyErr_Clear();
    return -2;
  }
  if (length > int64_t(kMaxLength)) return -2;
  if (!texts.borrowed()) Py_INCREF(obj);
  return texts.enter(obj, utf8, size_t(length), is_key);
}

bool Snapshot::add_item(PyObject* item, bool is_key) noexcept {
  PyTypeObject* type = Py_TYPE(item);
  if (type == &PyUnicode_Type) {
    int64_t id = text_of(item, is_key);
    if (id == -1) return false;
    if (id >= 0) {
      nodes.push_reserved(Node{{.text = uint32_t(id)}, NodeKind::str});
      return true;
    }
  } else if (!is_key) {
    if (type == &PyLong_Type) {
      int overflow = 0;
      long long value = PyLong_AsLongLongAndOverflow(item, &overflow);
      if (overflow == 0) {
        nodes.push_reserved(Node{{.i = value}, NodeKind::int_});
        return true;
      }
    } else if (type == &PyFloat_Type) {
      double value = PyFloat_AsDouble(item);
      if (std::isfinite(value)) {
        ++floats;
        nodes.push_reserved(Node{{.f = value}, NodeKind::float_});
        return true;
      }
    } else if (item == Py_None || type == &PyBool_Type) {
      NodeKind kind = item == Py_None   ? NodeKind::none
                      : item == Py_True ? NodeKind::true_
                                        : NodeKind::false_;
      nodes.push_reserved(Node{{.i = 0}, kind});
      return true;
    }
  }
  Py_INCREF(item);
  raws_.push_reserved(uint32_t(nodes.size()));
  nodes.push_reserved(Node{{.raw = item}, NodeKind::raw});
  return true;
}

bool Snapshot::check(uint32_t node) noexcept {
  PyObject* obj = nodes[node].raw;
  Py_ssize_t calls = 0;
  for (;;) {
    PyTypeObject* type = Py_TYPE(obj);
    // Exact containers first: they are what waits here most often, and the
    // subclass checks below are calls.
    if (type == &PyDict_Type || type == &PyList_Type || type == &PyTuple_Type) {
      return open(node, obj, true);
    }
    if (type == &PyUnicode_Type) return check_text(node, obj, true, false);
    if (type == &PyLong_Type || (type != &PyBool_Type && PyLong_Check(obj))) {
      int overflow = 0;
      long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
      if (overflow != 0) return refuse(Reason::scalar, obj, true, 0);
      if (value == -1 && PyErr_Occurred()) return false;
      nodes[node] = Node{{.i = value}, type == &PyLong_Type ? NodeKind::int_ : NodeKind::int_sub};
      Py_DECREF(obj);
      return true;
    }
    if (type == &PyFloat_Type || PyFloat_Check(obj)) {
      double value = PyFloat_AsDouble(obj);
      if (!std::isfinite(value)) return refuse(Reason::scalar, obj, true, 0);
      ++floats;
      nodes[node] =
          Node{{.f = value}, type == &PyFloat_Type ? NodeKind::float_ : NodeKind::float_sub};
      Py_DECREF(obj);
      return true;
    }
    if (obj == Py_None || type == &PyBool_Type) {
      nodes[node].kind = obj == Py_None   ? NodeKind::none
                         : obj == Py_True ? NodeKind::true_
                                          : NodeKind::false_;
      Py_DECREF(obj);
      return true;
    }
    if (PyUnicode_Check(obj)) return check_text(node, obj, false, false);
    if (PyDict_Check(obj) || PyList_Check(obj) || PyTuple_Check(obj)) {
      // Reading a subclass calls its items() or __iter__.
      if (exact_only_) {
        declined_ = true;
        return false;
      }
      return open(node, obj, false);
    }
    if (fallback_ == nullptr || calls == kDefaultCalls) {
      return refuse(Reason::unsupported, obj, true, calls);
    }
    PyObject* replaced = PyObject_CallFunctionObjArgs(fallback_, obj, nullptr);
    if (replaced == nullptr) return false;
    nodes[node].raw = replaced;
    Py_DECREF(obj);
    obj = replaced;
    ++calls;
  }
}

bool Snapshot::check_key(uint32_t node) noexcept {
  PyObject* obj = nodes[node].raw;
  if (!PyUnicode_Check(obj)) return refuse(Reason::key, obj, false, 0);
  return check_text(node, obj, Py_TYPE(obj) == &PyUnicode_Type, true);
}

bool Snapshot::check_text(uint32_t node, PyObject* obj, bool exact, bool is_key) noexcept {
  int64_t id = text_of(obj, is_key);
  if (id == -1) return false;
  if (id == -2)
    return is_key ? refuse(Reason::key, obj, false, 0) : refuse(Reason::scalar, obj, true, 0);
  nodes[node] = Node{{.text = uint32_t(id)}, exact ? NodeKind::str : NodeKind::str_sub};
  Py_DECREF(obj);
  return true;
}

bool Snapshot::open(uint32_t node, PyObject* obj, bool exact) noexcept {
  for (size_t depth = 0; depth < frames_.size(); ++depth) {
    if (frames_[depth].obj == obj) return refuse(Reason::cycle, obj, true, Py_ssize_t(depth));
  }
  size_t depth = base_depth_ + frames_.size();
  bool is_dict = exact ? Py_TYPE(obj) == &PyDict_Type : PyDict_Check(obj);
  uint32_t first = uint32_t(nodes.size());
  uint32_t count = 0;
  uint32_t raw_begin = uint32_t(raws_.size());
  if (!add_items(obj, exact, is_dict, count)) return false;
  if (depth >= size_t(kMaxDepth) && count > 0) {
    Owned key = is_dict ? Owned::borrow(key_object(first)) : Owned::steal(PyLong_FromLong(0));
    if (!key) return false;
    return refuse(Reason::depth, key.get(), true, Py_ssize_t(depth));
  }
  if (int64_t(count) > int64_t(kMaxLength)) return refuse(Reason::count, obj, true, 0);
  if (!boxes.make_room(1)) return false;
  boxes.push_reserved(Box{obj, first, count});
  nodes[node].box = uint32_t(boxes.size() - 1);
  nodes[node].kind = !is_dict ? NodeKind::list : exact ? NodeKind::dict : NodeKind::dict_sub;
  // Items that are all valid scalars are done: no frame needs to visit them.
  uint32_t raw_end = uint32_t(raws_.size());
  if (raw_end == raw_begin) return true;
  return frames_.push(Frame{obj, uint32_t(boxes.size() - 1), first, raw_begin, raw_end, is_dict});
}

bool Snapshot::add_items(PyObject* obj, bool exact, bool is_dict, uint32_t& count) noexcept {
  if (!is_dict && exact && Py_TYPE(obj) == &PyTuple_Type) {
    Py_ssize_t n = PyTuple_Size(obj);
    if (!item_room(size_t(n))) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!add_item(PyTuple_GetItem(obj, i), false)) return false;
    }
    count = uint32_t(n);
    return true;
  }
  if (is_dict && exact) {
    Py_ssize_t n = PyDict_Size(obj);
    if (size_t(n) > UINT32_MAX / 2 || !item_room(2 * size_t(n))) {
      if (!PyErr_Occurred()) PyErr_NoMemory();
      return false;
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (count < uint32_t(n) && PyDict_Next(obj, &pos, &key, &value)) {
      if (!add_item(key, true) || !add_item(value, false)) return false;
      ++count;
    }
    return true;
  }
  // A list, or a subclass read as Python reads it: through __iter__ or items().
  Owned copy;
  if (is_dict) {
    PyObject* name = interned_items();
    if (name == nullptr) return false;
    Owned items = Owned::steal(PyObject_CallMethodObjArgs(obj, name, nullptr));
    if (!items) return false;
    copy = Owned::steal(PySequence_List(items.get()));
  } else if (!exact) {
    copy = Owned::steal(PySequence_List(obj));
  }
  if (!exact && !copy) return false;
  PyObject* list = exact ? obj : copy.get();
  Py_ssize_t n = PyList_Size(list);
  if (n < 0 || size_t(n) > UINT32_MAX / 2 || !item_room((is_dict ? 2 : 1) * size_t(n))) {
    if (!PyErr_Occurred()) PyErr_NoMemory();
    return false;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GetItem(list, i);  // borrowed from `list`, which we hold
    if (!is_dict) {
      if (!add_item(item, false)) return false;
      continue;
    }
    Owned pair = Owned::steal(PySequence_Tuple(item));
    if (!pair) return false;
    Py_ssize_t size = PyTuple_Size(pair.get());
    if (size != 2) {
      // Python's own unpacking messages; if the text cannot be made, its
      // MemoryError stands (3.10 would raise the type with no message).
      if (size < 2) {
        raise_with(PyExc_ValueError,
                   PyUnicode_FromFormat("not enough values to unpack (expected 2, got %zd)", size));
      } else {
        raise_with(PyExc_ValueError,
                   PyUnicode_FromString("too many values to unpack (expected 2)"));
      }
      return false;
    }
    if (!add_item(PyTuple_GetItem(pair.get(), 0), true) ||
        !add_item(PyTuple_GetItem(pair.get(), 1), false)) {
      return false;
    }
  }
  count = uint32_t(n);
  return true;
}

PyObject* Snapshot::key_object(uint32_t node) const noexcept {
  const Node& key = nodes[node];
  bool text = key.kind == NodeKind::str || key.kind == NodeKind::str_sub;
  return text ? texts[key.text].obj : key.raw;
}

PyObject* Snapshot::path(bool with_current) noexcept {
  Owned keys = Owned::steal(PyList_New(0));
  if (!keys) return nullptr;
  size_t depth = frames_.size() - (with_current || frames_.empty() ? 0 : 1);
  for (size_t k = 0; k < depth; ++k) {
    const Frame& frame = frames_[k];
    uint32_t first = boxes[frame.box].first;
    uint32_t current = frame.next - 1;
    Owned key;
    if (!frame.is_dict) {
      key = Owned::steal(PyLong_FromUnsignedLong(current - first));
    } else {
      key = Owned::borrow(key_object(first + ((current - first) & ~1u)));
    }
    if (!key || PyList_Append(keys.get(), key.get()) < 0) return nullptr;
  }
  return keys.release();
}

bool Snapshot::refuse(Reason reason, PyObject* value, bool with_current,
                      Py_ssize_t extra) noexcept {
  if (exact_only_) {
    // The two passes over the whole value raise this error with its path.
    declined_ = true;
    return false;
  }
  Owned keys = Owned::steal(path(with_current));
  if (!keys) return false;
  return vorn::refuse(reason, value, keys.get(), extra);
}

}  // namespace vorn
