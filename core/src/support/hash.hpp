// Hashing of keys: XXH3 with a per-process random seed, mixed once more per map, so that keys chosen to
// collide (from untrusted JSON) cannot be prepared in advance.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace zarnu_core::hash {

// The process-wide seed, drawn from the system's random source on first use.
std::uint64_t process_seed() noexcept;

// A fresh seed for one map: the process seed mixed with a per-thread counter.
std::uint64_t map_seed() noexcept;

inline std::uint64_t bytes(std::string_view text, std::uint64_t seed) noexcept {
  return XXH3_64bits_withSeed(text.data(), text.size(), seed);
}

}  // namespace zarnu_core::hash
