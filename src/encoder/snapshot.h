// The first pass of an encoding: the value is checked, in document order,
// and copied into flat nodes that the writer reads without calling back into
// Python. Every string and container the nodes name is held here, so that a
// callback (a default, an items() or __iter__ of a subclass) that mutates
// what is being encoded cannot free anything the writer will read.
#pragma once

#include <Python.h>

#include <cstdint>

#include "foundation/membuf.h"
#include "refusal.h"
#include "texts.h"

namespace vorn {

enum class NodeKind : uint8_t {
  raw,  // not yet checked: `raw` is an owned reference
  none,
  false_,
  true_,
  int_,
  int_sub,  // an int subclass: the same value, a different type for column kinds
  float_,
  float_sub,
  str,
  str_sub,
  dict,
  dict_sub,
  list,  // a list, a tuple or a subclass of either
};

struct Node {
  union {
    int64_t i;      // int_, int_sub
    double f;       // float_, float_sub
    uint32_t text;  // str, str_sub: the entry in Texts
    uint32_t box;   // dict, dict_sub, list: the entry in the boxes
    PyObject* raw;
  };
  NodeKind kind;
};

// A container: its items are nodes first..first+count (a dict's as key and
// value, 2 * count nodes).
struct Box {
  PyObject* obj;  // owned; names the container for the budget fallback
  uint32_t first;
  uint32_t count;
};

class Snapshot {
 public:
  // Enters the strings in `texts`, which outlives this. With `exact_only`,
  // for a part of a value (at depth `base_depth`) that the one pass meets and
  // whose strings `texts` may borrow: the first value that would call into
  // Python (a subclass of a container) or be refused declines instead.
  explicit Snapshot(Texts& texts, bool exact_only = false, size_t base_depth = 0) noexcept
      : texts(texts), exact_only_(exact_only), base_depth_(base_depth) {}
  Snapshot(const Snapshot&) = delete;
  Snapshot& operator=(const Snapshot&) = delete;
  ~Snapshot() { release(); }
  // Drops what the snapshot holds, references and memory (not the texts),
  // once its document is written: the bytes object is then made in memory
  // this gave back.
  void release() noexcept;
  // Drops the references, keeps the memory: for the next part, at depth
  // `base_depth`.
  void reset(size_t base_depth) noexcept;

  // Checks and copies `root` (borrowed); `fallback` (borrowed, may be null)
  // is the caller's `default`. False with the exception pending: the error
  // the pure encoder raises for the first value that cannot be written; or,
  // with `exact_only`, declined() and nothing pending.
  bool build(PyObject* root, PyObject* fallback) noexcept;
  bool declined() const noexcept { return declined_; }

  Scratch<Node> nodes;  // nodes[0] is the root
  Scratch<Box> boxes;
  Texts& texts;
  size_t floats = 0;  // float nodes, for the writer's first guess at the document's size

 private:
  struct Frame {
    PyObject* obj;  // the container, held by its box
    uint32_t box;
    uint32_t next;     // the node being checked, plus one, once it has started
    uint32_t raw_at;   // in raws_: the next of the container's raw items
    uint32_t raw_end;  // in raws_: past its last
    bool is_dict;
  };

  // Room for `more` item nodes, raw or not.
  bool item_room(size_t more) noexcept;
  bool check(uint32_t node) noexcept;
  bool check_key(uint32_t node) noexcept;
  bool check_text(uint32_t node, PyObject* obj, bool exact, bool is_key) noexcept;
  bool open(uint32_t node, PyObject* obj, bool exact) noexcept;
  bool add_items(PyObject* obj, bool exact, bool is_dict, uint32_t& count) noexcept;
  // Appends the node of one item (borrowed): a valid scalar is copied at
  // once; anything else (a container, a subclass, a value to refuse or to
  // pass to default) waits as an owned raw reference, checked in document
  // order. Keys are copied only when they are valid text.
  bool add_item(PyObject* item, bool is_key) noexcept;
  // The text entry of `obj` (a str or subclass, borrowed); -1 with an
  // exception pending, -2 when it has no UTF-8 form or is too long.
  int64_t text_of(PyObject* obj, bool is_key) noexcept;
  PyObject* path(bool with_current) noexcept;
  // The object of the key node `node`, borrowed: its text's, or itself.
  PyObject* key_object(uint32_t node) const noexcept;
  bool refuse(Reason reason, PyObject* value, bool with_current, Py_ssize_t extra) noexcept;

  Scratch<Frame> frames_;
  PyObject* fallback_ = nullptr;
  bool complete_ = false;  // every node checked
  bool exact_only_;
  bool declined_ = false;
  size_t base_depth_;
  Scratch<uint32_t> raws_;  // every raw item node, in document order, for the frames
};

}  // namespace vorn
