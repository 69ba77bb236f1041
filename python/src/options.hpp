// The keyword options and the bindings every evaluation method takes, checked and turned into the core's
// evaluation options and bindings before anything is evaluated.
#pragma once

#include "compat.hpp"

#include <cstdint>
#include <optional>

#include "eval/expression.hpp"  // the core's: Options and Bindings
#include "host.hpp"

namespace zarnu_py::options {

// The keyword options as given (borrowed; nullptr for one not given or given as None).
struct Keywords {
  PyObject* timeout = nullptr;
  PyObject* max_depth = nullptr;
  PyObject* max_string_length = nullptr;
  PyObject* max_array_length = nullptr;
  PyObject* max_result_size = nullptr;
  PyObject* now = nullptr;
  PyObject* seed = nullptr;
};

// The evaluation options of the keywords, checked in the order timeout, the four limits, seed, now; none
// with TypeError or ValueError set at the first failure.
std::optional<zarnu_core::Options> convert(const Keywords& keywords);

// The current time given as `now`: milliseconds since the epoch from a number, an ISO 8601 text or an
// object with a timestamp() method; none with the exception set.
std::optional<std::int64_t> now(PyObject* object);

// Adds the items of a `bindings` dict to `out`, each under its name: a callable as a host function made by
// `binder` (replacing a registered function of the same name), anything else as a value (hiding one);
// false with the exception set.
bool add_bindings(PyObject* bindings, zarnu_core::Bindings& out, host::Binder& binder);

}  // namespace zarnu_py::options
