// The read tree.
#include "reads.hpp"

#include <algorithm>

namespace zarnu_core::reads {

namespace {

template <class V>
auto lower(V& fields, std::string_view name) {
  return std::lower_bound(fields.begin(), fields.end(), name, [](const auto& entry, std::string_view key) {
    return std::string_view(entry.first) < key;
  });
}

}  // namespace

const Read* Read::field(std::string_view name) const noexcept {
  auto it = lower(fields_, name);
  return it != fields_.end() && it->first == name ? &it->second : nullptr;
}

Read& Read::at(std::string_view name) {
  auto it = lower(fields_, name);
  if (it == fields_.end() || it->first != name) it = fields_.emplace(it, std::string(name), Read::fields());
  return it->second;
}

}  // namespace zarnu_core::reads
