#include "decoder/context.h"

#include "decoder/values.h"

namespace vorn {

DecodeContext::~DecodeContext() {
  for (size_t i = 0; i < strings.size(); ++i) Py_DECREF(strings[i].str);
  for (size_t i = 0; i < anchors.size(); ++i) Py_XDECREF(anchors[i]);
}

Failed DecodeContext::fail_at(uint64_t at, std::initializer_list<std::string_view> parts) noexcept {
  try {
    error.message.clear();
    for (std::string_view part : parts) error.message += part;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return python_failed();
  }
  failure = Failure::decode;
  error.offset = at;
  return {};
}

PyObject* decode_document(const uint8_t* input, size_t length) {
  return decode_document_with(input, length, [](DecodeContext& c) { return read_value(c, 0); });
}

}  // namespace vorn
