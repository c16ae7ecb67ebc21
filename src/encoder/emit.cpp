#include "emit.h"

#include <bit>
#include <cstring>

namespace vorn {

static_assert(std::endian::native == std::endian::little, "floats are written in memory order");

namespace {

constexpr size_t kVarint = Output::kVarintMax;

}  // namespace

bool Emit::integer(int64_t v) noexcept {
  if (!out_.room(1 + kVarint)) return false;
  if (v >= 0 && v < 0x80) {
    out_.byte(uint8_t(tag_byte(Tag::SmallInt) | v));
  } else {
    out_.byte(tag_byte(Tag::Int));
    out_.varint(wire::zigzag(v));
  }
  return true;
}

bool Emit::number(double v) noexcept {
  if (compact_ && wire::integral(v)) return integer(int64_t(v));  // it decodes as this int anyway
  if (!out_.room(9)) return false;
  out_.byte(tag_byte(Tag::Float));
  out_.bytes(&v, 8);
  return true;
}

bool Emit::scalar(const Node& item) noexcept {
  switch (item.kind) {
    case NodeKind::int_:
    case NodeKind::int_sub:
      return integer(item.i);
    case NodeKind::float_:
    case NodeKind::float_sub:
      return number(item.f);
    case NodeKind::str:
    case NodeKind::str_sub:
      return string(item.text);
    case NodeKind::none:
    case NodeKind::false_:
    case NodeKind::true_:
      if (!out_.room(1)) return false;
      out_.byte(item.kind == NodeKind::none    ? tag_byte(Tag::None)
                : item.kind == NodeKind::true_ ? tag_byte(Tag::True)
                                               : tag_byte(Tag::False));
      return true;
    default:
      PyErr_SetString(PyExc_SystemError, "vorn: a value was written before it was checked");
      return false;
  }
}

// A string item past the inline case: a reference when the decoder has the
// string and that is no longer, else the text (a short string up to 31
// bytes). Strings of two or more bytes written out take the next number in
// the string table.
bool Emit::literal(uint32_t text) noexcept {
  const Text& entry = texts_[text];
  int64_t index = compact_ ? strings_.known[text] : -1;
  uint64_t length = entry.length;
  if (!out_.room(1 + kVarint + length)) return false;
  if (length >= 2 && compact_) {
    if (index >= 0 && 1 + wire::varint_size(uint64_t(index)) <= wire::literal_size(length)) {
      out_.byte(tag_byte(Tag::StringRef));
      out_.varint(uint64_t(index));
      return true;
    }
    if (index < 0) strings_.known[text] = strings_.size;
    ++strings_.size;
  }
  // Through a local cursor: a byte stored through the output's own pointer
  // could alias its size, which would then be stored and loaded again.
  uint8_t* start = out_.tail();
  out_.advance(size_t(Output::put_string(start, entry.utf8, length) - start));
  return true;
}

bool Emit::list(const Node* items, size_t n, Chooser& chooser, int64_t& charge) noexcept {
  Plan plan;
  if (n >= 2 && !chooser.choose(items, n, 1, strings_, plan)) return false;
  if (!out_.room(2 + Output::kVarintMax)) return false;
  if (plan.kind != ColumnKind::Values) {
    out_.byte(tag_byte(Tag::TypedList));
    out_.varint(n);
    out_.byte(static_cast<uint8_t>(plan.kind));
    charge += int64_t(n) + 1;
    return typed_body(items, n, plan, chooser);
  }
  out_.byte(tag_byte(Tag::List));
  out_.varint(n);
  for (size_t i = 0; i < n; ++i) {
    if (!scalar(items[i])) return false;
  }
  return true;
}

bool Emit::typed_body(const Node* cells, size_t n, const Plan& plan,
                      const Chooser& chooser) noexcept {
  switch (plan.kind) {
    case ColumnKind::Booleans: {
      size_t bitmap = (n + 7) / 8;
      if (!out_.room(bitmap)) return false;
      uint8_t* bits = out_.tail();
      std::memset(bits, 0, bitmap);
      for (size_t i = 0; i < n; ++i) {
        if (cells[i].kind == NodeKind::true_) {
          bits[i >> 3] |= uint8_t(1u << (i & 7));
        }
      }
      out_.advance(bitmap);
      return true;
    }
    case ColumnKind::DeltaIntegers:
      return zigzags(chooser.numbers.data(), n, true);
    case ColumnKind::Decimals:
      if (!out_.room(1)) return false;
      out_.byte(uint8_t(plan.scale));
      return zigzags(chooser.numbers.data(), n, false);
    case ColumnKind::StringDictionary: {
      const Scratch<uint32_t>& entries = chooser.entries;
      if (!out_.room(kVarint)) return false;
      out_.varint(entries.size());
      for (size_t e = 0; e < entries.size(); ++e) {
        if (!string(entries[e])) return false;
      }
      if (!out_.room(n * kVarint)) return false;
      for (size_t i = 0; i < n; ++i) out_.varint(chooser.positions[i]);
      return true;
    }
    default:
      PyErr_SetString(PyExc_SystemError, "vorn: a column of items has no typed body");
      return false;
  }
}

// Signed ints as zigzag varints: the values themselves, or the differences of
// consecutive values (the first from 0), wrapped to 64 bits.
bool Emit::zigzags(const int64_t* values, size_t n, bool deltas) noexcept {
  if (!out_.room(n * kVarint)) return false;
  uint8_t* p = out_.tail();
  uint64_t previous = 0;
  for (size_t i = 0; i < n; ++i) {
    uint64_t v = uint64_t(values[i]);
    p = Output::put_varint(p, wire::zigzag(int64_t(deltas ? v - previous : v)));
    previous = v;
  }
  out_.advance(size_t(p - out_.tail()));
  return true;
}

}  // namespace vorn
