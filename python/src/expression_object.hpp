// The class zarnu.Expression: one expression compiled once in its constructor, then evaluated any number
// of times, from any thread, against Python input read lazily.
#pragma once

#include "compat.hpp"

namespace zarnu_py::expression {

// The class, borrowed; made once per process and shared by every module object. Nullptr with an exception
// set when it cannot be made.
PyObject* type();

}  // namespace zarnu_py::expression
