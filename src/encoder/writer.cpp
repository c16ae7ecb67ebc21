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
    int64_t excess = wire::budget_excess(charge_, out_.size(), budget_base_);
    // With nothing left to write plainly, a budget below even the plain
    // document's ends here.
    if (excess <= 0 || parts_.empty()) break;
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
  block_cells_.release();
  strings_.known.release();
  snapshot_.release();
  snapshot_.texts.release();
  return out_.to_bytes();
}

bool Writer::pass() noexcept {
  out_.truncate(0);
  if (!out_.room(sizeof wire::kHeader)) return false;
  out_.bytes(wire::kHeader, sizeof wire::kHeader);
  strings_.size = 0;
  strings_.known.clear();
  return write_part();
}

bool Writer::write_part() noexcept {
  // Most items take a byte or two, floats nine and texts their bytes, at
  // most once each: close to the value's size, less what tables save.
  size_t guess = 16 + snapshot_.texts.bytes() + 2 * snapshot_.nodes.size() + 8 * snapshot_.floats;
  if (!out_.reserve(out_.size() + guess)) return false;
  // Strings entered since the numbers were last known are not in the table yet.
  if (compact_ && !strings_.known.resize(snapshot_.texts.size(), -1)) return false;
  charge_ = 0;
  part_charges_.clear();
  parts_.clear();
  frames_.clear();
  arena_.clear();
  block_cells_.clear();
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
    case Step::cells:
      // A table column's values: their copies in the block, read in order,
      // and a node only for a container.
      while (frame.next != frame.end) {
        uint32_t i = frame.next++;
        const Node& cell = block_cells_[frame.blocked + i];
        if (opens(cell.kind)) return value(arena_[frame.items + i]);
        if (!scalar(cell)) return false;
      }
      break;
    case Step::table:
      if (frame.next == frame.end) {
        uintptr_t ident = frame.ident;
        arena_.truncate(frame.base);
        block_cells_.truncate(frame.blocked);
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
        if (!column(items, cells, n, plan, items)) return false;
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
  return push(Frame{Step::table, form, 0, uint32_t(header.size()), rows, n, at, rows, ident, 0, 0,
                    arena_.size(), block_cells_.size()});
}

namespace {

// Cells gathered at once: 10 MB of nodes and indexes.
constexpr size_t kBlockCells = size_t(1) << 19;

}  // namespace

// Gathers the block of columns from frame.next - 1 on. Every earlier column
// is written, and whatever its values opened has ended, so the last block
// is the top of the arena and of block_cells_.
bool Writer::gather(Frame& frame) noexcept {
  const Node* nodes = snapshot_.nodes.data();
  size_t n = frame.count;
  uint32_t first = frame.next - 1;
  uint32_t width =
      uint32_t(std::max<size_t>(1, std::min<size_t>(frame.end - first, kBlockCells / (n | 1))));
  size_t words = (n + 31) / 32;
  arena_.truncate(frame.block);
  block_cells_.truncate(frame.blocked);
  if (!arena_.resize(frame.block + width * (1 + words + n), 0) ||
      !block_cells_.reserve(frame.blocked + width * n)) {
    return false;
  }
  block_cells_.extend_reserved(frame.blocked + width * n);
  frame.first = first;
  frame.width = width;
  uint32_t* counts = &arena_[frame.block];
  uint32_t* bits = counts + width;
  uint32_t* indexes = bits + width * words;
  Node* cells = block_cells_.data() + frame.blocked;
  const uint32_t* rows = &arena_[frame.items];
  if (frame.form == Form::rows) {
    for (size_t r = 0; r < n; ++r) {
      if (r + kAhead < n) __builtin_prefetch(&nodes[row_first(rows[r + kAhead]) + 2 * first]);
      uint32_t at = row_first(rows[r]) + 2 * first + 1;
      for (uint32_t j = 0; j < width; ++j, at += 2) {
        indexes[j * n + r] = at;
        cells[j * n + r] = nodes[at];
      }
    }
    for (uint32_t j = 0; j < width; ++j) counts[j] = uint32_t(n);
  } else {
    const uint32_t* keys = &arena_[frame.header + first];
    uint32_t* cursors = &arena_[frame.header + frame.end];
    for (size_t r = 0; r < n; ++r) {
      if (r + kAhead < n) __builtin_prefetch(&nodes[row_first(rows[r + kAhead])]);
      const Box& row = snapshot_.boxes[nodes[rows[r]].box];
      uint32_t c = cursors[r];
      for (uint32_t j = 0; j < width && c < row.count; ++j) {
        uint32_t at = row.first + 2 * c;
        if (nodes[at].text != keys[j]) continue;
        uint32_t slot = j * uint32_t(n) + counts[j]++;
        indexes[slot] = at + 1;
        cells[slot] = nodes[at + 1];
        bits[j * words + (r >> 5)] |= uint32_t(1) << (r & 31);
        ++c;
      }
      cursors[r] = c;
    }
  }
  return true;
}

// The next column of a table, from its block: for a column table, a
// presence byte and, when some rows lack the key, a bitmap of those that
// have it.
bool Writer::table_column(Frame& frame) noexcept {
  uint32_t k = frame.next - 1;
  if (frame.width == 0 || k >= frame.first + frame.width) {
    if (!gather(frame)) return false;
  }
  size_t n = frame.count;
  size_t words = (n + 31) / 32;
  uint32_t j = k - frame.first;
  size_t width = frame.width;
  size_t present = arena_[frame.block + j];
  size_t items = frame.block + width * (1 + words) + j * n;
  const Node* cells = block_cells_.data() + frame.blocked + j * n;
  if (frame.form == Form::columns) {
    size_t bitmap = (n + 7) / 8;
    bool all = present == n;
    if (!out_.room(1 + bitmap)) return false;
    out_.byte(all ? 0 : 1);
    // Little-endian words are the bitmap's bytes in order.
    if (!all) out_.bytes(&arena_[frame.block + width + j * words], bitmap);
  }
  // Whatever the column opens ends above the block.
  size_t base = arena_.size();
  Plan plan;
  if (!chooser_.choose(cells, present, 0, strings_, plan)) return false;
  return column(items, cells, present, plan, base, frame.blocked + j * n);
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
  return column(column_at, cells_.data(), n, plan, column_at);
}

// One column body: its kind byte and its items. Values and object columns go
// on as frames over the arena's `items`; the other kinds are written here,
// from `cells`, the items' nodes side by side.
bool Writer::column(size_t items, const Node* cells, size_t n, const Plan& plan, size_t base,
                    size_t blocked) noexcept {
  add_charge(int64_t(n) + 1);
  if (!out_.room(2 + kVarint)) return false;
  out_.byte(static_cast<uint8_t>(plan.kind));
  switch (plan.kind) {
    case ColumnKind::Values:
      if (blocked != kNoBlock) {
        return push(
            Frame{Step::cells, Form::none, 0, uint32_t(n), items, n, 0, base, 0, 0, 0, 0, blocked});
      }
      return push(Frame{Step::values, Form::none, 0, uint32_t(n), items, n, 0, base, 0});
    case ColumnKind::ObjectColumn: {
      const Box& head = snapshot_.boxes[snapshot_.nodes[arena_[items]].box];
      out_.varint(head.count);
      for (uint32_t k = 0; k < head.count; ++k) {
        if (!string(snapshot_.nodes[head.first + 2 * k].text)) return false;
      }
      return push(Frame{Step::object_column, Form::none, 0, head.count, items, n, 0, base, 0});
    }
    default:
      if (!emit_.typed_body(cells, n, plan, chooser_)) return false;
      break;
  }
  arena_.truncate(base);
  return true;
}

bool Writer::close_part(uintptr_t ident) noexcept {
  int64_t charge = part_charges_.back();
  part_charges_.pop();
  return parts_.push(Part{charge, uint32_t(parts_.size()), ident});
}

}  // namespace vorn
