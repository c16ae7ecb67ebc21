#include "table_form.h"

#include <algorithm>
#include <functional>

namespace vorn {

bool TableFormer::shapes(const uint32_t* rows, size_t n) noexcept {
  shapes_.clear();
  hashes_.clear();
  size_t cap = 16;
  while (cap < 2 * n) cap *= 2;
  size_t mask = cap - 1;
  // The table of shapes is made at the first row whose keys differ from
  // the first row's: a list of rows all alike needs none.
  table_.clear();
  const Box* last = nullptr;  // the shape of the row before
  for (size_t r = 0; r < n; ++r) {
    const Box& box = row(rows[r]);
    // Rows mostly have the keys of the row before: no need to hash them.
    if (last != nullptr && last->count == box.count) {
      uint32_t k = 0;
      while (k < box.count && key(box, k) == key(*last, k)) ++k;
      if (k == box.count) continue;
    }
    uint64_t h = box.count;
    for (uint32_t k = 0; k < box.count; ++k) h = (h ^ key(box, k)) * 0x9E3779B97F4A7C15ull;
    uint32_t hash = uint32_t(h ^ (h >> 32));
    if (r == 0) {
      if (!shapes_.push(rows[0]) || !hashes_.push(hash)) return false;
      last = &box;
      continue;
    }
    if (table_.empty()) {
      if (!table_.resize(cap, 0)) return false;
      table_[hashes_[0] & mask] = 1;
    }
    size_t slot = hash & mask;
    for (; table_[slot] != 0; slot = (slot + 1) & mask) {
      uint32_t s = table_[slot] - 1;
      if (hashes_[s] != hash) continue;
      const Box& other = row(shapes_[s]);
      if (other.count != box.count) continue;
      uint32_t k = 0;
      while (k < box.count && key(box, k) == key(other, k)) ++k;
      if (k == box.count) break;
    }
    if (table_[slot] == 0) {
      if (!shapes_.push(rows[r]) || !hashes_.push(hash)) return false;
      table_[slot] = uint32_t(shapes_.size());
    }
    last = &row(shapes_[table_[slot] - 1]);
  }
  return true;
}

bool TableFormer::merge(bool& merged) noexcept {
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
  for (uint32_t shape : shapes_) {
    const Box& box = row(shape);
    for (uint32_t k = 0; k < box.count; ++k) {
      uint32_t text = key(box, k);
      if (rank_[text] < 0) {
        if (!keys_.push(text)) return false;
        rank_[text] = int32_t(keys_.size() - 1);
      }
      if (k > 0) {
        uint64_t edge = uint64_t(rank_[key(box, k - 1)]) << 32 | uint32_t(rank_[text]);
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
  form = Form::none;
  header.clear();
  if (!shapes(rows, n)) return false;
  if (shapes_.size() == 1) {
    const Box& box = row(shapes_[0]);
    if (box.count == 0) return true;
    if (!header.reserve(header.size() + box.count)) return false;
    for (uint32_t k = 0; k < box.count; ++k) header.push_reserved(key(box, k));
    form = Form::rows;
    return true;
  }
  bool merged = false;
  size_t start = header.size();
  if (!merge(merged)) return false;
  if (!merged) return true;
  uint64_t cells = 0;
  for (size_t r = 0; r < n; ++r) cells += row(rows[r]).count;
  if (cells < 2 * uint64_t(header.size() - start)) {
    header.truncate(start);
    return true;
  }
  form = Form::columns;
  return true;
}

}  // namespace vorn
