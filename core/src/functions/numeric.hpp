// Number pictures: analysed decimal-format pictures, kept in a small per-evaluation cache.
#pragma once

namespace zarnu_core::functions::numeric {

struct Picture {};

}  // namespace zarnu_core::functions::numeric
