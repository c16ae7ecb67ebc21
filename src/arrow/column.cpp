#include "arrow/column.h"

#include <cstdio>
#include <new>

#include "arrow/raw_memory.h"

namespace vorn::arrow {

namespace {

const char* format_of(Type type) noexcept {
  switch (type) {
    case Type::Null:
      return "n";
    case Type::Bool:
      return "b";
    case Type::Int64:
      return "l";
    case Type::Float64:
      return "g";
    case Type::Decimal128:
      return "d:38,0";
    case Type::Utf8:
      return "u";
    case Type::Dictionary:
      return "i";  // int32 indexes; the entries are Utf8
    case Type::List:
      return "+l";
    case Type::Struct:
      return "+s";
  }
  return "n";
}

}  // namespace

Column::Column(Type t, int64_t n) noexcept : type(t), length(n) {
  std::snprintf(format, sizeof format, "%s", format_of(t));
}

Column::~Column() {
  for (size_t i = 0; i < child_count(); ++i) destroy(child(i));
  destroy(dictionary);
}

Column* Column::make(Type type, int64_t length) noexcept {
  void* memory = raw_malloc(sizeof(Column));
  if (memory == nullptr) {
    PyErr_NoMemory();
    return nullptr;
  }
  return new (memory) Column(type, length);
}

void Column::destroy(Column* column) noexcept {
  if (column == nullptr) return;
  column->~Column();
  raw_free(column);
}

bool Column::adopt_child(Column* column) noexcept {
  if (!children.append(&column, sizeof column)) {
    destroy(column);
    return false;
  }
  return true;
}

bool Column::set_name(const char* text, size_t size) noexcept {
  return name.resize(0) && name.append(text, size) && name.append("", 1);
}

int64_t Column::buffer_count() const noexcept {
  switch (type) {
    case Type::Null:
      return 0;
    case Type::Struct:
      return 1;
    case Type::Utf8:
      return 3;
    default:
      return 2;
  }
}

}  // namespace vorn::arrow
