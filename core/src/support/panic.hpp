// Internal invariant failures. A panic is never an error of the language: it means a bug, and the
// Python boundary turns it into a panic exception.
#pragma once

#include <stdexcept>
#include <string>

namespace zarnu_core {

class Panic : public std::runtime_error {
 public:
  explicit Panic(const std::string& message) : std::runtime_error(message) {}
};

[[noreturn]] void panic(const std::string& message);

}  // namespace zarnu_core
