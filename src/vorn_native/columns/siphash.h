// SipHash-1-3 with a per-thread random key, for the duplicate test of long
// key lists: the key keeps hostile inputs from choosing colliding keys.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn {

// Draws this thread's random key on first use. False with OSError pending
// when the operating system gives no secure random bytes.
bool prepare_hash_key();

// Hash of the text's length (8 bytes, little-endian) followed by its bytes,
// keyed with this thread's random key (prepared first).
uint64_t hash_key_text(const uint8_t* text, size_t length);

}  // namespace vorn
