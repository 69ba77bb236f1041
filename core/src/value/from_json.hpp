// Values rebuilt from JSON values (host values converted beforehand, host function results, documents).
#pragma once

#include <cstddef>

#include "value/json.hpp"
#include "value/lazy.hpp"
#include "value/value.hpp"

namespace zarnu_core::value {

// The value of JSON data, converted whole; keys interned per conversion. The strings are made by
// `strings` when given.
Value from_json(const json::Json& data, const StringMaker* strings = nullptr);
Value from_json_with(const json::Json& data, Keys& keys, std::size_t depth,
                     const StringMaker* strings = nullptr);

}  // namespace zarnu_core::value
