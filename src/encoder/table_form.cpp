#include "table_form.h"

#include <algorithm>
#include <functional>

namespace vorn {

void Shapes::clear() noexcept {
  keys_.clear();
  starts_.clear();
  hashes_.clear();
  table_.clear();
}

bool Shapes::grow() noexcept {
  size_t cap = table_.empty() ? 16 : 2 * table_.size();
  table_.clear();
  if (!table_.resize(cap, 0)) return false;
  size_t mask = cap - 1;
  for (size_t s = 0; s < hashes_.size(); ++s) {
    size_t slot = hashes_[s] & mask;
    while (table_[slot] != 0) slot = (slot + 1) & mask;
    table_[slot] = uint32_t(s + 1);
  }
  return true;
}

int64_t Shapes::add(const uint32_t* keys, uint32_t count) noexcept {
  uint64_t h = count;
  for (uint32_t k = 0; k < count; ++k) h = (h ^ keys[k]) * 0x9E3779B97F4A7C15ull;
  uint32_t hash = uint32_t(h ^ (h >> 32));
  // At most half full.
  if (2 * (size() + 1) > table_.size() && !grow()) return -1;
  size_t mask = table_.size() - 1;
  size_t slot = hash & mask;
  for (; table_[slot] != 0; slot = (slot + 1) & mask) {
    uint32_t s = table_[slot] - 1;
    if (hashes_[s] == hash && same(s, keys, count)) return s;
  }
  if (uint64_t(keys_.size()) + count > UINT32_MAX) {
    PyErr_NoMemory();
    return -1;
  }
  if (!starts_.push(uint32_t(keys_.size())) || !hashes_.push(hash) || !keys_.make_room(count)) {
    return -1;
  }
  for (uint32_t k = 0; k < count; ++k) keys_.push_reserved(keys[k]);
  table_[slot] = uint32_t(size());
  return int64_t(size() - 1);
}

bool TableFormer::shapes(const uint32_t* rows, size_t n) noexcept {
  shapes_.clear();
  const Box* last = nullptr;  // the row before
  for (size_t r = 0; r < n; ++r) {
    const Box& box = row(rows[r]);
    // Rows mostly have the keys of the row before: no need to look them up.
    if (last != nullptr && last->count == box.count) {
      uint32_t k = 0;
      while (k < box.count && key(box, k) == key(*last, k)) ++k;
      if (k == box.count) continue;
    }
    last = &box;
    row_keys_.clear();
    if (!row_keys_.reserve(box.count)) return false;
    for (uint32_t k = 0; k < box.count; ++k) row_keys_.push_reserved(key(box, k));
    if (shapes_.add(row_keys_.data(), box.count) < 0) return false;
  }
  return true;
}

bool TableFormer::merge(const Shapes& shapes, bool& merged) noexcept {
  merged = false;
  size_t texts = snapshot_.texts.size();
  if (rank_.size() < texts && !rank_.resize(texts, -1)) return false;
  keys_.clear();
  edges_.clear();
  struct Reset {  // leaves rank_ all -1 again
    Scratch<int32_t>& rank;
    Scratch<uint32_t>& keys;
    ~Reset() {
      for (uint32_t text : keys) rank[text] = -1;
    }
  } reset{rank_, keys_};
  for (size_t shape = 0; shape < shapes.size(); ++shape) {
    const uint32_t* keys = shapes.keys(shape);
    for (uint32_t k = 0; k < shapes.count(shape); ++k) {
      uint32_t text = keys[k];
      if (rank_[text] < 0) {
        if (!keys_.push(text)) return false;
        rank_[text] = int32_t(keys_.size() - 1);
      }
      if (k > 0) {
        uint64_t edge = uint64_t(rank_[keys[k - 1]]) << 32 | uint32_t(rank_[text]);
        if (!edges_.push(edge)) return false;
      }
    }
  }
  std::sort(edges_.begin(), edges_.end());
  edges_.truncate(size_t(std::unique(edges_.begin(), edges_.end()) - edges_.begin()));
  size_t count = keys_.size();
  waiting_.clear();
  if (!waiting_.resize(count, 0)) return false;
  for (uint64_t edge : edges_) ++waiting_[uint32_t(edge)];
  ready_.clear();
  if (!ready_.reserve(count)) return false;
  for (uint32_t r = 0; r < count; ++r) {
    if (waiting_[r] == 0) ready_.push_reserved(r);
  }
  // A min-heap of ranks: the key seen first goes first among the free ones.
  std::greater<uint32_t> later;
  std::make_heap(ready_.begin(), ready_.end(), later);
  size_t start = header.size();
  while (!ready_.empty()) {
    std::pop_heap(ready_.begin(), ready_.end(), later);
    uint32_t r = ready_.back();
    ready_.pop();
    if (!header.push(keys_[r])) return false;
    // The edges from r are contiguous in the sorted list.
    uint64_t* from = std::lower_bound(edges_.begin(), edges_.end(), uint64_t(r) << 32);
    for (; from != edges_.end() && uint32_t(*from >> 32) == r; ++from) {
      uint32_t next = uint32_t(*from);
      if (--waiting_[next] == 0) {
        ready_.push_reserved(next);
        std::push_heap(ready_.begin(), ready_.end(), later);
      }
    }
  }
  if (header.size() - start != count || count == 0) {
    header.truncate(start);
    return true;
  }
  merged = true;
  return true;
}

bool TableFormer::form(const uint32_t* rows, size_t n, Form& form) noexcept {
  if (!shapes(rows, n)) return false;
  uint64_t cells = 0;
  if (shapes_.size() > 1) {
    for (size_t r = 0; r < n; ++r) cells += row(rows[r]).count;
  }
  return this->form(shapes_, cells, form);
}

bool TableFormer::form(const Shapes& shapes, uint64_t cells, Form& form) noexcept {
  form = Form::none;
  header.clear();
  if (shapes.size() == 1) {
    uint32_t count = shapes.count(0);
    if (count == 0) return true;
    if (!header.reserve(count)) return false;
    for (uint32_t k = 0; k < count; ++k) header.push_reserved(shapes.keys(0)[k]);
    form = Form::rows;
    return true;
  }
  bool merged = false;
  if (!merge(shapes, merged)) return false;
  if (!merged) return true;
  if (cells < 2 * uint64_t(header.size())) {
    header.clear();
    return true;
  }
  form = Form::columns;
  return true;
}

}  // namespace vorn
