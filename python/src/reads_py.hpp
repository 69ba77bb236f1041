// Read analysis at the Python boundary: the answer of an analysis as the dict of its JSON form, and the
// module function `union_reads`, which joins the answers of several expressions.
#pragma once

#include "compat.hpp"

#include "value/reads.hpp"

namespace zarnu_py::reads_py {

// The JSON form of an answer as new Python objects; nullptr with the exception set on failure.
PyObject* to_py(const zarnu_core::reads::Reads& reads);

// The definition of `union_reads`, to be bound to the module.
PyMethodDef& union_reads_definition();

}  // namespace zarnu_py::reads_py
