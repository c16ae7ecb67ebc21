// The document being written: one PyMem buffer grown geometrically (and
// kept for the next call when it is large), turned into one bytes object at
// the end.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>

#include "foundation/format.h"
#include "foundation/spare.h"

namespace vorn {

class Output {
 public:
  Output() noexcept = default;
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  ~Output() { spare::give(data_, cap_); }

  // Makes room for `n` more bytes. False with MemoryError pending.
  bool room(size_t n) noexcept {
    if (cap_ - size_ >= n) return true;
    return grow(n);
  }
  // Makes the capacity at least `n` bytes at once, for a good guess of the
  // whole document: one allocation instead of a chain of copying ones.
  bool reserve(size_t n) noexcept { return n <= cap_ || grow(n - size_); }
  // The writers below stay within room the caller has made.
  void byte(uint8_t b) noexcept { data_[size_++] = b; }
  void bytes(const void* p, size_t n) noexcept {
    std::memcpy(data_ + size_, p, n);
    size_ += n;
  }
  void varint(uint64_t v) noexcept { size_ = size_t(put_varint(data_ + size_, v) - data_); }
  // Writes `v` at `p` and returns the end: through a local pointer, since a
  // byte stored through data_ could alias size_ and would make the compiler
  // store size_ after every byte.
  static uint8_t* put_varint(uint8_t* p, uint64_t v) noexcept {
    while (v >= 0x80) {
      *p++ = uint8_t(v | 0x80);
      v >>= 7;
    }
    *p++ = uint8_t(v);
    return p;
  }
  static constexpr size_t kVarintMax = 10;
  // Copies the `n` bytes of a string's text to `p`. Most texts are short,
  // and for them two overlapping moves of a fixed width, inline, cost less
  // than the call into memcpy that chooses them; neither side is touched
  // outside its n bytes.
  static void put_text(uint8_t* p, const void* text, size_t n) noexcept {
    const auto* s = static_cast<const uint8_t*>(text);
    if (n >= 8 && n <= 16) {
      move<8>(p, s);
      move<8>(p + n - 8, s + n - 8);
    } else if (n > 16 && n <= 32) {
      move<16>(p, s);
      move<16>(p + n - 16, s + n - 16);
    } else if (n >= 4 && n < 8) {
      move<4>(p, s);
      move<4>(p + n - 4, s + n - 4);
    } else if (n > 0 && n < 4) {
      p[0] = s[0];
      p[n / 2] = s[n / 2];
      p[n - 1] = s[n - 1];
    } else if (n > 32) {
      std::memcpy(p, s, n);
    }
  }

  // Writes a string item at `p`, its header and its `n` bytes of text, in
  // room made for 1 + kVarintMax + n bytes, and returns the end.
  static uint8_t* put_string(uint8_t* p, const char* utf8, size_t n) noexcept {
    if (n <= kShortStringMax) {
      *p++ = uint8_t(tag_byte(Tag::ShortString) | n);
    } else {
      *p++ = tag_byte(Tag::String);
      p = put_varint(p, n);
    }
    put_text(p, utf8, n);
    return p + n;
  }

  // Where the next byte goes, for a caller that fills reserved room itself
  // and then advances past what it wrote.
  uint8_t* tail() noexcept { return data_ + size_; }
  void advance(size_t n) noexcept { size_ += n; }
  // How many bytes fit after tail() before the buffer must grow.
  size_t spare() const noexcept { return cap_ - size_; }

  size_t size() const noexcept { return size_; }
  void truncate(size_t size) noexcept { size_ = size; }
  const uint8_t* data() const noexcept { return data_; }

  // A new bytes object with the document, or null with an exception set.
  PyObject* to_bytes() const noexcept {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data_), Py_ssize_t(size_));
  }

 private:
  bool grow(size_t n) noexcept {
    size_t want = size_ + n;
    if (want < size_ || want > size_t(PY_SSIZE_T_MAX)) {
      PyErr_NoMemory();
      return false;
    }
    // While blocks are kept, the first growth takes one: doubling up from a
    // small buffer would copy the document's first 64 KiB over and over.
    size_t cap = cap_ < 256 ? (spare::kept() > 0 ? spare::kMin : 256) : cap_ * 2;
    if (cap < want || cap > size_t(PY_SSIZE_T_MAX)) cap = want;
    size_t got = 0;
    void* grown = spare::grow(data_, cap_, size_, cap, got);
    if (grown == nullptr) return false;
    data_ = static_cast<uint8_t*>(grown);
    cap_ = got;
    return true;
  }

  template <size_t N>
  static void move(uint8_t* to, const uint8_t* from) noexcept {
    uint8_t chunk[N];
    std::memcpy(chunk, from, N);
    std::memcpy(to, chunk, N);
  }

  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t cap_ = 0;
};

}  // namespace vorn
