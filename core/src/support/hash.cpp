// Per-process and per-map hash seeds.
#include "support/hash.hpp"
#include "support/once.hpp"

#include <sys/random.h>

#include <chrono>

namespace zarnu_core::hash {

namespace {

std::uint64_t draw_seed() noexcept {
  std::uint64_t seed = 0;
  if (getrandom(&seed, sizeof seed, 0) != static_cast<ssize_t>(sizeof seed)) {
    // No random source: the clock is a weak but non-constant fallback.
    seed = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  }
  return seed | 1;
}

std::uint64_t mix(std::uint64_t x) noexcept {
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBull;
  x ^= x >> 31;
  return x;
}

}  // namespace

std::uint64_t process_seed() noexcept {
  static constinit once::Once<std::uint64_t> seed;
  return seed.get(draw_seed);
}

std::uint64_t map_seed() noexcept {
  thread_local std::uint64_t counter = 0;
  return mix(process_seed() + 0x9E3779B97F4A7C15ull * ++counter);
}

}  // namespace zarnu_core::hash
