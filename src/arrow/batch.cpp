#include "arrow/batch.h"

#include <cerrno>
#include <new>

#include "arrow/raw_memory.h"

namespace vorn::arrow {

namespace {

std::atomic<int64_t> live{0};

template <class T>
T* raw_array(size_t count) noexcept {
  return static_cast<T*>(raw_calloc(count == 0 ? 1 : count, sizeof(T)));
}

// The private part of an exported schema or array node.
template <class Node>
struct Private {
  Batch* batch;
  Node** children;
  size_t child_count;
  Node* dictionary;
  const void* buffers[3];
};

template <class Node>
void release_node(Node* node) noexcept {
  if (node == nullptr || node->release == nullptr) return;
  auto* own = static_cast<Private<Node>*>(node->private_data);
  for (size_t i = 0; i < own->child_count; ++i) {
    Node* child = own->children[i];
    if (child != nullptr && child->release != nullptr) child->release(child);
    raw_free(child);
  }
  raw_free(own->children);
  if (own->dictionary != nullptr && own->dictionary->release != nullptr) {
    own->dictionary->release(own->dictionary);
  }
  raw_free(own->dictionary);
  own->batch->release();
  raw_free(own);
  node->release = nullptr;
  live.fetch_sub(1, std::memory_order_relaxed);
}

void release_schema(ArrowSchema* schema) { release_node(schema); }
void release_array(ArrowArray* array) { release_node(array); }

// A zero block for the buffers of empty columns: consumers read offsets and
// values from them even when there are no rows.
alignas(64) const uint8_t kEmpty[64] = {};

const void* buffer_of(const RawBuffer& buffer) noexcept {
  return buffer.size() != 0 ? buffer.data() : kEmpty;
}

template <class Node>
bool prepare(Batch* batch, const Column& column, Node* out, void (*release)(Node*)) noexcept {
  auto* own = static_cast<Private<Node>*>(raw_calloc(1, sizeof(Private<Node>)));
  if (own == nullptr) return false;
  own->child_count = column.child_count();
  own->children = raw_array<Node*>(own->child_count);
  if (own->children == nullptr) {
    raw_free(own);
    return false;
  }
  own->batch = batch;
  batch->retain();
  out->release = release;
  out->private_data = own;
  live.fetch_add(1, std::memory_order_relaxed);
  return true;
}

bool fill_schema(Batch* batch, const Column& column, ArrowSchema* out) noexcept {
  *out = ArrowSchema{};
  out->format = column.format;
  out->name = column.name.size() != 0 ? reinterpret_cast<const char*>(column.name.data()) : "";
  out->flags = column.name.size() != 0 ? kFlagNullable : 0;
  if (!prepare(batch, column, out, release_schema)) return false;
  auto* own = static_cast<Private<ArrowSchema>*>(out->private_data);
  out->n_children = int64_t(own->child_count);
  out->children = own->children;
  for (size_t i = 0; i < own->child_count; ++i) {
    own->children[i] = raw_array<ArrowSchema>(1);
    if (own->children[i] == nullptr || !fill_schema(batch, *column.child(i), own->children[i])) {
      release_schema(out);
      return false;
    }
  }
  if (column.dictionary != nullptr) {
    own->dictionary = raw_array<ArrowSchema>(1);
    if (own->dictionary == nullptr || !fill_schema(batch, *column.dictionary, own->dictionary)) {
      release_schema(out);
      return false;
    }
    own->dictionary->flags = 0;
    out->dictionary = own->dictionary;
  }
  return true;
}

bool fill_array(Batch* batch, const Column& column, ArrowArray* out) noexcept {
  *out = ArrowArray{};
  out->length = column.length;
  out->null_count = column.null_count;
  out->n_buffers = column.buffer_count();
  if (!prepare(batch, column, out, release_array)) return false;
  auto* own = static_cast<Private<ArrowArray>*>(out->private_data);
  own->buffers[0] = column.validity.size() != 0 ? column.validity.data() : nullptr;
  own->buffers[1] = buffer_of(column.values);
  own->buffers[2] = buffer_of(column.data);
  out->buffers = column.type == Type::Null ? nullptr : own->buffers;
  out->n_children = int64_t(own->child_count);
  out->children = own->children;
  for (size_t i = 0; i < own->child_count; ++i) {
    own->children[i] = raw_array<ArrowArray>(1);
    if (own->children[i] == nullptr || !fill_array(batch, *column.child(i), own->children[i])) {
      release_array(out);
      return false;
    }
  }
  if (column.dictionary != nullptr) {
    own->dictionary = raw_array<ArrowArray>(1);
    if (own->dictionary == nullptr || !fill_array(batch, *column.dictionary, own->dictionary)) {
      release_array(out);
      return false;
    }
    out->dictionary = own->dictionary;
  }
  return true;
}

// A stream of one record batch.
struct StreamState {
  Batch* batch;
  bool done;
};

int stream_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  auto* state = static_cast<StreamState*>(stream->private_data);
  return fill_schema(state->batch, state->batch->table(), out) ? 0 : ENOMEM;
}

int stream_next(ArrowArrayStream* stream, ArrowArray* out) {
  auto* state = static_cast<StreamState*>(stream->private_data);
  if (state->done) {
    *out = ArrowArray{};  // released: the end of the stream
    return 0;
  }
  if (!fill_array(state->batch, state->batch->table(), out)) return ENOMEM;
  state->done = true;
  return 0;
}

const char* stream_error(ArrowArrayStream*) { return "out of memory"; }

void stream_release(ArrowArrayStream* stream) {
  if (stream->release == nullptr) return;
  auto* state = static_cast<StreamState*>(stream->private_data);
  state->batch->release();
  raw_free(state);
  stream->release = nullptr;
  live.fetch_sub(1, std::memory_order_relaxed);
}

}  // namespace

Batch* Batch::make(Column* table) noexcept {
  void* memory = raw_malloc(sizeof(Batch));
  if (memory == nullptr) {
    Column::destroy(table);
    PyErr_NoMemory();
    return nullptr;
  }
  live.fetch_add(1, std::memory_order_relaxed);
  return new (memory) Batch(table);
}

void Batch::release() noexcept {
  if (refs_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  Column::destroy(table_);
  this->~Batch();
  raw_free(this);
  live.fetch_sub(1, std::memory_order_relaxed);
}

bool Batch::export_schema(ArrowSchema* out) noexcept {
  if (fill_schema(this, *table_, out)) return true;
  PyErr_NoMemory();
  return false;
}

bool Batch::export_array(ArrowArray* out) noexcept {
  if (fill_array(this, *table_, out)) return true;
  PyErr_NoMemory();
  return false;
}

bool Batch::export_stream(ArrowArrayStream* out) noexcept {
  auto* state = static_cast<StreamState*>(raw_malloc(sizeof(StreamState)));
  if (state == nullptr) {
    PyErr_NoMemory();
    return false;
  }
  retain();
  *state = StreamState{this, false};
  *out = ArrowArrayStream{stream_schema, stream_next, stream_error, stream_release, state};
  live.fetch_add(1, std::memory_order_relaxed);
  return true;
}

int64_t live_exports() noexcept { return live.load(std::memory_order_relaxed); }

}  // namespace vorn::arrow
