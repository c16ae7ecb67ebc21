#include "shred.h"

#include <algorithm>

#include "exact.h"
#include "foundation/assert.h"
#include "foundation/format.h"
#include "wire.h"

namespace vorn {

namespace {

constexpr size_t kVarint = Output::kVarintMax;

// For a text entry or a column: -1 with MemoryError pending, else declined.
Direct not_written(int64_t id) noexcept { return id == -1 ? Direct::failed : Direct::declined; }

// A phase's result as the Shredder's: a decline while reading leaves nothing
// written, one while writing has written part of the table.
Shred shred(Direct got, Shred declined) noexcept {
  return got == Direct::written ? Shred::written : got == Direct::failed ? Shred::failed : declined;
}

}  // namespace

Shred Shredder::write(PyObject* list, size_t n, size_t depth, int64_t& charge) noexcept {
  // Deep lists go to the two passes, which refuse what is too deep.
  if (depth + kMaxNesting + 2 > size_t(kMaxDepth)) return Shred::unfit;
  Direct got = read(list, n);
  Form form = Form::none;
  if (got == Direct::written && !cyclic_ && !former_.form(shapes_, cells_, form)) {
    got = Direct::failed;
  }
  Shred result = shred(got, Shred::unfit);
  if (result == Shred::written && form == Form::none) result = Shred::plain;
  if (result == Shred::written) {
    // A column of fewer than two records is written as values: objects one by one.
    for (size_t c = 0; c < used_; ++c) {
      if (columns_[c].present < 2) columns_[c].width = 0;
    }
    result = shred(write_table(n, form, depth + 2, charge), Shred::declined);
  }
  reset();
  return result;
}

void Shredder::reset() noexcept {
  for (size_t c = 0; c < used_; ++c) {
    Column& column = columns_[c];
    column.present = column.first = column.width = 0;
    column.cells.clear();
    column.items.clear();
    column.bits.clear();
  }
  for (size_t t = 0; t < tops_; ++t) column_of_[columns_[top_[t]].key] = -1;
  used_ = tops_ = 0;
  cyclic_ = false;
  cells_ = 0;
  shapes_.clear();
}

int64_t Shredder::column_of(uint32_t text, size_t words) noexcept {
  if (text >= column_of_.size() && !column_of_.resize(texts_.size(), -1)) return -1;
  int32_t c = column_of_[text];
  if (c >= 0) return c;
  if (used_ == kMaxColumns) return -2;
  make(1);
  Column& column = columns_[used_];
  column.key = text;
  if (!column.bits.resize(words, 0)) return -1;
  std::fill_n(after_[used_], kWords, 0);  // none after it yet
  top_[tops_++] = uint32_t(used_);
  column_of_[text] = int32_t(used_);
  return int64_t(used_++);
}

bool Shredder::comes_before(const uint32_t* keys, uint32_t count) noexcept {
  for (uint32_t k = 1; k < count; ++k) {
    VORN_ASSERT(column_of_[keys[k - 1]] >= 0 && column_of_[keys[k]] >= 0);
    auto first = uint32_t(column_of_[keys[k - 1]]), second = uint32_t(column_of_[keys[k]]);
    uint64_t& known = after_[first][second / 64];
    uint64_t bit = uint64_t(1) << (second % 64);
    if ((known & bit) != 0) continue;
    known |= bit;
    // A new pair closes a cycle when `first` can be reached from `second`.
    uint64_t reached[kWords] = {};
    uint32_t pending[kMaxColumns];
    size_t pendings = 0;
    pending[pendings++] = second;
    reached[second / 64] |= uint64_t(1) << (second % 64);
    while (pendings > 0) {
      uint32_t from = pending[--pendings];
      for (size_t w = 0; w < kWords; ++w) {
        uint64_t fresh = after_[from][w] & ~reached[w];
        reached[w] |= fresh;
        for (; fresh != 0; fresh &= fresh - 1) {
          pending[pendings++] = uint32_t(w * 64 + size_t(__builtin_ctzll(fresh)));
        }
      }
    }
    if ((reached[first / 64] >> (first % 64) & 1) != 0) return true;
  }
  return false;
}

Direct Shredder::read(PyObject* list, size_t n) noexcept {
  bool is_list = Py_TYPE(list) == &PyList_Type;
  size_t words = (n + 31) / 32;
  uint32_t keys[kMaxColumns];
  int64_t last = -1;  // the shape of the row before
  // The key last looked up at each place of a row (borrowed: the list holds
  // it) and its column: most rows of a table bring the same key objects in
  // the same order, which then need no lookup. Places up to `befores` are set.
  PyObject* before[kMaxColumns];
  uint32_t before_column[kMaxColumns];
  uint32_t befores = 0;
  for (size_t r = 0; r < n; ++r) {
    PyObject* row =
        is_list ? PyList_GetItem(list, Py_ssize_t(r)) : PyTuple_GetItem(list, Py_ssize_t(r));
    if (PyDict_Size(row) > Py_ssize_t(kMaxColumns)) return Direct::declined;
    uint32_t count = 0;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(row, &pos, &key, &value)) {
      uint32_t c;
      if (count < befores && key == before[count]) {
        c = before_column[count];
      } else {
        if (Py_TYPE(key) != &PyUnicode_Type) return Direct::declined;
        int64_t id = text_entry(texts_, strings_, key, true);
        if (id < 0) return not_written(id);
        int64_t made = column_of(uint32_t(id), words);
        if (made < 0) return not_written(made);
        c = uint32_t(made);
        before[count] = key;
        before_column[count] = c;
        befores = std::max(befores, count + 1);
      }
      Column& column = columns_[c];
      column.bits[r >> 5] |= uint32_t(1) << (r & 31);
      Direct got = cell(column, value, 0);
      if (got != Direct::written) return got;
      keys[count++] = column.key;
    }
    cells_ += count;
    if (last < 0 || !shapes_.same(size_t(last), keys, count)) {
      size_t had = shapes_.size();
      last = shapes_.add(keys, count);
      if (last < 0) return Direct::failed;
      // Rows stop being read once no table can hold them.
      if (shapes_.size() > had && comes_before(keys, count)) {
        cyclic_ = true;
        return Direct::written;
      }
    }
  }
  return Direct::written;
}

Direct Shredder::cell(Column& column, PyObject* value, int level) noexcept {
  Node node;
  switch (read_scalar(value, texts_, strings_, node)) {
    case Read::scalar:
      column.width = 0;  // records and scalars: a column of values
      break;
    case Read::container:
      node = Node{{.raw = value}, NodeKind::raw};
      if (Py_TYPE(value) != &PyDict_Type) {
        column.width = 0;
        Direct got = list(value, column.items, node);
        if (got != Direct::written) return got;
      } else if (column.cells.empty() || column.records()) {
        Direct got = Direct::written;
        if (!record(column, value, level + 1, got)) {
          column.width = 0;
          if (got != Direct::written) return got;
        }
      }
      break;
    case Read::declined:
      return Direct::declined;
    case Read::failed:
      return Direct::failed;
  }
  if (!column.cells.push(node)) return Direct::failed;
  ++column.present;
  return Direct::written;
}

// A list in a cell: its items, when all are scalars, appended to `items`
// and named by `node`; else `node` is left as it is, for the walk.
Direct Shredder::list(PyObject* list, Scratch<Node>& items, Node& node) noexcept {
  bool is_list = Py_TYPE(list) == &PyList_Type;
  Py_ssize_t n = is_list ? PyList_Size(list) : PyTuple_Size(list);
  size_t at = items.size();
  if (uint64_t(n) > kMaxLength || at > UINT32_MAX) return Direct::declined;
  if (!items.make_room(size_t(n))) return Direct::failed;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = is_list ? PyList_GetItem(list, i) : PyTuple_GetItem(list, i);
    Node scalar;
    switch (read_scalar(item, texts_, strings_, scalar)) {
      case Read::scalar:
        items.push_reserved(scalar);
        break;
      case Read::container:
        items.truncate(at);
        return Direct::written;
      case Read::declined:
        return Direct::declined;
      case Read::failed:
        return Direct::failed;
    }
  }
  node = Node{{.i = int64_t(uint64_t(n) << 32 | at)}, NodeKind::list};
  return Direct::written;
}

// A record in a column whose cells are all records with the keys of its
// first, in order: each key's values go to a column of their own. A record
// that breaks this (empty, or of another shape) is kept as it stands, and
// the column becomes one of values.
bool Shredder::record(Column& column, PyObject* dict, int level, Direct& got) noexcept {
  Py_ssize_t size = PyDict_Size(dict);
  // A column of empty records is written as values.
  if (size == 0) return false;
  bool first = !column.records();
  // Beyond this Shredder's own limits the list is unfit, not a column of values.
  if (level == kMaxNesting || (first && size_t(size) > kMaxColumns - used_)) {
    got = Direct::declined;
    return false;
  }
  if (first) {
    make(size_t(size));
    column.first = uint32_t(used_);
    column.width = uint32_t(size);
    used_ += size_t(size);
  } else if (column.width != uint32_t(size)) {
    return false;
  }
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  for (uint32_t k = 0; PyDict_Next(dict, &pos, &key, &value); ++k) {
    if (Py_TYPE(key) != &PyUnicode_Type) {
      got = Direct::declined;
      return false;
    }
    int64_t id = text_entry(texts_, strings_, key, true);
    if (id < 0) {
      got = not_written(id);
      return false;
    }
    Column& sub = columns_[column.first + k];
    if (first) {
      sub.key = uint32_t(id);
    } else if (sub.key != uint32_t(id)) {
      return false;  // the columns so far are let go with the others
    }
    got = cell(sub, value, level);
    if (got != Direct::written) return false;
  }
  return true;
}

Direct Shredder::write_table(size_t n, Form form, size_t depth, int64_t& charge) noexcept {
  const Scratch<uint32_t>& header = former_.header;
  if (!out_.room(1 + kVarint)) return Direct::failed;
  out_.byte(form == Form::rows ? tag_byte(Tag::RowTable) : tag_byte(Tag::ColumnTable));
  out_.varint(header.size());
  for (uint32_t key : header) {
    if (!emit_.string(key)) return Direct::failed;
  }
  if (!out_.room(kVarint)) return Direct::failed;
  out_.varint(n);
  if (form == Form::columns) charge += 2 * int64_t(n);
  for (uint32_t key : header) {
    const Column& column = columns_[column_of_[key]];
    if (form == Form::columns) {
      // A presence byte and, when some rows lack the key, the bitmap of
      // those that have it (little-endian words are its bytes in order).
      size_t bitmap = (n + 7) / 8;
      bool all = column.present == n;
      if (!out_.room(1 + bitmap)) return Direct::failed;
      out_.byte(all ? 0 : 1);
      if (!all) out_.bytes(column.bits.data(), bitmap);
    }
    Direct got = write_column(column, depth, charge);
    if (got != Direct::written) return got;
  }
  return Direct::written;
}

// Recursion is bounded by the levels of records a column may hold.
Direct Shredder::write_column(const Column& column, size_t depth, int64_t& charge) noexcept {
  size_t n = column.present;
  charge += int64_t(n) + 1;
  if (!out_.room(2 + kVarint)) return Direct::failed;
  if (column.records()) {
    out_.byte(static_cast<uint8_t>(ColumnKind::ObjectColumn));
    out_.varint(column.width);
    for (uint32_t k = 0; k < column.width; ++k) {
      if (!emit_.string(columns_[column.first + k].key)) return Direct::failed;
    }
    for (uint32_t k = 0; k < column.width; ++k) {
      Direct got = write_column(columns_[column.first + k], depth + 1, charge);
      if (got != Direct::written) return got;
    }
    return Direct::written;
  }
  Plan plan;
  if (!chooser_.choose(column.cells.data(), n, 0, strings_, plan)) return Direct::failed;
  out_.byte(static_cast<uint8_t>(plan.kind));
  if (plan.kind != ColumnKind::Values) {
    return emit_.typed_body(column.cells.data(), n, plan, chooser_) ? Direct::written
                                                                    : Direct::failed;
  }
  // Nothing of the choice is needed from here on: the walks and lists below
  // may use the Chooser themselves.
  for (const Node& cell : column.cells) {
    if (cell.kind == NodeKind::raw) {
      Direct got = walker_.walk(cell.raw, depth);
      if (got != Direct::written) return got;
      continue;
    }
    // A list cell: its items stand in `items` (see Column).
    bool ok = cell.kind != NodeKind::list
                  ? emit_.scalar(cell)
                  : emit_.list(column.items.data() + uint32_t(cell.i),
                               size_t(uint64_t(cell.i) >> 32), chooser_, charge);
    if (!ok) return Direct::failed;
  }
  return Direct::written;
}

}  // namespace vorn
