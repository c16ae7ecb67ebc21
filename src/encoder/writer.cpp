#include "writer.h"

#include <algorithm>
#include <cstring>

#include "wire.h"

namespace vorn {

namespace {

constexpr size_t kVarint = Output::kVarintMax;
constexpr size_t kAhead = 16;  // rows a gather fetches ahead of the one it reads

}  // namespace

PyObject* Writer::run() noexcept {
  for (;;) {
    if (!pass()) return nullptr;
    int64_t excess = charge_ - (int64_t(out_.size()) * kSizeBudgetPerByte + budget_base_);
    if (excess <= 0) break;
    std::sort(parts_.begin(), parts_.end(), [](const Part& a, const Part& b) {
      return a.charge != b.charge ? a.charge > b.charge : a.order < b.order;
    });
    // Every part of this pass is a list not yet plain, so each pass adds one.
    for (const Part& part : parts_) {
      if (plain_.contains(part.ident)) continue;
      if (!plain_.insert(part.ident)) return nullptr;
      excess -= part.charge;
      if (excess <= 0) break;
    }
  }
  // The bytes object takes the place of what is given back here.
  frames_.release();
  arena_.release();
  cells_.release();
  strings_.known.release();
  snapshot_.release();
  return out_.to_bytes();
}

bool Writer::pass() noexcept {
  out_.truncate(0);
  // Most items take a byte or two, floats nine and texts their bytes, at
  // most once each: close to the document's size, less what tables save.
  size_t guess = 16 + snapshot_.texts.bytes() + 2 * snapshot_.nodes.size() + 8 * snapshot_.floats;
  if (!out_.reserve(guess)) return false;
  out_.bytes(wire::kHeader, 2);
  strings_.size = 0;
  if (compact_) {
    strings_.known.clear();
    if (!strings_.known.resize(snapshot_.texts.size(), -1)) return false;
  }
  charge_ = 0;
  part_charges_.clear();
  parts_.clear();
  frames_.clear();
  arena_.clear();
  if (!value(0)) return false;
  while (!frames_.empty()) {
    if (!resume(frames_.back())) return false;
  }
  return true;
}

namespace {

// Whether writing the node opens a frame (and so may move the frames).
bool opens(NodeKind kind) {
  return kind == NodeKind::dict || kind == NodeKind::dict_sub || kind == NodeKind::list;
}

}  // namespace

// `frame` is the top frame; anything pushed from here invalidates it, so
// it is advanced first, and left as soon as a container is written.
// Scalars are written in a run without going back to the frame loop.
bool Writer::resume(Frame& frame) noexcept {
  const Node* nodes = snapshot_.nodes.data();
  switch (frame.step) {
    case Step::object:
      while (frame.next != frame.end) {
        uint32_t key = frame.next;
        frame.next += 2;
        if (!string(nodes[key].text)) return false;
        if (opens(nodes[key + 1].kind)) return value(key + 1);
        if (!scalar(nodes[key + 1])) return false;
      }
      break;
    case Step::list:
      while (frame.next != frame.end) {
        uint32_t node = frame.next++;
        if (opens(nodes[node].kind)) return value(node);
        if (!scalar(nodes[node])) return false;
      }
      break;
    case Step::values:
      while (frame.next != frame.end) {
        uint32_t node = arena_[frame.items + frame.next++];
        if (opens(nodes[node].kind)) return value(node);
        if (!scalar(nodes[node])) return false;
      }
      break;
    case Step::table:
      if (frame.next == frame.end) {
        uintptr_t ident = frame.ident;
        arena_.truncate(frame.base);
        frames_.pop();
        return close_part(ident);
      }
      ++frame.next;
      return table_column(frame);
    case Step::object_column:
      if (frame.next == frame.end) break;
      ++frame.next;
      return object_column(frame);
  }
  arena_.truncate(frame.base);
  frames_.pop();
  return true;
}

bool Writer::value(uint32_t node) noexcept {
  const Node& item = snapshot_.nodes[node];
  switch (item.kind) {
    case NodeKind::dict:
    case NodeKind::dict_sub: {
      const Box& box = snapshot_.boxes[item.box];
      if (!out_.room(1 + kVarint)) return false;
      out_.byte(tag_byte(Tag::Object));
      out_.varint(box.count);
      return push(Frame{Step::object, Form::none, box.first, box.first + 2 * box.count, 0, 0, 0,
                        arena_.size(), 0});
    }
    case NodeKind::list:
      return list(item.box);
    default:
      return scalar(item);
  }
}

bool Writer::list(uint32_t box_index) noexcept {
  const Box& box = snapshot_.boxes[box_index];
  uint32_t n = box.count;
  uintptr_t ident = reinterpret_cast<uintptr_t>(box.obj);
  if (compact_ && n >= 2 && !plain_.contains(ident)) {
    size_t items = arena_.size();
    const Node* cells = &snapshot_.nodes[box.first];
    bool records = true;
    for (uint32_t i = 0; i < n && records; ++i) records = cells[i].kind == NodeKind::dict;
    if (records) {
      // The former reads rows by node, and a table's frames keep them.
      if (!arena_.reserve(items + n)) return false;
      for (uint32_t i = 0; i < n; ++i) arena_.push_reserved(box.first + i);
      Form form = Form::none;
      if (!former_.form(&arena_[items], n, form)) return false;
      if (form != Form::none) return table(box_index, items, form);
      arena_.truncate(items);
    } else {
      // A typed list is written from its nodes at once: no frame needs `items`.
      Plan plan;
      if (!chooser_.choose(cells, n, 1, strings_, plan)) return false;
      if (plan.kind != ColumnKind::Values) {
        // A typed list: its kinds hold scalars only, written at once.
        if (!open_part() || !out_.room(1 + kVarint)) return false;
        out_.byte(tag_byte(Tag::TypedList));
        out_.varint(n);
        if (!column(items, cells, n, plan)) return false;
        return close_part(ident);
      }
    }
  }
  if (!out_.room(1 + kVarint)) return false;
  out_.byte(tag_byte(Tag::List));
  out_.varint(n);
  return push(Frame{Step::list, Form::none, box.first, box.first + n, 0, 0, 0, arena_.size(), 0});
}

bool Writer::table(uint32_t box_index, size_t rows, Form form) noexcept {
  const Scratch<uint32_t>& header = former_.header;
  size_t n = snapshot_.boxes[box_index].count;
  if (!open_part() || !out_.room(1 + kVarint)) return false;
  out_.byte(form == Form::rows ? tag_byte(Tag::RowTable) : tag_byte(Tag::ColumnTable));
  out_.varint(header.size());
  for (size_t k = 0; k < header.size(); ++k) {
    if (!string(header[k])) return false;
  }
  if (!out_.room(kVarint)) return false;
  out_.varint(n);
  if (form == Form::columns) add_charge(2 * int64_t(n));
  size_t at = arena_.size();
  size_t cursors = form == Form::columns ? n : 0;
  if (!arena_.reserve(at + header.size() + cursors)) return false;
  for (size_t k = 0; k < header.size(); ++k) arena_.push_reserved(header[k]);
  for (size_t r = 0; r < cursors; ++r) arena_.push_reserved(0);
  uintptr_t ident = reinterpret_cast<uintptr_t>(snapshot_.boxes[box_index].obj);
  return push(Frame{Step::table, form, 0, uint32_t(header.size()), rows, n, at, rows, ident});
}

// The next column of a table: for a column table, a presence byte and, when
// some rows lack the key, a bitmap of those that have it.
bool Writer::table_column(Frame frame) noexcept {
  const Node* nodes = snapshot_.nodes.data();
  size_t k = frame.next - 1;
  size_t n = frame.count;
  size_t column_at = arena_.size();
  if (!arena_.reserve(column_at + n) || !cells_.reserve(n)) return false;
  cells_.clear();
  // Each row's cell is a stride away from the last: the rows a little ahead
  // are fetched while this one is read.
  const uint32_t* rows = &arena_[frame.items];
  auto ahead = [&](size_t r, uint32_t c) {
    if (r + kAhead < n) __builtin_prefetch(&nodes[row_first(rows[r + kAhead]) + 2 * c]);
  };
  if (frame.form == Form::rows) {
    for (size_t r = 0; r < n; ++r) {
      ahead(r, uint32_t(k));
      const Box& row = snapshot_.boxes[nodes[rows[r]].box];
      arena_.push_reserved(uint32_t(row.first + 2 * k + 1));
      cells_.push_reserved(nodes[row.first + 2 * k + 1]);
    }
  } else {
    uint32_t key = arena_[frame.header + k];
    size_t cursors = frame.header + frame.end;
    size_t bitmap = (n + 7) / 8;
    if (!out_.room(1 + bitmap)) return false;
    uint8_t* bits = out_.tail() + 1;
    std::memset(bits, 0, bitmap);
    for (size_t r = 0; r < n; ++r) {
      if (r + kAhead < n) ahead(r, arena_[cursors + r + kAhead]);
      const Box& row = snapshot_.boxes[nodes[rows[r]].box];
      uint32_t c = arena_[cursors + r];
      if (c < row.count && nodes[row.first + 2 * c].text == key) {
        arena_.push_reserved(row.first + 2 * c + 1);
        cells_.push_reserved(nodes[row.first + 2 * c + 1]);
        arena_[cursors + r] = c + 1;
        bits[r >> 3] |= uint8_t(1u << (r & 7));
      }
    }
    bool all = arena_.size() - column_at == n;
    out_.byte(all ? 0 : 1);
    if (!all) out_.advance(bitmap);
  }
  size_t present = arena_.size() - column_at;
  Plan plan;
  if (!chooser_.choose(cells_.data(), present, 0, strings_, plan)) return false;
  return column(column_at, cells_.data(), present, plan);
}

// The next key of an object column: that key's values as a column.
bool Writer::object_column(Frame frame) noexcept {
  const Node* nodes = snapshot_.nodes.data();
  size_t k = frame.next - 1;
  size_t n = frame.count;
  size_t column_at = arena_.size();
  if (!arena_.reserve(column_at + n) || !cells_.reserve(n)) return false;
  cells_.clear();
  const uint32_t* records = &arena_[frame.items];
  for (size_t r = 0; r < n; ++r) {
    if (r + kAhead < n) __builtin_prefetch(&nodes[row_first(records[r + kAhead]) + 2 * k]);
    const Box& record = snapshot_.boxes[nodes[records[r]].box];
    arena_.push_reserved(uint32_t(record.first + 2 * k + 1));
    cells_.push_reserved(nodes[record.first + 2 * k + 1]);
  }
  Plan plan;
  if (!chooser_.choose(cells_.data(), n, 0, strings_, plan)) return false;
  return column(column_at, cells_.data(), n, plan);
}

// One column body: its kind byte and its items. Values and object columns go
// on as frames over the arena's `items`; the other kinds are written here,
// from `cells`, the items' nodes side by side.
bool Writer::column(size_t items, const Node* cells, size_t n, const Plan& plan) noexcept {
  add_charge(int64_t(n) + 1);
  if (!out_.room(2 + kVarint)) return false;
  out_.byte(static_cast<uint8_t>(plan.kind));
  switch (plan.kind) {
    case ColumnKind::Values:
      return push(Frame{Step::values, Form::none, 0, uint32_t(n), items, n, 0, items, 0});
    case ColumnKind::ObjectColumn: {
      const Box& head = snapshot_.boxes[snapshot_.nodes[arena_[items]].box];
      out_.varint(head.count);
      for (uint32_t k = 0; k < head.count; ++k) {
        if (!string(snapshot_.nodes[head.first + 2 * k].text)) return false;
      }
      return push(Frame{Step::object_column, Form::none, 0, head.count, items, n, 0, items, 0});
    }
    default:
      if (!emit_.typed_body(cells, n, plan, chooser_)) return false;
      break;
  }
  arena_.truncate(items);
  return true;
}

bool Writer::close_part(uintptr_t ident) noexcept {
  int64_t charge = part_charges_.back();
  part_charges_.pop();
  return parts_.push(Part{charge, uint32_t(parts_.size()), ident});
}

}  // namespace vorn
