#include "column_kind.h"

#include <algorithm>
#include <cmath>

namespace vorn {

namespace {

constexpr double kPow10Float[] = {1.0, 10.0, 100.0, 1000.0, 10000.0, 100000.0, 1000000.0};
constexpr int64_t kPow10Int[] = {1, 10, 100, 1000, 10000, 100000, 1000000};

bool is_int(NodeKind kind) { return kind == NodeKind::int_; }
bool is_float(NodeKind kind) { return kind == NodeKind::float_; }

using wire::integral;

// The binary64 nearest to m / q (ties to even), as Python's int division
// gives it, for |m| above 2^53 and q a power of ten up to 10^6.
double exact_quotient(int64_t m, int64_t q) {
  bool negative = m < 0;
  unsigned __int128 a = negative ? uint64_t(0) - uint64_t(m) : uint64_t(m);
  unsigned __int128 scaled = a << 64;
  unsigned __int128 n = scaled / uint64_t(q);
  bool sticky = scaled % uint64_t(q) != 0;
  int bits = 128 - (uint64_t(n >> 64) != 0 ? __builtin_clzll(uint64_t(n >> 64))
                                           : 64 + __builtin_clzll(uint64_t(n)));
  int shift = bits - 53;
  uint64_t mantissa = uint64_t(n >> shift);
  unsigned __int128 rest = n & (((unsigned __int128)1 << shift) - 1);
  unsigned __int128 half = (unsigned __int128)1 << (shift - 1);
  if (rest > half || (rest == half && (sticky || (mantissa & 1) != 0))) ++mantissa;
  double value = std::ldexp(double(mantissa), shift - 64);
  return negative ? -value : value;
}

// `y` rounded to the nearest integer, ties to even (Python's round): adding
// 2^52 to a magnitude below it leaves no fraction bits, and the addition
// rounds as asked. Larger magnitudes are integers already. Inline, where a
// call to nearbyint would save and restore the floating-point state.
double round_even(double y) {
  double a = std::fabs(y);
  if (!(a < 4503599627370496.0)) return y;
  return std::copysign((a + 4503599627370496.0) - 4503599627370496.0, y);
}

// The least scale at which `f` (finite, not integral) may come back, or 0
// when it comes back at none up to 10^6. A float that comes back at scale s
// is within half an ulp of m / 10^s, so f * 10^6 lies within about 2^-52 of
// its magnitude from the integer m * 10^(6 - s): one farther from every
// integer than 2^-50 of its magnitude has no scale. Below 2^50 that integer
// is the nearest one, and its trailing zeros bound s from below; the scales
// under that bound fail for `f` and need not be tried.
int least_scale(double f) {
  constexpr int top = int(kMaxDecimalScale);
  double y = f * kPow10Float[top];
  double a = std::fabs(y);
  if (!(a < 4503599627370496.0)) return 1;  // integral already, or beyond: no bound
  double nearest = round_even(y);
  if (std::fabs(y - nearest) > a * 0x1p-50) return 0;
  if (!(a < 0x1p50)) return 1;
  // The trailing zeros of m, up to five, halved first at three: two or
  // three tests, each a multiplication rather than a division.
  static_assert(top == 6);
  int64_t m = int64_t(nearest);
  if (m % 1000 != 0) return m % 10 != 0 ? 6 : m % 100 != 0 ? 5 : 4;
  return m % 10000 != 0 ? 3 : m % 100000 != 0 ? 2 : 1;
}

}  // namespace

bool Chooser::choose(const Node* cells, size_t n, int extra, const StringTable& table,
                     Plan& plan) noexcept {
  plan = Plan{};
  if (n == 0) return true;
  const Node* nodes = snapshot_.nodes.data();
  // The kinds the column holds, one bit each.
  uint32_t seen = 0;
  for (size_t i = 0; i < n; ++i) seen |= kind_bit(cells[i].kind);
  bool bools = (seen & ~(kind_bit(NodeKind::true_) | kind_bit(NodeKind::false_))) == 0;
  bool numeric = (seen & ~(kind_bit(NodeKind::int_) | kind_bit(NodeKind::float_))) == 0;
  bool any_float = (seen & kind_bit(NodeKind::float_)) != 0;
  bool texts = seen == kind_bit(NodeKind::str);
  bool records = seen == kind_bit(NodeKind::dict);
  if (bools) {
    if (int64_t((n + 7) / 8) + extra < int64_t(n)) plan.kind = ColumnKind::Booleans;
    return true;
  }
  if (numeric) {
    if (any_float) {
      for (size_t i = 0; i < n; ++i) {
        const Node& node = cells[i];
        if (is_float(node.kind) && !integral(node.f)) return decimals(cells, n, extra, plan);
      }
    }
    numbers.clear();
    if (!numbers.reserve(n)) return false;
    for (size_t i = 0; i < n; ++i) {
      const Node& node = cells[i];
      numbers.push_reserved(is_int(node.kind) ? node.i : int64_t(node.f));
    }
    return integers(n, extra, plan);
  }
  if (texts) return strings(cells, n, extra, table, plan);
  if (records && n >= 2) {
    const Box& head = snapshot_.boxes[cells[0].box];
    if (head.count == 0) return true;
    for (size_t i = 1; i < n; ++i) {
      const Box& box = snapshot_.boxes[cells[i].box];
      if (box.count != head.count) return true;
      for (uint32_t k = 0; k < head.count; ++k) {
        if (nodes[box.first + 2 * k].text != nodes[head.first + 2 * k].text) return true;
      }
    }
    plan.kind = ColumnKind::ObjectColumn;
  }
  return true;
}

bool Chooser::integers(size_t n, int extra, Plan& plan) noexcept {
  int64_t plain = 0, delta = extra, raw = extra + 1;  // raw: the scale byte
  uint64_t previous = 0;
  for (size_t i = 0; i < n; ++i) {
    int64_t v = numbers[i];
    int size = wire::varint_size(wire::zigzag(v));
    raw += size;
    plain += v >= 0 && v < 0x80 ? 1 : 1 + size;
    delta += wire::varint_size(wire::zigzag(int64_t(uint64_t(v) - previous)));
    previous = uint64_t(v);
  }
  int64_t best = std::min({plain, delta, raw});
  if (best == plain) return true;
  plan.kind = best == delta ? ColumnKind::DeltaIntegers : ColumnKind::Decimals;
  plan.scale = 0;
  return true;
}

// Decimals for ints and floats when every value comes back exactly; the
// floats here decode as floats. Scales are tried from the least up and the first at
// which every value comes back is taken.
bool Chooser::decimals(const Node* cells, size_t n, int extra, Plan& plan) noexcept {
  // A scale that fails for one value fails for the column, and a column
  // that stops at a scale (a value out of range) stops at every larger one:
  // starting from the least scale every value allows writes the same.
  int from = 1;
  int64_t plain = 0;
  for (size_t i = 0; i < n; ++i) {
    const Node& node = cells[i];
    if (is_int(node.kind) || integral(node.f)) {
      plain += wire::int_value_size(is_int(node.kind) ? node.i : int64_t(node.f));
      continue;
    }
    plain += 9;
    int least = least_scale(node.f);
    if (least == 0) return true;
    // At the top scale, the only one left to try, a float that does not come
    // back fails the column now: no need to look at the rest.
    if (least == int(kMaxDecimalScale)) {
      double p = kPow10Float[kMaxDecimalScale];
      if (double(int64_t(round_even(node.f * p))) / p != node.f) return true;
    }
    from = std::max(from, least);
  }
  numbers.clear();
  if (!numbers.reserve(n)) return false;
  for (int scale = from; scale <= int(kMaxDecimalScale); ++scale) {
    double p = kPow10Float[scale];
    int64_t q = kPow10Int[scale];
    numbers.clear();
    bool exact = true;
    int64_t size = extra + 1;  // the scale byte
    for (size_t i = 0; i < n && exact; ++i) {
      const Node& node = cells[i];
      int64_t m;
      if (is_int(node.kind) || integral(node.f)) {
        int64_t v = is_int(node.kind) ? node.i : int64_t(node.f);
        if (v <= -wire::kTwo53Int || v >= wire::kTwo53Int || __builtin_mul_overflow(v, q, &m)) {
          return true;  // a larger scale does not help
        }
      } else {
        double y = node.f * p;
        if (!(y > -9.2e18 && y < 9.2e18)) return true;
        m = int64_t(round_even(y));
        // The decoder's division: binary64 up to 2^53, exact above.
        double back =
            m >= -wire::kTwo53Int && m <= wire::kTwo53Int ? double(m) / p : exact_quotient(m, q);
        if (back != node.f) exact = false;
      }
      numbers.push_reserved(m);
      size += wire::varint_size(wire::zigzag(m));
    }
    if (!exact) continue;
    if (size < plain) {
      plan.kind = ColumnKind::Decimals;
      plan.scale = scale;
    }
    return true;
  }
  return true;
}

// The cost of writing `texts` one after another where the first of each
// stands (a reference when the table has it already), with the index each
// would get left in index_.
int64_t Chooser::item_costs(const uint32_t* texts, size_t n, const StringTable& table) noexcept {
  int64_t total = 0;
  int64_t next_index = table.size;
  for (size_t i = 0; i < n; ++i) {
    uint32_t text = texts[i];
    uint64_t length = snapshot_.texts[text].length;
    int64_t literal = wire::literal_size(length);
    if (length < 2) {
      total += literal;
      continue;
    }
    int64_t index = table.known[text];
    if (index < 0) {
      total += literal;
      index = next_index++;
    } else {
      total += std::min<int64_t>(literal, 1 + wire::varint_size(uint64_t(index)));
    }
    index_[text] = index;
  }
  return total;
}

// StringDictionary when its entries plus one index per item are smaller than
// the strings one by one.
bool Chooser::strings(const Node* cells, size_t n, int extra, const StringTable& table,
                      Plan& plan) noexcept {
  size_t texts = snapshot_.texts.size();
  if (counts_.size() < texts && (!counts_.resize(texts, 0) || !index_.resize(texts, -1))) {
    return false;
  }
  order_.clear();
  if (!order_.reserve(n)) return false;
  for (size_t i = 0; i < n; ++i) {
    uint32_t text = cells[i].text;
    if (counts_[text]++ == 0) order_.push_reserved(text);
  }
  struct Reset {  // leaves counts_ all zero again, however this returns
    Scratch<uint32_t>& counts;
    Scratch<uint32_t>& order;
    ~Reset() {
      for (uint32_t text : order) counts[text] = 0;
    }
  } reset{counts_, order_};
  if (order_.size() == n) return true;

  int64_t plain = item_costs(order_.data(), order_.size(), table);
  for (uint32_t text : order_) {
    uint32_t count = counts_[text];
    if (count <= 1) continue;
    uint64_t length = snapshot_.texts[text].length;
    int64_t literal = wire::literal_size(length);
    int64_t each = length < 2
                       ? literal
                       : std::min<int64_t>(literal, 1 + wire::varint_size(uint64_t(index_[text])));
    plain += int64_t(count - 1) * each;
  }
  // Entries by falling frequency, ties in first-seen order, so that the most
  // frequent strings get one-byte indexes.
  entries.clear();
  if (!entries.reserve(order_.size())) return false;
  for (uint32_t text : order_) entries.push_reserved(text);
  {
    // Rank of first appearance, to break ties; index_ is overwritten below anyway.
    for (size_t r = 0; r < order_.size(); ++r) index_[order_[r]] = int64_t(r);
    const Scratch<uint32_t>& counts = counts_;
    const Scratch<int64_t>& rank = index_;
    std::sort(entries.begin(), entries.end(), [&](uint32_t a, uint32_t b) {
      return counts[a] != counts[b] ? counts[a] > counts[b] : rank[a] < rank[b];
    });
  }
  int64_t size =
      extra + wire::varint_size(entries.size()) + item_costs(entries.data(), entries.size(), table);
  for (size_t position = 0; position < entries.size(); ++position) {
    size += int64_t(counts_[entries[position]]) * wire::varint_size(position);
  }
  if (size >= plain) return true;
  for (size_t position = 0; position < entries.size(); ++position) {
    index_[entries[position]] = int64_t(position);
  }
  positions.clear();
  if (!positions.reserve(n)) return false;
  for (size_t i = 0; i < n; ++i) positions.push_reserved(uint32_t(index_[cells[i].text]));
  plan.kind = ColumnKind::StringDictionary;
  return true;
}

}  // namespace vorn
