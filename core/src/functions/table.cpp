// The table of built-in functions, built once per process.
#include <deque>
#include <mutex>

#include "functions/native.hpp"

namespace zarnu_core::functions {

namespace {

std::vector<Native> build() {
  std::vector<Native> t;
  return t;
}

// Records added by tests, looked up after the table's own.
std::deque<Native>& extra() {
  static std::deque<Native> records;
  return records;
}

}  // namespace

std::span<const Native> table() {
  static const std::vector<Native> t = build();
  return t;
}

const Native* lookup(std::string_view name) {
  for (const Native& n : table())
    if (n.name == name) return &n;
  for (const Native& n : extra())
    if (n.name == name) return &n;
  return nullptr;
}

void testing::add(Native native) {
  extra().push_back(std::move(native));
}

}  // namespace zarnu_core::functions
