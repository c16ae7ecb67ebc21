// The result convention of the readers and the one place where a failed
// decode becomes a Python exception.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

#include "foundation/fault.h"

namespace vorn {

// What a reader returns, besides its value: readers hand back a new reference
// (or true) on success and null (or false) on failure, and record here which
// kind of failure it was.
enum class Failure : uint8_t {
  none,
  decode,  // invalid input: `DecodeError` holds message and offset
  python,  // a CPython call failed and its exception is pending
};

// A failure found in the input. Building one has no effect on the interpreter.
struct DecodeError {
  std::string message;
  uint64_t offset = 0;
};

// Borrowed reference to the process-wide VornError type, created on first use.
// Throws InternalFault when the type cannot be created.
PyObject* vorn_error_type();

// Makes `type` (borrowed; a reference is kept for the process) the VornError
// that this module raises, so that a second module built from the same
// decoder raises the very type of the first. Only before the first use.
void adopt_vorn_error_type(PyObject* type) noexcept;

// Raises VornError for `error`, with its `message` and `offset`. When memory
// runs out while those are set, the MemoryError is raised instead. Throws
// InternalFault when the text or the instance cannot be made (after reporting
// what failed as unraisable).
void raise_vorn_error(DecodeError&& error);

// Lets the pending exception through, or raises SystemError if none is set.
void raise_pending_error() noexcept;

}  // namespace vorn
