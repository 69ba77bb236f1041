// Errors of the language at the Python boundary: the exception class ZarnuError, and the conversion of a
// core error into one, with its places counted in characters of the source text.
#pragma once

#include "compat.hpp"

#include <cstddef>
#include <string_view>

#include "pyutil.hpp"
#include "value/error.hpp"

namespace zarnu_py::errors {

// The class ZarnuError, borrowed; made once per process. Nullptr with an exception set when it cannot be
// made.
PyObject* zarnu_error_type();

// A ZarnuError for a core error, whose positions are counted against `source` (the text the error is
// about). When making it fails, the exception of that failure takes its place.
pyutil::Ref to_exception(const zarnu_core::error::Error& error, std::string_view source);

// Raises the exception of `to_exception`; returns nullptr for the caller to hand on.
PyObject* raise(const zarnu_core::error::Error& error, std::string_view source);

// The characters of UTF-8 text that begin before the `units`-th UTF-16 code unit (all of them when the
// text has no more units).
std::size_t characters_before_unit(std::string_view text, std::size_t units) noexcept;

// The characters of UTF-8 text that begin before a byte offset.
std::size_t characters_before_byte(std::string_view text, std::size_t offset) noexcept;

}  // namespace zarnu_py::errors
