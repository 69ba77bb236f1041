// Functions supplied by the host: they see only JSON data (arguments converted within a byte budget),
// and reach the function values among their arguments through a Caller that can tell their arity and
// apply them.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "syntax/signature.hpp"
#include "value/json.hpp"
#include "value/output.hpp"
#include "value/result.hpp"
#include "value/value_view.hpp"

namespace zarnu_core::host {

using Args = std::span<const std::optional<json::Json>>;

// Access to the function values among a host call's arguments, valid only during the call.
class Caller {
 public:
  virtual ~Caller() = default;
  // The pending failure of the lazily read input, if any.
  virtual std::optional<error::Error> read_failure() = 0;
  // The parameter count of the function passed as argument `index`.
  virtual std::optional<std::size_t> arity(std::size_t index) = 0;
  // Applies the function passed as argument `index` to JSON arguments.
  virtual Result<std::optional<json::Json>> apply(std::size_t index,
                                                  std::vector<std::optional<json::Json>> args) = 0;
  // The poll of the evaluation's limits, which hold while the host converts what it is given.
  virtual eval::Poll& poll() = 0;
};

// What a host function receives for one call.
struct HostCall {
  const value::Inspect& value;  // the call's context when asked for, else undefined
  Caller& caller;
  std::size_t limit;                        // the byte budget for conversions the host makes
  std::optional<value::TooLarge> overflow;  // a conversion failure the host records
};

using Callable = std::function<Result<std::optional<json::Json>>(Args, HostCall&)>;

struct HostFunction {
  std::shared_ptr<const Callable> function;
  std::shared_ptr<const signature::Signature> signature;
  std::size_t arity = 0;
  bool context = false;
};

}  // namespace zarnu_core::host
