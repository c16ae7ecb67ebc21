// The compact document of exact values in one pass. The choices are the
// two-pass Writer's, made from the same parts: strings are entered in
// Texts and numbered by Emit as the walk meets them, and a list of scalars
// is copied into nodes for the Chooser, which decides whether it becomes a
// typed list (until its items mix kinds that none holds). A record list,
// whose table form needs every row before the first byte, is read whole
// before it is written: by the Shredder (which hands the containers it keeps
// in cells back to this walk), or by the two passes' parts for that list
// alone.
#include <algorithm>
#include <cmath>
#include <new>

#include "column_kind.h"
#include "direct.h"
#include "emit.h"
#include "exact.h"
#include "foundation/format.h"
#include "shred.h"
#include "snapshot.h"
#include "texts.h"
#include "wire.h"
#include "writer.h"

namespace vorn {

namespace {

constexpr size_t kHead = 1 + Output::kVarintMax;

// An open container: where its walk stands. Borrowed: the root holds it.
struct Open {
  PyObject* obj;
  Py_ssize_t next;  // the next item (list, tuple) or PyDict_Next position (dict)
  Py_ssize_t size;
  bool is_dict;
};

class OnePass final : public CellWalker {
 public:
  explicit OnePass(Output& out) noexcept
      : texts_(true, true),
        snapshot_(texts_),
        chooser_(snapshot_),
        emit_(out, strings_, texts_, true),
        out_(out) {}
  OnePass(const OnePass&) = delete;
  OnePass& operator=(const OnePass&) = delete;
  ~OnePass() {
    for (Shredder* shredder : shredders_) {
      if (shredder == nullptr) continue;
      shredder->~Shredder();
      PyMem_Free(shredder);
    }
  }

  Direct run(PyObject* root, int64_t budget_base) noexcept;
  Direct walk(PyObject* value, size_t depth) noexcept override;

 private:
  // Walks the open containers until `base` are left.
  Direct drain(Direct wrote, size_t base) noexcept;
  Direct value(PyObject* v) noexcept;
  Direct open(PyObject* obj, Py_ssize_t n, bool is_dict) noexcept;
  Direct list(PyObject* obj, Py_ssize_t n, bool is_list) noexcept;
  Direct plain_list(PyObject* obj, Py_ssize_t n, bool is_list, size_t read) noexcept;
  Direct records(PyObject* obj, size_t n) noexcept;
  // The Shredder for record lists `level` tables deep in cells, made on
  // first use (it holds the columns of a wide table: too large for the C
  // stack that holds this pass); null when there is none that deep (the
  // two passes' parts write those lists) or, with `failed` set, no memory
  // for one.
  Shredder* shredder(size_t level, bool& failed) noexcept;
  int64_t text(PyObject* s, bool is_key) noexcept {
    return text_entry(texts_, strings_, s, is_key);
  }
  static Direct done(bool ok) noexcept { return ok ? Direct::written : Direct::failed; }

  // The entries of the strings met so far, borrowed: the root holds them,
  // and nothing here runs Python code.
  Texts texts_;
  Snapshot snapshot_;  // empty: what the Chooser reads the texts through
  StringTable strings_;
  Chooser chooser_;
  Emit emit_;
  Output& out_;
  Scratch<Node> cells_;  // the items of the list being chosen
  int64_t charge_ = 0;   // the decoded-size charge of the tables and typed lists
  Open stack_[kMaxDepth];
  size_t depth_ = 0;
  // Record lists: most straight from the dicts, a Shredder for each level of
  // tables in cells, the others by the two passes' parts. The budget is
  // checked once the whole document is written.
  static constexpr size_t kShredLevels = 4;
  Shredder* shredders_[kShredLevels] = {};  // owned, one a level
  size_t shredding_ = 0;                    // the Shredders writing now
  Snapshot part_{texts_, true};
  Writer part_writer_{part_, true, 0, out_, strings_};
};

Direct OnePass::open(PyObject* obj, Py_ssize_t n, bool is_dict) noexcept {
  // A cycle reaches the depth limit too: the two passes name either.
  if (n < 0 || uint64_t(n) > kMaxLength) return Direct::declined;
  if (!out_.room(kHead)) return Direct::failed;
  out_.byte(tag_byte(is_dict ? Tag::Object : Tag::List));
  out_.varint(uint64_t(n));
  if (n == 0) return Direct::written;
  if (depth_ >= size_t(kMaxDepth)) return Direct::declined;
  stack_[depth_++] = Open{obj, 0, n, is_dict};
  return Direct::written;
}

// A list of two or more scalars is copied into nodes for the Chooser; one
// that holds a container, or whose kinds no typed list holds, is written as
// it stands.
Direct OnePass::list(PyObject* obj, Py_ssize_t n, bool is_list) noexcept {
  if (n < 2 || uint64_t(n) > kMaxLength) return open(obj, n, false);
  cells_.clear();
  if (!cells_.reserve(size_t(n))) return Direct::failed;
  bool containers = false, records = true;
  uint32_t kinds = 0;  // of the nodes read
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = is_list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i);
    records = records && Py_TYPE(item) == &PyDict_Type;
    // Once a container is met, only whether all are records counts: the
    // list is written from its frame.
    if (containers) continue;
    Node cell;
    switch (read_scalar(item, texts_, strings_, cell)) {
      case Read::scalar:
        cells_.push_reserved(cell);
        kinds |= kind_bit(cell.kind);
        if (!may_be_typed(kinds)) return plain_list(obj, n, is_list, size_t(i) + 1);
        break;
      case Read::container:
        if (!records) return plain_list(obj, n, is_list, size_t(i));
        containers = true;
        break;
      case Read::declined:
        return Direct::declined;
      case Read::failed:
        return Direct::failed;
    }
  }
  if (records) return this->records(obj, size_t(n));
  if (containers) return open(obj, n, false);
  return done(emit_.list(cells_.data(), size_t(n), chooser_, charge_));
}

// A list that is plain whatever its other items are (its scalars so far mix
// kinds no typed list holds, or one is a container after a scalar): its
// first `read` items from their nodes, then each scalar as it is read, so
// that none is copied or chosen for. From a container on, the walk writes
// the rest from the list's frame.
Direct OnePass::plain_list(PyObject* obj, Py_ssize_t n, bool is_list, size_t read) noexcept {
  if (!out_.room(kHead)) return Direct::failed;
  out_.byte(tag_byte(Tag::List));
  out_.varint(uint64_t(n));
  for (size_t i = 0; i < read; ++i) {
    if (!emit_.scalar(cells_[i])) return Direct::failed;
  }
  for (Py_ssize_t i = Py_ssize_t(read); i < n; ++i) {
    PyObject* item = is_list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i);
    Node cell;
    switch (read_scalar(item, texts_, strings_, cell)) {
      case Read::scalar:
        if (!emit_.scalar(cell)) return Direct::failed;
        break;
      case Read::container:
        if (depth_ >= size_t(kMaxDepth)) return Direct::declined;
        stack_[depth_++] = Open{obj, i, n, false};
        return Direct::written;
      case Read::declined:
        return Direct::declined;
      case Read::failed:
        return Direct::failed;
    }
  }
  return Direct::written;
}

// A list of records: as a table straight from its dicts when the Shredder
// can, walked as a list when it finds no table form, else by the two passes
// for this list alone, checked into a snapshot of its own and written by a
// Writer with this pass's texts, string numbers and output. Reading exact
// values runs no Python code, so what this pass borrows stays valid;
// anything else declines.
Direct OnePass::records(PyObject* obj, size_t n) noexcept {
  bool failed = false;
  if (Shredder* shredder = this->shredder(shredding_, failed)) {
    ++shredding_;
    Shred wrote = shredder->write(obj, n, depth_, charge_);
    --shredding_;
    switch (wrote) {
      case Shred::written:
        return Direct::written;
      case Shred::plain:
        return open(obj, Py_ssize_t(n), false);
      case Shred::declined:
        return Direct::declined;
      case Shred::failed:
        return Direct::failed;
      case Shred::unfit:
        break;
    }
  } else if (failed) {
    return Direct::failed;
  }
  part_.reset(depth_);
  if (!part_.build(obj, nullptr)) return part_.declined() ? Direct::declined : Direct::failed;
  if (!part_writer_.write_part()) return Direct::failed;
  charge_ += part_writer_.charge();
  part_.reset(0);
  return Direct::written;
}

Shredder* OnePass::shredder(size_t level, bool& failed) noexcept {
  if (level >= kShredLevels) return nullptr;
  Shredder*& shredder = shredders_[level];
  if (shredder == nullptr) {
    void* memory = PyMem_Malloc(sizeof(Shredder));
    if (memory == nullptr) {
      PyErr_NoMemory();
      failed = true;
      return nullptr;
    }
    shredder = new (memory) Shredder(texts_, strings_, snapshot_, emit_, chooser_, out_, *this);
  }
  return shredder;
}

// A container the Shredder kept in a cell: written here, as the walk below
// would write it, above the frames of the table around it.
Direct OnePass::walk(PyObject* value, size_t depth) noexcept {
  size_t outer = depth_;
  depth_ = depth;
  Direct wrote = drain(this->value(value), depth);
  depth_ = outer;
  return wrote;
}

Direct OnePass::value(PyObject* v) noexcept {
  PyTypeObject* type = Py_TYPE(v);
  if (type == &PyUnicode_Type) {
    int64_t id = text(v, false);
    if (id < 0) return id == -1 ? Direct::failed : Direct::declined;
    return done(emit_.string(uint32_t(id)));
  }
  if (type == &PyLong_Type) {
    int overflow = 0;
    long long i = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow != 0) return Direct::declined;
    return done(emit_.integer(i));
  }
  if (type == &PyFloat_Type) {
    double f = PyFloat_AsDouble(v);
    if (!std::isfinite(f)) return Direct::declined;
    return done(emit_.number(f));
  }
  if (type == &PyDict_Type) return open(v, PyDict_Size(v), true);
  if (type == &PyList_Type) return list(v, PyList_Size(v), true);
  if (type == &PyTuple_Type) return list(v, PyTuple_Size(v), false);
  if (v == Py_None || type == &PyBool_Type) {
    if (!out_.room(1)) return Direct::failed;
    out_.byte(v == Py_None   ? tag_byte(Tag::None)
              : v == Py_True ? tag_byte(Tag::True)
                             : tag_byte(Tag::False));
    return Direct::written;
  }
  return Direct::declined;
}

Direct OnePass::drain(Direct wrote, size_t base) noexcept {
  // Nothing here runs Python code: the containers cannot change under the walk.
  while (wrote == Direct::written && depth_ > base) {
    size_t at = depth_ - 1;
    Open& top = stack_[at];
    if (top.is_dict) {
      PyObject *key, *item;
      while (depth_ == at + 1) {
        if (!PyDict_Next(top.obj, &top.next, &key, &item)) {
          --depth_;
          break;
        }
        if (Py_TYPE(key) != &PyUnicode_Type) return Direct::declined;
        int64_t id = text(key, true);
        if (id < 0) return id == -1 ? Direct::failed : Direct::declined;
        if (!emit_.string(uint32_t(id))) return Direct::failed;
        if ((wrote = value(item)) != Direct::written) break;
      }
    } else {
      bool is_list = Py_TYPE(top.obj) == &PyList_Type;
      while (depth_ == at + 1) {
        if (top.next == top.size) {
          --depth_;
          break;
        }
        PyObject* item =
            is_list ? PyList_GetItem(top.obj, top.next) : PyTuple_GetItem(top.obj, top.next);
        ++top.next;
        if ((wrote = value(item)) != Direct::written) break;
      }
    }
  }
  return wrote;
}

// A document that is a list of rows or records (or a dict of them) holds
// about as many strings as the rows times the width of the first; others
// start small and grow. Reading it runs no Python code: all are exact types.
size_t texts_expected(PyObject* root) noexcept {
  PyObject* first = nullptr;  // borrowed
  Py_ssize_t rows = 0;
  if (Py_TYPE(root) == &PyList_Type) {
    rows = PyList_Size(root);
    if (rows >= 2) first = PyList_GetItem(root, 0);
  } else if (Py_TYPE(root) == &PyDict_Type) {
    rows = PyDict_Size(root);
    Py_ssize_t at = 0;
    PyObject* key;
    if (rows >= 2 && !PyDict_Next(root, &at, &key, &first)) first = nullptr;
  }
  if (first == nullptr) return 0;
  PyTypeObject* row = Py_TYPE(first);
  Py_ssize_t width = row == &PyList_Type   ? PyList_Size(first)
                     : row == &PyDict_Type ? PyDict_Size(first)
                                           : 0;
  if (width < 1) return 0;
  return std::min(size_t(rows), Texts::kExpectMax) * std::min(size_t(width), Texts::kExpectMax);
}

Direct OnePass::run(PyObject* root, int64_t budget_base) noexcept {
  if (!out_.room(sizeof wire::kHeader)) return Direct::failed;
  out_.bytes(wire::kHeader, sizeof wire::kHeader);
  if (!texts_.expect(texts_expected(root))) return Direct::failed;
  Direct wrote = drain(value(root), 0);
  if (wrote != Direct::written) return wrote;
  // The two passes write tabular parts plainly, largest first, until the
  // document fits the decoder's budget: a document that does not fit goes
  // to them whole.
  if (wire::budget_excess(charge_, out_.size(), budget_base) > 0) return Direct::declined;
  return Direct::written;
}

}  // namespace

Direct write_compact(PyObject* root, int64_t budget_base, Output& out) noexcept {
  OnePass pass(out);
  return pass.run(root, budget_base);
}

}  // namespace vorn
