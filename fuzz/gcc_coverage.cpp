// Coverage feedback for libFuzzer when the code is compiled by g++, which traces basic blocks
// (-fsanitize-coverage=trace-pc) but cannot emit libFuzzer's inline counters: each traced block bumps a
// counter chosen by hashing it with the block before it (an edge), and the counters are handed to libFuzzer.
#include <cstddef>
#include <cstdint>

extern "C" void __sanitizer_cov_8bit_counters_init(std::uint8_t* begin, std::uint8_t* end);

namespace {

constexpr std::size_t kCounters = std::size_t{1} << 16;
std::uint8_t counters[kCounters];
std::uintptr_t previous = 0;

// Registered before main, when libFuzzer's runtime collects its coverage regions.
[[maybe_unused]] const bool registered = [] {
  __sanitizer_cov_8bit_counters_init(counters, counters + kCounters);
  return true;
}();

}  // namespace

// The linker sends the calls g++ emits to this function (-Wl,--wrap=__sanitizer_cov_trace_pc): libFuzzer's
// own entry point of that name only reports that block tracing is not supported.
extern "C" __attribute__((no_sanitize_coverage, no_sanitize("address", "undefined"))) void
__wrap___sanitizer_cov_trace_pc() {
  auto pc = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  pc = (pc ^ (pc >> 16)) & (kCounters - 1);
  ++counters[pc ^ previous];
  previous = pc >> 1;
}

// g++ also traces floating-point comparisons, which libFuzzer does not take.
extern "C" __attribute__((no_sanitize_coverage)) void __sanitizer_cov_trace_cmpf(float, float) {}
extern "C" __attribute__((no_sanitize_coverage)) void __sanitizer_cov_trace_cmpd(double, double) {}
