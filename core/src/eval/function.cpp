// Function values: their release, which takes apart long chains of closures without deep recursion.
#include "eval/function.hpp"

#include <cstdint>
#include <vector>

namespace zarnu_core::value {

namespace {

// Function releases in progress on this thread, and those queued by releases nested too deep.
thread_local std::uint32_t t_function_releases = 0;
thread_local std::vector<Function*> t_queued_functions;
constexpr std::uint32_t kRecursiveFunctionReleases = 64;

}  // namespace

void release_function(Counted* rep) noexcept {
  Function* f = static_cast<Function*>(rep);
  if (t_function_releases >= kRecursiveFunctionReleases) {
    t_queued_functions.push_back(f);
    return;
  }
  ++t_function_releases;
  delete f;
  if (t_function_releases == 1) {
    // The outermost release takes the queue apart; each queued function starts a fresh nesting.
    while (!t_queued_functions.empty()) {
      Function* next = t_queued_functions.back();
      t_queued_functions.pop_back();
      delete next;
    }
  }
  --t_function_releases;
}

}  // namespace zarnu_core::value
