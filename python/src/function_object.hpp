// The class zarnu.Function: a function value of the language handed to a Python host function, which
// Python can call back while that host call runs on the same thread.
#pragma once

#include "compat.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "pyutil.hpp"

namespace zarnu_py::function_object {

// The class, borrowed; made once per process. Nullptr with an exception set when it cannot be made.
PyObject* type();

// A Function for argument `index` of the host call `frame` of the host function `name`; a null Ref with
// the exception set when it cannot be made.
pyutil::Ref make(std::string_view name, std::uint64_t frame, std::size_t index, std::size_t arity);

}  // namespace zarnu_py::function_object
