// Positions in the searched text: byte offsets from its start, always at character boundaries.
#pragma once

#include <cstddef>

namespace zarnu_regex::position {

using RefPosition = std::size_t;

}  // namespace zarnu_regex::position
