// The state of one decode call, shared by every reader.
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "foundation/assert.h"
#include "foundation/format.h"
#include "foundation/membuf.h"
#include "module/errors.h"

namespace vorn {

// What a failed reader returns: it converts to null and to false alike, so
// that every reader fails with `return c.fail(...)` whatever it returns.
struct Failed {
  operator PyObject*() const noexcept { return nullptr; }
  operator bool() const noexcept { return false; }
};

// A string of 2 or more bytes that later string references may name.
struct StringEntry {
  PyObject* str;  // owned by the table
  size_t start;   // offset of the first text byte in the input
  size_t length;  // text length in bytes
};

class DecodeContext {
 public:
  DecodeContext(const uint8_t* input, size_t length) noexcept
      : base(input),
        pos(input + kHeaderSize),
        end(input + length),
        size_budget_(int64_t(length) * kSizeBudgetPerByte + kSizeBudgetBase),
        slot_bits_(int64_t(length) * 8) {}
  DecodeContext(const DecodeContext&) = delete;
  DecodeContext& operator=(const DecodeContext&) = delete;
  // Releases the string table, then the filled anchor slots, in index order.
  ~DecodeContext();

  MemBuf<StringEntry> strings;
  MemBuf<PyObject*> anchors;  // owned; null while a slot is reserved but not filled
  const uint8_t* const base;  // byte 0 of the input (borrowed)
  const uint8_t* pos;         // next unread byte; never past `end`
  const uint8_t* const end;
  Failure failure = Failure::none;
  DecodeError error;

  size_t remaining() const noexcept {
    VORN_ASSERT(pos <= end);
    return size_t(end - pos);
  }
  uint64_t offset(const uint8_t* at) const noexcept { return uint64_t(at - base); }
  // Whether `count` exceeds eight times the bytes that remain (the bound of
  // typed lists and table rows: each of their items takes at least a bit).
  bool exceeds_bit_bound(uint64_t count) const noexcept {
    uint64_t left = remaining();
    return left < (uint64_t(1) << 61) && count > left * kItemsPerByte;
  }

  // Records a failure. The message is the concatenation of `parts`; it is
  // only built here, when the failure happens (a MemoryError if even that
  // cannot be allocated).
  Failed fail_at(uint64_t at, std::initializer_list<std::string_view> parts) noexcept;
  Failed fail_at(const char* message, uint64_t at) noexcept { return fail_at(at, {message}); }
  Failed fail(const char* message, const uint8_t* at) noexcept {
    return fail_at(offset(at), {message});
  }
  // Records that a CPython call failed and left its exception pending.
  Failed python_failed() noexcept {
    failure = Failure::python;
    return {};
  }

  // The decoded-size budget: tables and columns charge what they will make
  // before they make it. `charge_size` fails with "decoded size too large" at
  // `at` once the budget is overdrawn; `check_size` only tests that `items`
  // are still covered.
  bool charge_size(int64_t items, const uint8_t* at) noexcept {
    size_budget_ -= items;
    return size_budget_ >= 0 || fail("decoded size too large", at);
  }
  bool check_size(int64_t items, const uint8_t* at) noexcept {
    return size_budget_ >= items || fail("decoded size too large", at);
  }
  bool size_covers(uint64_t items) const noexcept {
    return size_budget_ >= 0 && items <= uint64_t(size_budget_);
  }
  // The reference-expansion budget: a copied list or dict charges its size
  // plus one. False once it is overdrawn; the charge stays.
  bool charge_references(int64_t items) noexcept {
    reference_budget_ -= items;
    return reference_budget_ >= 0;
  }
  // Slots that lists claim before their items arrive, in bits of input: an
  // item of a list takes at least a byte (8 bits), one of a typed list at
  // least a bit, and the items of nested lists take different bits. So a
  // valid document never claims more than the input has, and a list that
  // would (a tower of lists that each claim the rest of the input) grows as
  // its items arrive instead. A claim is given back when its list is done.
  bool claim_slots(int64_t bits) noexcept {
    if (bits > slot_bits_) return false;
    slot_bits_ -= bits;
    return true;
  }
  void release_slots(int64_t bits) noexcept { slot_bits_ += bits; }

  // Enters `str` (borrowed) in the string table, which takes a reference of
  // its own. False when memory runs out; the caller keeps its reference.
  bool append_string(PyObject* str, const uint8_t* start, size_t length) noexcept {
    if (!strings.push(StringEntry{str, size_t(start - base), length})) return python_failed();
    Py_INCREF(str);
    return true;
  }

 private:
  int64_t size_budget_;
  int64_t reference_budget_ = kReferenceBudget;
  int64_t slot_bits_;
};

// Decodes a whole document. New reference, or null with an exception set.
PyObject* decode_document(const uint8_t* input, size_t length);

// Pauses the cyclic garbage collector for a decode: nothing a decode builds
// can form a cycle, so collections triggered by its allocations would only
// walk the new containers again and again. The previous state is restored
// before any exception is raised.
class CollectorPause {
 public:
  CollectorPause() noexcept : was_enabled_(PyGC_Disable() != 0) {}
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;
  ~CollectorPause() {
    if (was_enabled_) PyGC_Enable();
  }

 private:
  bool was_enabled_;
};

// Checks the header, runs `read(context)` for the top-level value (a new
// reference, or null with the failure recorded), refuses trailing data and
// raises the failure. `decode_document` is this with `read_value`.
template <class Read>
PyObject* decode_document_with(const uint8_t* input, size_t length, Read&& read) {
  if (length < kHeaderSize || input[0] != kMagic) {
    raise_vorn_error(DecodeError{"not a VORN binary document", 0});
    return nullptr;
  }
  if (input[1] != kVersion) {
    raise_vorn_error(DecodeError{"unsupported binary version " + std::to_string(input[1]), 1});
    return nullptr;
  }

  PyObject* result;
  Failure failure;
  DecodeError error;
  {
    CollectorPause pause;
    DecodeContext context(input, length);
    result = read(context);
    if (result != nullptr && context.pos != context.end) {
      Py_DECREF(result);
      result = context.fail("trailing data", context.pos);
    }
    failure = context.failure;
    error = std::move(context.error);
  }  // the tables are released here, before any exception is looked at

  if (result != nullptr) return result;
  if (failure == Failure::decode) {
    raise_vorn_error(std::move(error));
  } else {
    raise_pending_error();
  }
  return nullptr;
}

}  // namespace vorn
