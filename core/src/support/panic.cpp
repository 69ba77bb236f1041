// Internal invariant failures.
#include "support/panic.hpp"

namespace zarnu_core {

void panic(const std::string& message) {
  throw Panic(message);
}

}  // namespace zarnu_core
