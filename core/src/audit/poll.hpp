// The audit of an evaluation is written under the evaluation's limits, polled once per node or member.
#pragma once

#include <cstdint>

#include "value/polling.hpp"

namespace zarnu_core::audit {

using eval::Poll;

// Nodes and members of an audit take microseconds each to write: the limits are asked more often than
// by the evaluation's own loops.
inline constexpr std::uint32_t kPollInterval = 64;

}  // namespace zarnu_core::audit
