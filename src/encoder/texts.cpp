#include "texts.h"

#include <algorithm>
#include <cstring>

#include "foundation/assert.h"

namespace vorn {

namespace {

uint64_t load64(const char* p) noexcept {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

uint64_t load32(const char* p) noexcept {
  uint32_t w;
  std::memcpy(&w, p, 4);
  return w;
}

// Both halves of the 128-bit product, folded: one multiplication mixes every
// bit of either word into the result.
uint64_t mix(uint64_t a, uint64_t b) noexcept {
  unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return uint64_t(product) ^ uint64_t(product >> 64);
}

constexpr uint64_t kSeed0 = 0xA0761D6478BD642Full;
constexpr uint64_t kSeed1 = 0xE7037ED1A0B428DBull;
constexpr uint64_t kSeed2 = 0x8EBC6AF09C88C6E3ull;
constexpr uint64_t kSeed3 = 0x589965CC75374CC3ull;
constexpr uint64_t kSeed4 = 0x1D8E4E27C47D124Full;

// The seed differs between processes (the address of a static is randomised
// at load), so that strings chosen to collide in one run need not in another.
uint64_t process_seed() noexcept {
  static const char anchor = 0;
  return mix(reinterpret_cast<uintptr_t>(&anchor) ^ kSeed0, kSeed1);
}

// A fast hash of a byte string: short ones from at most two overlapping
// loads, longer ones sixteen bytes a step in independent lanes (four while
// 64 bytes remain, then two), whose multiplications overlap. It only finds
// candidates; equal entries are confirmed byte by byte.
uint32_t hash_bytes(const char* p, size_t n, uint64_t seed) noexcept {
  uint64_t a = 0, b = 0;
  if (n <= 16) {
    if (n >= 8) {
      a = load64(p);
      b = load64(p + n - 8);
    } else if (n >= 4) {
      a = load32(p);
      b = load32(p + n - 4);
    } else if (n > 0) {
      a = uint64_t(uint8_t(p[0])) << 16 | uint64_t(uint8_t(p[n >> 1])) << 8 | uint8_t(p[n - 1]);
    }
  } else {
    const char* end = p + n;
    uint64_t second = seed ^ kSeed2;
    if (end - p > 64) {
      uint64_t third = seed ^ kSeed3, fourth = seed ^ kSeed4;
      do {
        seed = mix(load64(p) ^ kSeed1, load64(p + 8) ^ seed);
        second = mix(load64(p + 16) ^ kSeed2, load64(p + 24) ^ second);
        third = mix(load64(p + 32) ^ kSeed3, load64(p + 40) ^ third);
        fourth = mix(load64(p + 48) ^ kSeed4, load64(p + 56) ^ fourth);
        p += 64;
      } while (end - p > 64);
      seed = mix(seed ^ kSeed3, third);
      second = mix(second ^ kSeed4, fourth);
    }
    while (end - p > 32) {
      seed = mix(load64(p) ^ kSeed1, load64(p + 8) ^ seed);
      second = mix(load64(p + 16) ^ kSeed2, load64(p + 24) ^ second);
      p += 32;
    }
    if (end - p > 16) seed = mix(load64(p) ^ kSeed1, load64(p + 8) ^ seed);
    seed ^= second;
    a = load64(end - 16);
    b = load64(end - 8);
  }
  uint64_t h = mix(a ^ kSeed1, b ^ seed ^ n);
  return uint32_t(h ^ (h >> 32));
}

constexpr uint64_t kLowBits = 0x0101010101010101ull;
constexpr uint64_t kHighBits = 0x8080808080808080ull;  // every slot free

// The top seven bits: the low ones pick the group.
uint64_t tag_of(uint32_t hash) noexcept { return hash >> 25; }
// The slots of a group whose bits may be `tag`, every one that is and now
// and then one that is not (a borrow can mark the slot above a match), and
// the free ones: the top bit of each slot's eight.
uint64_t matches(uint64_t control, uint64_t tag) noexcept {
  uint64_t x = control ^ (kLowBits * tag);
  return (x - kLowBits) & ~x & kHighBits;
}
uint64_t frees(uint64_t control) noexcept { return control & kHighBits; }
unsigned slot_in(uint64_t bits) noexcept { return unsigned(__builtin_ctzll(bits)) / 8; }

}  // namespace

Texts::Texts(bool dedupe, bool borrowed) noexcept
    : dedupe_(dedupe), borrowed_(borrowed), seed_(process_seed()) {}

void Texts::release() noexcept {
  for (size_t i = 0; !borrowed_ && i < size_; ++i) Py_DECREF((*this)[i].obj);
  size_ = 0;
  for (Text* block : blocks_) spare::give(block, kBlock * sizeof(Text));
  blocks_.release();
  for (PyObject* obj : held_) Py_DECREF(obj);
  held_.release();
  seal();
}

bool Texts::expect(size_t texts) noexcept {
  if (!dedupe_ || size_ != 0 || !groups_.empty()) return true;
  texts = std::min(texts, kExpectMax);
  // Few enough for the first groups: they come with the first text.
  if (texts <= capacity(kFirstGroups)) return true;
  // From the size the first growth makes, by doubling: the guess is close
  // enough to be worth a finer step than growth's.
  size_t count = kFirstGroups * kGrowth;
  while (expected_capacity(count) < texts) count *= 2;
  return resize(count, expected_capacity(count));
}

bool Texts::resize(size_t count, size_t full) noexcept {
  Scratch<Group> grown;
  if (!grown.reserve(count)) return false;
  grown.extend_reserved(count);
  // A free slot's id is never read.
  for (Group& group : grown) group.control = kHighBits;
  for (size_t id = 0; id < size_; ++id) {
    const Text& text = (*this)[id];
    if (text.length >= 2) take(grown, text.hash, uint32_t(id));
  }
  groups_.swap(grown);
  grow_at_ = full;
  return true;
}

void Texts::put(Group& group, uint64_t free, uint32_t hash, uint32_t id) noexcept {
  unsigned slot = slot_in(free);
  group.control ^= (0x80 ^ tag_of(hash)) << (8 * slot);  // from free to the tag
  group.ids[slot] = id;
}

void Texts::take(Scratch<Group>& groups, uint32_t hash, uint32_t id) noexcept {
  size_t last = groups.size() - 1;
  size_t g = hash & last;
  while (frees(groups[g].control) == 0) g = (g + 1) & last;
  put(groups[g], frees(groups[g].control), hash, id);
}

bool Texts::open_block(PyObject* obj) noexcept {
  // Entry ids are 32 bits: the last block that fits whole is the last one.
  Text* block = nullptr;
  size_t got = 0;
  if (size_ <= UINT32_MAX - kBlock) {
    block = static_cast<Text*>(spare::grow(nullptr, 0, 0, kBlock * sizeof(Text), got));
  }
  if (block == nullptr || !blocks_.push(block)) {
    spare::give(block, kBlock * sizeof(Text));
    if (!borrowed_) Py_DECREF(obj);
    if (!PyErr_Occurred()) PyErr_NoMemory();
    return false;
  }
  return true;
}

int64_t Texts::enter(PyObject* obj, const char* utf8, size_t length, bool is_key) noexcept {
  if (!dedupe_) return add(obj, utf8, length);
  if (length < 2) {
    // The empty string and the one-byte ones (ASCII): a slot each, no hash.
    uint32_t& known = short_[length == 0 ? 0 : 1 + uint8_t(utf8[0])];
    if (known != 0) return found(obj, known - 1, is_key);
    int64_t id = add(obj, utf8, length);
    if (id < 0) return -1;
    known = uint32_t(id + 1);
    remember(obj, uint32_t(id), is_key);
    return id;
  }
  if (size_ >= grow_at_ && !grow_table()) {
    if (!borrowed_) Py_DECREF(obj);
    return -1;
  }
  // Fewer entries than slots: the probe below always ends.
  VORN_ASSERT(size_ < grow_at_ && grow_at_ <= expected_capacity(groups_.size()));
  uint32_t hash = hash_bytes(utf8, length, seed_);
  uint64_t tag = tag_of(hash);
  size_t last = groups_.size() - 1;
  for (size_t g = hash & last;; g = (g + 1) & last) {
    Group& group = groups_[g];
    for (uint64_t m = matches(group.control, tag); m != 0; m &= m - 1) {
      uint32_t id = group.ids[slot_in(m)];
      const Text& known = (*this)[id];
      if (known.hash == hash && known.length == length &&
          std::memcmp(known.utf8, utf8, length) == 0) {
        return found(obj, id, is_key);
      }
    }
    uint64_t free = frees(group.control);
    if (free == 0) continue;
    int64_t id = add(obj, utf8, length, hash);
    if (id < 0) return -1;
    put(group, free, hash, uint32_t(id));
    remember(obj, uint32_t(id), is_key);
    return id;
  }
}

// Only objects held here may be recognised by identity: a string that is
// dropped could be freed and its address reused by another.
int64_t Texts::found(PyObject* obj, uint32_t id, bool is_key) noexcept {
  if (borrowed_) {
    if (is_key) remember(obj, id, true);
    return int64_t(id);
  }
  if (!is_key) {
    Py_DECREF(obj);
    return int64_t(id);
  }
  if (!held_.push(obj)) {
    Py_DECREF(obj);
    return -1;
  }
  remember(obj, id, true);
  return int64_t(id);
}

}  // namespace vorn
