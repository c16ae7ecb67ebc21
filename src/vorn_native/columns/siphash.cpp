#include "columns/siphash.h"

#include <Python.h>
#include <sys/random.h>

#include <bit>
#include <cerrno>
#include <cstring>

namespace vorn {

namespace {

struct SipKey {
  uint64_t k0, k1;
};

// Fills `buffer` from the operating system's secure random source.
bool secure_random(void* buffer, size_t size) {
  auto* out = static_cast<uint8_t*>(buffer);
  while (size > 0) {
    ssize_t got = getrandom(out, size, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    out += got;
    size -= size_t(got);
  }
  return true;
}

thread_local SipKey thread_key;
thread_local bool thread_key_ready = false;

inline uint64_t load_le64(const uint8_t* p) {
  uint64_t word;
  std::memcpy(&word, p, 8);
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  return word;
}

struct SipState {
  uint64_t v0, v1, v2, v3;

  explicit SipState(const SipKey& key)
      : v0(key.k0 ^ 0x736f6d6570736575ull),
        v1(key.k1 ^ 0x646f72616e646f6dull),
        v2(key.k0 ^ 0x6c7967656e657261ull),
        v3(key.k1 ^ 0x7465646279746573ull) {}

  void round() {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }
  void absorb(uint64_t m) {  // one compression round
    v3 ^= m;
    round();
    v0 ^= m;
  }
  uint64_t finish(uint64_t last_block) {
    absorb(last_block);
    v2 ^= 0xff;
    round();
    round();
    round();
    return v0 ^ v1 ^ v2 ^ v3;
  }
};

}  // namespace

bool prepare_hash_key() {
  if (thread_key_ready) return true;
  if (!secure_random(&thread_key, sizeof thread_key)) {
    PyErr_SetFromErrno(PyExc_OSError);
    return false;
  }
  thread_key_ready = true;
  return true;
}

uint64_t hash_key_text(const uint8_t* text, size_t length) {
  SipState state(thread_key);
  state.absorb(uint64_t(length));  // the 8-byte length prefix is the first word
  size_t whole = length & ~size_t(7);
  for (size_t i = 0; i < whole; i += 8) state.absorb(load_le64(text + i));
  uint64_t last = uint64_t(length + 8) << 56;  // total message length
  for (size_t i = 0; i < (length & 7); ++i) last |= uint64_t(text[whole + i]) << (8 * i);
  return state.finish(last);
}

}  // namespace vorn
