// The state of one decode call, shared by every reader.
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "module/errors.h"
#include "module/membuf.h"

namespace vorn {

inline constexpr int kMaxDepth = 512;
inline constexpr int64_t kReferenceBudget = 0x1000000;
inline constexpr int64_t kSizeBudgetBase = 0x400000;
inline constexpr uint64_t kMaxLength = 0x7fffffff;

// A string of 2 or more bytes that later string references may name.
struct StringEntry {
  PyObject* str;  // owned by the table
  size_t start;   // offset of the first text byte in the input
  size_t length;  // text length in bytes
};

struct DecodeContext {
  DecodeContext(const uint8_t* input, size_t length) noexcept
      : base(input),
        pos(input + 2),
        end(input + length),
        size_budget(int64_t(length) * 32 + kSizeBudgetBase),
        slot_bits(int64_t(length) * 8) {}
  DecodeContext(const DecodeContext&) = delete;
  DecodeContext& operator=(const DecodeContext&) = delete;
  // Releases the string table, then the filled anchor slots, in index order.
  ~DecodeContext();

  MemBuf<StringEntry> strings;
  MemBuf<PyObject*> anchors;  // null while a slot is reserved but not filled
  const uint8_t* base;        // byte 0 of the input (borrowed)
  const uint8_t* pos;         // next unread byte; never past `end`
  const uint8_t* end;
  int64_t reference_budget = kReferenceBudget;
  int64_t size_budget;
  // What the lists being read may claim in slots before their items arrive,
  // in bits of input: an item of a list takes at least a byte (8), one of a
  // typed list at least a bit (1), and the items of nested lists take
  // different bits. A valid document never claims more than the input has;
  // a list that would (a tower of lists that each claim the rest of the
  // input) grows as its items arrive instead.
  int64_t slot_bits;
  Failure failure = Failure::none;
  DecodeError error;

  size_t remaining() const noexcept { return size_t(end - pos); }
  uint64_t offset(const uint8_t* at) const noexcept { return uint64_t(at - base); }

  // Record a failure and return null, so that readers can `return fail(...)`.
  // The message is the concatenation of `parts`; it is only built here, when
  // the failure happens (a MemoryError if even that cannot be allocated).
  PyObject* fail_at(uint64_t at, std::initializer_list<std::string_view> parts) noexcept;
  PyObject* fail_at(const char* message, uint64_t at) noexcept { return fail_at(at, {message}); }
  PyObject* fail(const char* message, const uint8_t* at) noexcept {
    return fail_at(offset(at), {message});
  }
  PyObject* python_failed() noexcept {
    failure = Failure::python;
    return nullptr;
  }

  // Takes over `str`. False (and `str` released) when memory runs out.
  bool append_string(PyObject* str, const uint8_t* start, size_t length) noexcept {
    if (strings.push(StringEntry{str, size_t(start - base), length})) return true;
    python_failed();
    return false;
  }
};

// Decodes a whole document. New reference, or null with an exception set.
PyObject* decode_document(const uint8_t* input, size_t length);

}  // namespace vorn
