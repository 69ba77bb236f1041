// Field access: a name over objects and over arrays of objects at any depth, reading lazily sourced
// objects one field at a time.
#pragma once

#include <string_view>

#include "value/value.hpp"

namespace zarnu_core::functions {

// Never fails: a failed lazy read is recorded in the input's shared state.
value::Value lookup(const value::Value& v, std::string_view key);

}  // namespace zarnu_core::functions
