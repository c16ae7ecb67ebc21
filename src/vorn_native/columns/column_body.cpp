// The column body's instantiations for the decoder's own slots, and the exact
// decimal quotient that every target shares.
#include "columns/column_body.h"

namespace vorn {

namespace {

constexpr long long kIntPowersOfTen[kMaxDecimalScale + 1] = {1,     10,     100,    1000,
                                                             10000, 100000, 1000000};

}  // namespace

bool exact_decimal_quotient(DecodeContext& c, int64_t mantissa, unsigned scale, double& quotient) {
  Owned numerator = Owned::steal(PyLong_FromLongLong(static_cast<long long>(mantissa)));
  if (!numerator) return c.python_failed();
  Owned denominator = Owned::steal(PyLong_FromLongLong(kIntPowersOfTen[scale]));
  if (!denominator) return c.python_failed();
  Owned exact = Owned::steal(PyNumber_TrueDivide(numerator.get(), denominator.get()));
  if (!exact) return c.python_failed();
  quotient = PyFloat_AsDouble(exact.get());
  if (quotient == -1.0 && PyErr_Occurred()) return c.python_failed();
  return true;
}

template bool read_column_body(DecodeContext&, size_t, int, ListSlots&);
template bool read_column_body(DecodeContext&, size_t, int, AppendSlots&);
template bool read_column_body(DecodeContext&, size_t, int, RowSlots&);
template bool read_column_body(DecodeContext&, size_t, int, BufferSlots&);

}  // namespace vorn
