// What an expression reads of one value: the whole value, or some of its fields (each with its own read).
// The cut parse of JSON text uses it to skip the fields an expression never reads.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zarnu_core::reads {

class Read {
 public:
  // The whole value.
  static Read all() { return Read(true); }
  // The value is looked at; nothing inside it is read until fields are added.
  static Read fields() { return Read(false); }

  bool is_all() const noexcept { return all_; }
  std::size_t field_count() const noexcept { return fields_.size(); }
  // The fields in byte-wise order of their names.
  const std::vector<std::pair<std::string, Read>>& entries() const noexcept { return fields_; }

  // The read of a field, or null when the field is not read (or the read is All).
  const Read* field(std::string_view name) const noexcept;
  // The read of a field, added (as an empty Fields read) when missing. Not for an All read.
  Read& at(std::string_view name);

  friend bool operator==(const Read&, const Read&) = default;

 private:
  explicit Read(bool all) : all_(all) {}
  bool all_;
  std::vector<std::pair<std::string, Read>> fields_;  // sorted by name, unique
};

}  // namespace zarnu_core::reads
