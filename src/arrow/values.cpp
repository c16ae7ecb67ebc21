#include "arrow/values.h"

#include <climits>
#include <memory>
#include <vector>

#include "foundation/owned.h"

namespace vorn::arrow {

namespace {

// Arrow types nest this deep at the most; deeper values refuse their column.
constexpr int kMaxTypeDepth = 64;

struct Field;

// The type that the cells seen so far share.
struct Shape {
  Type type = Type::Null;
  std::unique_ptr<Shape> item;  // List
  std::vector<Field> fields;    // Struct: first met first
};

// A struct's field: its key (a str, owned) and the type its values share.
// Not a std::pair: a pair cannot hold the Shape that is still being defined.
struct Field {
  Owned key;
  Shape shape;
};

const char* type_name(Type type) {
  switch (type) {
    case Type::Null:
      return "null";
    case Type::Bool:
      return "bool";
    case Type::Int64:
      return "int64";
    case Type::Float64:
      return "float64";
    case Type::Utf8:
      return "utf8";
    case Type::List:
      return "list";
    case Type::Struct:
      return "struct";
    default:
      return "?";
  }
}

// The name of `value`'s type into `out`. False with an exception pending.
bool describe(PyObject* value, std::string& out) {
  // What a decode makes, without a lookup (and without its allocations).
  const char* known = value == Py_None         ? "NoneType"
                      : PyBool_Check(value)    ? "bool"
                      : PyLong_Check(value)    ? "int"
                      : PyFloat_Check(value)   ? "float"
                      : PyUnicode_Check(value) ? "str"
                      : PyList_Check(value)    ? "list"
                      : PyDict_Check(value)    ? "dict"
                                               : nullptr;
  if (known != nullptr) {
    out = known;
    return true;
  }
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  Owned name = Owned::steal(PyObject_GetAttrString(type, "__name__"));
  const char* text = nullptr;
  size_t length = 0;
  if (!name || !utf8_of(name.get(), text, length)) return false;
  out.assign(text, length);
  return true;
}

// The field of `shape` under `key`, added if new; `hint` is where rows in the
// usual order have it. Null with an exception pending.
Shape* find_field(Shape& shape, PyObject* key, size_t hint) {
  if (hint < shape.fields.size()) {
    Field& field = shape.fields[hint];
    if (field.key.get() == key) return &field.shape;
  }
  for (auto& [name, inner] : shape.fields) {
    int same = PyObject_RichCompareBool(name.get(), key, Py_EQ);
    if (same < 0) return nullptr;
    if (same) return &inner;
  }
  shape.fields.push_back(Field{Owned::borrow(key), Shape{}});
  return &shape.fields.back().shape;
}

// Widens `shape` to take `value`. False with `problem` set (a refusal) or
// with an exception pending (`problem` empty).
bool widen(Shape& shape, PyObject* value, int depth, std::string& problem) {
  if (value == nullptr || value == Py_None) return true;
  if (depth > kMaxTypeDepth) {
    problem = "nests more than 64 levels deep";
    return false;
  }
  Type type = shape.type;
  auto conflict = [&](const char* found) {
    problem = conflict_text(found, type);
    return false;
  };
  if (PyBool_Check(value)) {
    if (type == Type::Null) shape.type = Type::Bool;
    return shape.type == Type::Bool || conflict("a bool");
  }
  if (PyLong_Check(value)) {
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0) {
      problem = "holds an int beyond 64 bits";
      return false;
    }
    if (type == Type::Null) shape.type = Type::Int64;
    return shape.type == Type::Int64 || shape.type == Type::Float64 || conflict("an int");
  }
  if (PyFloat_Check(value)) {
    if (type == Type::Null || type == Type::Int64) shape.type = Type::Float64;
    return shape.type == Type::Float64 || conflict("a float");
  }
  if (PyUnicode_Check(value)) {
    if (type == Type::Null) shape.type = Type::Utf8;
    return shape.type == Type::Utf8 || conflict("a str");
  }
  if (PyList_Check(value)) {
    if (type == Type::Null) {
      shape.type = Type::List;
      shape.item = std::make_unique<Shape>();
    }
    if (shape.type != Type::List) return conflict("a list");
    Py_ssize_t size = PyList_Size(value);
    for (Py_ssize_t i = 0; i < size; ++i) {
      if (!widen(*shape.item, PyList_GetItem(value, i), depth + 1, problem)) return false;
    }
    return true;
  }
  if (PyDict_Check(value)) {
    if (type == Type::Null) shape.type = Type::Struct;
    if (shape.type != Type::Struct) return conflict("a dict");
    Py_ssize_t at = 0;
    PyObject *key, *member;
    for (size_t hint = 0; PyDict_Next(value, &at, &key, &member); ++hint) {
      Shape* field = find_field(shape, key, hint);
      if (field == nullptr || !widen(*field, member, depth + 1, problem)) return false;
    }
    return true;
  }
  std::string name;
  if (!describe(value, name)) return false;
  name = "a " + name;
  return conflict(name.c_str());
}

// Sets the validity of `column` from the cells that are missing or None.
bool mark_nulls(Column& column, const std::vector<PyObject*>& cells) {
  size_t nulls = 0;
  for (PyObject* cell : cells) nulls += cell == nullptr || cell == Py_None;
  column.null_count = int64_t(nulls);
  if (nulls == 0 || column.type == Type::Null) return true;
  if (!column.validity.resize(bitmap_bytes(cells.size()))) return false;
  for (size_t i = 0; i < cells.size(); ++i) {
    if (cells[i] != nullptr && cells[i] != Py_None) set_bit(column.validity.data(), i);
  }
  return true;
}

inline bool present(PyObject* cell) { return cell != nullptr && cell != Py_None; }

// Builds the column of `cells` (borrowed) of type `shape`. Null with an
// exception pending, or with `problem` set.
Column* fill(const Shape& shape, const std::vector<PyObject*>& cells, std::string& problem) {
  size_t count = cells.size();
  ColumnPtr column(Column::make(shape.type, int64_t(count)));
  if (!column || !mark_nulls(*column, cells)) return nullptr;
  switch (shape.type) {
    case Type::Null:
      break;
    case Type::Bool:
      if (!column->values.resize(bitmap_bytes(count))) return nullptr;
      for (size_t i = 0; i < count; ++i) {
        if (cells[i] == Py_True) set_bit(column->values.data(), i);
      }
      break;
    case Type::Int64:
      if (!column->values.resize(count * 8)) return nullptr;
      for (size_t i = 0; i < count; ++i) {
        if (present(cells[i])) column->values.as<int64_t>()[i] = PyLong_AsLongLong(cells[i]);
      }
      break;
    case Type::Float64:
      if (!column->values.resize(count * 8)) return nullptr;
      for (size_t i = 0; i < count; ++i) {
        if (!present(cells[i])) continue;
        double x = PyFloat_Check(cells[i]) ? PyFloat_AsDouble(cells[i]) : PyLong_AsDouble(cells[i]);
        if (x == -1.0 && PyErr_Occurred()) return nullptr;
        column->values.as<double>()[i] = x;
      }
      break;
    case Type::Utf8: {
      if (!column->values.resize((count + 1) * 4)) return nullptr;
      for (size_t i = 0; i < count; ++i) {
        if (present(cells[i])) {
          const char* text;
          size_t length;
          if (!utf8_of(cells[i], text, length)) return nullptr;
          if (length > size_t(INT32_MAX) - column->data.size()) {
            problem = "holds more than 2 GiB of text";
            return nullptr;
          }
          if (!column->data.append(text, length)) return nullptr;
        }
        column->values.as<int32_t>()[i + 1] = int32_t(column->data.size());
      }
      break;
    }
    case Type::List: {
      if (!column->values.resize((count + 1) * 4)) return nullptr;
      std::vector<PyObject*> items;
      for (size_t i = 0; i < count; ++i) {
        if (present(cells[i])) {
          Py_ssize_t size = PyList_Size(cells[i]);
          if (size_t(size) > size_t(INT32_MAX) - items.size()) {
            problem = "holds more than 2^31 list items";
            return nullptr;
          }
          for (Py_ssize_t j = 0; j < size; ++j) items.push_back(PyList_GetItem(cells[i], j));
        }
        column->values.as<int32_t>()[i + 1] = int32_t(items.size());
      }
      Column* item = fill(*shape.item, items, problem);
      if (item == nullptr) return nullptr;
      if (!item->set_name("item", 4)) {
        Column::destroy(item);
        return nullptr;
      }
      if (!column->adopt_child(item)) return nullptr;
      break;
    }
    case Type::Struct: {
      std::vector<PyObject*> members(count);
      for (const auto& [key, inner] : shape.fields) {
        for (size_t i = 0; i < count; ++i) {
          members[i] = nullptr;
          if (present(cells[i])) {
            members[i] = PyDict_GetItemWithError(cells[i], key.get());
            if (members[i] == nullptr && PyErr_Occurred()) return nullptr;
          }
        }
        Column* member = fill(inner, members, problem);
        if (member == nullptr) return nullptr;
        const char* text;
        size_t length;
        if (!utf8_of(key.get(), text, length) || !member->set_name(text, length)) {
          Column::destroy(member);
          return nullptr;
        }
        if (!column->adopt_child(member)) return nullptr;
      }
      break;
    }
    default:
      break;
  }
  return column.release();
}

// The first row that the cells cannot share a type with, as a refusal.
Column* refused(Shared& shared, const std::string& path, size_t row, const std::string& problem,
                size_t count) {
  refuse(shared, "column '" + path + "': row " + std::to_string(row) + " " + problem);
  return Column::make(Type::Null, int64_t(count));
}

}  // namespace

std::string conflict_text(const char* found, Type held) {
  return std::string("holds ") + found + " where earlier rows hold " + type_name(held);
}

Column* column_from_objects(Shared& shared, const std::string& path, PyObject* const* items,
                            size_t count) {
  Shape shape;
  std::string problem;
  for (size_t i = 0; i < count; ++i) {
    if (!widen(shape, items[i], 1, problem)) {
      if (problem.empty()) return nullptr;
      return refused(shared, path, i, problem, count);
    }
  }
  std::vector<PyObject*> cells(items, items + count);
  Column* column = fill(shape, cells, problem);
  if (column == nullptr && !problem.empty()) {
    PyErr_Clear();
    return refused(shared, path, 0, problem, count);
  }
  return column;
}

Column* plain_strings(Shared& shared, const std::string& path, const Column& dictionary) {
  size_t count = size_t(dictionary.length);
  ColumnPtr column(Column::make(Type::Utf8, int64_t(count)));
  if (!column || !column->values.resize((count + 1) * 4)) return nullptr;
  if (!column->validity.append(dictionary.validity.data(), dictionary.validity.size())) {
    return nullptr;
  }
  column->null_count = dictionary.null_count;
  const Column& entries = *dictionary.dictionary;
  const int32_t* starts = const_cast<Column&>(entries).values.as<int32_t>();
  const int32_t* indexes = const_cast<Column&>(dictionary).values.as<int32_t>();
  const uint8_t* valid = dictionary.validity.size() != 0 ? dictionary.validity.data() : nullptr;
  // Sized first: a few entries repeated can ask for far more text than the
  // input holds.
  uint64_t total = 0;
  for (size_t i = 0; i < count; ++i) {
    if (valid != nullptr && !get_bit(valid, i)) continue;
    total += uint64_t(starts[indexes[i] + 1] - starts[indexes[i]]);
  }
  if (total > uint64_t(INT32_MAX)) {
    refuse(shared, "column '" + path + "': more than 2 GiB of text as plain strings");
    return Column::make(Type::Null, int64_t(count));
  }
  if (!column->data.resize(size_t(total))) return nullptr;
  int32_t* offsets = column->values.as<int32_t>();
  size_t at = 0;
  for (size_t i = 0; i < count; ++i) {
    if (valid == nullptr || get_bit(valid, i)) {
      int32_t start = starts[indexes[i]];
      size_t length = size_t(starts[indexes[i] + 1] - start);
      if (length != 0) std::memcpy(column->data.data() + at, entries.data.data() + start, length);
      at += length;
    }
    offsets[i + 1] = int32_t(at);
  }
  return column.release();
}

Column* table_from_objects(Shared& shared, PyObject* rows) {
  std::string name;
  if (!PyList_Check(rows)) {
    if (!describe(rows, name)) return nullptr;
    raise_with(PyExc_TypeError,
               PyUnicode_FromFormat("vorn: expected a table or a list of records, found %s",
                                    name.c_str()));
    return nullptr;
  }
  size_t count = size_t(PyList_Size(rows));
  std::vector<PyObject*> cells(count);
  for (size_t i = 0; i < count; ++i) {
    cells[i] = PyList_GetItem(rows, Py_ssize_t(i));
    if (!PyDict_Check(cells[i])) {
      if (!describe(cells[i], name)) return nullptr;
      raise_with(PyExc_TypeError,
                 PyUnicode_FromFormat("vorn: expected a list of records, found %s at index %zu",
                                      name.c_str(), i));
      return nullptr;
    }
  }
  // The table is the struct of its rows; each key's column takes its type
  // from every row that has it.
  Shape shape;
  shape.type = Type::Struct;
  std::string problem;
  for (size_t i = 0; i < count; ++i) {
    Py_ssize_t at = 0;
    PyObject *key, *member;
    for (size_t hint = 0; PyDict_Next(cells[i], &at, &key, &member); ++hint) {
      Shape* field = find_field(shape, key, hint);
      if (field == nullptr) return nullptr;
      if (!widen(*field, member, 1, problem)) {
        if (problem.empty()) return nullptr;
        const char* text;
        size_t length;
        if (!utf8_of(key, text, length)) return nullptr;
        refuse(shared, "column '" + std::string(text, length) + "': row " + std::to_string(i) +
                           " " + problem);
        return Column::make(Type::Struct, int64_t(count));
      }
    }
  }
  Column* table = fill(shape, cells, problem);
  if (table == nullptr && !problem.empty()) {
    PyErr_Clear();
    refuse(shared, "a column " + problem);
    return Column::make(Type::Struct, int64_t(count));
  }
  return table;
}

}  // namespace vorn::arrow
