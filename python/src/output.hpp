// Results as Python objects: the builder the core's output walk writes a result into, and the source of an
// evaluation without input.
#pragma once

#include "compat.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "pyutil.hpp"
#include "support/hash.hpp"
#include "value/lazy.hpp"

namespace zarnu_py::output {

// Builds one result as Python objects. Every dict of the result uses one str object per distinct key.
// A Python error met while building is kept (the first one) for the caller to raise after the walk.
class PyBuilder {
 public:
  using Built = pyutil::Ref;

  PyBuilder();

  Built null();
  Built boolean(bool b);
  Built number(double x);
  Built string(std::string_view s);
  // A string whose text came unchanged from a str of the input: that str itself.
  Built string(std::string_view s, const zarnu_core::value::HostText* host);
  Built end_array(std::vector<Built> items);
  Built object(std::size_t capacity);
  void insert(Built& object, std::string_view key, Built value);

  // The first Python error met while building, taken from the builder (a null Ref when none).
  pyutil::Ref take_error() noexcept { return std::move(error_); }

 private:
  // Keeps the Python error just raised, unless one is kept already.
  void keep_error();
  // The str of a key, made at its first use.
  PyObject* key(std::string_view text);

  struct KeyHash {
    using is_transparent = void;
    std::uint64_t seed;
    std::size_t operator()(std::string_view key) const noexcept { return zarnu_core::hash::bytes(key, seed); }
  };
  struct KeyEq {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
  };

  // Results seldom have many distinct keys: the first few are found by comparing, the rest by hashing.
  static constexpr std::size_t kScanned = 8;
  pyutil::Ref error_;
  std::vector<std::pair<std::string, pyutil::Ref>> first_keys_;
  boost::unordered_flat_map<std::string, pyutil::Ref, KeyHash, KeyEq> more_keys_;
};

// The input of an evaluation given none: the context is undefined.
class NoInput final : public zarnu_core::value::Source {
 public:
  std::optional<std::string> read(zarnu_core::value::Sink&) override { return std::nullopt; }
};

}  // namespace zarnu_py::output
