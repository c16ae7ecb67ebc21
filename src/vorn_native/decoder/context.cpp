#include "decoder/context.h"

#include "decoder/values.h"

namespace vorn {

namespace {

// Pauses the cyclic garbage collector for the decode: nothing a decode builds
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

}  // namespace

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
    result = read_value(context, 0);
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
